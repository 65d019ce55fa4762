#include "uploadrequest.h"

#include <QBuffer>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <limits>

namespace {

const QByteArray kDataUriPrefix = QByteArrayLiteral("data:image/jpeg;base64,");
constexpr int kMaxBatchNumberLength = 128;

bool isWholeNumber(const QJsonValue& value, double min)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && number == std::floor(number) && number >= min
        && number <= std::numeric_limits<int>::max();
}

UploadCheck refused(const QString& reason)
{
    UploadCheck result;
    result.reason = reason;
    return result;
}

} // namespace

namespace DemoUpload {

QString batchNumberProblem(const QString& batchNumber)
{
    if (batchNumber.isEmpty())
        return QStringLiteral("batchNumber is empty");
    if (batchNumber.size() > kMaxBatchNumberLength)
        return QStringLiteral("batchNumber is longer than %1 characters").arg(kMaxBatchNumberLength);
    if (batchNumber == QLatin1String(".") || batchNumber == QLatin1String(".."))
        return QStringLiteral("batchNumber cannot be \".\" or \"..\"");
    for (const QChar c : batchNumber) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("batchNumber holds a control character");
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return QStringLiteral("batchNumber holds a slash or backslash");
    }
    return {};
}

QString contentTypeProblem(const QString& contentType)
{
    const QString mediaType = contentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    if (mediaType == QLatin1String("application/json"))
        return {};
    return QStringLiteral("Content-Type must be application/json, not \"%1\"").arg(contentType);
}

UploadCheck check(const QString& contentType, const QByteArray& body)
{
    const QString typeProblem = contentTypeProblem(contentType);
    if (!typeProblem.isEmpty())
        return refused(typeProblem);
    if (body.size() > kMaxBodyBytes)
        return refused(QStringLiteral("the body is larger than %1 MiB").arg(kMaxBodyBytes / (1024 * 1024)));

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return refused(QStringLiteral("the body is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return refused(QStringLiteral("the body must be a JSON object"));
    const QJsonObject object = document.object();

    UploadCheck result;
    UploadRequest& page = result.page;

    const QJsonValue file = object.value(QStringLiteral("file"));
    if (!file.isString())
        return refused(QStringLiteral("file is missing or not a text"));
    const QByteArray uri = file.toString().toLatin1();
    if (!uri.startsWith(kDataUriPrefix))
        return refused(QStringLiteral("file must start with \"data:image/jpeg;base64,\""));
    const auto decoded = QByteArray::fromBase64Encoding(uri.mid(kDataUriPrefix.size()),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refused(QStringLiteral("file is not valid base64"));
    page.jpeg = *decoded;
    QBuffer buffer(&page.jpeg);
    QImageReader reader(&buffer, "jpeg");
    if (!page.jpeg.startsWith("\xFF\xD8\xFF") || !reader.canRead() || !reader.size().isValid())
        return refused(QStringLiteral("file is not a JPEG image"));

    const QJsonValue sortNo = object.value(QStringLiteral("sortNo"));
    if (!isWholeNumber(sortNo, 1))
        return refused(QStringLiteral("sortNo is missing or not a whole number from 1"));
    page.sortNo = sortNo.toInt();

    const QJsonValue batchNumber = object.value(QStringLiteral("batchNumber"));
    if (!batchNumber.isString())
        return refused(QStringLiteral("batchNumber is missing or not a text"));
    page.batchNumber = batchNumber.toString();
    const QString problem = batchNumberProblem(page.batchNumber);
    if (!problem.isEmpty())
        return refused(problem);

    const QJsonValue unionKey = object.value(QStringLiteral("unionKey"));
    if (!unionKey.isString() || unionKey.toString().isEmpty())
        return refused(QStringLiteral("unionKey is missing or empty"));
    page.unionKey = unionKey.toString();

    const QJsonValue paperVersion = object.value(QStringLiteral("paperVersion"));
    if (!isWholeNumber(paperVersion, std::numeric_limits<int>::min()))
        return refused(QStringLiteral("paperVersion is missing or not a whole number"));
    page.paperVersion = paperVersion.toInt();

    result.ok = true;
    return result;
}

} // namespace DemoUpload
