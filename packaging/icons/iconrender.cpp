// Draws the programs' icons for the desktop's icon theme at every size a menu, a panel or a
// dialog asks for: a rounded square in the program's colour with a white "V". Drawn as paths at
// each size (no fonts, no display), so small sizes stay sharp instead of being scaled down.
//
//   vellox-icons OUTDIR    writes OUTDIR/<N>x<N>/apps/{vellox,vellox-browser}.png
#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

struct Icon {
    const char* name;
    QColor colour;
};

const Icon kIcons[] = {
    {"vellox", QColor(0x1f, 0x6f, 0xd6)},         // the agent: scanners and printers
    {"vellox-browser", QColor(0xe0, 0x12, 0x1e)}, // the shell: same mark as its window icon
};
const int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QImage draw(const Icon& icon, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const qreal margin = size <= 24 ? 0.5 : s * 0.04;
    const QRectF square(margin, margin, s - 2 * margin, s - 2 * margin);
    painter.setPen(Qt::NoPen);
    painter.setBrush(icon.colour);
    painter.drawRoundedRect(square, s * 0.18, s * 0.18);

    // The "V": two strokes meeting at the bottom, thicker at small sizes to stay readable.
    const qreal stroke = s * (size <= 24 ? 0.2 : 0.16);
    QPainterPath v;
    v.moveTo(s * 0.24, s * 0.24);
    v.lineTo(s * 0.5, s * 0.76);
    v.lineTo(s * 0.76, s * 0.24);
    QPen pen(Qt::white, stroke, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.setClipRect(square.adjusted(s * 0.1, s * 0.18, -s * 0.1, -s * 0.1));
    painter.drawPath(v);
    painter.end();
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (const int size : kSizes) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
            return 1;
        }
        for (const Icon& icon : kIcons) {
            const QString file = folder + '/' + QLatin1String(icon.name) + QStringLiteral(".png");
            if (!draw(icon, size).save(file, "PNG")) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                return 1;
            }
        }
    }
    return 0;
}
