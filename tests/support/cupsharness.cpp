#include "cupsharness.h"

#include "agentsandbox.h"
#include "wait.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace vtest {

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kClientTimeoutMs = 30000;

CupsHarness* currentHarness = nullptr;

// The printer's part of a job. $1 is the document as the printer received it. The record is
// written under another name first, so a test never reads half of it.
const char kFateScript[] = R"(#!/bin/sh
dir=$(dirname "$0")
doc=$1
env | grep '^IPP_' > "$doc.env.part" && mv "$doc.env.part" "$doc.env"
fate=$(cat "$dir/fates/$IPP_JOB_NAME" 2>/dev/null || cat "$dir/fates/.default" 2>/dev/null)
released() {
  n=0
  while [ ! -e "$dir/release/$IPP_JOB_NAME" ] && [ ! -e "$dir/release/.all" ] && [ $n -lt 2400 ]; do
    sleep 0.05; n=$((n+1))
  done
}
case "$fate" in
  hold) released ;;
  media-empty) echo "STATE: +media-empty-error" >&2; released; echo "STATE: -media-empty-error" >&2 ;;
  fail) exit 1 ;;
esac
exit 0
)";

// The queues' backend: the IPP backend, after what the job's fate does at the queue. A printer that
// is offline (asleep, unplugged) is reported by its backend, so "offline" is played here, before
// the job goes to the printer. $3 is the job's name; $0 is the device URI, as for every backend.
const char kBackendScript[] = R"(#!/bin/sh
dir=@DIR@
if [ $# -ge 3 ]; then
  fate=$(cat "$dir/fates/$3" 2>/dev/null || cat "$dir/fates/.default" 2>/dev/null)
  if [ "$fate" = offline ]; then
    echo "STATE: +offline-report" >&2
    n=0
    while [ ! -e "$dir/release/$3" ] && [ ! -e "$dir/release/.all" ] && [ $n -lt 2400 ]; do
      sleep 0.05; n=$((n+1))
    done
    echo "STATE: -offline-report" >&2
  fi
fi
DEVICE_URI="ipp${DEVICE_URI#vtest}"
export DEVICE_URI
exec /usr/lib/cups/backend/ipp "$@"
)";
const char kSystemServerBin[] = "/usr/lib/cups";

// The printer's own state, asked of the printer itself; `ipptool -c` prints it as CSV: a header
// line, then "<state>,<reasons>,<jobs>".
const char kPrinterStateTest[] = R"({
  NAME "printer state"
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes printer-state,printer-state-reasons,queued-job-count
  STATUS successful-ok
  DISPLAY printer-state
  DISPLAY printer-state-reasons
  DISPLAY queued-job-count
}
)";

// A page description small enough for `lp`; the test queues pass PDF through unchanged.
const char kTinyPdf[] = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                        "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                        "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 595 842]>>endobj\n"
                        "trailer<</Root 1 0 R>>\n%%EOF\n";

struct PaperSize {
    const char* name;
    int width;
    int height;
};
constexpr PaperSize kPaperSizes[] = {
    {"A4", 595, 842},
    {"A3", 842, 1191},
    {"Letter", 612, 792},
    {"Legal", 612, 1008},
    {"A5", 420, 595},
    {"8K", 765, 1106},  // 270 × 390 mm
    {"16K", 553, 765},  // 195 × 270 mm
};
constexpr int kMarginPt = 12;

const PaperSize* paperSize(const QString& name)
{
    for (const PaperSize& size : kPaperSizes) {
        if (name == QLatin1String(size.name))
            return &size;
    }
    return nullptr;
}

// Where the printer listening on `port` takes jobs, without the scheme.
QString printerAddress(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1/ipp/print").arg(port);
}

// The queue's device: the printer on `port`, through the harness's backend.
QString deviceUri(quint16 port)
{
    // snmp=false: the backend would spend seconds on SNMP for every job.
    return QStringLiteral("vtest://%1?snmp=false").arg(printerAddress(port));
}

// The last `count` lines of a log that start with `prefix`.
QString lastLines(const QString& path, int count, const QByteArray& prefix = QByteArray())
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QList<QByteArray> lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty() && line.startsWith(prefix))
            lines.append(line);
    }
    return QString::fromLocal8Bit(lines.mid(qMax(0, lines.size() - count)).join('\n'));
}

QString trayLabel(const QString& tray)
{
    QString label = tray;
    label.replace(QRegularExpression(QStringLiteral("(\\d+)$")), QStringLiteral(" \\1"));
    return label;
}

} // namespace

// A daemon of the harness: it ends with the test program, even when the program crashes.
class HarnessProcess : public QProcess {
protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

namespace {

class HarnessEnvironment : public ::testing::Environment {
public:
    explicit HarnessEnvironment(QList<CupsHarness::Model> models) : models(std::move(models)) {}
    void SetUp() override { harness = std::make_unique<CupsHarness>(models); }
    void TearDown() override { harness.reset(); }

private:
    QList<CupsHarness::Model> models;
    std::unique_ptr<CupsHarness> harness;
};

} // namespace

testing::Environment* CupsHarness::registerForProgram(const QList<Model>& models)
{
    return ::testing::AddGlobalTestEnvironment(new HarnessEnvironment(models));
}

CupsHarness& CupsHarness::current()
{
    return *currentHarness;
}

CupsHarness::CupsHarness(const QList<Model>& models)
{
    currentHarness = this;
    // Not under the test's private (0700) temporary folder: the backend runs as user lp.
    QByteArray pattern = "/tmp/vellox-cups-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error = QStringLiteral("cannot create the harness folder");
        return;
    }
    dir = QString::fromLocal8Bit(pattern);
    chmod(pattern.constData(), 0755);
    running = start(models);
    if (!running)
        ADD_FAILURE() << "CUPS harness did not start: " << error.toStdString();
}

CupsHarness::~CupsHarness()
{
    stop();
    if (!dir.isEmpty())
        QDir(dir).removeRecursively();
    if (currentHarness == this)
        currentHarness = nullptr;
}

bool CupsHarness::writeFile(const QString& path, const QByteArray& content, bool executable)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = QStringLiteral("cannot write ") + path;
        return false;
    }
    file.write(content);
    file.close();
    if (executable)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return true;
}

bool CupsHarness::startProcess(QProcess* process, const QString& program, const QStringList& args)
{
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(dir + QStringLiteral("/log/") + QFileInfo(program).fileName()
                                       + QStringLiteral(".out"),
                                   QIODevice::Append);
    process->start(program, args);
    if (!process->waitForStarted(kStartTimeoutMs)) {
        error = program + QStringLiteral(" did not start: ") + process->errorString();
        return false;
    }
    return true;
}

QString CupsHarness::ppdFor(const Model& model) const
{
    QString ppd;
    const auto line = [&ppd](const QString& text) { ppd += text + QLatin1Char('\n'); };
    line(QStringLiteral("*PPD-Adobe: \"4.3\""));
    line(QStringLiteral("*FormatVersion: \"4.3\""));
    line(QStringLiteral("*FileVersion: \"1.0\""));
    line(QStringLiteral("*LanguageVersion: English"));
    line(QStringLiteral("*LanguageEncoding: ISOLatin1"));
    line(QStringLiteral("*PCFileName: \"VTEST.PPD\""));
    line(QStringLiteral("*Manufacturer: \"Vellox Test\""));
    line(QStringLiteral("*Product: \"(%1)\"").arg(model.nickName));
    line(QStringLiteral("*ModelName: \"%1\"").arg(model.nickName));
    line(QStringLiteral("*ShortNickName: \"%1\"").arg(model.nickName.left(31)));
    line(QStringLiteral("*NickName: \"%1\"").arg(model.nickName));
    line(QStringLiteral("*PSVersion: \"(3010.000) 0\""));
    line(QStringLiteral("*LanguageLevel: \"3\""));
    line(QStringLiteral("*ColorDevice: %1").arg(model.color ? "True" : "False"));
    line(QStringLiteral("*DefaultColorSpace: %1").arg(model.color ? "RGB" : "Gray"));
    line(QStringLiteral("*FileSystem: False"));
    line(QStringLiteral("*Throughput: \"60\""));
    line(QStringLiteral("*LandscapeOrientation: Plus90"));
    line(QStringLiteral("*TTRasterizer: Type42"));
    line(QStringLiteral("*cupsVersion: 2.4"));
    // PDF goes to the printer byte for byte.
    line(QStringLiteral("*cupsFilter2: \"application/pdf application/pdf 0 -\""));

    for (const char* option : {"PageSize", "PageRegion"}) {
        line(QStringLiteral("*OpenUI *%1/Media Size: PickOne").arg(option));
        line(QStringLiteral("*OrderDependency: 10 AnySetup *%1").arg(option));
        line(QStringLiteral("*Default%1: %2").arg(option, model.defaultSize));
        for (const QString& size : model.sizes)
            line(QStringLiteral("*%1 %2/%2: \"\"").arg(option, size));
        line(QStringLiteral("*CloseUI: *%1").arg(option));
    }
    line(QStringLiteral("*DefaultImageableArea: %1").arg(model.defaultSize));
    line(QStringLiteral("*DefaultPaperDimension: %1").arg(model.defaultSize));
    for (const QString& name : model.sizes) {
        const PaperSize* size = paperSize(name);
        if (!size)
            continue;
        line(QStringLiteral("*ImageableArea %1/%1: \"%2 %2 %3 %4\"")
                 .arg(name)
                 .arg(kMarginPt)
                 .arg(size->width - kMarginPt)
                 .arg(size->height - kMarginPt));
        line(QStringLiteral("*PaperDimension %1/%1: \"%2 %3\"").arg(name).arg(size->width).arg(size->height));
    }
    if (model.duplex) {
        line(QStringLiteral("*OpenUI *Duplex/2-Sided Printing: PickOne"));
        line(QStringLiteral("*OrderDependency: 10 AnySetup *Duplex"));
        line(QStringLiteral("*DefaultDuplex: None"));
        line(QStringLiteral("*Duplex None/Off: \"\""));
        line(QStringLiteral("*Duplex DuplexNoTumble/Long Edge: \"\""));
        line(QStringLiteral("*Duplex DuplexTumble/Short Edge: \"\""));
        line(QStringLiteral("*CloseUI: *Duplex"));
    }
    line(QStringLiteral("*OpenUI *ColorModel/Color Mode: PickOne"));
    line(QStringLiteral("*OrderDependency: 10 AnySetup *ColorModel"));
    // A grey default would turn every colour job grey.
    line(QStringLiteral("*DefaultColorModel: %1").arg(model.color ? "RGB" : "Gray"));
    line(QStringLiteral("*ColorModel Gray/Grayscale: \"\""));
    if (model.color)
        line(QStringLiteral("*ColorModel RGB/Color: \"\""));
    line(QStringLiteral("*CloseUI: *ColorModel"));
    if (!model.trays.isEmpty()) {
        line(QStringLiteral("*OpenUI *InputSlot/Media Source: PickOne"));
        line(QStringLiteral("*OrderDependency: 10 AnySetup *InputSlot"));
        line(QStringLiteral("*DefaultInputSlot: %1").arg(model.trays.first()));
        for (const QString& tray : model.trays)
            line(QStringLiteral("*InputSlot %1/%2: \"\"").arg(tray, trayLabel(tray)));
        line(QStringLiteral("*CloseUI: *InputSlot"));
    }
    return ppd;
}

bool CupsHarness::start(const QList<Model>& models)
{
    for (const char* sub : {"log", "spool", "spool/tmp", "cache", "state", "ppd", "fates", "release", "models", "out"})
        QDir(dir).mkpath(QString::fromLatin1(sub));
    if (!writeFile(dir + QStringLiteral("/fate.sh"), kFateScript, true)
        || !writeFile(dir + QStringLiteral("/tiny.pdf"), kTinyPdf)
        || !writeFile(dir + QStringLiteral("/printer-state.test"), kPrinterStateTest))
        return false;
    // The server's programs are the system's, with one backend more.
    const QString bin = dir + QStringLiteral("/bin");
    QDir().mkpath(bin + QStringLiteral("/backend"));
    for (const char* sub : {"daemon", "filter", "driver", "notifier", "monitor"})
        QFile::link(QStringLiteral("%1/%2").arg(QLatin1String(kSystemServerBin), QLatin1String(sub)),
                    bin + QLatin1Char('/') + QLatin1String(sub));
    QFile::link(QStringLiteral("%1/backend/ipp").arg(QLatin1String(kSystemServerBin)), bin + QStringLiteral("/backend/ipp"));
    if (!writeFile(bin + QStringLiteral("/backend/vtest"), QByteArray(kBackendScript).replace("@DIR@", QFile::encodeName(dir)), true))
        return false;

    const quint16 cupsPort = AgentSandbox::freePort();
    const QString conf = QStringLiteral("Listen 127.0.0.1:%1\n"
                                        "Listen %2/cups.sock\n"
                                        "Browsing No\n"
                                        "LogLevel info\n"
                                        "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                        "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                                        "</Policy>\n")
                             .arg(cupsPort)
                             .arg(dir);
    const QString files = QStringLiteral("FileDevice Yes\n"
                                         "SystemGroup root\n"
                                         "ServerRoot %1\n"
                                         "ServerBin %1/bin\n"
                                         "RequestRoot %1/spool\n"
                                         "CacheDir %1/cache\n"
                                         "StateDir %1/state\n"
                                         "TempDir %1/spool/tmp\n"
                                         "AccessLog %1/log/access_log\n"
                                         "ErrorLog %1/log/error_log\n"
                                         "PageLog %1/log/page_log\n")
                              .arg(dir);
    if (!writeFile(dir + QStringLiteral("/cupsd.conf"), conf.toUtf8())
        || !writeFile(dir + QStringLiteral("/cups-files.conf"), files.toUtf8()))
        return false;

    // This process and every client it starts talk to the private server only.
    qputenv("CUPS_SERVER", QFile::encodeName(serverSocket()));
    qunsetenv("LPDEST");
    qunsetenv("PRINTER");
    clientEnv = QProcessEnvironment::systemEnvironment();

    const QString bus = dir + QStringLiteral("/dbus.sock");
    dbus = std::make_unique<HarnessProcess>();
    if (!startProcess(dbus.get(), QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--address=unix:path=") + bus}))
        return false;
    if (!waitUntil([&] { return QFile::exists(bus) || dbus->state() == QProcess::NotRunning; }, kStartTimeoutMs)
        || dbus->state() == QProcess::NotRunning) {
        error = QStringLiteral("dbus-daemon did not come up");
        return false;
    }

    // ippeveprinter wants a bus even without DNS-SD.
    QProcessEnvironment printerEnv = clientEnv;
    printerEnv.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + bus);
    QMap<QString, quint16>& ports = printerPorts;
    for (const Model& model : models) {
        const QString ppd = dir + QStringLiteral("/models/") + model.queue + QStringLiteral(".ppd");
        if (!writeFile(ppd, ppdFor(model).toLatin1()))
            return false;
        const QString out = dir + QStringLiteral("/out/") + model.queue;
        QDir().mkpath(out);
        const quint16 port = AgentSandbox::freePort();
        ports.insert(model.queue, port);
        auto printer = std::make_unique<HarnessProcess>();
        printer->setProcessEnvironment(printerEnv);
        if (!startProcess(printer.get(), QStringLiteral("ippeveprinter"),
                          {QStringLiteral("-n"), QStringLiteral("localhost"), QStringLiteral("-p"),
                           QString::number(port), QStringLiteral("-r"), QStringLiteral("off"), QStringLiteral("-P"),
                           ppd, QStringLiteral("-k"), QStringLiteral("-d"), out, QStringLiteral("-c"),
                           dir + QStringLiteral("/fate.sh"), model.queue}))
            return false;
        printers.push_back(std::move(printer));
    }

    cupsd = std::make_unique<HarnessProcess>();
    if (!startProcess(cupsd.get(), QStringLiteral("cupsd"),
                      {QStringLiteral("-f"), QStringLiteral("-c"), dir + QStringLiteral("/cupsd.conf"),
                       QStringLiteral("-s"), dir + QStringLiteral("/cups-files.conf")}))
        return false;
    const bool serverUp = waitUntil(
        [&] {
            if (cupsd->state() == QProcess::NotRunning)
                return true;
            QLocalSocket socket;
            socket.connectToServer(serverSocket());
            return socket.waitForConnected(200);
        },
        kStartTimeoutMs);
    if (!serverUp || cupsd->state() == QProcess::NotRunning) {
        error = QStringLiteral("cupsd did not come up");
        return false;
    }

    for (const auto& printer : printers) {
        if (printer->state() == QProcess::NotRunning) {
            error = QStringLiteral("an ippeveprinter ended at start");
            return false;
        }
    }
    for (auto it = ports.constBegin(); it != ports.constEnd(); ++it) {
        const quint16 port = it.value();
        const bool printerUp = waitUntil(
            [port] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, port);
                return socket.waitForConnected(200);
            },
            kStartTimeoutMs);
        if (!printerUp) {
            error = QStringLiteral("the printer of ") + it.key() + QStringLiteral(" did not come up");
            return false;
        }
    }

    for (const Model& model : models) {
        if (run(QStringLiteral("lpadmin"),
                {QStringLiteral("-p"), model.queue, QStringLiteral("-E"), QStringLiteral("-v"),
                 deviceUri(ports.value(model.queue)), QStringLiteral("-P"),
                 dir + QStringLiteral("/models/") + model.queue + QStringLiteral(".ppd")})
                .isNull()) {
            error = lastFailure;
            return false;
        }
    }
    if (!models.isEmpty()) {
        defaultQueue = models.first().queue;
        if (!setDefault(defaultQueue)) {
            error = lastFailure;
            return false;
        }
    }
    return true;
}

void CupsHarness::stop()
{
    // The jobs the printers still hold end with them.
    if (running)
        writeFile(dir + QStringLiteral("/release/.all"), QByteArray());
    std::vector<QProcess*> all;
    if (cupsd)
        all.push_back(cupsd.get());
    for (const auto& printer : printers)
        all.push_back(printer.get());
    if (dbus)
        all.push_back(dbus.get());
    for (QProcess* process : all) {
        if (process->state() != QProcess::NotRunning)
            process->terminate();
    }
    for (QProcess* process : all) {
        if (process->state() != QProcess::NotRunning && !process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    running = false;
}

QString CupsHarness::run(const QString& program, const QStringList& args) const
{
    QProcess process;
    process.setProcessEnvironment(clientEnv);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    const bool finished = process.waitForFinished(kClientTimeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    const QString output = QString::fromLocal8Bit(process.readAll());
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        lastFailure = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ") + output;
        return QString();
    }
    // Empty but not null: the program succeeded.
    return output.isNull() ? QStringLiteral("") : output;
}

bool CupsHarness::reset(int timeoutMs)
{
    setDefaultFate(Fate::Print);
    // A job a printer holds blocks the printer for the next test, and the job a test cancelled
    // may reach the printer only after the test has let its jobs go: every one goes now.
    const QString releaseAll = dir + QStringLiteral("/release/.all");
    writeFile(releaseAll, QByteArray());
    const QStringList queues = printerPorts.keys();
    bool ready = !run(QStringLiteral("cancel"), {QStringLiteral("-a")}).isNull();
    for (const QString& queue : QSet<QString>(unreachableQueues))
        ready = setReachable(queue, true) && ready;
    ready = !run(QStringLiteral("cupsenable"), queues).isNull() && ready;
    ready = !run(QStringLiteral("cupsaccept"), queues).isNull() && ready;
    if (!defaultQueue.isEmpty())
        ready = setDefault(defaultQueue) && ready;
    ready = ready && waitUntil([this] { return isIdle(); }, timeoutMs);
    QFile::remove(releaseAll);
    return ready;
}

bool CupsHarness::isIdle() const
{
    const QString jobs = run(QStringLiteral("lpstat"), {QStringLiteral("-o")});
    if (jobs.isNull() || !jobs.trimmed().isEmpty())
        return false;
    const QString queues = run(QStringLiteral("lpstat"), {QStringLiteral("-p")});
    if (queues.isNull() || queues.count(QStringLiteral(" is idle.")) != printerPorts.size())
        return false;
    for (auto it = printerPorts.constBegin(); it != printerPorts.constEnd(); ++it) {
        if (!printerState(it.key()).startsWith(QStringLiteral("idle,")))
            return false;
    }
    return true;
}

QString CupsHarness::printerState(const QString& queue) const
{
    const QString output = run(QStringLiteral("ipptool"),
                               {QStringLiteral("-c"), QStringLiteral("ipp://") + printerAddress(printerPorts.value(queue)),
                                dir + QStringLiteral("/printer-state.test")});
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.size() >= 2 ? lines.at(1).trimmed() : QString();
}

QString CupsHarness::stateReport() const
{
    QString report;
    const auto section = [&report](const QString& title, const QString& text) {
        const QString body = text.trimmed();
        report += QStringLiteral("-- %1:\n%2\n").arg(title, body.isEmpty() ? QStringLiteral("(none)") : body);
    };
    const auto client = [this](const QString& program, const QStringList& args) {
        const QString output = run(program, args);
        return output.isNull() ? lastFailure : output;
    };
    section(QStringLiteral("queues (lpstat -p -a)"), client(QStringLiteral("lpstat"), {QStringLiteral("-p"), QStringLiteral("-a")}));
    section(QStringLiteral("jobs not completed (lpstat -l -o)"),
            client(QStringLiteral("lpstat"), {QStringLiteral("-l"), QStringLiteral("-o")}));
    for (auto it = printerPorts.constBegin(); it != printerPorts.constEnd(); ++it) {
        const QString state = printerState(it.key());
        section(QStringLiteral("the printer of %1 (state,reasons,jobs)").arg(it.key()), state.isNull() ? lastFailure : state);
        const QStringList received = jobNames(it.key());
        section(QStringLiteral("the last jobs the printer of %1 received (of %2)").arg(it.key()).arg(received.size()),
                received.mid(qMax(0, received.size() - 10)).join(QLatin1Char('\n')));
    }
    section(QStringLiteral("the end of the server's log"), lastLines(dir + QStringLiteral("/log/error_log"), 40));
    section(QStringLiteral("the printers' last jobs"), lastLines(dir + QStringLiteral("/log/ippeveprinter.out"), 12, "[Job "));
    return report;
}

void CupsHarness::setFate(const QString& jobName, Fate fate)
{
    const char* word = "print";
    switch (fate) {
    case Fate::Print:
        word = "print";
        break;
    case Fate::Hold:
        word = "hold";
        break;
    case Fate::MediaEmpty:
        word = "media-empty";
        break;
    case Fate::Offline:
        word = "offline";
        break;
    case Fate::Fail:
        word = "fail";
        break;
    }
    writeFile(dir + QStringLiteral("/fates/") + jobName, word);
}

void CupsHarness::setDefaultFate(Fate fate)
{
    setFate(QStringLiteral(".default"), fate);
}

QStringList CupsHarness::jobNames(const QString& queue) const
{
    // "<job id>-<name>.<extension>.env": in the order the printer numbered the jobs.
    QMap<int, QString> byId;
    for (const QString& document : documentsOf(queue)) {
        const std::optional<QString> name = recordedJobName(document);
        if (name)
            byId.insert(QFileInfo(document).fileName().section(QLatin1Char('-'), 0, 0).toInt(), *name);
    }
    return byId.values();
}

std::optional<QString> CupsHarness::recordedJobName(const QString& document)
{
    QFile file(document + QStringLiteral(".env"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QString name;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("IPP_JOB_NAME="))
            name = QString::fromUtf8(line.mid(int(qstrlen("IPP_JOB_NAME="))));
    }
    return name;
}

int CupsHarness::queuedJobCount(const QString& queue) const
{
    const QString output = run(QStringLiteral("lpstat"), {QStringLiteral("-o"), queue});
    if (output.isNull())
        return -1;
    return output.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size();
}

void CupsHarness::release(const QString& jobName)
{
    writeFile(dir + QStringLiteral("/release/") + jobName, QByteArray());
}

QStringList CupsHarness::documentsOf(const QString& queue) const
{
    QStringList documents;
    QDirIterator it(dir + QStringLiteral("/out/") + queue, {QStringLiteral("*.env")}, QDir::Files);
    while (it.hasNext()) {
        QString path = it.next();
        path.chop(4);
        documents.append(path);
    }
    documents.sort();
    return documents;
}

QString CupsHarness::keptDocument(const QString& queue, const QString& jobName) const
{
    // The printer names a document "<its job id>-<job name>.<extension>", with every character
    // of the name but letters, digits and "_" made "_": tests name their jobs with those only.
    const QString suffix = QLatin1Char('-') + jobName + QLatin1Char('.');
    for (const QString& document : documentsOf(queue)) {
        // It also writes the name in lower case.
        if (QFileInfo(document).fileName().contains(suffix, Qt::CaseInsensitive))
            return document;
    }
    // Any other name (a spooler's own "Test Page"): by the name its job record holds.
    for (const QString& document : documentsOf(queue)) {
        if (recordedJobName(document) == jobName)
            return document;
    }
    return QString();
}

bool CupsHarness::waitForDocument(const QString& queue, const QString& jobName, int timeoutMs) const
{
    return waitUntil([&] { return !keptDocument(queue, jobName).isEmpty(); }, timeoutMs);
}

QMap<QString, QString> CupsHarness::jobAttributes(const QString& queue, const QString& jobName) const
{
    QMap<QString, QString> attributes;
    const QString document = keptDocument(queue, jobName);
    QFile file(document + QStringLiteral(".env"));
    if (document.isEmpty() || !file.open(QIODevice::ReadOnly))
        return attributes;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            attributes.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    return attributes;
}

int CupsHarness::submitHeldJob(const QString& queue, const QString& title)
{
    const QString output = run(QStringLiteral("lp"), {QStringLiteral("-d"), queue, QStringLiteral("-H"),
                                                      QStringLiteral("indefinite"), QStringLiteral("-t"), title,
                                                      dir + QStringLiteral("/tiny.pdf")});
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("request id is \\S+-(\\d+)")).match(output);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

bool CupsHarness::cancelJob(const QString& queue, int jobId)
{
    return !run(QStringLiteral("cancel"), {queue + QLatin1Char('-') + QString::number(jobId)}).isNull();
}

bool CupsHarness::cancelAll(const QString& queue)
{
    return !run(QStringLiteral("cancel"), {QStringLiteral("-a"), queue}).isNull();
}

bool CupsHarness::disable(const QString& queue)
{
    return !run(QStringLiteral("cupsdisable"), {queue}).isNull();
}

bool CupsHarness::enable(const QString& queue)
{
    return !run(QStringLiteral("cupsenable"), {queue}).isNull();
}

bool CupsHarness::setReachable(const QString& queue, bool reachable)
{
    if (!unreachablePort)
        unreachablePort = AgentSandbox::freePort(); // nobody listens there
    const quint16 port = reachable ? printerPorts.value(queue) : unreachablePort;
    if (run(QStringLiteral("lpadmin"), {QStringLiteral("-p"), queue, QStringLiteral("-v"), deviceUri(port)}).isNull())
        return false;
    if (reachable)
        unreachableQueues.remove(queue);
    else
        unreachableQueues.insert(queue);
    return true;
}

bool CupsHarness::setDefault(const QString& queue)
{
    return !run(QStringLiteral("lpadmin"), {QStringLiteral("-d"), queue}).isNull();
}

} // namespace vtest
