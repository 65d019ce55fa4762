#pragma once

#include "command/credentials.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <climits>

// The checks of the commands' "data", apart from the controller so that they can be tried on
// any input. Each check returns the first problem it finds as the text that follows
// "wrong data: " in the 400 reply, or an empty text when the data can be used.
namespace KELCommandCheck {

// Longest batch number or student id: they become folder names and settings values.
inline constexpr int kMaxNameLength = 128;
// Longest "start-scan" upload address and union key: every page carries them to the server.
inline constexpr int kMaxUrlLength = 2048;
inline constexpr int kMaxUnionKeyLength = 256;

// A number field, read the one way every command reads its numbers: a JSON number or a text
// holding one.
struct Integer {
    enum class Kind {
        Absent,     // no such member, null
        NotNumeric, // not a number at all ("abc", true, an object)
        Invalid,    // a number no int can hold: non-finite, fractional, out of range
        Valid,
    };
    Kind kind = Kind::Absent;
    int value = 0;
};
Integer readInteger(const QJsonValue& value, int min = INT_MIN, int max = INT_MAX);

bool hasControlCharacter(const QString& text);
// A name that becomes part of a path or a stored setting: at most kMaxNameLength characters and
// no control characters. `what` names the field in the problem text.
QString nameProblem(const QString& name, const QString& what);
// The same for any text with its own longest length.
QString textProblem(const QString& text, const QString& what, int maxLength);

// "login": the credentials of "uploadCredentials" (name → the member's value as text).
KELCredentials readCredentials(const QJsonObject& data);
// They become one Cookie header: no control characters anywhere, no "=" or ";" in a name.
QString credentialsProblem(const KELCredentials& credentials);

// "start-scan".
struct ScanData {
    QString batchNo;
    QString uploadUrl;
    QString unionKey;
    Integer paperVersionField;
    int paperVersion = 2; // 1 single-sided, otherwise double-sided; 2 when absent, zero or not numeric
};
ScanData readScanData(const QJsonObject& data);
// After "no data": the upload target first (present, then its length and characters), then the
// batch number and the paper version.
QString scanDataProblem(const ScanData& scan);

// "print" after its checks of "imgList" and "studentName": the student id becomes a folder name.
QString printStudentProblem(const QJsonObject& student);
// "printBatch" with at least one element: every student in array order, the first problem
// with its zero-based position (", index=N"). Logs each student it checks and the failure.
QString printBatchProblem(const QJsonArray& students);

} // namespace KELCommandCheck
