#include "shellqt.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QUrlQuery>

const char* const kNoEnvironmentPage = "qrc:/vellox-browser/no-environment.html";

ShellPaths shellPathsForThisProcess()
{
    ShellPaths paths;
    paths.installFolder = pathFromUtf8(QCoreApplication::applicationDirPath().toStdString());
    paths.dataFolder = pathFromUtf8(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                        .toStdString())
        / "vellox-browser";
    return paths;
}

std::filesystem::path agentSettingsForThisProcess()
{
    return pathFromUtf8(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString())
        / "kelmora" / "vellox" / "cfg.dat";
}

QString qtPath(const std::filesystem::path& path)
{
    return QString::fromStdString(utf8Of(path));
}

QUrl startPage(const ShellConfig& config, const ShellPaths& paths)
{
    if (!config.frontEndUrl.empty())
        return QUrl::fromEncoded(QByteArray::fromStdString(config.frontEndUrl));
    QUrl page(QString::fromLatin1(kNoEnvironmentPage));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("appdat"), QDir::toNativeSeparators(qtPath(paths.appDat())));
    page.setQuery(query);
    return page;
}
