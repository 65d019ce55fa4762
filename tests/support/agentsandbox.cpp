#include "agentsandbox.h"

#include "isolation.h"
#include "wait.h"
#include "winesession.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

namespace vtest {

namespace {
void makeFolders(const QString& root)
{
    for (const char* sub : {"home", "data", "tmp", "runtime"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    // As a session's runtime folder is: the programs use it only when nobody else may enter.
    QFile::setPermissions(root + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
} // namespace

AgentSandbox::AgentSandbox()
    : temporary(std::make_unique<QTemporaryDir>())
    , rootPath(temporary->path())
{
    makeFolders(rootPath);
}

AgentSandbox::AgentSandbox(const QString& keptRoot)
    : rootPath(keptRoot)
{
    makeFolders(rootPath);
}

AgentSandbox::~AgentSandbox()
{
    stopPrograms();
}

void AgentSandbox::stopPrograms()
{
    for (auto& process : processes) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
}

void AgentSandbox::useWine(const WineSession* session)
{
    wine = session;
}

QString AgentSandbox::pathForAgent(const QString& path) const
{
    return wine ? WineSession::windowsPath(path) : path;
}

QString AgentSandbox::dataFolder() const
{
    return wine ? wine->roamingAppData() + "/kelmora/vellox" : rootPath + "/data/kelmora/vellox";
}
QString AgentSandbox::tempFolder() const { return rootPath + "/tmp"; }
QString AgentSandbox::runtimeFolder() const { return rootPath + "/runtime"; }
QString AgentSandbox::dumpFolder() const { return dataFolder() + "/log/dump"; }

QString AgentSandbox::logFile() const
{
    return dataFolder() + "/log/vellox-" + QDate::currentDate().toString("yyyyMMdd") + ".log";
}

QString AgentSandbox::programFolder() const
{
    if (!privateProgramFolder.isEmpty())
        return privateProgramFolder;
    return wine ? WineSession::windowsProgramFolder() : QStringLiteral(VELLOX_PROGRAM_DIR);
}

void AgentSandbox::usePrivateProgramFolder(const QJsonObject& appDat)
{
    QMap<QString, QString> programs;
    const QDir build(wine ? WineSession::windowsProgramFolder() : QStringLiteral(VELLOX_PROGRAM_DIR));
    for (const QFileInfo& entry : build.entryInfoList(QDir::Files))
        programs.insert(entry.fileName(), entry.absoluteFilePath());
    usePrivateProgramFolder(appDat, programs);
}

void AgentSandbox::usePrivateProgramFolder(const QJsonObject& appDat, const QMap<QString, QString>& programs)
{
    privateProgramFolder = rootPath + "/program";
    QDir().mkpath(privateProgramFolder);
    for (auto program = programs.begin(); program != programs.end(); ++program) {
        const QString target = privateProgramFolder + '/' + program.key();
        QFile::remove(target);
        QFile::copy(program.value(), target);
        QFile::setPermissions(target, QFileInfo(program.value()).permissions());
    }
    QFile file(privateProgramFolder + "/app.dat");
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(QJsonDocument(appDat).toJson());
}

QJsonObject AgentSandbox::appDatFor(const QString& url)
{
    return QJsonObject{{"appname", "vellox"}, {"current", "local"},
                       {"domains", QJsonArray{QJsonObject{{"key", "local"}, {"name", "本地"}, {"url", url}}}}};
}

void AgentSandbox::setConfig(const QString& key, const QString& value)
{
    QDir().mkpath(dataFolder());
    QSettings settings(dataFolder() + "/cfg.dat", QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
}

void AgentSandbox::shortenScanPauses()
{
    setEnv(QStringLiteral("VELLOX_TEST_TIME_SCALE"), QStringLiteral("0.2"));
}

QString AgentSandbox::config(const QString& key) const
{
    QSettings settings(dataFolder() + "/cfg.dat", QSettings::IniFormat);
    return settings.value(key).toString();
}

QString AgentSandbox::recordStarts(const QString& name, const QString& then)
{
    const QString bin = rootPath + "/bin";
    const QString record = rootPath + "/" + name + "-started.txt";
    QDir().mkpath(bin);
    QFile program(bin + "/" + name);
    program.open(QIODevice::WriteOnly | QIODevice::Truncate);
    program.write(QString("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + record + "'\n" + then + "\n").toUtf8());
    program.close();
    program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString path = extraEnv.value("PATH", qEnvironmentVariable("PATH"));
    if (!path.startsWith(bin + ":"))
        extraEnv.insert("PATH", bin + ":" + path);
    return record;
}

QProcessEnvironment AgentSandbox::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", rootPath + "/home");
    env.insert("XDG_DATA_HOME", rootPath + "/data");
    env.insert("XDG_CONFIG_HOME", rootPath + "/home/.config");
    env.insert("TMPDIR", tempFolder());
    env.insert("XDG_RUNTIME_DIR", runtimeFolder());
    if (!env.contains("QT_QPA_PLATFORM"))
        env.insert("QT_QPA_PLATFORM", "offscreen");
    // The virtual scanners only, whatever this machine has; a test of SANE devices says so.
    env.insert("TWAINDSM_SANE", "off");
    keepRequestsOnThisMachine(env);
    env.insert(extraEnv);
    return env;
}

QProcess* AgentSandbox::start(const QStringList& args)
{
    return startProgram("vellox", args);
}

QProcess* AgentSandbox::startProgram(const QString& name, const QStringList& args)
{
    if (wine) {
        processes.push_back(wine->start(programFolder() + '/' + name + ".exe", args, extraEnv));
        processes.back()->waitForStarted(30000);
        return processes.back().get();
    }
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList command = QStringList{programFolder() + '/' + name} + args;
    if (fileLimit > 0) {
        // util-linux's prlimit sets the limits and then becomes the program (same process).
        const QString both = QString::number(fileLimit);
        command = QStringList{"prlimit", "--nofile=" + both + ":" + both, "--"} + command;
    }
    if (!user.isEmpty()) {
        // util-linux's setpriv, too, becomes the program.
        QProcess::execute("chown", {"-R", user, rootPath});
        command = QStringList{"setpriv", "--reuid=" + user.section(':', 0, 0), "--regid=" + user.section(':', 1),
                              "--clear-groups", "--"}
            + command;
    }
    process->setProgram(command.takeFirst());
    process->setArguments(command);
    process->start();
    process->waitForStarted(30000);
    processes.push_back(std::move(process));
    return processes.back().get();
}

void AgentSandbox::runAs(uint uid, uint gid)
{
    user = QStringLiteral("%1:%2").arg(uid).arg(gid);
}

QString AgentSandbox::readLog() const
{
    QFile file(logFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool AgentSandbox::waitForLog(const QString& text, int timeoutMs) const
{
    return waitUntil([&] { return readLog().contains(text); }, timeoutMs);
}

quint16 AgentSandbox::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

quint16 AgentSandbox::startListening(const QStringList& args)
{
    const quint16 port = freePort();
    setConfig("listenport", QString::number(port));
    start(args);
    return waitUntilListening(port) ? port : 0;
}

bool AgentSandbox::waitUntilListening(quint16 port, int timeoutMs) const
{
    const QProcess* process = processes.empty() ? nullptr : processes.back().get();
    const bool up = waitUntil([&] {
        if (!process || process->state() == QProcess::NotRunning)
            return true;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    }, timeoutMs);
    return up && process && process->state() != QProcess::NotRunning;
}

} // namespace vtest
