#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class QComboBox;

// The tray's custom test print: the paper size and feed for image files the user picks next.
// "打印" only announces the wish: the dialog stays open until its owner accepts it.
class KELCustomPrintDialog : public QDialog {
    Q_OBJECT
public:
    explicit KELCustomPrintDialog(QWidget* parent = nullptr);

    // The print configuration of the choices: {"size", "type"}, the bypass feed printing "part".
    QMap<QString, QString> printConfig() const;

Q_SIGNALS:
    void sigPrint();

private:
    QComboBox* sizeBox;
    QComboBox* feedBox;
};
