#pragma once

// A stand-in installer: a shell script that writes what it was started with (arguments,
// session, parent, its open descriptors) to a record, then waits, with a deadline, for a
// release file the test creates, and notes "survived".
#include <QFile>
#include <QFileDevice>
#include <QMap>
#include <QString>
#include <QStringList>

namespace upgradetest {

struct InstallerRecord {
    bool complete = false;
    QString script; // $0: the file the shell runs
    QStringList args;
    qint64 pid = 0;
    qint64 sid = 0;
    qint64 ppid = 0;
    QMap<int, QString> fds; // descriptor -> what it points at
    bool survived = false;

    // Descriptors besides the shell's own copy of the script it reads (close-on-exec in dash).
    QMap<int, QString> heldBesides(const QString& scriptFile) const
    {
        QMap<int, QString> held = fds;
        for (auto it = held.begin(); it != held.end();) {
            if (it.value() == scriptFile)
                it = held.erase(it);
            else
                ++it;
        }
        return held;
    }
};

class InstallerScript {
public:
    InstallerScript(const QString& folder, const QString& name = "installer.sh")
        : scriptPath(folder + "/" + name), recordPath(folder + "/record.txt"), releasePath(folder + "/release")
    {
    }

    QString script() const
    {
        return QStringLiteral(
                   "#!/bin/sh\n"
                   "fds=''\n"
                   "fd=0\n"
                   "while [ $fd -lt 256 ]; do\n"
                   "  if [ -e /proc/$$/fd/$fd ]; then fds=\"$fds\nfd $fd $(readlink /proc/$$/fd/$fd)\"; fi\n"
                   "  fd=$((fd+1))\n"
                   "done\n"
                   "{ echo \"script $0\"; echo \"args $*\"; echo \"pid $$\"; echo \"sid $(ps -o sid= -p $$ | tr -d ' ')\";\n"
                   "  echo \"ppid $(ps -o ppid= -p $$ | tr -d ' ')\"; echo \"$fds\"; echo end; } > '%1.part'\n"
                   "mv '%1.part' '%1'\n"
                   "i=0\n"
                   "while [ ! -e '%2' ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done\n"
                   "[ -e '%2' ] && echo survived >> '%1'\n")
            .arg(recordPath, releasePath);
    }

    // The script at its path; executable only when asked.
    bool write(bool executable = false, const QString& path = QString()) const
    {
        QFile file(path.isEmpty() ? scriptPath : path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(script().toUtf8());
        file.close();
        QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (executable)
            permissions |= QFileDevice::ExeOwner;
        return file.setPermissions(permissions);
    }

    QByteArray bytes() const { return script().toUtf8(); }

    InstallerRecord read() const
    {
        InstallerRecord record;
        QFile file(recordPath);
        if (!file.open(QIODevice::ReadOnly))
            return record;
        for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
            const QString key = line.section(' ', 0, 0);
            const QString rest = line.section(' ', 1);
            if (key == "script")
                record.script = rest;
            else if (key == "args")
                record.args = rest.split(' ', Qt::SkipEmptyParts);
            else if (key == "pid")
                record.pid = rest.toLongLong();
            else if (key == "sid")
                record.sid = rest.toLongLong();
            else if (key == "ppid")
                record.ppid = rest.toLongLong();
            else if (key == "fd")
                record.fds.insert(rest.section(' ', 0, 0).toInt(), rest.section(' ', 1));
            else if (key == "end")
                record.complete = true;
            else if (key == "survived")
                record.survived = true;
        }
        return record;
    }

    bool release() const
    {
        QFile file(releasePath);
        return file.open(QIODevice::WriteOnly);
    }

    QString path() const { return scriptPath; }
    QString record() const { return recordPath; }

private:
    QString scriptPath;
    QString recordPath;
    QString releasePath;
};

} // namespace upgradetest
