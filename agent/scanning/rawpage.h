#pragma once

#include "scanning/scannedpage.h"

#include <twain.h>

#include <QByteArray>
#include <QDateTime>
#include <QString>

// One page as the data source delivered it, kept without a copy until it has been encoded on
// the pool: the native handle (a packed DIB, or a TIFF file on Linux), the strips of a memory
// transfer assembled into one buffer, the bytes of a memory-file transfer, or the file of a file
// transfer, read only on the pool. Move-only; a native handle is freed, and our own transfer file
// removed, when the page is released or destroyed.
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
    // The file a file transfer wrote, taken over with its name only: our own transfer file
    // (`ownFile`) is moved aside to a name of its own, since the next page's transfer reuses
    // its name, and removed with the page; a file the source chose itself is read where it
    // is and left alone. `problem` tells, in the words of the log, when the file is missing,
    // cannot be read or is empty; the page is then only good for releasing.
    static KELRawPage fromTransferFile(const QString& path, bool ownFile, QString* problem);
    // Removes our transfer files in `folder` (the one file transfers write and the names pages
    // were moved aside to) last written before `before`: those of an agent that ended in the
    // middle of a batch. The number removed. Walks the folder: not for the GUI thread.
    static int removeLeftoverTransferFiles(const QString& folder, const QDateTime& before);

    bool isNull() const { return kind == Kind::None; }

    // The page as JPEG at the agent's quality, straight from the delivered rows where
    // TurboJPEG takes their layout, else decoded once and encoded from the decoded image;
    // empty when the page cannot be read. With `originPath`, the delivered page is kept there
    // as a BMP file as well: a DIB exactly as it came, anything else as the decoded page.
    // When the result is empty, `problem` says why, in words for the log.
    QByteArray encodeJpeg(const QString& originPath = QString(), QString* problem = nullptr) const;

    // Frees what the page holds.
    void release();

private:
    enum class Kind { None, Native, Memory, File };

    QByteArray encode(const QString& originPath, QString* problem) const;
    QByteArray encodeDib(const unsigned char* dib, std::size_t available, const QString& originPath,
                         QString* problem) const;
    QByteArray encodeFile(const QByteArray& bytes, const QString& originPath, QString* problem) const;
    QByteArray readTransferFile(QString* problem) const;

    Kind kind = Kind::None;
    TW_HANDLE handle = nullptr;
    ScannedPage::MemoryAssembler memory;
    QByteArray fileBytes;
    QString transferPath;      // where the transfer file is read
    QString transferName;      // the name the source wrote it under, for the log
    bool ownTransferFile = false;
};
