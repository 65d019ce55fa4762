#pragma once

#include "foundation/agentlog.h"

#include <QByteArray>
#include <QString>

#include <string_view>

// Qt strings go into log lines as UTF-8, so the log file stays UTF-8 text.
template <>
struct fmt::formatter<QString> : fmt::formatter<std::string_view> {
    template <typename Context>
    auto format(const QString& text, Context& ctx) const
    {
        const QByteArray utf8 = text.toUtf8();
        return fmt::formatter<std::string_view>::format(
            std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), ctx);
    }
};

template <>
struct fmt::formatter<QByteArray> : fmt::formatter<std::string_view> {
    template <typename Context>
    auto format(const QByteArray& bytes, Context& ctx) const
    {
        return fmt::formatter<std::string_view>::format(
            std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), ctx);
    }
};

namespace KELLog {

// Creates the daily rotating log file in `logFolder` and registers the logger.
void initLogging(const QString& logFolder, int level);

// Longest piece of a page's or a server's text that goes into one log line.
inline constexpr int kLoggedTextBytes = 1024;

// Text from outside (a request's fields or payload, a server's answer) as it is logged: at most
// kLoggedTextBytes of it, cut at a character boundary and followed by "... (N bytes)" with the
// full length when it was longer. A page cannot grow the log file by sending more.
QByteArray clipped(const QByteArray& text);
QByteArray clipped(const QString& text);

} // namespace KELLog
