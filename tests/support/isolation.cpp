#include "isolation.h"

#include "agentsandbox.h"

#include <QDir>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

namespace vtest {

namespace {
// Port 9 (discard) on loopback: nothing listens there on our machines.
const char* const kClosedProxy = "http://127.0.0.1:9";
const char* const kProxyVariables[] = { "http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY" };
const char* const kNoProxy = "127.0.0.1,localhost,::1,[::1]";
} // namespace

void keepRequestsOnThisMachine()
{
    for (const char* name : kProxyVariables)
        qputenv(name, kClosedProxy);
    qputenv("no_proxy", kNoProxy);
    qputenv("NO_PROXY", kNoProxy);
}

void keepRequestsOnThisMachine(QProcessEnvironment& env)
{
    for (const char* name : kProxyVariables)
        env.insert(QString::fromLatin1(name), QString::fromLatin1(kClosedProxy));
    env.insert(QStringLiteral("no_proxy"), QString::fromLatin1(kNoProxy));
    env.insert(QStringLiteral("NO_PROXY"), QString::fromLatin1(kNoProxy));
}

void isolateUserFolders()
{
    static QTemporaryDir root(QDir::tempPath() + "/vellox-test-XXXXXX");
    const QString base = root.path();
    for (const char* sub : {"home", "data", "config", "tmp", "runtime"})
        QDir(base).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(base + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", QFile::encodeName(base + "/home"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(base + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(base + "/config"));
    qputenv("TMPDIR", QFile::encodeName(base + "/tmp"));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(base + "/runtime"));
    // Our DSM lists the virtual scanners only, not the machine's SANE devices.
    qputenv("TWAINDSM_SANE", "off");
    keepRequestsOnThisMachine();

    const QString dataFolder = base + "/data/kelmora/vellox";
    QDir().mkpath(dataFolder);
    QSettings settings(dataFolder + "/cfg.dat", QSettings::IniFormat);
    settings.setValue("listenport", QString::number(AgentSandbox::freePort()));
}

} // namespace vtest
