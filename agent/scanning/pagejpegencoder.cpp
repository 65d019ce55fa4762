#include "scanning/pagejpegencoder.h"

#include "foundation/logging.h"

#include <QImage>

#include <turbojpeg.h>

#include <memory>

namespace {

struct CompressorDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

// One compressor per thread: creating one costs more than a small page's encoding.
tjhandle compressor()
{
    thread_local std::unique_ptr<void, CompressorDeleter> handle(tjInitCompress());
    return handle.get();
}

int pixelFormat(KELJpegEncoder::Pixels pixels)
{
    switch (pixels) {
    case KELJpegEncoder::Pixels::Bgr: return TJPF_BGR;
    case KELJpegEncoder::Pixels::Rgb: return TJPF_RGB;
    case KELJpegEncoder::Pixels::Grey: return TJPF_GRAY;
    }
    return TJPF_RGB;
}

int bytesPerPixel(KELJpegEncoder::Pixels pixels)
{
    return pixels == KELJpegEncoder::Pixels::Grey ? 1 : 3;
}

// Qt's writer states the image's resolution in dots per inch; TurboJPEG leaves the JFIF
// header at an aspect ratio of 1:1. The header is at a fixed place right after SOI.
void writeResolution(QByteArray& jpeg, int dotsPerMeterX, int dotsPerMeterY)
{
    constexpr int kUnitsOffset = 13;
    if (jpeg.size() < 20 || !jpeg.startsWith(QByteArray("\xFF\xD8\xFF\xE0\x00\x10JFIF\0", 11)))
        return;
    const auto dpi = [](int dotsPerMeter) { return (dotsPerMeter * 254 + 5000) / 10000; };
    const int x = dpi(dotsPerMeterX);
    const int y = dpi(dotsPerMeterY);
    if (x <= 0 || y <= 0 || x > 0xFFFF || y > 0xFFFF)
        return;
    char* header = jpeg.data() + kUnitsOffset;
    header[0] = 1;  // dots per inch
    header[1] = char(x >> 8);
    header[2] = char(x & 0xFF);
    header[3] = char(y >> 8);
    header[4] = char(y & 0xFF);
}

} // namespace

QByteArray KELJpegEncoder::encode(const Rows& rows)
{
    if (!rows.data || rows.width <= 0 || rows.height <= 0 || rows.pitch < rows.width * bytesPerPixel(rows.pixels))
        return QByteArray();
    tjhandle handle = compressor();
    if (!handle)
        return QByteArray();
    const bool grey = rows.pixels == Pixels::Grey;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    const int flags = rows.bottomUp ? TJFLAG_BOTTOMUP : 0;
    if (tjCompress2(handle, rows.data, rows.width, rows.pitch, rows.height, pixelFormat(rows.pixels), &out, &outSize,
                    grey ? TJSAMP_GRAY : TJSAMP_420, kQuality, flags) != 0) {
        KLOG->warn("JPEG encoding of a {}x{} page failed: {}", rows.width, rows.height, tjGetErrorStr2(handle));
        tjFree(out);
        return QByteArray();
    }
    QByteArray jpeg(reinterpret_cast<const char*>(out), int(outSize));
    tjFree(out);
    writeResolution(jpeg, rows.dotsPerMeterX, rows.dotsPerMeterY);
    return jpeg;
}

bool KELJpegEncoder::writesGrey(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
        return true;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
        for (const QRgb colour : image.colorTable()) {
            if (!qIsGray(colour))
                return false;
        }
        return true;
    default:
        return false;
    }
}

QByteArray KELJpegEncoder::encode(const QImage& image)
{
    if (image.isNull())
        return QByteArray();
    const bool grey = writesGrey(image);
    const QImage rows = image.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    Rows view;
    view.data = rows.constBits();
    view.width = rows.width();
    view.height = rows.height();
    view.pitch = rows.bytesPerLine();
    view.pixels = grey ? Pixels::Grey : Pixels::Rgb;
    view.dotsPerMeterX = image.dotsPerMeterX();
    view.dotsPerMeterY = image.dotsPerMeterY();
    return encode(view);
}
