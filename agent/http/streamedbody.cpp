#include "http/streamedbody.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {
// A multiple of 3, so the chunks' base64 joins into the base64 of the whole.
constexpr qint64 kRawChunk = 3 * 16384;
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
    QByteArray raw;
    if (piece.kind == Piece::Kind::Base64Bytes) {
        raw = QByteArray::fromRawData(piece.bytes.constData() + rawDone, int(count));
    } else {
        if (!file) {
            file = std::make_unique<QFile>(piece.path);
            if (!file->open(QIODevice::ReadOnly)) {
                error = QStringLiteral("cannot open %1: %2").arg(piece.path, file->errorString());
                file.reset();
                return false;
            }
        }
        raw = file->read(count);
        if (raw.size() != count) {
            error = QStringLiteral("%1 ended after %2 of %3 bytes").arg(piece.path).arg(rawDone + qMax(0, raw.size())).arg(piece.rawSize);
            return false;
        }
    }
    encoded = raw.toBase64();
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
