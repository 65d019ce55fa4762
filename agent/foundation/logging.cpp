#include "foundation/logging.h"

#include "foundation/logwriter.h"
#include "foundation/testtimes.h"

#include <QDate>
#include <QFile>

#include <spdlog/sinks/rotating_file_sink.h>

#include <algorithm>
#include <chrono>

namespace KELLog {

namespace {
constexpr size_t kRotateBytes = 31457280; // 30 MiB
constexpr size_t kRotatedFiles = 10;
constexpr int kFlushEveryMs = 10000;
} // namespace

void initLogging(const QString& logFolder, int level)
{
    const QString fileName = QStringLiteral("vellox-%1.log")
                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    const QString path = logFolder + QLatin1Char('/') + fileName;

    // The file is written by a thread of its own: the GUI thread, the command server and the
    // page encoders only queue their lines.
    auto file = std::make_shared<spdlog::sinks::rotating_file_sink_st>(
        QFile::encodeName(path).toStdString(), kRotateBytes, kRotatedFiles, false);
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::make_shared<BackgroundWriterSink>(std::move(file)));
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e][%l][thread:%t]:%v", spdlog::pattern_time_type::local);
    // Whole seconds: what spdlog's flusher takes.
    spdlog::flush_every(std::chrono::seconds(std::max(1, KELTestTimes::scaled(kFlushEveryMs) / 1000)));
    logger->set_level(levelFromSetting(level));
    logger->flush_on(spdlog::level::warn);

    spdlog::drop(kLoggerName);
    spdlog::register_logger(std::move(logger));
}

namespace {

// The head of a longer text, cut back to a character boundary, and the text's full length.
QByteArray headWithLength(const QByteArray& head, qint64 totalBytes)
{
    int cut = std::min<int>(head.size(), kLoggedTextBytes);
    // Back to the first byte of a UTF-8 sequence, so the line stays valid text.
    // A UTF-8 sequence has at most three continuation bytes; bytes that are not text are cut anywhere.
    for (int back = 0; back < 3 && cut > 0 && cut < head.size() && (uchar(head.at(cut)) & 0xC0) == 0x80; ++back)
        --cut;
    return head.left(cut) + QByteArrayLiteral("... (") + QByteArray::number(totalBytes)
        + QByteArrayLiteral(" bytes)");
}

qint64 utf8Length(const QString& text)
{
    qint64 bytes = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        bytes += u < 0x80 ? 1 : u < 0x800 ? 2 : c.isSurrogate() ? 2 : 3;
    }
    return bytes;
}

} // namespace

QByteArray clipped(const QByteArray& text)
{
    if (text.size() <= kLoggedTextBytes)
        return text;
    return headWithLength(text, text.size());
}

QByteArray clipped(const QString& text)
{
    // Only the head of a long text is converted: a page's megabytes are never copied for a log line.
    int headChars = std::min(text.size(), kLoggedTextBytes + 1);
    if (headChars < text.size() && text.at(headChars - 1).isHighSurrogate())
        --headChars;
    const QByteArray head = text.left(headChars).toUtf8();
    if (headChars == text.size() && head.size() <= kLoggedTextBytes)
        return head;
    return headWithLength(head, utf8Length(text));
}

} // namespace KELLog
