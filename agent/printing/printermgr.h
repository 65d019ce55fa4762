#pragma once

#include "command/credentials.h"
#include "http/curlrequest.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <mutex>

// Turns print requests into printed paper, one student at a time, taking turns at the printer.
// Owned by the GUI thread; the command server's thread sets the download credentials.
class KELPrinterMgr : public QObject {
    Q_OBJECT
public:
    static KELPrinterMgr* instance();
    KELPrinterMgr() = default;

    // A validated "print" command's data, with "remoteKey" naming the requesting connection.
    void addLegacyPrintTask(QJsonObject data);
    // The credentials of the latest "login", sent with every image download.
    void setDownloadTokenParam(std::map<QString, QString> items);

Q_SIGNALS:
    void sigFinishPrintAllImages();

private:
    HeaderMap downloadHeaders;
    QStringList pendingLegacyTasks;
    std::recursive_mutex tasksLock;
    int taskSequence = 0;
};
