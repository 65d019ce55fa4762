// vellox-demo-server: a development and demonstration stand-in for the school's servers.
#include "demoserver.h"
#include "samplesheets.h"
#include "shutdownsignal.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    // The sample sheets are drawn with Qt's painter, which needs a GUI application but no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellox-demo-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A loopback stand-in for the school's servers: serves the Vellox web console, receives "
        "scanned pages, answers the upgrade check and serves sample sheets to print."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1 (0: any free port)."),
                                        QStringLiteral("N"), QStringLiteral("8780"));
    const QCommandLineOption dataOption(QStringLiteral("data"), QStringLiteral("Folder for pages, samples and the upgrade offer."),
                                        QStringLiteral("DIR"), QStringLiteral("vellox-demo-data"));
    const QCommandLineOption webOption(QStringLiteral("web"), QStringLiteral("Folder with the console and the client library."),
                                       QStringLiteral("DIR"), QStringLiteral(VELLOX_DEMO_WEB_DIR));
    parser.addOptions({portOption, dataOption, webOption});
    parser.process(app);

    bool portOk = false;
    const int port = parser.value(portOption).toInt(&portOk);
    if (!portOk || port < 0 || port > 65535) {
        std::fprintf(stderr, "vellox-demo-server: --port needs a number from 0 to 65535\n");
        return 2;
    }
    DemoServer::Settings settings;
    settings.port = port;
    settings.dataFolder = QFileInfo(parser.value(dataOption)).absoluteFilePath();
    settings.webFolder = QFileInfo(parser.value(webOption)).absoluteFilePath();
    if (!QFileInfo::exists(settings.webFolder + QStringLiteral("/console/index.html"))) {
        std::fprintf(stderr, "vellox-demo-server: no console in %s (give the web folder with --web)\n",
                     qUtf8Printable(settings.webFolder));
        return 2;
    }
    if (!QDir().mkpath(settings.dataFolder) || !SampleSheets::ensure(settings.dataFolder)) {
        std::fprintf(stderr, "vellox-demo-server: cannot write to %s\n", qUtf8Printable(settings.dataFolder));
        return 1;
    }

    DemoServer server(settings);
    ShutdownSignal::install([&server] { server.stop(); });
    if (server.bind() < 0) {
        std::fprintf(stderr, "vellox-demo-server: cannot listen on 127.0.0.1 port %d\n", port);
        return 1;
    }
    std::printf("vellox-demo-server: serving %s on loopback only; a development and demonstration "
                "stand-in, not a product server\n", qUtf8Printable(server.baseUrl()));
    std::printf("vellox-demo-server: data in %s\n", qUtf8Printable(settings.dataFolder));
    std::fflush(stdout);
    const bool served = server.run();
    std::printf("vellox-demo-server: stopped\n");
    return served ? 0 : 1;
}
