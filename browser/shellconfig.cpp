#include "shellconfig.h"

#include "shellrules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

const char* const kDefaultAppName = "Corvane智能批阅机";
const char* const kNoEnvironmentPage = "qrc:/vellox-browser/no-environment.html";

namespace {
const QByteArray kByteOrderMark("\xEF\xBB\xBF");
const QByteArray kFrontEndPath("reviewer/?isWindows=1#/home");
const QByteArray kDefaultEnvironment("online");

QByteArray withoutByteOrderMark(const QByteArray& text)
{
    return text.startsWith(kByteOrderMark) ? text.mid(kByteOrderMark.size()) : text;
}

QByteArray quoted(const QByteArray& word)
{
    return '"' + word + '"';
}

std::vector<ShellEnvironment> environmentsIn(const QByteArray& text)
{
    std::vector<ShellEnvironment> found;
    const QByteArray keyWord = quoted("key");
    int position = 0;
    while (text.size() - position >= keyWord.size()) {
        const int keyAt = text.indexOf(keyWord, position);
        if (keyAt < 0)
            break;
        const int braceAt = text.indexOf('}', keyAt);
        if (braceAt < 0)
            break;
        const QByteArray entry = text.mid(keyAt, braceAt - keyAt);
        ShellEnvironment environment {extractJsonString(entry, "key"), extractJsonString(entry, "name"),
                                      extractJsonString(entry, "url")};
        if (!environment.key.isEmpty() && !environment.url.isEmpty())
            found.push_back(environment);
        position = braceAt + 1;
    }
    return found;
}

QByteArray noEnvironmentPage(const ShellPaths& paths)
{
    QUrl page(QString::fromLatin1(kNoEnvironmentPage));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("appdat"), QDir::toNativeSeparators(paths.appDat()));
    page.setQuery(query);
    return page.toEncoded();
}
} // namespace

ShellPaths ShellPaths::forThisProcess()
{
    ShellPaths paths;
    paths.installFolder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    paths.dataFolder = dataHome + QStringLiteral("/vellox-browser");
    paths.agentSettings = dataHome + QStringLiteral("/kelmora/vellox/cfg.dat");
    return paths;
}

QByteArray extractJsonString(const QByteArray& text, const QByteArray& name)
{
    const QByteArray member = quoted(name);
    const int nameAt = text.indexOf(member);
    if (nameAt < 0)
        return {};
    const int colonAt = text.indexOf(':', nameAt + member.size());
    if (colonAt < 0)
        return {};
    const int openAt = text.indexOf('"', colonAt + 1);
    if (openAt < 0)
        return {};
    const int closeAt = text.indexOf('"', openAt + 1);
    if (closeAt < 0)
        return {};
    return text.mid(openAt + 1, closeAt - openAt - 1);
}

QByteArray readEnvKey(const ShellPaths& paths)
{
    QDir().mkpath(paths.dataFolder);
    QFile file(paths.envDat());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray line = withoutByteOrderMark(file.readAll());
    const int lineEnd = line.indexOf('\n');
    if (lineEnd >= 0)
        line.truncate(lineEnd);
    while (!line.isEmpty() && (line.endsWith('\r') || line.endsWith(' ') || line.endsWith('\t')))
        line.chop(1);
    return line;
}

bool writeEnvKey(const ShellPaths& paths, const QByteArray& key)
{
    QDir().mkpath(paths.dataFolder);
    // Replaced whole, so a crash mid-write never leaves half a key that selects another server.
    QSaveFile file(paths.envDat());
    return file.open(QIODevice::WriteOnly) && file.write(key) == key.size() && file.commit();
}

std::vector<std::string> ShellConfig::shellUrls() const
{
    std::vector<std::string> urls;
    for (const ShellEnvironment& environment : environments)
        urls.push_back(environment.url.toStdString());
    if (!builtInBase.isEmpty())
        urls.push_back(builtInBase.toStdString());
    return urls;
}

QByteArray frontEndUrlFor(const QByteArray& base)
{
    return base.endsWith('/') ? base + kFrontEndPath : base + '/' + kFrontEndPath;
}

bool loadShellConfig(const ShellPaths& paths, const QByteArray& builtInBase, ShellConfig& config)
{
    QFile file(paths.appDat());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = withoutByteOrderMark(file.readAll());

    config.appName = QString::fromUtf8(extractJsonString(text, "appname"));
    if (config.appName.isEmpty())
        config.appName = QString::fromUtf8(kDefaultAppName);
    config.environments = environmentsIn(text);
    config.builtInBase = builtInBase;
    const QString agentDevMode = paths.agentSettings.isEmpty()
        ? QString()
        : QSettings(paths.agentSettings, QSettings::IniFormat).value(QStringLiteral("devmode")).toString();
    config.devToolsAllowed =
        ShellRules::devToolsAllowed(agentDevMode.toStdString(), extractJsonString(text, "devmode").toStdString());

    QByteArray current = readEnvKey(paths);
    if (current.isEmpty())
        current = extractJsonString(text, "current");
    if (current.isEmpty())
        current = kDefaultEnvironment;

    QByteArray base;
    for (const ShellEnvironment& environment : config.environments) {
        if (environment.key == current) {
            base = environment.url;
            break;
        }
    }
    if (base.isEmpty() && !config.environments.empty())
        base = config.environments.front().url;
    if (base.isEmpty())
        base = builtInBase;
    config.frontEndUrl = base.isEmpty() ? noEnvironmentPage(paths) : frontEndUrlFor(base);
    return true;
}
