#pragma once

// What the two print managers share on the way from a command to files on disk: the student as
// a command gives it, the local names of its images, the download of one student's images (side
// by side, each checked to be an image, cancellable), the credentials they are fetched with, and
// the removal of a student's files once they are printed or failed.

#include "command/credentials.h"
#include "http/curlrequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// Seconds an image download may take.
inline constexpr int kPrintDownloadTimeoutSec = 900;

// One student's print as both managers keep it: who, from which page, what to fetch and print.
struct PrintStudent {
    QString studentName;
    QString studentId;
    QString remoteKey;    // the connection of the page that asked
    QString remoteOrigin; // that page's origin: where its results go once it has gone
    QStringList imgList;
    QStringList localFiles; // in page order, once downloaded
    QMap<QString, QString> printConfig;

    // "studentName", "studentId", "imgList" and "config" of a "print" or one "printBatch" element.
    static PrintStudent fromCommand(const QJsonObject& data);
};

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

// Why an image could not be had.
enum class DownloadProblem {
    None,
    Network,      // no answer, a broken transfer, an error status
    WriteFailed,  // the file could not be written on this PC
    NotImage,     // the answer is no image (cut short, or some other file)
    LoginExpired, // 401/403, or a login page (a form asking for a password) instead of the image
    Cancelled,    // the student no longer needs it
};
// The failure text for the page.
QString downloadProblemText(DownloadProblem problem);
// Whether a downloaded file holds an image, from its header alone (no decoding of the pixels):
// None, NotImage, or LoginExpired for a login page.
DownloadProblem checkDownloadedImage(const QString& path);

// One image's download.
struct ImageResult {
    int code = -1;    // syncDownloadPrintFile's result
    int httpCode = 0; // the answer's status
    QString path;     // set on success
    QByteArray curlError;
    DownloadProblem problem = DownloadProblem::Network;
    qint64 costMs = 0;
    bool ok() const { return problem == DownloadProblem::None; }
};

// One student's images fetched into a folder, a few at a time, each checked to be an image.
// Cancelling (from any thread) aborts the transfers in flight and starts no more.
class StudentDownload {
public:
    struct Outcome {
        bool ok = false;
        QStringList files;       // in image order, when ok
        int failedIndex = -1;    // the first image that failed
        ImageResult failed;
        DownloadProblem problem() const { return ok ? DownloadProblem::None : failed.problem; }
    };
    // Told on the download's threads before and after each image.
    struct ImageLog {
        std::function<void(int index, const QString& url, const QString& path)> started;
        std::function<void(int index, const QString& url, const ImageResult& result)> ended;
    };

    // `headers` go to every image address, their "Cookie" only to those `cookieScope` allows.
    StudentDownload(QStringList urls, QString folder, HeaderMap headers, KELCookieScope cookieScope, int concurrency);

    // Blocks until every image has ended; the folder must exist.
    Outcome run(const ImageLog& log = {});
    void cancel();
    bool isCancelled() const { return cancelled.load(); }
    QString folder() const { return targetFolder; }

private:
    ImageResult fetch(int index);

    const QStringList urls;
    const QString targetFolder;
    const HeaderMap headers;
    const KELCookieScope cookieScope;
    const int concurrency;
    std::atomic<bool> cancelled {false};
    QMutex requestsMutex;
    QSet<CUrlRequest*> requests;
};

// What both print managers download with: the latest login's credentials with the servers they
// may go to, and every student download in flight, all cancelled at once when the agent quits.
class PrintDownloads {
public:
    void setCredentials(const KELCredentials& credentials, const KELCookieScope& scope);
    HeaderMap headers() const;
    // A download for a student, registered so that abandonAll reaches it; null after abandonAll.
    std::shared_ptr<StudentDownload> create(const QStringList& urls, const QString& folder, int concurrency);
    void abandonAll();
    bool abandoned() const { return off.load(); }

private:
    mutable QMutex mutex;
    HeaderMap requestHeaders;
    KELCookieScope cookieScope;
    std::vector<std::weak_ptr<StudentDownload>> downloads;
    std::atomic<bool> off {false};
};

// A student's downloaded files go once they are printed or failed, on the thread pool; a batch's
// folder goes with its last student. At start, whatever an earlier run left behind for more
// than a day goes too.
namespace PrintFiles {
// Removes `folder` and, when `batchFolder` is given and empty afterwards, that too.
void discard(const QString& folder, const QString& batchFolder = QString());
void removeLeftovers(const QString& downloadFolder, qint64 olderThanMs);
} // namespace PrintFiles
