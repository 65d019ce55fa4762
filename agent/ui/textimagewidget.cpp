#include "ui/textimagewidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>

KELTextImageWidget::KELTextImageWidget(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("KELTextImageWidget"));
    resize(160, 28);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* background = new QWidget(this);
    background->setObjectName(QStringLiteral("BackgroundWidget"));
    background->setAttribute(Qt::WA_StyledBackground);
    // A click anywhere on the field is the field's own.
    background->setAttribute(Qt::WA_TransparentForMouseEvents);
    background->setStyleSheet(QStringLiteral(
        "QWidget#BackgroundWidget{background:white;border:1px solid #CBCFD6;border-radius:4px;}"));
    outer->addWidget(background);

    auto* row = new QHBoxLayout(background);
    row->setContentsMargins(10, 0, 8, 0);
    row->setSpacing(4);
    textLabel = new QLabel(background);
    textLabel->setObjectName(QStringLiteral("text_label_"));
    textLabel->setStyleSheet(QStringLiteral("color:#262A30;font-size:12px;font-weight:400;"));
    imageLabel = new QLabel(background);
    imageLabel->setObjectName(QStringLiteral("image_"));
    imageLabel->setFixedSize(14, 14);
    imageLabel->setScaledContents(true);
    imageLabel->setPixmap(QPixmap(QStringLiteral(":resource/images/dropdown.png")));
    row->addWidget(textLabel, 1);
    row->addWidget(imageLabel);
}

void KELTextImageWidget::setText(const QString& text)
{
    textLabel->setText(text);
}

QString KELTextImageWidget::text() const
{
    return textLabel->text();
}
