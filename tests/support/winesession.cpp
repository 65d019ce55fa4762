#include "winesession.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace vtest {
namespace {

QString supportScript(const char* name)
{
    return QStringLiteral(VELLOX_TEST_SUPPORT_DIR "/") + QLatin1String(name);
}

} // namespace

WineSession::WineSession(Display display)
    : folder(std::make_unique<QTemporaryDir>())
    , display(display)
{
    QProcess session;
    session.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    session.setStandardOutputFile(QProcess::nullDevice());
    session.start(supportScript("wine-session"), QStringList{QStringLiteral("start")} + sessionArgs());
    running = session.waitForFinished(180000) && session.exitStatus() == QProcess::NormalExit
              && session.exitCode() == 0;
}

WineSession::~WineSession()
{
    QProcess session;
    session.setStandardOutputFile(QProcess::nullDevice());
    session.start(supportScript("wine-session"), QStringList{QStringLiteral("stop")} + sessionArgs());
    session.waitForFinished(60000);
}

QStringList WineSession::sessionArgs() const
{
    return display == Display::Desktop ? QStringList{QStringLiteral("--xvfb"), prefix()} : QStringList{prefix()};
}

QString WineSession::windowsBuildFolder()
{
    return qEnvironmentVariable("VELLOX_WIN32_BUILD_DIR");
}

QString WineSession::windowsProgramFolder()
{
    const QString build = windowsBuildFolder();
    return build.isEmpty() ? QString() : build + QStringLiteral("/bin");
}

std::unique_ptr<QProcess> WineSession::start(const QString& program, const QStringList& args,
                                             const QProcessEnvironment& extra) const
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(extra);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(supportScript("wine-run"), sessionArgs() + QStringList{program} + args);
    return process;
}

std::optional<int> WineSession::run(const QString& program, const QStringList& args, int timeoutMs) const
{
    const auto process = start(program, args);
    if (!process->waitForFinished(timeoutMs) || process->exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    return process->exitCode();
}

QString WineSession::output(const QString& program, const QStringList& args, int timeoutMs) const
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(supportScript("wine-run"), sessionArgs() + QStringList{program} + args);
    process.waitForFinished(timeoutMs);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString WineSession::registryValue(const QString& key, const QString& name) const
{
    // "    NAME    REG_SZ    VALUE"
    const QString text = output(QStringLiteral("reg"), {QStringLiteral("query"), key, QStringLiteral("/v"), name});
    const QRegularExpression line(QStringLiteral("^\\s+%1\\s+REG_\\w+\\s+(.*?)\\r?$")
                                      .arg(QRegularExpression::escape(name)),
                                  QRegularExpression::MultilineOption);
    const auto match = line.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

QString WineSession::linuxPath(const QString& windowsPath) const
{
    QString path = windowsPath;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':')) {
        const QString drive = path.left(1).toLower();
        const QString rest = path.mid(2);
        return drive == QLatin1String("z") ? rest : prefix() + QStringLiteral("/drive_") + drive + rest;
    }
    return path;
}

QString WineSession::windowsPath(const QString& linuxPath)
{
    QString path = QFileInfo(linuxPath).absoluteFilePath();
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return QStringLiteral("Z:") + path;
}

QString WineSession::roamingAppData() const
{
    // Wine names the user's folder after the Linux user.
    const QDir users(prefix() + QStringLiteral("/drive_c/users"));
    for (const QString& user : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (user != QLatin1String("Public"))
            return users.filePath(user) + QStringLiteral("/AppData/Roaming");
    }
    return {};
}

} // namespace vtest
