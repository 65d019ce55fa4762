#include "printing/devmodedialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

void selectData(QComboBox* box, int value)
{
    const int index = box->findData(value);
    if (index >= 0)
        box->setCurrentIndex(index);
}

} // namespace

DevModeDialog::DevModeDialog(const QString& printerName, const Choices& choices, const DEVMODEW& devMode,
                             QWidget* parent)
    : QDialog(parent)
    , paperBox(new QComboBox(this))
    , sidesBox(new QComboBox(this))
    , colorBox(new QComboBox(this))
    , sourceBox(new QComboBox(this))
{
    setWindowTitle(tr("打印首选项 - %1").arg(printerName));
    setObjectName(QStringLiteral("devModeDialog"));
    paperBox->setObjectName(QStringLiteral("paperBox"));
    sidesBox->setObjectName(QStringLiteral("sidesBox"));
    colorBox->setObjectName(QStringLiteral("colorBox"));
    sourceBox->setObjectName(QStringLiteral("sourceBox"));

    for (const PrinterChoice& paper : choices.papers)
        paperBox->addItem(QString::fromStdWString(paper.name), paper.id);
    sidesBox->addItem(tr("单面"), int(DMDUP_SIMPLEX));
    if (choices.longEdge)
        sidesBox->addItem(tr("双面（长边翻转）"), int(DMDUP_VERTICAL));
    if (choices.shortEdge)
        sidesBox->addItem(tr("双面（短边翻转）"), int(DMDUP_HORIZONTAL));
    colorBox->addItem(tr("黑白"), int(DMCOLOR_MONOCHROME));
    if (choices.color)
        colorBox->addItem(tr("彩色"), int(DMCOLOR_COLOR));
    sourceBox->addItem(tr("自动选择"), 0);
    for (const PrinterChoice& bin : choices.bins)
        sourceBox->addItem(QString::fromStdWString(bin.name), bin.id);

    if (devMode.dmFields & DM_PAPERSIZE)
        selectData(paperBox, devMode.dmPaperSize);
    if (devMode.dmFields & DM_DUPLEX)
        selectData(sidesBox, devMode.dmDuplex);
    if (devMode.dmFields & DM_COLOR)
        selectData(colorBox, devMode.dmColor);
    if (devMode.dmFields & DM_DEFAULTSOURCE)
        selectData(sourceBox, devMode.dmDefaultSource);

    auto* form = new QFormLayout;
    form->addRow(tr("纸张大小:"), paperBox);
    form->addRow(tr("双面打印:"), sidesBox);
    form->addRow(tr("颜色:"), colorBox);
    form->addRow(tr("纸张来源:"), sourceBox);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

void DevModeDialog::applyTo(DEVMODEW* devMode) const
{
    if (paperBox->count() > 0) {
        devMode->dmPaperSize = short(paperBox->currentData().toInt());
        devMode->dmFields |= DM_PAPERSIZE;
    }
    devMode->dmDuplex = short(sidesBox->currentData().toInt());
    devMode->dmColor = short(colorBox->currentData().toInt());
    devMode->dmFields |= DM_DUPLEX | DM_COLOR;
    const int source = sourceBox->currentData().toInt();
    devMode->dmDefaultSource = short(source);
    if (source)
        devMode->dmFields |= DM_DEFAULTSOURCE;
    else
        devMode->dmFields &= ~DM_DEFAULTSOURCE;
}

bool DevModeDialog::edit(QWidget* parent, const QString& printerName, const Choices& choices, DevModeBuffer* devMode)
{
    DEVMODEW* dm = devMode->get();
    if (!dm)
        return false;
    DevModeDialog dialog(printerName, choices, *dm, parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.applyTo(dm);
    return true;
}
