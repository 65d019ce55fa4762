#include "samplesheets.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonObject>
#include <QPainter>

namespace {

// A4 at 100 dpi: small enough to download at once, large enough to print legibly.
constexpr int kWidth = 827;
constexpr int kHeight = 1169;
constexpr int kMargin = 50;
constexpr int kQuestions = 20;
constexpr int kChoices = 4;

QString sheetName(int number)
{
    return QStringLiteral("sheet-%1.jpg").arg(number);
}

QImage drawSheet(int number)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRect frame(kMargin, kMargin, kWidth - 2 * kMargin, kHeight - 2 * kMargin);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawRect(frame);

    const QRect band(frame.left(), frame.top(), frame.width(), 110);
    painter.fillRect(band.adjusted(2, 2, -1, -1), QColor(220, 232, 250));
    QFont title = painter.font();
    title.setPixelSize(34);
    title.setBold(true);
    painter.setFont(title);
    painter.drawText(band.adjusted(24, 0, -24, -40), Qt::AlignLeft | Qt::AlignBottom,
                     QStringLiteral("Vellox sample answer sheet"));
    QFont label = title;
    label.setPixelSize(22);
    label.setBold(false);
    painter.setFont(label);
    painter.drawText(band.adjusted(24, 0, -24, -10), Qt::AlignLeft | Qt::AlignBottom,
                     QStringLiteral("Page %1 of %2 - name: ____________  class: ______").arg(number).arg(SampleSheets::kCount));

    // Rows of answer boxes, with the page number large in the corner so prints are told apart.
    painter.setPen(QPen(Qt::black, 2));
    const int top = band.bottom() + 40;
    const int rowHeight = (frame.bottom() - top - 30) / kQuestions;
    for (int q = 0; q < kQuestions; ++q) {
        const int y = top + q * rowHeight;
        painter.drawText(QRect(frame.left() + 24, y, 60, rowHeight), Qt::AlignVCenter,
                         QString::number((number - 1) * kQuestions + q + 1));
        for (int c = 0; c < kChoices; ++c) {
            const QRect box(frame.left() + 110 + c * 90, y + rowHeight / 4, 60, rowHeight / 2);
            painter.drawRect(box);
            painter.drawText(box, Qt::AlignCenter, QString(QChar('A' + c)));
        }
    }
    QFont big = title;
    big.setPixelSize(220);
    painter.setFont(big);
    painter.setPen(QColor(200, 200, 200));
    painter.drawText(QRect(frame.right() - 260, top, 240, 300), Qt::AlignRight | Qt::AlignTop, QString::number(number));
    painter.end();
    return image;
}

} // namespace

namespace SampleSheets {

QString folder(const QString& dataFolder)
{
    return dataFolder + QStringLiteral("/samples");
}

bool ensure(const QString& dataFolder)
{
    const QString target = folder(dataFolder);
    if (!QDir().mkpath(target))
        return false;
    for (int n = 1; n <= kCount; ++n) {
        const QString path = target + QLatin1Char('/') + sheetName(n);
        if (!QFileInfo::exists(path) && !drawSheet(n).save(path, "JPG", 85))
            return false;
    }
    return true;
}

QJsonArray list()
{
    QJsonArray sheets;
    for (int n = 1; n <= kCount; ++n)
        sheets.append(QJsonObject{{"name", sheetName(n)}, {"url", QStringLiteral("/samples/") + sheetName(n)}});
    return sheets;
}

} // namespace SampleSheets
