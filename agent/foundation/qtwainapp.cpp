#include "foundation/qtwainapp.h"

#include "ui/mainwindow.h"

#include <QAbstractEventDispatcher>

bool MyMsgEventFilter::nativeEventFilter(const QByteArray& eventType, void* message, long* result)
{
    Q_UNUSED(eventType)
    Q_UNUSED(result)
    auto* app = qobject_cast<CQTWAINApp*>(QCoreApplication::instance());
    if (!app || !app->controller)
        return false;
    return app->controller->filterNativeTwainMessage(message);
}

CQTWAINApp::CQTWAINApp(int& argc, char** argv)
    : QApplication(argc, argv)
    , msgFilter(std::make_unique<MyMsgEventFilter>())
{
    QAbstractEventDispatcher::instance()->installNativeEventFilter(msgFilter.get());
}

CQTWAINApp::~CQTWAINApp()
{
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->removeNativeEventFilter(msgFilter.get());
}
