#pragma once

#include <QByteArray>

class QImage;

// Encodes a page as JPEG at the agent's quality with TurboJPEG, straight from its rows where
// their layout allows (a DIB's bottom-up BGR or grey rows with their padding, a memory
// transfer's top-down RGB or grey rows), so a page is never copied or widened before encoding.
// The files look as Qt's JPEG writer made them: 4:2:0 for colour, one grey component for grey
// pages, the resolution of the page in the JFIF header. Safe on any thread.
class KELJpegEncoder {
public:
    static constexpr int kQuality = 75;

    enum class Pixels { Bgr, Rgb, Grey };

    // Rows in memory, as the scanner delivered them.
    struct Rows {
        const unsigned char* data = nullptr;
        int width = 0;
        int height = 0;
        int pitch = 0;          // bytes from one row to the next
        Pixels pixels = Pixels::Rgb;
        bool bottomUp = false;  // the first row in memory is the bottom of the page
        int dotsPerMeterX = 0;  // 0: no resolution known
        int dotsPerMeterY = 0;
    };

    // The JPEG file; empty when the rows cannot be encoded.
    static QByteArray encode(const Rows& rows);
    // A page decoded from a layout TurboJPEG cannot take (1-bit, palettes, TIFF, 16-bit ...):
    // grey when Qt's writer would make it grey (grey formats, palettes of greys only).
    static QByteArray encode(const QImage& image);

    // Whether Qt's JPEG writer writes this image with one grey component.
    static bool writesGrey(const QImage& image);
};
