#include "sane_page.h"

#include "platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace twaindsm {

namespace {

// A 16-bit sample, in the machine's byte order as SANE delivers it, reduced to 8 bits.
uint8_t highByte(const uint8_t *sample)
{
    uint16_t value;
    std::memcpy(&value, sample, 2);
    return static_cast<uint8_t>(value >> 8);
}

// Sample `index` of a line of `depth`-bit samples, as 0 to 255.
uint8_t sample(const uint8_t *line, size_t index, int depth)
{
    switch (depth) {
    case 1: return (line[index >> 3] & (0x80 >> (index & 7))) ? 255 : 0;
    case 16: return highByte(line + 2 * index);
    default: return line[index];
    }
}

} // namespace

SanePage::~SanePage()
{
    std::free(dib_);
}

bool SanePage::beginFrame(const SANE_Parameters &p, double dpi)
{
    if (p.depth != 1 && p.depth != 8 && p.depth != 16)
        return false;
    if (p.pixels_per_line <= 0 || p.bytes_per_line <= 0)
        return false;
    const int format = frameCode(p);
    const bool single = format == SANE_FRAME_RED || format == SANE_FRAME_GREEN || format == SANE_FRAME_BLUE;
    if (format != SANE_FRAME_GRAY && format != SANE_FRAME_RGB && !single)
        return false;
    const int samples = format == SANE_FRAME_RGB ? 3 : 1;
    if (static_cast<long long>(p.bytes_per_line) * 8 < static_cast<long long>(p.pixels_per_line) * samples * p.depth)
        return false;
    if (firstFrame_) {
        threePass_ = single;
        width_ = p.pixels_per_line;
        bitCount_ = format == SANE_FRAME_GRAY ? (p.depth == 1 ? 1 : 8) : 24;
        dpi_ = dpi > 0 ? dpi : 72;
        lengthUnknown_ = p.lines < 0;
        layout_ = dibLayout(width_, lengthUnknown_ ? 1 : std::max(1, p.lines), bitCount_, dpi_);
        if (!lengthUnknown_) {
            // Plain heap memory, not advised to huge pages: in the agent, whose heap keeps page
            // buffers for reuse, the advice bought no speed, and each one (a change of the
            // process's mappings, then compaction) held up its other threads by up to 80 ms.
            dib_ = static_cast<uint8_t *>(std::malloc(layout_.size));
            if (!dib_)
                return false;
            writeDibHeader(dib_, layout_);
        }
    } else if (!threePass_ || !single || p.pixels_per_line != width_) {
        return false;
    }
    frame_ = p;
    channel_ = format == SANE_FRAME_RED ? 0 : format == SANE_FRAME_GREEN ? 1 : format == SANE_FRAME_BLUE ? 2 : -1;
    frameLine_ = 0;
    partial_.clear();
    return true;
}

uint8_t *SanePage::row(int line)
{
    if (dib_ && line >= layout_.height) {
        // More lines than announced: go on in a growing buffer with what has arrived so far.
        growing_.resize(layout_.stride * static_cast<size_t>(line + 1));
        for (int y = 0; y < lines_; ++y)
            std::memcpy(growing_.data() + layout_.stride * y,
                        dib_ + layout_.pixelOffset + layout_.stride * (layout_.height - 1 - y), layout_.stride);
        std::free(dib_);
        dib_ = nullptr;
    }
    if (dib_)
        return dib_ + layout_.pixelOffset + layout_.stride * (layout_.height - 1 - line);
    if (growing_.size() < layout_.stride * static_cast<size_t>(line + 1))
        growing_.resize(layout_.stride * static_cast<size_t>(line + 1));
    return growing_.data() + layout_.stride * line;
}

void SanePage::convertLine(const uint8_t *in, uint8_t *out) const
{
    const int depth = frame_.depth;
    if (channel_ >= 0) {
        // One colour of a three-pass scan; DIB pixels are stored blue, green, red.
        const int offset = 2 - channel_;
        for (int x = 0; x < width_; ++x)
            out[3 * x + offset] = sample(in, static_cast<size_t>(x), depth);
        return;
    }
    if (frameCode(frame_) == SANE_FRAME_RGB) {
        if (depth == 8) {
            for (int x = 0; x < width_; ++x) {
                out[3 * x] = in[3 * x + 2];
                out[3 * x + 1] = in[3 * x + 1];
                out[3 * x + 2] = in[3 * x];
            }
        } else {
            for (int x = 0; x < width_; ++x)
                for (int c = 0; c < 3; ++c)
                    out[3 * x + 2 - c] = sample(in, static_cast<size_t>(3 * x + c), depth);
        }
        return;
    }
    switch (depth) {
    case 1:
        // SANE's 1 is black; the DIB's palette has black at 0.
        for (int i = 0; i < (width_ + 7) / 8; ++i)
            out[i] = static_cast<uint8_t>(~in[i]);
        break;
    case 8:
        std::memcpy(out, in, static_cast<size_t>(width_));
        break;
    default:
        for (int x = 0; x < width_; ++x)
            out[x] = highByte(in + 2 * x);
        break;
    }
}

void SanePage::add(const uint8_t *data, size_t length)
{
    const size_t lineBytes = static_cast<size_t>(frame_.bytes_per_line);
    auto take = [this](const uint8_t *line) {
        // A three-pass colour beyond the lines of the first frame has nowhere to go.
        if (!threePass_ || firstFrame_ || frameLine_ < lines_) {
            uint8_t *out = row(frameLine_);
            if (firstFrame_) {
                // The bytes that pad the row to 4; a three-pass scan leaves its colours zero
                // until their frames arrive.
                const size_t used = threePass_ ? 0 : layout_.packedRowBytes();
                std::memset(out + used, 0, layout_.stride - used);
            }
            convertLine(line, out);
        }
        ++frameLine_;
        if (firstFrame_)
            lines_ = std::max(lines_, frameLine_);
    };
    if (!partial_.empty()) {
        const size_t missing = std::min(length, lineBytes - partial_.size());
        partial_.insert(partial_.end(), data, data + missing);
        data += missing;
        length -= missing;
        if (partial_.size() < lineBytes)
            return;
        take(partial_.data());
        partial_.clear();
    }
    while (length >= lineBytes) {
        take(data);
        data += lineBytes;
        length -= lineBytes;
    }
    partial_.assign(data, data + length);
}

bool SanePage::endFrame()
{
    partial_.clear();
    firstFrame_ = false;
    return frame_.last_frame != SANE_FALSE;
}

uint8_t *SanePage::takeDib(DibLayout &layout)
{
    if (lines_ == 0)
        return nullptr;
    const DibLayout final = dibLayout(width_, lines_, bitCount_, dpi_);
    uint8_t *dib = nullptr;
    if (dib_) {
        // Fewer lines than announced: they sit at the top of the picture, the end of the rows.
        if (lines_ < layout_.height)
            std::memmove(dib_ + layout_.pixelOffset, dib_ + layout_.pixelOffset + layout_.stride * (layout_.height - lines_),
                         layout_.stride * lines_);
        dib = dib_;
        dib_ = nullptr;
    } else {
        dib = static_cast<uint8_t *>(std::malloc(final.size));
        if (!dib)
            return nullptr;
        for (int y = 0; y < lines_; ++y)
            std::memcpy(dib + final.pixelOffset + final.stride * (lines_ - 1 - y), growing_.data() + final.stride * y, final.stride);
        growing_.clear();
        growing_.shrink_to_fit();
    }
    writeDibHeader(dib, final);
    layout = final;
    return dib;
}

} // namespace twaindsm
