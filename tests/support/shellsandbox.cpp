#include "shellsandbox.h"

#include "processinfo.h"
#include "xvfbdisplay.h"

#include <QFile>

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
    // seconds; the shell records allocations by frame pointers instead.
    const QString sanitizer = qEnvironmentVariable("ASAN_OPTIONS");
    if (!sanitizer.isEmpty())
        setEnv("ASAN_OPTIONS", sanitizer + ":fast_unwind_on_malloc=1");
    // WebEngine's own leaks are suppressed for the shell's process only.
    const QString leakChecks = qEnvironmentVariable("LSAN_OPTIONS");
    if (!leakChecks.isEmpty()) {
        const QString suppressions = root() + "/lsan-shell.supp";
        QFile combined(suppressions);
        combined.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (const char* name : {"/sanitizer/lsan.supp", "/sanitizer/lsan-webengine.supp"})
            combined.write(readFile(QStringLiteral(VELLOX_TEST_SUPPORT_DIR) + name) + '\n');
        setEnv("LSAN_OPTIONS", leakChecks + ":suppressions=" + suppressions);
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
