#include "pagestore.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <vector>

PageStore::PageStore(const QString& dataFolder)
    : root(dataFolder + QStringLiteral("/pages"))
{
}

QString PageStore::batchFolder(const QString& batchNumber) const
{
    return root + QLatin1Char('/') + batchNumber;
}

bool PageStore::store(const UploadRequest& page, QString* error)
{
    const QString folder = batchFolder(page.batchNumber);
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QSaveFile file(QStringLiteral("%1/%2.jpg").arg(folder).arg(page.sortNo));
    if (!file.open(QIODevice::WriteOnly) || file.write(page.jpeg) != page.jpeg.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QString PageStore::pageUrl(const QString& batchNumber, int sortNo)
{
    return QStringLiteral("/pages/%1/%2.jpg")
        .arg(QString::fromLatin1(QUrl::toPercentEncoding(batchNumber)))
        .arg(sortNo);
}

QJsonArray PageStore::batches() const
{
    QJsonArray list;
    const QStringList names = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        const int count = QDir(batchFolder(name)).entryList({QStringLiteral("*.jpg")}, QDir::Files).size();
        list.append(QJsonObject{{"batch", name},
                                {"pages", count},
                                {"url", QStringLiteral("/pages/") + QString::fromLatin1(QUrl::toPercentEncoding(name))}});
    }
    return list;
}

bool PageStore::pagesOf(const QString& batchNumber, QJsonArray* pages) const
{
    if (!DemoUpload::batchNumberProblem(batchNumber).isEmpty())
        return false;
    const QDir folder(batchFolder(batchNumber));
    if (!folder.exists())
        return false;
    std::vector<std::pair<int, qint64>> found;
    for (const QFileInfo& entry : folder.entryInfoList({QStringLiteral("*.jpg")}, QDir::Files)) {
        bool numeric = false;
        const int sortNo = entry.completeBaseName().toInt(&numeric);
        if (numeric && sortNo > 0)
            found.emplace_back(sortNo, entry.size());
    }
    std::sort(found.begin(), found.end());
    for (const auto& [sortNo, bytes] : found)
        pages->append(QJsonObject{{"sortNo", sortNo}, {"url", pageUrl(batchNumber, sortNo)}, {"bytes", bytes}});
    return true;
}

QString PageStore::pageFile(const QString& batchNumber, int sortNo) const
{
    if (!DemoUpload::batchNumberProblem(batchNumber).isEmpty() || sortNo < 1)
        return {};
    const QString path = QStringLiteral("%1/%2.jpg").arg(batchFolder(batchNumber)).arg(sortNo);
    return QFileInfo::exists(path) ? path : QString();
}
