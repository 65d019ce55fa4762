#include "shellsandbox.h"

#include "processinfo.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace vtest {

ShellSandbox::ShellSandbox(const XvfbDisplay& display)
{
    prepare(display);
}

ShellSandbox::ShellSandbox(const XvfbDisplay& display, const QString& keptRoot)
    : AgentSandbox(keptRoot)
{
    prepare(display);
}

void ShellSandbox::prepare(const XvfbDisplay& display)
{
    debuggingPort = freePort();
    setConfig("listenport", QString::number(freePort()));
    setEnv("DISPLAY", display.name());
    setEnv("QT_QPA_PLATFORM", "xcb");
    setEnv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    setEnv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    setEnv("QTWEBENGINE_REMOTE_DEBUGGING", QStringLiteral("127.0.0.1:%1").arg(debuggingPort));
    // Under AddressSanitizer the exact unwinder (which gives leak reports their full stacks) takes
    // one process-wide lock for every allocation, and WebEngine's threads deadlock on it within
    // seconds; the shell records allocations by frame pointers instead. Those end inside
    // WebEngine's libraries, built without them, so some of its leaks come with no frame at all
    // beyond the allocator, which no suppression can name. The sanitizers therefore write to
    // files here, and the sandbox's end passes each finding on to the test's output, where it
    // fails the test, except leaks whose stacks name no code (ours is built with frame pointers:
    // a leak of ours always names its caller).
    const QString sanitizer = qEnvironmentVariable("ASAN_OPTIONS");
    const QString toFiles = sanitizer.isEmpty() ? QString() : ":log_path=" + sanitizerLog() + ":exitcode=0";
    if (!sanitizer.isEmpty())
        setEnv("ASAN_OPTIONS", sanitizer + ":fast_unwind_on_malloc=1" + toFiles);
    // WebEngine's own leaks are suppressed for the shell's process only.
    const QString leakChecks = qEnvironmentVariable("LSAN_OPTIONS");
    if (!leakChecks.isEmpty()) {
        const QString suppressions = root() + "/lsan-shell.supp";
        QFile combined(suppressions);
        combined.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (const char* name : {"/sanitizer/lsan.supp", "/sanitizer/lsan-webengine.supp"})
            combined.write(readFile(QStringLiteral(VELLOX_TEST_SUPPORT_DIR) + name) + '\n');
        setEnv("LSAN_OPTIONS", leakChecks + ":suppressions=" + suppressions + toFiles);
    }
}

namespace {

// Whether a leak report names no code: every leak in it has no frame beyond the allocator's
// own but addresses inside the sanitizer's runtime, where an unwinder lands that has lost its
// way, or a single address without a name, where it stopped at once in a library without
// frame pointers (Mesa's driver, unloaded before the report, so that the address may even be
// put down to whatever library was mapped there later). Our code is built with frame pointers
// and symbols: a leak of ours names its functions.
bool namesNoCode(const QString& report)
{
    static const QRegularExpression frame(R"(^\s+#(\d+) 0x[0-9a-f]+ (.*)$)", QRegularExpression::MultilineOption);
    for (auto match = frame.globalMatch(report); match.hasNext();) {
        const QRegularExpressionMatch next = match.next();
        const int number = next.captured(1).toInt();
        const QString where = next.captured(2).trimmed();
        const bool named = where.startsWith("in ");
        const bool lost = where.contains("/libasan.so") || (number == 1 && !named);
        if (number > 0 && !lost)
            return false;
    }
    const bool leaks = report.contains("Direct leak of") || report.contains("Indirect leak of");
    return leaks && !report.contains("ERROR: AddressSanitizer") && !report.contains("runtime error:");
}

} // namespace

ShellSandbox::~ShellSandbox()
{
    stopPrograms();
    // Each process writes <sanitizerLog()>.<pid>.
    const QDir folder(root());
    for (const QString& name : folder.entryList({QFileInfo(sanitizerLog()).fileName() + ".*"}, QDir::Files)) {
        const QString path = folder.filePath(name);
        const QString report = QString::fromUtf8(readFile(path));
        if (namesNoCode(report))
            std::fprintf(stderr, "[shell sandbox] leaks without a single frame in %s, not counted:\n%s\n",
                         qPrintable(name), qPrintable(QString(report).replace("ERROR: LeakSanitizer", "LeakSanitizer")));
        else
            std::fprintf(stderr, "%s\n", qPrintable(report));
        QFile::remove(path);
    }
}

QString ShellSandbox::shellDataFolder() const
{
    return root() + "/data/vellox-browser";
}

QByteArray ShellSandbox::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint16 ShellSandbox::browserDevToolsPort() const
{
    const QList<QByteArray> lines = readFile(browserProfile() + "/DevToolsActivePort").split('\n');
    return lines.size() >= 2 ? quint16(lines.front().toUInt()) : 0;
}

quint16 ShellSandbox::agentPort() const
{
    return quint16(config("listenport").toUInt());
}

QProcess* ShellSandbox::startShell(const QStringList& args)
{
    return startProgram("vellox-browser", args);
}

QList<qint64> ShellSandbox::agentsOf(const QProcess* shell) const
{
    return processinfo::childrenNamed(shell->processId(), QStringLiteral("vellox"));
}

} // namespace vtest
