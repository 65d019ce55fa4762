#include "foundation/crashhandler.h"

#include <QUuid>

CrashHandler& CrashHandler::instance()
{
    static CrashHandler handler;
    return handler;
}

void CrashHandler::setDumpFolder(const QString& folder)
{
    if (installed)
        return;
    installed = install(folder);
}

QString CrashHandler::newGuid()
{
    const QUuid id = QUuid::createUuid();
    return QString::asprintf("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", id.data1, id.data2,
                             id.data3, id.data4[0], id.data4[1], id.data4[2], id.data4[3],
                             id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
}
