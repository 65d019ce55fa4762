#pragma once

// What the two print managers share on the way from a command to files on disk: the print
// configuration of a student, the local names of its images, and the group of image downloads
// that run side by side and are waited for together.

#include "http/curlrequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <vector>

// Seconds an image download may take.
inline constexpr int kPrintDownloadTimeoutSec = 900;

// {"size", "type"} from a command's "config": a size only when it is "A3", "A4", "8K" or "16K",
// a type only when it is "part" or "whole", and "whole" when "config" names no type at all.
QMap<QString, QString> buildPrintConfig(const QJsonObject& config);
// The configuration as compact JSON, for log lines.
QByteArray printConfigText(const QMap<QString, QString>& printConfig);

// The local file of image `index` (from 0) of `url` in `downloadDir`: "NNN_name.jpg", NNN the
// position from 1 with at least three digits, the name the URL's last path piece (else what
// follows its last "=", else "image_N") with characters that are not allowed in names made
// "_". Cut so that the file and its ".download" companion stay within the 255 bytes a name may
// have; two images of one student never share a file.
QString buildImagePath(const QString& downloadDir, int index, const QString& url);
// A student id (or other page-given text) as one folder-name piece, with the same replacements.
QString safeNamePiece(const QString& text);

// Lets a manager abandon every print download it has in flight at once (the agent is quitting).
// A request registers for the time of its transfer; once abandoned, no new transfer starts.
class PrintDownloadSwitch {
public:
    // False when downloads were abandoned already: the caller must not start.
    bool enter(CUrlRequest* request);
    void leave(CUrlRequest* request);
    void abandonAll();
    bool abandoned() const { return off.load(); }

private:
    QMutex mutex;
    QSet<CUrlRequest*> active;
    std::atomic<bool> off {false};
};

// The images of one student: each download runnable stores its result at its index, and the
// task that started them waits until all have ended.
class ImageDownloadGroup {
public:
    struct Result {
        int code = -1;     // syncDownloadPrintFile's result; -6 when abandoned before it started
        int httpCode = 0;  // the answer's status
        QString path;      // set on success
        QByteArray curlError;
        // The file holds the image: the transfer completed and the server answered with success.
        bool ok() const { return code == 0 && httpCode >= 200 && httpCode < 300; }
    };

    explicit ImageDownloadGroup(int total);

    // One image, on the calling (pool) thread.
    static Result fetch(PrintDownloadSwitch& downloads, const QString& url, const QString& path,
                        const HeaderMap& headers);
    // Stores a result; the last one wakes the waiter.
    void complete(int index, const Result& result);
    void waitForAll();
    Result result(int index) const { return results.at(size_t(index)); }
    int total() const { return count; }

private:
    std::vector<Result> results;
    const int count;
    std::atomic<int> completed {0};
    QMutex mutex;
    QWaitCondition allDone;
};
