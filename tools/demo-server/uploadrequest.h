#pragma once

#include <QByteArray>
#include <QString>

// One page as the agent posts it: a JSON object with the page as a data URI.
struct UploadRequest {
    QString batchNumber;
    int sortNo = 0;
    QString unionKey;
    int paperVersion = 0;
    QByteArray jpeg;
};

// The result of checking a posted body: the page, or the reason it was refused.
struct UploadCheck {
    bool ok = false;
    QString reason;
    UploadRequest page;
};

namespace DemoUpload {

// Bodies above this size are refused; a 300 dpi colour A4 page is about 2 MiB in base64.
inline constexpr qint64 kMaxBodyBytes = 8 * 1024 * 1024;

// Checks the content type and every field; never throws, whatever the bytes.
UploadCheck check(const QString& contentType, const QByteArray& body);

// Empty when `contentType` is JSON's, else the reason.
QString contentTypeProblem(const QString& contentType);

// A batch number that can name a folder: not empty, at most 128 characters, no control
// characters, no slash or backslash, not "." or "..". Empty when valid, else the reason.
QString batchNumberProblem(const QString& batchNumber);

} // namespace DemoUpload
