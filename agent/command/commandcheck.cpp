#include "command/commandcheck.h"

#include "foundation/logging.h"

#include <QJsonDocument>
#include <QSet>

#include <cmath>

namespace KELCommandCheck {

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// The text forms of a number: decimal with optional sign, fraction and exponent, or the names of
// the non-finite values. Anything else is "not numeric".
bool looksNumeric(const QString& text)
{
    const int size = text.size();
    int at = 0;
    if (at < size && (text.at(at) == QLatin1Char('+') || text.at(at) == QLatin1Char('-')))
        ++at;
    const QString rest = text.mid(at).toLower();
    if (rest == QLatin1String("inf") || rest == QLatin1String("infinity") || rest == QLatin1String("nan"))
        return true;
    int digits = 0;
    for (; at < size && isAsciiDigit(text.at(at)); ++at)
        ++digits;
    if (at < size && text.at(at) == QLatin1Char('.')) {
        for (++at; at < size && isAsciiDigit(text.at(at)); ++at)
            ++digits;
    }
    if (digits == 0)
        return false;
    if (at < size && (text.at(at) == QLatin1Char('e') || text.at(at) == QLatin1Char('E'))) {
        ++at;
        if (at < size && (text.at(at) == QLatin1Char('+') || text.at(at) == QLatin1Char('-')))
            ++at;
        int exponentDigits = 0;
        for (; at < size && isAsciiDigit(text.at(at)); ++at)
            ++exponentDigits;
        if (exponentDigits == 0)
            return false;
    }
    return at == size;
}

Integer fromDouble(double number, int min, int max)
{
    if (!std::isfinite(number) || number != std::trunc(number) || number < min || number > max)
        return {Integer::Kind::Invalid, 0};
    return {Integer::Kind::Valid, static_cast<int>(number)};
}

} // namespace

Integer readInteger(const QJsonValue& value, int min, int max)
{
    if (value.isUndefined() || value.isNull())
        return {};
    if (value.isDouble())
        return fromDouble(value.toDouble(), min, max);
    if (!value.isString())
        return {Integer::Kind::NotNumeric, 0};
    const QString text = value.toString().trimmed();
    if (!looksNumeric(text))
        return {Integer::Kind::NotNumeric, 0};
    // An overflowing text reads as infinity with ok false: invalid either way.
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok ? fromDouble(number, min, max) : Integer {Integer::Kind::Invalid, 0};
}

bool hasControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

QString textProblem(const QString& text, const QString& what, int maxLength)
{
    if (text.size() > maxLength)
        return QStringLiteral("%1 is longer than %2 characters").arg(what).arg(maxLength);
    if (hasControlCharacter(text))
        return QStringLiteral("%1 holds a control character").arg(what);
    return {};
}

QString nameProblem(const QString& name, const QString& what)
{
    return textProblem(name, what, kMaxNameLength);
}

KELCredentials readCredentials(const QJsonObject& data)
{
    KELCredentials credentials;
    if (data.isEmpty())
        return credentials;
    const QJsonObject items = data.value(QStringLiteral("uploadCredentials")).toObject();
    for (auto it = items.constBegin(); it != items.constEnd(); ++it)
        credentials[it.key()] = it.value().toString();
    return credentials;
}

QString credentialsProblem(const KELCredentials& credentials)
{
    for (const auto& [name, value] : credentials) {
        if (hasControlCharacter(name) || name.contains(QLatin1Char('=')) || name.contains(QLatin1Char(';')))
            return QStringLiteral("uploadCredentials name holds a control character, \"=\" or \";\"");
        if (hasControlCharacter(value))
            return QStringLiteral("uploadCredentials value holds a control character");
    }
    return {};
}

ScanData readScanData(const QJsonObject& data)
{
    ScanData scan;
    scan.batchNo = data.value(QStringLiteral("batchno")).toString();
    scan.uploadUrl = data.value(QStringLiteral("uploadUrl")).toString();
    scan.unionKey = data.value(QStringLiteral("unionKey")).toString();
    scan.paperVersionField = readInteger(data.value(QStringLiteral("paperVersion")));
    if (scan.paperVersionField.kind == Integer::Kind::Valid && scan.paperVersionField.value != 0)
        scan.paperVersion = scan.paperVersionField.value;
    return scan;
}

QString scanDataProblem(const ScanData& scan)
{
    if (scan.uploadUrl.isEmpty() || scan.unionKey.isEmpty())
        return QStringLiteral("no url or key");
    for (const QString& problem : {textProblem(scan.uploadUrl, QStringLiteral("uploadUrl"), kMaxUrlLength),
                                   textProblem(scan.unionKey, QStringLiteral("unionKey"), kMaxUnionKeyLength)}) {
        if (!problem.isEmpty())
            return problem;
    }
    const QString batchProblem = nameProblem(scan.batchNo, QStringLiteral("batchno"));
    if (!batchProblem.isEmpty())
        return batchProblem;
    if (scan.paperVersionField.kind == Integer::Kind::Invalid)
        return QStringLiteral("paperVersion is not a usable number");
    return {};
}

QString printStudentProblem(const QJsonObject& student)
{
    return nameProblem(student.value(QStringLiteral("studentId")).toString(), QStringLiteral("studentId"));
}

QString printBatchProblem(const QJsonArray& students)
{
    QSet<QString> seenIds;
    for (int index = 0; index < students.size(); ++index) {
        const auto failed = [index](const QString& reason) {
            return QStringLiteral("%1, index=%2").arg(reason).arg(index);
        };
        const QJsonValue item = students.at(index);
        if (!item.isObject()) {
            KLOG->warn("printBatch validation failed. index={}, reason=student item is not object", index);
            return failed(QStringLiteral("student item is not object"));
        }
        const QJsonObject student = item.toObject();
        const QString studentName = student.value(QStringLiteral("studentName")).toString();
        const QString studentId = student.value(QStringLiteral("studentId")).toString();
        const QByteArray name = KELLog::clipped(studentName);
        const QByteArray id = KELLog::clipped(studentId);
        const QJsonValue imgList = student.value(QStringLiteral("imgList"));
        KLOG->info("printBatch validate student. index={}, studentName={}, studentId={}, student={}",
                   index, name, id, KELLog::clipped(QJsonDocument(student).toJson(QJsonDocument::Compact)));

        if (studentName.isEmpty() || !imgList.isArray()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, studentId={}, "
                       "reason=imgList not list or no student_name",
                       index, name, id);
            return failed(QStringLiteral("imgList not list or no student_name"));
        }
        if (imgList.toArray().isEmpty()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, studentId={}, "
                       "reason=imgList is empty",
                       index, name, id);
            return failed(QStringLiteral("imgList is empty"));
        }
        if (studentId.isEmpty()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, reason=no student_id", index, name);
            return failed(QStringLiteral("no student_id"));
        }
        const QString idProblem = printStudentProblem(student);
        if (!idProblem.isEmpty()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, reason={}", index, name, idProblem);
            return failed(idProblem);
        }
        if (seenIds.contains(studentId)) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, studentId={}, "
                       "reason=duplicate student_id",
                       index, name, id);
            return failed(QStringLiteral("duplicate student_id"));
        }
        seenIds.insert(studentId);
    }
    return {};
}

} // namespace KELCommandCheck
