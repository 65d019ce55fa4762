#pragma once

// What the print benchmarks share: this thread's CPU clock and pages like scanned answer sheets.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <ctime>

namespace benchpages {

inline double threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// A page like a scanned answer sheet: paper tone, ruled lines, handwriting-like strokes.
inline QImage sheet(int seed)
{
    QImage image(2480, 3508, QImage::Format_RGB32);
    image.fill(QColor(250, 248, 240));
    QPainter painter(&image);
    QRandomGenerator random(quint32(seed) + 1);
    painter.setPen(QPen(QColor(180, 190, 220), 3));
    for (int y = 300; y < 3400; y += 90)
        painter.drawLine(150, y, 2330, y);
    painter.setPen(QPen(QColor(30, 40, 120), 6));
    for (int stroke = 0; stroke < 1500; ++stroke) {
        const int x = 150 + int(random.bounded(2100));
        const int y = 300 + int(random.bounded(3000));
        painter.drawLine(x, y, x + int(random.bounded(60)) - 30, y + int(random.bounded(60)) - 30);
    }
    painter.setPen(QPen(QColor(200, 30, 30), 8));
    painter.drawEllipse(1900 + seed * 7, 150, 300, 120);
    return image;
}

} // namespace benchpages
