#pragma once

#include "scanning/scannedpage.h"

#include <twain.h>

#include <QByteArray>
#include <QString>

// One page as the data source delivered it, kept without a copy until it has been encoded on
// the pool: the native handle (a packed DIB, or a TIFF file on Linux), the strips of a memory
// transfer assembled into one buffer, or the bytes of an image file (file and memory-file
// transfers). Move-only; a native handle is freed when the page is destroyed.
class KELRawPage {
public:
    KELRawPage() = default;
    ~KELRawPage();
    KELRawPage(KELRawPage&& other) noexcept;
    KELRawPage& operator=(KELRawPage&& other) noexcept;
    KELRawPage(const KELRawPage&) = delete;
    KELRawPage& operator=(const KELRawPage&) = delete;

    // Takes over the handle (the session must not free it).
    static KELRawPage fromNativeHandle(TW_HANDLE handle);
    static KELRawPage fromMemory(ScannedPage::MemoryAssembler&& assembled);
    static KELRawPage fromFileBytes(QByteArray bytes);

    bool isNull() const { return kind == Kind::None; }

    // The page as JPEG at the agent's quality, straight from the delivered rows where
    // TurboJPEG takes their layout, else decoded once and encoded from the decoded image;
    // empty when the page cannot be read. With `originPath`, the delivered page is kept there
    // as a BMP file as well: a DIB exactly as it came, anything else as the decoded page.
    QByteArray encodeJpeg(const QString& originPath = QString()) const;

    // Frees what the page holds.
    void release();

private:
    enum class Kind { None, Native, Memory, File };

    QByteArray encodeDib(const unsigned char* dib, std::size_t available, const QString& originPath) const;

    Kind kind = Kind::None;
    TW_HANDLE handle = nullptr;
    ScannedPage::MemoryAssembler memory;
    QByteArray fileBytes;
};
