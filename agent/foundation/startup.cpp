#include "foundation/startup.h"

#include "foundation/filelimit.h"
#include "foundation/memorytrim.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/qtwainapp.h"
#include "foundation/quitsignal.h"
#include "foundation/singleapp.h"
#include "foundation/userlocal.h"
#include "http/curlrequest.h"
#include "ui/mainwindow.h"

#include <QDebug>
#include <QThreadPool>
#include <QTranslator>

#include <cstdio>
#include <cstring>

// The agent's artwork and translations live in its static library, which the linker drops
// unless they are asked for by name (outside any namespace).
void velloxInitResources()
{
    Q_INIT_RESOURCE(resource);
    Q_INIT_RESOURCE(translations);
}

namespace KELStartup {

namespace {
constexpr int kMaxPoolThreads = 30;

void installTranslation(const QString& resource)
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(resource))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
}
} // namespace

bool startsHidden(const QStringList& arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--hidden"))
            return true;
    }
    return false;
}

bool asksForVersion(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

int logLevelSetting(const QString& value)
{
    return value.toInt(); // 0 when empty or not a number
}

int runAgent(int argc, char** argv)
{
    if (asksForVersion(argc, argv)) {
        std::printf("vellox %s\n", VELLOX_VERSION);
        return 0;
    }
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QCoreApplication::setOrganizationName(QStringLiteral("kelmora"));
    QCoreApplication::setApplicationName(QStringLiteral("vellox"));
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);

    // Before any descriptor-hungry part starts (the command server, the upload pool).
    const KELFileLimit::Change fileLimit = KELFileLimit::raiseToHardLimit();
    KELMemory::reusePageBuffers();

    CQTWAINApp app(argc, argv);
    velloxInitResources();
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    // Installed before anything else exists, so an early request to end is kept until the
    // event loop runs and then ends the agent in order.
    QuitSignal quitSignal;

    // In the user's own folder: another user's agent is no second instance of this one.
    SingleApp guard(QString::fromStdString(UserLocal::path(UserLocal::kAgentInstanceName)));
    if (guard.isRunning()) {
        qDebug() << "There has a previous instance.";
        return 0;
    }
    if (!guard.listen()) {
        qDebug() << guard.errorString();
        return 1;
    }

    KELGlobalConfig* config = KELGlobalConfig::instance();
    // Before any pool thread can start a transfer.
    CUrlRequest::globalInit();

    installTranslation(QStringLiteral(":/resource/translations/vellox_zh_CN.qm"));
    installTranslation(QStringLiteral(":/resource/translations/qt_zh_CN.qm"));

    QThreadPool::globalInstance()->setMaxThreadCount(kMaxPoolThreads);
    QApplication::setQuitOnLastWindowClosed(false);

    qSetMessagePattern(QStringLiteral("[%{time yyyyMMdd h:mm:ss.zzz} %{threadid}] %{file}:%{line} - %{message}"));

    KELLog::initLogging(config->logFolder(), logLevelSetting(config->value(QStringLiteral("loglevel"))));
    if (fileLimit.after != fileLimit.before)
        KLOG->info("open file limit raised from {} to {}", fileLimit.before, fileLimit.after);

    MainWindow controller;
    app.controller = &controller;
    if (!startsHidden(QCoreApplication::arguments()))
        controller.show();

    QObject::connect(&guard, &SingleApp::newInstanceCreated, &controller,
                     &MainWindow::slotShowMainView, Qt::DirectConnection);

    QObject::connect(&quitSignal, &QuitSignal::quitRequested, &controller, &MainWindow::slotQuitApp);

    const int result = app.exec();
    app.controller = nullptr;
    spdlog::shutdown();
    return result;
}

} // namespace KELStartup
