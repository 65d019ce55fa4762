#include "http/streamedbody.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {
// A multiple of 3, so the chunks' base64 joins into the base64 of the whole.
constexpr qint64 kRawChunk = 3 * 16384;

// The two characters of every 12-bit value, so three bytes become four characters in two
// look-ups: a page's half megabyte is encoded for every upload attempt.
struct Base64Pairs {
    Base64Pairs()
    {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 4096; ++i) {
            pairs[2 * i] = alphabet[i >> 6];
            pairs[2 * i + 1] = alphabet[i & 63];
        }
    }
    char pairs[2 * 4096];
};

// Standard alphabet, padded; `out` holds base64Size(size) characters.
void encodeBase64(const unsigned char* in, qint64 size, char* out)
{
    static const Base64Pairs table;
    const char* pairs = table.pairs;
    qint64 i = 0;
    for (; i + 3 <= size; i += 3, out += 4) {
        const unsigned v = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
        std::memcpy(out, pairs + 2 * (v >> 12), 2);
        std::memcpy(out + 2, pairs + 2 * (v & 0xFFF), 2);
    }
    if (i < size) {
        const unsigned v = unsigned(in[i]) << 16 | (i + 1 < size ? unsigned(in[i + 1]) << 8 : 0u);
        std::memcpy(out, pairs + 2 * (v >> 12), 2);
        out[2] = i + 1 < size ? pairs[2 * ((v >> 6) & 0xFFF) + 1] : '=';
        out[3] = '=';
    }
}
} // namespace

void KELStreamedBody::appendBytes(const QByteArray& bytes)
{
    pieces.push_back(Piece{ Piece::Kind::Bytes, bytes, QString(), bytes.size() });
}

void KELStreamedBody::appendBase64OfFile(const QString& path, qint64 size)
{
    pieces.push_back(Piece{ Piece::Kind::Base64File, QByteArray(), path, std::max<qint64>(0, size) });
}

void KELStreamedBody::appendBase64(const QByteArray& bytes)
{
    pieces.push_back(Piece{ Piece::Kind::Base64Bytes, bytes, QString(), bytes.size() });
}

qint64 KELStreamedBody::size() const
{
    qint64 total = 0;
    for (const Piece& piece : pieces)
        total += piece.kind == Piece::Kind::Bytes ? piece.rawSize : base64Size(piece.rawSize);
    return total;
}

bool KELStreamedBody::rewind()
{
    current = 0;
    offset = rawDone = 0;
    encoded.clear();
    encodedPos = 0;
    error.clear();
    file.reset();
    // A page file that is gone or shorter than its piece fails before anything is sent.
    for (const Piece& piece : pieces) {
        if (piece.kind != Piece::Kind::Base64File)
            continue;
        const QFileInfo info(piece.path);
        if (!info.isFile() || info.size() < piece.rawSize) {
            error = QStringLiteral("%1 is missing or shorter than %2 bytes").arg(piece.path).arg(piece.rawSize);
            return false;
        }
    }
    return true;
}

bool KELStreamedBody::encodeNextChunk(const Piece& piece)
{
    const qint64 count = std::min(kRawChunk, piece.rawSize - rawDone);
    const char* raw = nullptr;
    if (piece.kind == Piece::Kind::Base64Bytes) {
        raw = piece.bytes.constData() + rawDone;
    } else {
        if (!file) {
            file = std::make_unique<QFile>(piece.path);
            if (!file->open(QIODevice::ReadOnly)) {
                error = QStringLiteral("cannot open %1: %2").arg(piece.path, file->errorString());
                file.reset();
                return false;
            }
        }
        rawChunk.resize(int(count));
        const qint64 got = file->read(rawChunk.data(), count);
        if (got != count) {
            error = QStringLiteral("%1 ended after %2 of %3 bytes").arg(piece.path).arg(rawDone + qMax<qint64>(0, got)).arg(piece.rawSize);
            return false;
        }
        raw = rawChunk.constData();
    }
    encoded.resize(int(base64Size(count)));
    encodeBase64(reinterpret_cast<const unsigned char*>(raw), count, encoded.data());
    encodedPos = 0;
    rawDone += count;
    return true;
}

qint64 KELStreamedBody::read(char* out, qint64 max)
{
    qint64 written = 0;
    while (written < max && current < pieces.size()) {
        const Piece& piece = pieces[current];
        if (piece.kind == Piece::Kind::Bytes) {
            const qint64 count = std::min(max - written, piece.rawSize - offset);
            std::memcpy(out + written, piece.bytes.constData() + offset, size_t(count));
            written += count;
            offset += count;
        } else {
            if (encodedPos == encoded.size() && rawDone < piece.rawSize && !encodeNextChunk(piece))
                return -1;
            const qint64 count = std::min<qint64>(max - written, encoded.size() - encodedPos);
            std::memcpy(out + written, encoded.constData() + encodedPos, size_t(count));
            written += count;
            encodedPos += int(count);
        }
        const bool pieceDone = piece.kind == Piece::Kind::Bytes
            ? offset == piece.rawSize
            : rawDone == piece.rawSize && encodedPos == encoded.size();
        if (pieceDone) {
            ++current;
            offset = rawDone = 0;
            encoded.clear();
            encodedPos = 0;
            file.reset();
        }
    }
    return written;
}

QByteArray KELStreamedBody::readAll()
{
    if (!rewind())
        return QByteArray();
    QByteArray all(int(size()), Qt::Uninitialized);
    qint64 done = 0;
    while (done < all.size()) {
        const qint64 count = read(all.data() + done, all.size() - done);
        if (count <= 0)
            return QByteArray();
        done += count;
    }
    return all;
}
