#pragma once

#include <QDialog>

class QLabel;

// "Switch to this environment?" with cancel and confirm.
class SwitchEnvConfirm : public QDialog {
    Q_OBJECT
public:
    SwitchEnvConfirm(const QString& text, const QString& key, QWidget* parent = nullptr);

    QString key() const { return envKey; }
    QString title() const;

Q_SIGNALS:
    void SigSwitchEnv(QString envKey);
    void SigCancel();

private:
    QString envKey;
    QLabel* titleLabel;
};
