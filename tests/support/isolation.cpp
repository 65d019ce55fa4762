#include "isolation.h"

#include "agentsandbox.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

namespace vtest {

void isolateUserFolders()
{
    static QTemporaryDir root(QDir::tempPath() + "/vellox-test-XXXXXX");
    const QString base = root.path();
    for (const char* sub : {"home", "data", "config", "tmp"})
        QDir(base).mkpath(QString::fromLatin1(sub));
    qputenv("HOME", QFile::encodeName(base + "/home"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(base + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(base + "/config"));
    qputenv("TMPDIR", QFile::encodeName(base + "/tmp"));
    // Our DSM lists the virtual scanners only, not the machine's SANE devices.
    qputenv("TWAINDSM_SANE", "off");

    const QString dataFolder = base + "/data/kelmora/vellox";
    QDir().mkpath(dataFolder);
    QSettings settings(dataFolder + "/cfg.dat", QSettings::IniFormat);
    settings.setValue("listenport", QString::number(AgentSandbox::freePort()));
}

} // namespace vtest
