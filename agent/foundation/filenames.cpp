#include "foundation/filenames.h"

#include <QCryptographicHash>

namespace KELFileNames {

namespace {

bool refusedInNames(QChar c)
{
    if (c.unicode() < 0x20 || c.unicode() == 0x7f)
        return true;
    switch (c.unicode()) {
    case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return true;
    default:
        return false;
    }
}

} // namespace

QString safeFileName(const QString& name)
{
    QString safe = name;
    for (QChar& c : safe) {
        if (refusedInNames(c))
            c = QLatin1Char('_');
    }
    if (safe.isEmpty() || safe.startsWith(QLatin1Char('.')))
        safe.replace(0, safe.isEmpty() ? 0 : 1, QLatin1Char('_'));

    const QByteArray utf8 = safe.toUtf8();
    if (utf8.size() <= kMaxNameBytes)
        return safe;
    const QByteArray hash =
        QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
    int cut = kMaxNameBytes - 1 - hash.size();
    while (cut > 0 && (uchar(utf8.at(cut)) & 0xC0) == 0x80)
        --cut; // never half a character (the text is valid UTF-8: this ends within three bytes)
    return QString::fromUtf8(utf8.left(cut) + '~' + hash);
}

} // namespace KELFileNames
