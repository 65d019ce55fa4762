// Builds one page from the frames SANE delivers: a grey or interleaved colour frame, or three
// single-colour frames of a three-pass scanner; 1, 8 or 16 bits a sample; lines that may be
// unknown until the end (hand-held scanners, feeders that measure the sheet) and may be padded.
// The page comes out as the DIB every transfer starts from: 1-bit (0 black), 8-bit grey or
// 24-bit colour.
#pragma once

#include "page_image.h"

#include <sane/sane.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// The frame type a driver reports. Drivers may send types SANE 1.0 does not name (SANE 1.1's
// JPEG frame is 11), and reading such a value as SANE_Frame is undefined: it is read as the int
// the field holds.
inline int frameCode(const SANE_Parameters &parameters)
{
    static_assert(sizeof parameters.format == sizeof(int), "SANE_Frame is an int on the wire");
    int code = 0;
    std::memcpy(&code, &parameters.format, sizeof code);
    return code;
}

namespace twaindsm {

class SanePage {
public:
    SanePage() = default;
    ~SanePage();
    SanePage(const SanePage &) = delete;
    SanePage &operator=(const SanePage &) = delete;

    // Starts the next frame with the parameters sane_get_parameters gave after sane_start.
    // False for a frame this cannot turn into a page (other formats, other depths, a frame
    // that does not match the earlier ones of the page).
    bool beginFrame(const SANE_Parameters &parameters, double dpi);
    // Bytes of the current frame, in any pieces.
    void add(const uint8_t *data, size_t length);
    // Ends the frame; true when the page is complete (the frame was the last one).
    bool endFrame();
    // Whether the lines of the page were unknown when its first frame started.
    bool lengthWasUnknown() const { return lengthUnknown_; }
    int linesSoFar() const { return lines_; }

    // The finished page as a DIB allocated with malloc, which the caller then owns; null when
    // no line arrived or memory ran out.
    uint8_t *takeDib(DibLayout &layout);

private:
    uint8_t *row(int line); // the DIB row, or the row of the growing buffer, of a top-down line
    void convertLine(const uint8_t *in, uint8_t *out) const;

    SANE_Parameters frame_{};
    int channel_ = -1;          // 0 red, 1 green, 2 blue for single-colour frames; -1 otherwise
    bool threePass_ = false;
    int width_ = 0;
    int bitCount_ = 0;          // of the page: 1, 8 or 24
    double dpi_ = 0;
    bool lengthUnknown_ = false;
    bool firstFrame_ = true;

    // Known length: the rows go straight into the DIB. Unknown: into a growing top-down
    // buffer, turned into a DIB at the end.
    DibLayout layout_;
    uint8_t *dib_ = nullptr;
    std::vector<uint8_t> growing_;
    int lines_ = 0;             // lines of the page so far (of the first frame for three-pass)
    int frameLine_ = 0;         // lines of the current frame
    std::vector<uint8_t> partial_; // a line split between two reads
};

} // namespace twaindsm
