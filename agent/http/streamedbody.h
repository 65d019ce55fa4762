#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>
#include <vector>

// A request body made while it is sent: literal pieces and the base64 of a file (or of bytes),
// read and encoded a chunk at a time, so a page's body never exists in memory as a whole. Its
// size is known before the first byte goes out; every attempt of a request starts it anew with
// rewind(). The bytes are exactly those of the body built in one piece.
class KELStreamedBody {
public:
    void appendBytes(const QByteArray& bytes);
    // The file's first `size` bytes as base64 (standard alphabet, padded). The file is opened
    // when the body is rewound; it must hold at least `size` bytes then.
    void appendBase64OfFile(const QString& path, qint64 size);
    void appendBase64(const QByteArray& bytes);

    qint64 size() const;
    // Back to the first byte; false (see errorText) when a file cannot be opened.
    bool rewind();
    // Up to `max` next bytes into `out`: their count, 0 at the end, -1 when a file cannot be
    // read as far as its piece says.
    qint64 read(char* out, qint64 max);
    // Everything from the first byte (for tests and small bodies); empty on failure.
    QByteArray readAll();
    const QString& errorText() const { return error; }

    static qint64 base64Size(qint64 bytes) { return (bytes + 2) / 3 * 4; }

private:
    struct Piece {
        enum class Kind { Bytes, Base64Bytes, Base64File } kind;
        QByteArray bytes;
        QString path;
        qint64 rawSize = 0;
    };
    // Fills `encoded` with the next chunk of the current base64 piece; false on a read failure.
    bool encodeNextChunk(const Piece& piece);

    std::vector<Piece> pieces;
    std::size_t current = 0;
    qint64 offset = 0;       // within a Bytes piece
    qint64 rawDone = 0;      // raw bytes of the current base64 piece encoded so far
    QByteArray rawChunk;     // the current chunk of a file, before encoding
    QByteArray encoded;      // the current chunk of base64
    int encodedPos = 0;
    std::unique_ptr<QFile> file;  // the current base64 file piece, once opened
    QString error;
};
