#pragma once

#include <QDialog>
#include <QStringList>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;

// The window that offers a new version: version and release notes, the background download's
// progress, and install, postpone or (forced) quit. It holds no upgrade logic: the controller
// feeds it and answers its signals.
class KELUpgradeDialog : public QDialog {
    Q_OBJECT
public:
    explicit KELUpgradeDialog(QWidget* parent = nullptr);

    void setVersion(const QString& version);
    void setContent(const QStringList& lines);
    void setForce(bool force);
    void setDownloaded(bool downloaded);
    void setProgress(int percent);
    // The download failed: the offer stands again, confirming starts another download.
    void setDownloadFailed();

    bool isForce() const { return force; }
    bool isDownloaded() const { return downloaded; }
    // Set by the controller right before it closes the dialog to start the installer.
    bool closingForInstall = false;

Q_SIGNALS:
    void sigConfirmUpgrade();
    void sigSkipUpgrade();
    void sigQuitApp();

public Q_SLOTS:
    // Escape: a forced offer stays until the installer starts or the agent quits.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool mayClose() const { return !force || closingForInstall; }

    QLabel* titleLabel = nullptr;
    QLabel* notesLabel = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* progressLabel = nullptr;
    QPushButton* confirmButton = nullptr;
    QPushButton* skipButton = nullptr;
    QPushButton* quitButton = nullptr;
    bool force = false;
    bool downloaded = false;
    bool downloading = false;
};
