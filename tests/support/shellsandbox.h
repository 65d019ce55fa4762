#pragma once

#include "agentsandbox.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace vtest {

class XvfbDisplay;

// A private world for the real `vellox-browser` and the agent it starts: the agent's sandbox
// (HOME, XDG data home, TMPDIR, a program folder with app.dat) plus an X display, Qt on xcb,
// WebEngine without its sandbox or GPU, and a remote-debugging port for DevToolsProbe.
class ShellSandbox : public AgentSandbox {
public:
    explicit ShellSandbox(const XvfbDisplay& display);
    ShellSandbox(const XvfbDisplay& display, const QString& keptRoot);
    // Under the sanitizers, passes on what they found in the shell's processes (see prepare).
    ~ShellSandbox();

    QString shellDataFolder() const;
    QString startupLog() const { return shellDataFolder() + "/browser_debug.log"; }
    QString engineLog() const { return shellDataFolder() + "/cef_debug.log"; }
    QString keyLog() const { return shellDataFolder() + "/key_debug.log"; }
    QString envDat() const { return shellDataFolder() + "/env.dat"; }
    static QByteArray readFile(const QString& path);

    quint16 devToolsPort() const { return debuggingPort; }
    // The private profile of a browser the shell drives, and the DevTools port that browser
    // chose (0 until it listens).
    QString browserProfile() const { return shellDataFolder() + "/profile"; }
    quint16 browserDevToolsPort() const;
    // The agent's WebSocket port ("listenport"), a free one from the start.
    quint16 agentPort() const;

    // Stopped, like the agents, when the sandbox ends.
    QProcess* startShell(const QStringList& args = {});
    // The live agents the shell started.
    QList<qint64> agentsOf(const QProcess* shell) const;

private:
    void prepare(const XvfbDisplay& display);
    QString sanitizerLog() const { return root() + "/sanitizer"; }

    quint16 debuggingPort = 0;
};

} // namespace vtest
