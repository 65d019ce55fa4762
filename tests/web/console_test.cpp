// The web console end to end in headless Chromium: served by the demo server, driving the real
// agent with a virtual scanner whose pages the agent uploads to that same demo server.
#include "agentsandbox.h"
#include "browser.h"
#include "cupsharness.h"
#include "demoserverprocess.h"
#include "wait.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

using vtest::AgentSandbox;
using vtest::DemoServer;

constexpr int kScanWaitMs = 120000;
const QString kConsoleQueue = QStringLiteral("console");

// The PC's default printer for the whole program: a real IPP printer behind a private CUPS.
testing::Environment* const printerEnvironment = vtest::CupsHarness::registerForProgram(
    {vtest::CupsHarness::Model(kConsoleQueue, QStringLiteral("Vellox Generic Duplex Colour"))});

vtest::CupsHarness& cupsHarness()
{
    return vtest::CupsHarness::current();
}

class Console : public vtest::BrowserTest {
protected:
    void SetUp() override
    {
        BrowserTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(demo.isRunning()) << demo.output().toStdString();
        sandbox.usePrivateProgramFolder(AgentSandbox::appDatFor(demo.url("/")));
        sandbox.setEnv("TWAINDSM_SOURCES", sandbox.root() + "/sources.json");
        sandbox.shortenScanPauses();
        writeScanner({});
        port = sandbox.startListening({"--hidden"});
        ASSERT_NE(port, 0);
        ASSERT_TRUE(browser().open(demo.url(QStringLiteral("/?ports=%1,%2").arg(port).arg(port + 1))));
        ASSERT_TRUE(browser().waitFor("document.getElementById('connection-state').dataset.state === 'open'"));
    }

    void TearDown() override
    {
        if (!HasFailure())
            return;
        printPageConsole();
        if (const auto log = browser().evaluate("return document.getElementById('log').innerText;"))
            std::fprintf(stderr, "console event log:\n%s\n", log->toString().toUtf8().constData());
        std::fprintf(stderr, "demo server:\n%s\nagent log:\n%s\n", demo.output().toUtf8().constData(),
                     sandbox.readLog().toUtf8().constData());
    }

    // A small, quick scanner; `extra` adds to its profile (a jam, say).
    void writeScanner(const QJsonObject& extra)
    {
        QJsonObject scanner{{"productName", "Vellox Virtual Scanner"}, {"default", true}, {"pages", 5},
                            {"resolution", 75}, {"paperSize", "A5"}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            scanner.insert(it.key(), it.value());
        QFile file(sandbox.root() + "/sources.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(QJsonObject{{"sources", QJsonArray{scanner}}}).toJson());
    }

    void setField(const QString& id, const QString& value)
    {
        js(QStringLiteral("document.getElementById('%1').value = %2; return true;").arg(id, jsString(value)));
    }

    void click(const QString& id) { js(QStringLiteral("document.getElementById('%1').click(); return true;").arg(id)); }

    QString text(const QString& id)
    {
        const auto value = js(QStringLiteral("return document.getElementById('%1').textContent;").arg(id));
        return value ? value->toString() : QString();
    }

    static QString batchSelector(const QString& batch)
    {
        return QStringLiteral("document.querySelector('.batch[data-batch=\"' + CSS.escape(%1) + '\"]')").arg(jsString(batch));
    }

    // The requests the console sent, as the agent received them.
    QJsonArray sentRequests(const QString& cmd)
    {
        QJsonArray requests;
        const auto frames = js("return [...document.querySelectorAll('#log li[data-direction=\"out\"] pre')].map((p) => p.textContent);");
        for (const QJsonValue& frame : frames ? frames->toArray() : QJsonArray()) {
            const QJsonObject request = QJsonDocument::fromJson(frame.toString().toUtf8()).object();
            if (request.value("cmd").toString() == cmd)
                requests.append(request);
        }
        return requests;
    }

    DemoServer demo;
    AgentSandbox sandbox;
    quint16 port = 0;
};

TEST_F(Console, ScansABatchAndShowsEveryPageAsItArrives)
{
    js("document.querySelector('#credential-rows .credential-name').value = 'SESSION';"
       "document.querySelector('#credential-rows .credential-value').value = 's-1';"
       "document.getElementById('add-credential').click();"
       "document.querySelectorAll('#credential-rows .credential-name')[1].value = 'school';"
       "document.querySelectorAll('#credential-rows .credential-value')[1].value = '一中';"
       "return true;");
    click("login");
    ASSERT_TRUE(browser().waitFor("document.getElementById('login-status').dataset.kind === 'ok'"));
    // The login's reply tells the scanner's state, or the "can-use" event that follows it.
    ASSERT_TRUE(browser().waitFor("document.getElementById('can-use').dataset.canUse === 'true'", kScanWaitMs));
    ASSERT_EQ(sentRequests("login").size(), 1);
    EXPECT_EQ(sentRequests("login")[0].toObject().value("data").toObject().value("uploadCredentials").toObject(),
              (QJsonObject{{"SESSION", "s-1"}, {"school", "一中"}}));

    const QString batch = QStringLiteral("console-1");
    setField("batchno", batch);
    click("start-scan");
    const QString view = batchSelector(batch);
    ASSERT_TRUE(browser().waitFor(view + "?.querySelector('.batch-summary').dataset.succeedCount === '5'", kScanWaitMs));
    EXPECT_EQ(js("return " + view + ".querySelector('.batch-summary').dataset.imageCount;")->toString(), "5");
    EXPECT_EQ(js("return " + view + ".querySelector('.batch-summary').textContent;")->toString(),
              "uploaded-end: 5 of 5 pages accepted");

    // Every thumbnail decodes, and they follow the pages the demo server stored, in order.
    ASSERT_TRUE(browser().waitFor("[..." + view + ".querySelectorAll('.page img')].every((img) => img.complete && img.naturalWidth > 0)"));
    const QJsonArray shown = js("return [..." + view + ".querySelectorAll('.page')].map((f) => ({"
                                "sortNo: Number(f.dataset.sortNo), state: f.dataset.state,"
                                "path: new URL(f.querySelector('img').src).pathname,"
                                "width: f.querySelector('img').naturalWidth }));")->toArray();
    const vtest::HttpResponse listing = demo.get("/pages/" + QUrl::toPercentEncoding(batch));
    ASSERT_EQ(listing.status, 200);
    const QJsonArray stored = QJsonDocument::fromJson(listing.body).array();
    ASSERT_EQ(stored.size(), 5);
    ASSERT_EQ(shown.size(), 5);
    for (int i = 0; i < 5; ++i) {
        const QJsonObject page = shown[i].toObject();
        EXPECT_EQ(page.value("sortNo").toInt(), i + 1);
        EXPECT_EQ(page.value("state").toString(), "uploaded");
        EXPECT_EQ(page.value("path").toString(), stored[i].toObject().value("url").toString());
        EXPECT_GT(page.value("width").toInt(), 0);
    }
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(VELLOX_TEST_ARTEFACT_DIR)));
    EXPECT_TRUE(browser().screenshot(QStringLiteral(VELLOX_TEST_ARTEFACT_DIR "/console-after-scan.png")))
        << browser().errorString().toStdString();

    // The event log holds every frame both ways.
    const QJsonArray starts = sentRequests("start-scan");
    ASSERT_EQ(starts.size(), 1);
    EXPECT_EQ(starts[0].toObject().value("data").toObject(),
              (QJsonObject{{"batchno", batch}, {"uploadUrl", demo.url("/upload")}, {"unionKey", "demo-union"}, {"paperVersion", 2}}));
    EXPECT_EQ(js("return document.querySelectorAll('#log li[data-direction=\"in\"][data-cmd=\"uploaded-image\"]').length;")->toInt(), 5);
    EXPECT_EQ(js("return document.querySelectorAll('#log li[data-direction=\"in\"][data-cmd=\"uploaded-end\"]').length;")->toInt(), 1);

    // A jam: the agent's own text, as it came.
    writeScanner({{"failAtPage", QJsonObject{{"page", 2}, {"condition", "TWCC_PAPERJAM"}}}});
    const QString jammed = QStringLiteral("console-2");
    setField("batchno", jammed);
    click("start-scan");
    ASSERT_TRUE(browser().waitFor(batchSelector(jammed) + "?.querySelector('.batch-error').textContent === '请检查进纸槽是否卡纸.'", kScanWaitMs));
    EXPECT_EQ(text("scan-status"), "请检查进纸槽是否卡纸.");
    ASSERT_TRUE(browser().waitFor(batchSelector(jammed) + "?.querySelectorAll('.page[data-state=\"uploaded\"]').length === 1", kScanWaitMs));
}

TEST_F(Console, PrintFormsSendTheDocumentedCommands)
{
    click("print");
    ASSERT_TRUE(browser().waitFor("document.getElementById('print-status').dataset.kind === 'ok'"));
    const QJsonArray prints = sentRequests("print");
    ASSERT_EQ(prints.size(), 1);
    const QJsonObject student = prints[0].toObject().value("data").toObject();
    EXPECT_EQ(student.value("studentName").toString(), "张三");
    EXPECT_EQ(student.value("studentId").toString(), "S001");
    EXPECT_EQ(student.value("config").toObject(), (QJsonObject{{"size", "A4"}, {"type", "whole"}}));
    // The default images are the demo server's sample sheets, which download.
    const QJsonArray images = student.value("imgList").toArray();
    ASSERT_EQ(images.size(), 2);
    for (const QJsonValue& image : images) {
        EXPECT_TRUE(image.toString().startsWith(demo.url("/samples/"))) << image.toString().toStdString();
        EXPECT_EQ(vtest::httpRequest("GET", image.toString()).status, 200);
    }

    // A batch is checked by the agent as a whole; its text reaches the form.
    js("document.querySelectorAll('#student-rows .student-id')[1].value = 'S001'; return true;");
    click("print-batch");
    ASSERT_TRUE(browser().waitFor("document.getElementById('batch-status').dataset.kind === 'error'"));
    EXPECT_EQ(text("batch-status"), "rejected (400): wrong data: duplicate student_id, index=1");
    js("document.querySelectorAll('#student-rows .student-id')[1].value = 'S002';"
       "document.getElementById('batch-size').value = 'A3'; return true;");
    click("print-batch");
    ASSERT_TRUE(browser().waitFor("document.getElementById('batch-status').dataset.kind === 'ok'"));
    const QJsonArray batches = sentRequests("printBatch");
    ASSERT_EQ(batches.size(), 2);
    const QJsonArray students = batches[1].toObject().value("data").toArray();
    ASSERT_EQ(students.size(), 3);
    EXPECT_EQ(students[1].toObject().value("studentName").toString(), "李四");
    EXPECT_EQ(students[2].toObject().value("imgList").toArray().size(), 1);
    EXPECT_EQ(students[0].toObject().value("config").toObject(), (QJsonObject{{"size", "A3"}, {"type", "whole"}}));

    click("stop-print");
    ASSERT_TRUE(browser().waitFor("document.getElementById('print-status').textContent.startsWith('stop-print sent')"));
    EXPECT_EQ(sentRequests("stop-print").size(), 1);
}

using ConsolePrinting = Console;

TEST_F(ConsolePrinting, PrintsOneStudentToTheLocalPrinter)
{
    const int before = cupsHarness().documentsOf(kConsoleQueue).size();
    click("print");
    ASSERT_TRUE(browser().waitFor("document.getElementById('print-status').dataset.kind === 'ok'"));
    // The demo server's two sample sheets come out as one job, and the page hears of it.
    ASSERT_TRUE(browser().waitFor("document.querySelector('#print-results li[data-kind=\"ok\"]') !== null", kScanWaitMs));
    EXPECT_TRUE(text("print-results").contains(QString::fromUtf8("张三 print end"))) << text("print-results").toStdString();
    EXPECT_GT(cupsHarness().documentsOf(kConsoleQueue).size(), before);
    EXPECT_EQ(js("return document.querySelectorAll('#log li[data-direction=\"in\"][data-cmd=\"print-end\"]').length;")->toInt(), 1);
}

} // namespace
