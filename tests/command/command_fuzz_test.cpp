// Every check a web page's frame meets before the agent acts on it, fed with mutated requests for
// a fixed budget: the request parser, the checks of each command's data, the names they turn
// into folders, the cookie they turn into a header, the origin and port rules, the log cuts.
// Built with AddressSanitizer and UndefinedBehaviorSanitizer in every build; a finding ends the
// program. VELLOX_FUZZ_FRAMES sets the budget (100000 frames, a few seconds), VELLOX_FUZZ_SECONDS
// a time instead (for long runs), VELLOX_FUZZ_SEED the start.
#include "command/commandcheck.h"
#include "command/commandprotocol.h"
#include "command/credentials.h"
#include "command/originpolicy.h"
#include "foundation/filenames.h"
#include "foundation/logging.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>
#include <climits>

namespace {

using namespace KELCommandCheck;

// Requests as pages send them, one per command.
QList<QByteArray> seeds()
{
    const QJsonObject student {{"studentId", "s1"}, {"studentName", "张三"},
                               {"imgList", QJsonArray {"http://img.example/a?name=p1"}},
                               {"config", QJsonObject {{"size", "A4"}, {"type", "whole"}}}};
    const QList<QJsonObject> requests {
        {{"cmd", "login"}, {"reqId", "1"}, {"data", QJsonObject {{"uploadCredentials", QJsonObject {{"SESSION", "abc"}, {"uid", "7"}}}}}},
        {{"cmd", "start-scan"}, {"reqId", "2"},
         {"data", QJsonObject {{"batchno", "B-1"}, {"uploadUrl", "https://s.example/up"}, {"unionKey", "u"}, {"paperVersion", 1}}}},
        {{"cmd", "start-scan"}, {"reqId", "3"},
         {"data", QJsonObject {{"batchno", "B-2"}, {"uploadUrl", "https://s.example/up"}, {"unionKey", "u"}, {"paperVersion", "2"}}}},
        {{"cmd", "print"}, {"reqId", "4"}, {"data", student}},
        {{"cmd", "printBatch"}, {"reqId", "5"}, {"data", QJsonArray {student, QJsonObject(student).insert("studentId", "s2").value()}}},
        {{"cmd", "stop-scan"}, {"reqId", "6"}},
    };
    QList<QByteArray> texts;
    for (const QJsonObject& request : requests)
        texts << QJsonDocument(request).toJson(QJsonDocument::Compact);
    return texts;
}

// Values that have broken parsers and checks before.
const QList<QJsonValue>& interestingValues()
{
    static const QList<QJsonValue> values {
        QJsonValue(), QJsonValue(true), QJsonValue(0), QJsonValue(-0.0), QJsonValue(1.5), QJsonValue(1e308),
        QJsonValue(-1e308), QJsonValue(9223372036854775808.0), QJsonValue(2147483648.0), QJsonValue(-2147483649.0),
        QJsonValue(double(INT_MAX)), QJsonValue(double(INT_MIN)), QJsonValue("1e999"), QJsonValue("NaN"),
        QJsonValue("-inf"), QJsonValue(" 12 "), QJsonValue("0x10"), QJsonValue(""), QJsonValue("../.."),
        QJsonValue("a=b;c"), QJsonValue("x\r\nX-Injected: yes"), QJsonValue(QStringLiteral("a") + QChar(0) + "b"),
        QJsonValue(QString(129, QChar('n'))), QJsonValue(QString(5000, QChar(0x626B))), QJsonValue(QString(1, QChar(0xD800))),
        QJsonValue(QJsonArray {1, "two", QJsonObject {}}), QJsonValue(QJsonObject {{"=", ";"}}),
    };
    return values;
}

class Mutator {
public:
    explicit Mutator(quint32 seed) : random(seed) {}

    QByteArray mutate(const QByteArray& seed)
    {
        // Mostly structural (the checks see JSON that parses), sometimes raw bytes (the parser
        // sees everything else).
        return random.bounded(4) == 0 ? mutateBytes(seed) : mutateJson(seed);
    }

private:
    QByteArray mutateBytes(QByteArray bytes)
    {
        const int edits = 1 + int(random.bounded(8));
        for (int e = 0; e < edits && !bytes.isEmpty(); ++e) {
            const int at = int(random.bounded(quint32(bytes.size())));
            switch (random.bounded(5)) {
            case 0: bytes[at] = char(random.bounded(256)); break;
            case 1: bytes.insert(at, char(random.bounded(256))); break;
            case 2: bytes.remove(at, 1 + int(random.bounded(quint32(bytes.size() - at)))); break;
            case 3: bytes.insert(at, bytes.mid(at, int(random.bounded(64)))); break;
            default: {
                static const QList<QByteArray> tokens {"1e999", "NaN", "-0", "\\u0000", "\\r\\n", "{", "[", "]", "}",
                                                       "\"", ",", ":", "null", "9223372036854775808"};
                bytes.insert(at, tokens[int(random.bounded(quint32(tokens.size())))]);
            }
            }
        }
        return bytes;
    }

    QJsonValue mutateValue(const QJsonValue& value, int depth)
    {
        if (depth > 3 || random.bounded(3) == 0)
            return interestingValues()[int(random.bounded(quint32(interestingValues().size())))];
        if (value.isObject()) {
            QJsonObject object = value.toObject();
            if (object.isEmpty() || random.bounded(5) == 0) {
                object.insert(random.bounded(2) ? QStringLiteral("paperVersion") : QStringLiteral("x\n=;"),
                              mutateValue(QJsonValue(), depth + 1));
                return object;
            }
            const QString key = object.keys()[int(random.bounded(quint32(object.size())))];
            if (random.bounded(6) == 0)
                object.remove(key);
            else
                object.insert(key, mutateValue(object.value(key), depth + 1));
            return object;
        }
        if (value.isArray()) {
            QJsonArray array = value.toArray();
            if (array.isEmpty() || random.bounded(4) == 0)
                array.append(mutateValue(QJsonValue(), depth + 1));
            else {
                const int at = int(random.bounded(quint32(array.size())));
                array[at] = mutateValue(array.at(at), depth + 1);
            }
            return array;
        }
        return interestingValues()[int(random.bounded(quint32(interestingValues().size())))];
    }

    QByteArray mutateJson(const QByteArray& seed)
    {
        const QJsonValue mutated = mutateValue(QJsonDocument::fromJson(seed).object(), 0);
        return QJsonDocument(mutated.toObject()).toJson(random.bounded(2) ? QJsonDocument::Compact : QJsonDocument::Indented);
    }

    QRandomGenerator random;
};

bool hasLineBreakOrNul(const QString& text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) || text.contains(QChar(0));
}

// Whatever the frame, what the checks let through is safe to act on.
void checkFrame(const QByteArray& frame)
{
    const KELCommandProtocol::Request request = KELCommandProtocol::parseRequest(frame);
    const QJsonValue dataValue = request.object.value(QStringLiteral("data"));
    const QJsonObject data = dataValue.toObject();
    ASSERT_LE(KELLog::clipped(request.cmd).size(), KELLog::kLoggedTextBytes + 32);
    ASSERT_LE(KELLog::clipped(QByteArray(frame)).size(), KELLog::kLoggedTextBytes + 32);

    const KELCredentials credentials = readCredentials(data);
    if (credentialsProblem(credentials).isEmpty()) {
        ASSERT_FALSE(hasLineBreakOrNul(cookieHeaderFrom(credentials))) << frame.toStdString();
        for (const auto& entry : credentials)
            ASSERT_FALSE(entry.first.contains('=') || entry.first.contains(';')) << frame.toStdString();
    }

    const ScanData scan = readScanData(data);
    ASSERT_NE(scan.paperVersion, 0);
    if (scanDataProblem(scan).isEmpty()) {
        ASSERT_LE(scan.batchNo.size(), kMaxNameLength);
        ASSERT_FALSE(hasControlCharacter(scan.batchNo));
        ASSERT_FALSE(scan.uploadUrl.isEmpty());
        ASSERT_LE(scan.uploadUrl.size(), kMaxUrlLength);
        ASSERT_LE(scan.unionKey.size(), kMaxUnionKeyLength);
    }
    const QString folder = KELFileNames::safeFileName(scan.batchNo);
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_FALSE(folder.contains('/') || folder.contains('\\') || folder.startsWith('.') || hasControlCharacter(folder))
        << folder.toStdString();
    ASSERT_LE(folder.toUtf8().size(), KELFileNames::kMaxNameBytes);

    const Integer number = readInteger(data.value(QStringLiteral("paperVersion")));
    if (number.kind == Integer::Kind::Valid) {
        const QJsonValue raw = data.value(QStringLiteral("paperVersion"));
        const double exact = raw.isString() ? raw.toString().trimmed().toDouble() : raw.toDouble();
        ASSERT_EQ(double(number.value), exact) << frame.toStdString();
    }

    if (printStudentProblem(data).isEmpty())
        ASSERT_LE(data.value(QStringLiteral("studentId")).toString().size(), kMaxNameLength);
    const QJsonArray students = dataValue.toArray();
    if (!students.isEmpty() && printBatchProblem(students).isEmpty()) {
        for (const QJsonValue& student : students) {
            const QString id = student.toObject().value(QStringLiteral("studentId")).toString();
            ASSERT_FALSE(id.isEmpty() || id.size() > kMaxNameLength || hasControlCharacter(id));
        }
    }

    const int port = KELCommandProtocol::listenPortFromSetting(request.reqId);
    ASSERT_TRUE(port >= 1 && port <= 65535);
    const KELOriginPolicy policy(QJsonArray {QJsonObject {{"url", request.reqId}}}, request.cmd);
    policy.allows(request.cmd, false);
    policy.allows(request.reqId, true);
}

TEST(CommandFuzz, MutatedRequestsNeverGetPastTheChecksUnsafe)
{
    // The same work in every run, however busy the machine: a budget of frames, not of time.
    const bool timed = qEnvironmentVariableIsSet("VELLOX_FUZZ_SECONDS");
    const qint64 seconds = qEnvironmentVariableIntValue("VELLOX_FUZZ_SECONDS");
    const qint64 frames = qEnvironmentVariableIsSet("VELLOX_FUZZ_FRAMES") ? qEnvironmentVariableIntValue("VELLOX_FUZZ_FRAMES") : 100000;
    const quint32 start = qEnvironmentVariableIsSet("VELLOX_FUZZ_SEED") ? quint32(qEnvironmentVariableIntValue("VELLOX_FUZZ_SEED"))
                                                                        : QRandomGenerator::system()->generate();
    if (timed)
        std::printf("fuzzing for %lld s from seed %u\n", static_cast<long long>(seconds), start);
    else
        std::printf("fuzzing %lld frames from seed %u\n", static_cast<long long>(frames), start);
    KELLog::logger()->set_level(spdlog::level::off);

    const QList<QByteArray> corpus = seeds();
    for (const QByteArray& seed : corpus)
        checkFrame(seed);
    Mutator mutator(start);
    QElapsedTimer clock;
    clock.start();
    qint64 runs = 0;
    // Mutations build on mutations: each round starts from a seed and goes a few steps deep.
    while ((timed ? clock.elapsed() < seconds * 1000 : runs < frames) && !HasFatalFailure()) {
        QByteArray frame = corpus[int(runs % corpus.size())];
        for (int step = 0; step < 4 && !HasFatalFailure(); ++step, ++runs) {
            frame = mutator.mutate(frame);
            checkFrame(frame);
        }
    }
    std::printf("%lld frames checked\n", static_cast<long long>(runs));
    EXPECT_GE(runs, timed ? 1000 : frames);
}

} // namespace
