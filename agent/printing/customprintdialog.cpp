#include "printing/customprintdialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const QString kBypassFeed = QStringLiteral("bypass");
} // namespace

KELCustomPrintDialog::KELCustomPrintDialog(QWidget* parent)
    : QDialog(parent)
    , sizeBox(new QComboBox(this))
    , feedBox(new QComboBox(this))
{
    setObjectName(QStringLiteral("customPrintDialog"));
    setWindowTitle(tr("自定义打印测试"));
    sizeBox->setObjectName(QStringLiteral("sizeBox"));
    feedBox->setObjectName(QStringLiteral("feedBox"));
    sizeBox->addItems({QStringLiteral("A3"), QStringLiteral("A4"), QStringLiteral("8K"), QStringLiteral("16K")});
    feedBox->addItem(tr("纸槽"), QStringLiteral("tray"));
    feedBox->addItem(tr("旁路"), kBypassFeed);

    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(tr("纸张大小:"), this));
    sizeRow->addWidget(sizeBox);
    auto* feedRow = new QHBoxLayout;
    feedRow->addWidget(new QLabel(tr("进纸类型:"), this));
    feedRow->addWidget(feedBox);
    feedRow->addStretch();

    auto* printButton = new QPushButton(tr("打印"), this);
    auto* cancelButton = new QPushButton(tr("取消"), this);
    printButton->setObjectName(QStringLiteral("printButton"));
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    printButton->setDefault(true);
    connect(printButton, &QPushButton::clicked, this, &KELCustomPrintDialog::sigPrint);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(printButton);
    buttonRow->addWidget(cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(sizeRow);
    layout->addLayout(feedRow);
    layout->addLayout(buttonRow);
}

QMap<QString, QString> KELCustomPrintDialog::printConfig() const
{
    const bool bypass = feedBox->currentData().toString() == kBypassFeed;
    return {{QStringLiteral("size"), sizeBox->currentText()},
            {QStringLiteral("type"), bypass ? QStringLiteral("part") : QStringLiteral("whole")}};
}
