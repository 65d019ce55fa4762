// The Debian package as a technician gets it: built once by CPack from the build's install
// rules, read back with dpkg-deb and lintian, unpacked into a throw-away root whose programs
// run, upgraded under a running agent, and, only where the machine may be changed (root and
// VELLOX_TEST_SYSTEM_INSTALL=1, i.e. a disposable CI machine), installed, upgraded, removed and
// purged for real with apt-get.
#include "agentsandbox.h"
#include "httptestserver.h"
#include "processinfo.h"
#include "wait.h"
#include "wsclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

using vtest::AgentSandbox;
using vtest::WsClient;
namespace processinfo = vtest::processinfo;

const QString kVersion = QStringLiteral(VELLOX_VERSION);
const QString kNextVersion = kVersion + QStringLiteral("+upgrade1");
const QString kProgramFolder = QStringLiteral("/opt/vellox");
constexpr int kCommandMs = 300000;

struct RunResult {
    int exitCode = -1;
    QString output; // standard output and error
};

RunResult run(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
        int timeoutMs = kCommandMs)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    RunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.output = program + QStringLiteral(" did not finish: ") + QString::fromLocal8Bit(process.readAll());
        return result;
    }
    result.output = QString::fromLocal8Bit(process.readAll());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool waitForPort(quint16 port)
{
    return vtest::waitUntil([&] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(200);
    }, 60000);
}

// The agent of a sandbox answers on the WebSocket with the virtual scanner open.
::testing::AssertionResult answersWithScanner(quint16 port)
{
    WsClient client;
    if (!client.open(port))
        return ::testing::AssertionFailure() << "no WebSocket on port " << port << ": " << client.errorString().toStdString();
    const auto login = client.request(QStringLiteral("login"), QJsonObject{});
    if (!login)
        return ::testing::AssertionFailure() << "no answer to login";
    if (login->value("data").toObject().value("canUse").toBool())
        return ::testing::AssertionSuccess();
    // Connected before the scanner was opened: the opening is announced.
    const auto canUse = client.waitFor([](const QJsonObject& message) {
        return message.value("cmd").toString() == "can-use" && message.value("data").toObject().value("canUse").toBool();
    }, 90000);
    return canUse ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "the scanner was never ready";
}

void useVirtualScanner(AgentSandbox& sandbox)
{
    const QString profile = sandbox.root() + "/sources.json";
    QFile file(profile);
    file.open(QIODevice::WriteOnly);
    file.write(R"({"sources": [{"productName": "Package Test Scanner", "default": true}]})");
    sandbox.setEnv("TWAINDSM_SOURCES", profile);
}

// Ends a process this test started indirectly (a restarted agent), by its id.
void endProcess(qint64 pid)
{
    if (pid <= 0 || !processinfo::isAlive(pid))
        return;
    ::kill(pid_t(pid), SIGTERM);
    if (!vtest::waitUntil([&] { return !processinfo::isAlive(pid); }, 15000))
        ::kill(pid_t(pid), SIGKILL);
}

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work = new QTemporaryDir();
        const RunResult cpack = run(QStringLiteral(VELLOX_CPACK_COMMAND),
                              {"--config", VELLOX_CPACK_CONFIG, "-G", "DEB", "-B", work->path() + "/cpack"});
        const QStringList built = QDir(work->path() + "/cpack").entryList({"*.deb"}, QDir::Files);
        if (cpack.exitCode != 0 || built.size() != 1) {
            buildError = new QString(cpack.output);
            return;
        }
        deb = new QString(work->path() + "/cpack/" + built.front());
    }

    static void TearDownTestSuite()
    {
        delete work;
        delete deb;
        delete buildError;
        delete nextDeb;
    }

    void SetUp() override
    {
        ASSERT_NE(deb, nullptr) << "cpack failed:\n" << (buildError ? buildError->toStdString() : std::string());
    }

    static QString field(const QString& name)
    {
        return run("dpkg-deb", {"-f", *deb, name}).output.trimmed();
    }

    // The same package with a higher version, repacked without a second build.
    static QString nextVersionPackage()
    {
        if (nextDeb)
            return *nextDeb;
        const QString tree = work->path() + "/repack";
        const QString target = work->path() + "/vellox_next.deb";
        if (run("dpkg-deb", {"-R", *deb, tree}).exitCode != 0)
            return {};
        const QString controlPath = tree + "/DEBIAN/control";
        QString control = readText(controlPath);
        control.replace(QRegularExpression("^Version: .*$", QRegularExpression::MultilineOption), "Version: " + kNextVersion);
        QFile file(controlPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        file.write(control.toUtf8());
        file.close();
        if (run("dpkg-deb", {"--root-owner-group", "--build", tree, target}).exitCode != 0)
            return {};
        nextDeb = new QString(target);
        return target;
    }

    static inline QTemporaryDir* work = nullptr;
    static inline QString* deb = nullptr;
    static inline QString* buildError = nullptr;
    static inline QString* nextDeb = nullptr;
};

TEST_F(Package, HoldsTheProgramFolderAndDeclaresWhatItNeeds)
{
    EXPECT_EQ(QFileInfo(*deb).fileName().toStdString(),
              QString("vellox_%1_%2.deb").arg(kVersion, run("dpkg", {"--print-architecture"}).output.trimmed()).toStdString());
    EXPECT_EQ(field("Package"), "vellox");
    EXPECT_EQ(field("Version"), kVersion);
    EXPECT_FALSE(field("Maintainer").isEmpty());
    EXPECT_TRUE(field("Description").contains("\n")) << "a summary and a long description";

    // Resolved by dpkg-shlibdeps from the programs' libraries, plus the tools the agent runs.
    const QString depends = field("Depends");
    for (const char* needed : {"libc6 (>=", "libqt5core5a (>=", "libqt5widgets5 (>=", "libcurl4 (>=", "libcups2 (>=",
                               "cups-client", "cups-filters", "xdg-utils", "qt5-image-formats-plugins"})
        EXPECT_TRUE(depends.contains(QLatin1String(needed))) << needed << " missing from Depends: " << depends.toStdString();
    if (VELLOX_HAS_BROWSER)
        EXPECT_TRUE(depends.contains("libqt5webenginewidgets5")) << depends.toStdString();
    EXPECT_TRUE(field("Recommends").contains("sane-airscan"));
    EXPECT_TRUE(field("Recommends").contains("packagekit-tools")) << "pkcon installs the agent's upgrades";

    // Every entry: "mode owner/group size date time ./path[ -> target]".
    const RunResult listing = run("dpkg-deb", {"-c", *deb});
    ASSERT_EQ(listing.exitCode, 0) << listing.output.toStdString();
    QMap<QString, QString> modes;
    QMap<QString, QString> links;
    for (const QString& line : listing.output.split('\n', Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
        ASSERT_GE(parts.size(), 6) << line.toStdString();
        EXPECT_EQ(parts[1], "root/root") << line.toStdString();
        QString path = parts[5].mid(1);
        if (path.size() > 1 && path.endsWith('/'))
            path.chop(1);
        modes.insert(path, parts[0]);
        if (parts.size() >= 8 && parts[6] == "->")
            links.insert(path, parts[7]);
    }
    QStringList required = {"/opt/vellox/vellox", "/opt/vellox/libtwaindsm.so", "/opt/vellox/white-page.png",
                            "/opt/vellox/app.dat", "/opt/vellox/twaindsm-sources.json", "/opt/vellox/vellox-processes",
                            "/opt/vellox/vellox-autostart.desktop", "/etc/xdg/autostart/vellox.desktop",
                            "/usr/share/applications/vellox.desktop", "/usr/share/doc/vellox/copyright",
                            "/usr/share/doc/vellox/changelog.gz", "/usr/share/lintian/overrides/vellox"};
    for (const char* model : {"canon-iR-ADV", "canon-UFR", "lenovo-TOSHIBA", "Epson-EMC8100"})
        required << QString("/opt/vellox/devmode/%1").arg(model);
    required << "/opt/vellox/upgrade-keys";
    QStringList icons = {"vellox"};
    if (VELLOX_HAS_BROWSER) {
        required << "/opt/vellox/vellox-browser" << "/usr/share/applications/vellox-browser.desktop";
        icons << "vellox-browser";
    }
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        for (const QString& icon : icons)
            required << QString("/usr/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon);
    for (const QString& path : required)
        EXPECT_TRUE(modes.contains(path)) << path.toStdString() << " is not in the package";

    // Nothing else: no test program, benchmark, demo server, static library or build-tree file.
    const QRegularExpression allowed("^/(opt/vellox|etc/xdg/autostart|usr/share/(applications|icons/hicolor|doc/vellox|lintian/overrides))(/|$)"
                                     "|^/(opt|etc|etc/xdg|usr|usr/share|usr/share/doc|usr/share/icons|usr/share/lintian)?$");
    const QRegularExpression foreign("test|bench|demo|cmake|CMake|\\.a$|\\.o$|\\.h$|autogen");
    for (auto entry = modes.cbegin(); entry != modes.cend(); ++entry) {
        EXPECT_TRUE(allowed.match(entry.key()).hasMatch()) << entry.key().toStdString() << " is outside the package's folders";
        EXPECT_FALSE(foreign.match(entry.key()).hasMatch()) << entry.key().toStdString() << " does not belong in the package";
    }
    EXPECT_EQ(modes.value("/opt/vellox/vellox"), "-rwxr-xr-x");
    EXPECT_EQ(modes.value("/opt/vellox/libtwaindsm.so"), "-rw-r--r--");
    EXPECT_EQ(modes.value("/opt/vellox/app.dat"), "-rw-r--r--");
    EXPECT_EQ(modes.value("/opt/vellox/upgrade-keys"), "drwxr-xr-x") << "the upgrade keys are root's alone";

    // The programs' symbols, for crash reports, in a package of their own; the programs stripped.
    const QStringList symbols = QDir(QFileInfo(*deb).path()).entryList({"vellox-dbgsym_*.ddeb"}, QDir::Files);
    ASSERT_EQ(symbols.size(), 1);
    const RunResult symbolFiles = run("dpkg-deb", {"-c", QFileInfo(*deb).path() + "/" + symbols.front()});
    EXPECT_GE(symbolFiles.output.count(QRegularExpression("/usr/lib/debug/\\.build-id/../[0-9a-f]+\\.debug\n")),
              VELLOX_HAS_BROWSER ? 3 : 2) << symbolFiles.output.toStdString();
    // The autostart entry goes with the program on "remove", so it is the program folder's.
    EXPECT_EQ(links.value("/etc/xdg/autostart/vellox.desktop"), "/opt/vellox/vellox-autostart.desktop");

    // A site's app.dat and scanner choice survive upgrades; nothing else is a conffile.
    QStringList conffiles = run("dpkg-deb", {"-I", *deb, "conffiles"}).output.split('\n', Qt::SkipEmptyParts);
    conffiles.sort();
    EXPECT_EQ(conffiles, (QStringList{"/opt/vellox/app.dat", "/opt/vellox/twaindsm-sources.json"}));

    const RunResult lintian = run("lintian", {"--fail-on", "error", "--tag-display-limit", "0", *deb});
    EXPECT_EQ(lintian.exitCode, 0) << "lintian:\n" << lintian.output.toStdString();
    EXPECT_FALSE(lintian.output.contains(QRegularExpression("^E: ", QRegularExpression::MultilineOption)))
        << lintian.output.toStdString();
}

TEST_F(Package, UnpackedProgramsRunFromTheirFolder)
{
    QTemporaryDir root;
    ASSERT_EQ(run("dpkg-deb", {"-x", *deb, root.path()}).exitCode, 0);
    const QString folder = root.path() + kProgramFolder;

    const RunResult version = run(folder + "/vellox", {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output.toStdString(), ("vellox " + kVersion + "\n").toStdString());

    const QJsonObject appDat = QJsonDocument::fromJson(readText(folder + "/app.dat").toUtf8()).object();
    EXPECT_EQ(appDat.value("appname").toString(), "vellox");
    EXPECT_FALSE(appDat.contains("appversion")) << "the version is the program's own, not a site file's";
    EXPECT_TRUE(appDat.value("domains").isArray());
    EXPECT_EQ(QJsonDocument::fromJson(readText(folder + "/twaindsm-sources.json").toUtf8()).object().value("sane").toString(),
              "only") << "an installed DSM lists the real scanners only";

    // Each desktop entry starts a program of the package.
    const QString autostart = readText(folder + "/vellox-autostart.desktop");
    EXPECT_TRUE(autostart.contains("\nExec=/opt/vellox/vellox --hidden\n")) << autostart.toStdString();
    QStringList entries = {root.path() + "/usr/share/applications/vellox.desktop"};
    if (VELLOX_HAS_BROWSER)
        entries << root.path() + "/usr/share/applications/vellox-browser.desktop";
    for (const QString& entry : entries) {
        const QRegularExpressionMatch exec = QRegularExpression("^Exec=(\\S+)", QRegularExpression::MultilineOption)
                                                 .match(readText(entry));
        ASSERT_TRUE(exec.hasMatch()) << entry.toStdString();
        EXPECT_TRUE(QFileInfo(root.path() + exec.captured(1)).isExecutable()) << exec.captured(1).toStdString();
    }

    // The unpacked agent loads the unpacked DSM and answers a page.
    AgentSandbox sandbox;
    sandbox.useProgramFolder(folder);
    useVirtualScanner(sandbox);
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0) << sandbox.readLog().toStdString();
    EXPECT_TRUE(answersWithScanner(port)) << sandbox.readLog().toStdString();
}

// What dpkg does on an upgrade, without a package manager: the new files over the running agent
// (the site's edited app.dat kept, as dpkg keeps a changed conffile), then the new package's
// postinst (which honours DPKG_ROOT). The agent starts again in the user's session through the
// user's service manager (a stand-in for systemd-run here); without one, at the next login.
TEST_F(Package, UpgradeRestartsTheRunningAgentOnTheNewFilesInItsUsersSession)
{
    QTemporaryDir root;
    ASSERT_EQ(run("dpkg-deb", {"-x", *deb, root.path()}).exitCode, 0);
    const QString folder = root.path() + kProgramFolder;
    const QString agentPath = QFileInfo(folder + "/vellox").canonicalFilePath();
    vtest::HttpTestServer server;
    server.answer("/web-awg/navrel-hub/app/upgrade/check",
                  vtest::HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})", "application/json"));
    QJsonObject edited = AgentSandbox::appDatFor(server.url("/"));
    edited.insert("appversion", "0.9-site");
    const auto writeAppDat = [&] {
        QFile file(folder + "/app.dat");
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QJsonDocument(edited).toJson()) > 0;
    };
    ASSERT_TRUE(writeAppDat());

    AgentSandbox sandbox;
    sandbox.useProgramFolder(folder);
    useVirtualScanner(sandbox);
    const QString started = sandbox.recordStarts("systemd-run", R"(while [ $# -gt 0 ] && [ "$1" != "--" ]; do shift; done
shift
setsid -f "$@" >/dev/null 2>&1 </dev/null)");
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0) << sandbox.readLog().toStdString();
    QProcess* old = sandbox.agent();
    const qint64 oldPid = old->processId();

    const QString next = nextVersionPackage();
    ASSERT_FALSE(next.isEmpty());
    const QString control = work->path() + "/next-control";
    ASSERT_EQ(run("dpkg-deb", {"-e", next, control}).exitCode, 0);
    ASSERT_EQ(run("dpkg-deb", {"-x", next, root.path()}).exitCode, 0);
    ASSERT_TRUE(writeAppDat());
    ASSERT_TRUE(processinfo::executable(oldPid).endsWith(" (deleted)")) << "the upgrade replaced the running file";

    QProcessEnvironment env = sandbox.environment();
    env.insert("DPKG_ROOT", root.path());
    const int checksBefore = server.requestCount("/web-awg/navrel-hub/app/upgrade/check");
    const RunResult postinst = run(control + "/postinst", {"configure", kVersion}, env);
    EXPECT_EQ(postinst.exitCode, 0) << postinst.output.toStdString();
    EXPECT_TRUE(postinst.output.contains("in the user's session")) << postinst.output.toStdString();

    // The old agent was asked to quit and quit in order.
    ASSERT_TRUE(old->waitForFinished(30000)) << postinst.output.toStdString();
    EXPECT_EQ(old->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(old->exitCode(), 0);
    const QString user = run("id", {"-un"}).output.trimmed();
    EXPECT_TRUE(readText(started).startsWith("--user --machine=" + user + "@ --collect --quiet -- env -i "))
        << readText(started).toStdString();

    // A new one runs from the new file, in the old one's environment (same data folder, port),
    // and names the version it was built as, not the site's app.dat's.
    QList<qint64> running;
    ASSERT_TRUE(vtest::waitUntil([&] { return !(running = processinfo::runningProgram(agentPath)).isEmpty(); }, 30000))
        << postinst.output.toStdString();
    const qint64 newPid = running.front();
    struct Ender {
        qint64 pid;
        ~Ender() { endProcess(pid); }
    } ender{newPid};
    EXPECT_EQ(running.size(), 1);
    EXPECT_NE(newPid, oldPid);
    EXPECT_EQ(processinfo::executable(newPid), agentPath);
    // Read as the process may only just have started: its command line can still be empty then.
    QStringList arguments;
    EXPECT_TRUE(vtest::waitUntil([&] { return !(arguments = processinfo::arguments(newPid)).isEmpty(); }));
    EXPECT_EQ(arguments.mid(1), QStringList{"--hidden"});
    EXPECT_TRUE(waitForPort(port));
    EXPECT_TRUE(answersWithScanner(port)) << sandbox.readLog().toStdString();
    const QString built = run(agentPath, {"--version"}).output.trimmed().section(' ', 1);
    ASSERT_TRUE(vtest::waitUntil([&] { return server.requestCount("/web-awg/navrel-hub/app/upgrade/check") > checksBefore; }));
    const QByteArray check = server.requests("/web-awg/navrel-hub/app/upgrade/check").last().body;
    EXPECT_TRUE(check.contains(("\"currentVersion\":\"" + built + "\"").toUtf8())) << check.toStdString();
    EXPECT_FALSE(check.contains("0.9-site"));

    // No service manager of the user's: nothing is started from the package manager's own
    // service (it would die with it), and the output says when the agent comes back.
    sandbox.recordStarts("systemd-run", "exit 1");
    env = sandbox.environment();
    env.insert("DPKG_ROOT", root.path());
    const RunResult without = run(control + "/postinst", {"configure", kVersion}, env);
    EXPECT_EQ(without.exitCode, 0) << without.output.toStdString();
    EXPECT_TRUE(without.output.contains("it starts again at the user's next login")) << without.output.toStdString();
    EXPECT_TRUE(vtest::waitUntil([&] { return !processinfo::isAlive(newPid); }, 30000));
    EXPECT_TRUE(processinfo::runningProgram(agentPath).isEmpty());
}

// The real thing, only where the machine may be changed: a fresh install with apt, the agent
// started as autostart starts it, an upgrade under it, "remove", "purge".
TEST_F(Package, InstallsUpgradesRemovesAndPurgesWithApt)
{
    if (geteuid() != 0 || qgetenv("VELLOX_TEST_SYSTEM_INSTALL") != "1")
        GTEST_SKIP() << "system install skipped: it installs, upgrades and purges the vellox package on this machine; "
                        "run as root with VELLOX_TEST_SYSTEM_INSTALL=1 on a disposable machine (CI) only";
    // One such run at a time on a machine, whichever build folder it comes from.
    QLockFile machineLock(QStringLiteral("/run/lock/vellox-system-install-test.lock"));
    machineLock.setStaleLockTime(0);
    ASSERT_TRUE(machineLock.tryLock(900000));
    if (run("dpkg-query", {"-W", "-f", "${db:Status-Abbrev}", "vellox"}).output.startsWith("i")
        || QFileInfo::exists(kProgramFolder))
        GTEST_SKIP() << "system install skipped: vellox is already installed here and would be replaced";

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DEBIAN_FRONTEND", "noninteractive");
    const auto apt = [&](const QStringList& args) {
        return run("apt-get", QStringList{"-y", "-q", "-o", "DPkg::Lock::Timeout=300"} + args, env, 600000);
    };
    // Whatever happens below, the machine is left without the package.
    struct Purge {
        std::function<void()> purge;
        ~Purge() { purge(); }
    } purgeAtEnd{[&] { apt({"purge", "vellox"}); }};

    const RunResult install = apt({"install", "--no-install-recommends", *deb});
    ASSERT_EQ(install.exitCode, 0) << install.output.toStdString();
    const QString autostart = readText("/etc/xdg/autostart/vellox.desktop");
    EXPECT_TRUE(autostart.contains("\nExec=/opt/vellox/vellox --hidden\n")) << autostart.toStdString();
    if (VELLOX_HAS_BROWSER)
        EXPECT_TRUE(QFileInfo::exists("/usr/share/applications/vellox-browser.desktop"));
    EXPECT_EQ(run("/opt/vellox/vellox", {"--version"}).output.trimmed(), "vellox " + kVersion);

    AgentSandbox sandbox;
    sandbox.useProgramFolder(kProgramFolder);
    useVirtualScanner(sandbox);
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0) << sandbox.readLog().toStdString();
    QProcess* old = sandbox.agent();

    const QString next = nextVersionPackage();
    ASSERT_FALSE(next.isEmpty());
    const RunResult upgrade = apt({"install", "--no-install-recommends", next});
    ASSERT_EQ(upgrade.exitCode, 0) << upgrade.output.toStdString();
    EXPECT_EQ(run("dpkg-query", {"-W", "-f", "${Version}", "vellox"}).output, kNextVersion);
    ASSERT_TRUE(old->waitForFinished(30000)) << upgrade.output.toStdString();
    EXPECT_EQ(old->exitStatus(), QProcess::NormalExit);
    // Started again in the user's session where a service manager of the user's runs, else at
    // the next login (a machine without systemd): either way the output says which.
    if (!upgrade.output.contains("in the user's session")) {
        EXPECT_TRUE(upgrade.output.contains("it starts again at the user's next login")) << upgrade.output.toStdString();
        old = sandbox.start({"--hidden"});
    }
    QList<qint64> running;
    ASSERT_TRUE(vtest::waitUntil([&] { return !(running = processinfo::runningProgram("/opt/vellox/vellox")).isEmpty(); }, 30000))
        << upgrade.output.toStdString();
    EXPECT_EQ(processinfo::executable(running.front()), "/opt/vellox/vellox");
    EXPECT_TRUE(waitForPort(port));
    EXPECT_TRUE(answersWithScanner(port)) << sandbox.readLog().toStdString();
    EXPECT_EQ(run("/opt/vellox/vellox", {"--version"}).exitCode, 0);

    // "remove": the programs quit, the program folder keeps only the conffiles, the autostart
    // entry and the menu entries are gone; the user's data folder stays.
    const RunResult remove = apt({"remove", "vellox"});
    ASSERT_EQ(remove.exitCode, 0) << remove.output.toStdString();
    EXPECT_TRUE(vtest::waitUntil([&] { return !processinfo::isAlive(running.front()); }, 30000));
    endProcess(running.front());
    QStringList left = QDir(kProgramFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.sort();
    EXPECT_EQ(left, (QStringList{"app.dat", "twaindsm-sources.json"}));
    for (const char* gone : {"/etc/xdg/autostart/vellox.desktop", "/usr/share/applications/vellox.desktop",
                             "/usr/share/applications/vellox-browser.desktop", "/usr/share/icons/hicolor/48x48/apps/vellox.png",
                             "/usr/share/doc/vellox"})
        EXPECT_FALSE(QFileInfo(gone).exists() || QFileInfo(gone).isSymLink()) << gone;
    EXPECT_TRUE(QFileInfo::exists(sandbox.dataFolder() + "/cfg.dat"));

    // "purge": the conffiles and the program folder go too.
    const RunResult purge = apt({"purge", "vellox"});
    ASSERT_EQ(purge.exitCode, 0) << purge.output.toStdString();
    EXPECT_FALSE(QFileInfo::exists(kProgramFolder));
    EXPECT_FALSE(run("dpkg-query", {"-W", "-f", "${db:Status-Abbrev}", "vellox"}).output.startsWith("i"));
    EXPECT_TRUE(run("dpkg-query", {"-L", "vellox"}).exitCode != 0) << "dpkg still knows files of vellox";
    EXPECT_TRUE(QFileInfo::exists(sandbox.dataFolder() + "/cfg.dat"));
}

} // namespace
