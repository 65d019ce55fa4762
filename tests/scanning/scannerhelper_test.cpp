// Scanner presets as the data source manager receives them (its trace of every MSG_SET), range
// capabilities against the ranges a source reports, and the capability dump file.
#include "scanning/scannerhelper.h"
#include "scanning/twaindsm_library.h"
#include "scanning/twainsession.h"

#include "logcapture.h"
#include "virtualdsm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>

namespace {

// A session that only negotiates: these tests never transfer an image.
class NegotiatingSession : public CTWAINSession {
public:
    void OnError(const TW_STATUS&) override {}
    void OnNativeTransfer(TW_UINT16, TW_HANDLE*, bool*) override {}
    void OnMemoryTransfer(const TW_IMAGEINFO&, const TW_IMAGEMEMXFER&, TW_UINT16*) override {}
    void OnFileTransfer(TW_UINT16, const TW_SETUPFILEXFER&) override {}
    void OnMemFileTransfer(const TW_IMAGEMEMXFER&, TW_UINT16*) override {}
};

// One MSG_SET as the DSM saw it: the capability's name and the value sent (null when the
// source does not know the capability and the DSM refused before reading the container).
struct SetCall {
    QString cap;
    QJsonValue value;
};

QJsonObject capability(const char* cap, const char* type, const char* container, const QJsonValue& value)
{
    return { { "cap", cap }, { "type", type }, { "container", container }, { "default", value } };
}

QJsonObject fixRange(const char* cap, double min, double max)
{
    return { { "cap", cap }, { "type", "TWTY_FIX32" }, { "container", "range" },
             { "min", min }, { "max", max }, { "step", 0.01 }, { "default", min } };
}

// Every capability a preset writes, so that the trace shows each value.
QJsonArray presetCapabilities()
{
    return {
        capability("0x8000", "TWTY_INT16", "onevalue", 0),
        capability("0x8102", "TWTY_UINT16", "onevalue", 1),
        capability("0x8832", "TWTY_BOOL", "onevalue", true),
        capability("0x8096", "TWTY_BOOL", "onevalue", true),
        capability("0x8868", "TWTY_BOOL", "onevalue", true),
        capability("0x8050", "TWTY_UINT16", "onevalue", 0),
        capability("ICAP_AUTOMATICBORDERDETECTION", "TWTY_BOOL", "onevalue", false),
        capability("ICAP_AUTOSIZE", "TWTY_INT16", "onevalue", 0),
        capability("ICAP_ROTATION", "TWTY_FIX32", "onevalue", 90),
        capability("ICAP_MINIMUMHEIGHT", "TWTY_FIX32", "onevalue", 0),
        capability("ICAP_MINIMUMWIDTH", "TWTY_FIX32", "onevalue", 0),
        capability("ICAP_FRAMES", "TWTY_FRAME", "onevalue", QJsonArray{ 0, 0, 8.5, 11.75 }),
        fixRange("ICAP_CONTRAST", -100, 100),
        fixRange("ICAP_GAMMA", 0.1, 4.0),
    };
}

QString joined(const QStringList& caps)
{
    return caps.join(',');
}

class ScannerHelperWithDsm : public vtest::VirtualDsmTest {
protected:
    CTWAINSession& twainSession() override { return session; }

    void SetUp() override
    {
        VirtualDsmTest::SetUp();
        helper.setSession(&session);
    }

    void closeScanner() { vtest::closeTwainSession(session); }

    void openScanner(const QString& name, const QJsonArray& capabilities = presetCapabilities())
    {
        writeProfile(QJsonArray{ QJsonObject{ { "productName", name }, { "capabilities", capabilities } } });
        ASSERT_EQ(session.LoadDSM(), 0);
        ASSERT_EQ(session.OpenDSM(nullptr), TWRC_SUCCESS);
        TW_IDENTITY identity{};
        std::strncpy(identity.ProductName, name.toLatin1().constData(), sizeof identity.ProductName - 1);
        ASSERT_EQ(session.OpenDS(&identity), TWRC_SUCCESS) << ConditionCodeName(session.GetStatus().ConditionCode);
        linesBeforeNow = traceLineCount(); // only what follows the opening counts
    }

    std::vector<SetCall> sets() const
    {
        std::vector<SetCall> calls;
        for (const QJsonObject& entry : trace("DAT_CAPABILITY", linesBeforeNow)) {
            if (entry.value("msg").toString() == "MSG_SET")
                calls.push_back({ entry.value("cap").toString(), entry.value("set").toObject().value("value") });
        }
        return calls;
    }

    // The capabilities set since the opening, joined by commas (readable in a failure).
    QString setCaps() const
    {
        QStringList caps;
        for (const SetCall& call : sets())
            caps << call.cap;
        return caps.join(',');
    }

    QJsonValue valueSet(const QString& cap) const
    {
        for (const SetCall& call : sets()) {
            if (call.cap == cap)
                return call.value;
        }
        return QJsonValue::Undefined;
    }

    NegotiatingSession session;
    KELScannerHelper helper;
    int linesBeforeNow = 0;
};

TEST(ScannerHelper, ModelClassesByName)
{
    struct Case {
        const char* name;
        int scannerClass;
    };
    const Case cases[] = {
        { "Canon DR-C240 TWAIN", KELScannerHelper::CanonClass },
        { "CANON MF750 Series", KELScannerHelper::CanonClass },
        { "Canon Color Network ScanGear 2", KELScannerHelper::CanonClass },  // canon is tested first
        { "KODAK Scanner: i2000", KELScannerHelper::KodakClass },
        { "HUAGOSCAN G100 Kodak edition", KELScannerHelper::HuagoClass },     // huagoscan before kodak
        { "pantum DS-230", KELScannerHelper::PantumClass },
        { "TOSHIBA e-STUDIO Scan", KELScannerHelper::EStudioClass },
        { "Color Network ScanGear 2", KELScannerHelper::ColorNetworkScanGearClass },
        { "EPSON EM-C8100 Series", KELScannerHelper::EpsonEmC8100Class },
        { "epson em-c8100 series TWAIN", KELScannerHelper::EpsonEmC8100Class },
        { "EPSON DS-530", KELScannerHelper::UnknownClass },
        { "", KELScannerHelper::UnknownClass },
    };
    for (const Case& c : cases)
        EXPECT_EQ(KELScannerHelper::classifyScanner(QString::fromUtf8(c.name)), c.scannerClass) << c.name;

    EXPECT_TRUE(KELScannerHelper::isKodak("Kodak i1150"));
    EXPECT_FALSE(KELScannerHelper::isKodak("Kodac"));
    EXPECT_TRUE(KELScannerHelper::isEpsonEmC8100("EPSON EM-C8100 SERIES"));
    EXPECT_FALSE(KELScannerHelper::isEpsonEmC8100("EPSON EM-C8100"));
    EXPECT_TRUE(KELScannerHelper::isColorNetworkScanGear("color network scangear 2"));
}

TEST(ScannerHelper, RangeArithmeticAndFixedPoint)
{
    EXPECT_NEAR(KELScannerHelper::rangeTarget(ICAP_BRIGHTNESS, -1000, 1000, 150, 255), 176.47, 0.01);
    EXPECT_NEAR(KELScannerHelper::rangeTarget(ICAP_CONTRAST, 0, 7, 5, 7), 5.0, 1e-9);
    EXPECT_DOUBLE_EQ(KELScannerHelper::rangeTarget(ICAP_GAMMA, 1.0, 3.0, 0.7, 5), 0.7);

    const TW_FIX32 half = KELScannerHelper::doubleToFix32(20.5);
    EXPECT_EQ(half.Whole, 20);
    EXPECT_EQ(half.Frac, 0x8000);
    // Negative values keep the two's complement split: -0.25 is Whole -1, Frac 0xC000.
    const TW_FIX32 negative = KELScannerHelper::doubleToFix32(-0.25);
    EXPECT_EQ(negative.Whole, -1);
    EXPECT_EQ(negative.Frac, 0xC000);
    EXPECT_DOUBLE_EQ(KELScannerHelper::fix32ToDouble(negative), -0.25);
    EXPECT_NEAR(KELScannerHelper::fix32ToDouble(KELScannerHelper::doubleToFix32(0.7)), 0.7, 1.0 / 65536);
    EXPECT_NEAR(KELScannerHelper::fix32ToDouble(KELScannerHelper::doubleToFix32(-176.47)), -176.47, 1.0 / 65536);
}

TEST(ScannerHelper, WithoutSessionNothingIsWritten)
{
    KELScannerHelper helper;
    helper.applyPresets("Canon MF750");
    EXPECT_FALSE(helper.setRangeCapability(ICAP_BRIGHTNESS, 1, 2));
    EXPECT_TRUE(helper.dumpAllPropertiesTo(QDir::tempPath() + "/").isEmpty());
    helper.setScannerName("KODAK i2600");
    EXPECT_EQ(helper.scannerName(), "KODAK i2600");
}

TEST_F(ScannerHelperWithDsm, PresetsOfEachModel)
{
    const auto check = [&](const QString& name, const QStringList& expected) {
        SCOPED_TRACE(name.toStdString());
        openScanner(name);
        helper.applyPresets(name);
        EXPECT_EQ(setCaps(), joined(expected));
        const std::vector<SetCall> calls = sets();
        closeScanner();
        return calls;
    };

    check("Canon MF750 Series",
          { "ICAP_PIXELTYPE", "ICAP_XRESOLUTION", "ICAP_YRESOLUTION", "CAP_FEEDERENABLED", "CAP_DUPLEXENABLED" });
    openScanner("Canon MF750 Series");
    helper.applyPresets("Canon MF750 Series");
    EXPECT_EQ(valueSet("ICAP_PIXELTYPE").toInt(), TWPT_RGB);
    EXPECT_DOUBLE_EQ(valueSet("ICAP_XRESOLUTION").toDouble(), 150);
    EXPECT_DOUBLE_EQ(valueSet("ICAP_YRESOLUTION").toDouble(), 150);
    EXPECT_EQ(valueSet("CAP_DUPLEXENABLED").toBool(), true);
    closeScanner();

    // Other Canons: 300 dpi, the automatic paper group sized by the current frame, no rotation.
    openScanner("Canon DR-C240");
    helper.applyPresets("Canon DR-C240");
    EXPECT_EQ(setCaps(), joined({ "ICAP_PIXELTYPE", "ICAP_XRESOLUTION", "ICAP_YRESOLUTION",
                                       "ICAP_UNDEFINEDIMAGESIZE", "ICAP_AUTOMATICBORDERDETECTION", "ICAP_AUTOSIZE",
                                       "CAP_CUSTOMBASE", "ICAP_MINIMUMHEIGHT", "ICAP_MINIMUMWIDTH",
                                       "ICAP_ROTATION" }));
    EXPECT_DOUBLE_EQ(valueSet("ICAP_XRESOLUTION").toDouble(), 300);
    EXPECT_EQ(valueSet("ICAP_AUTOSIZE").toInt(), 1);
    EXPECT_EQ(valueSet("CAP_CUSTOMBASE").toInt(), 1);
    EXPECT_DOUBLE_EQ(valueSet("ICAP_MINIMUMHEIGHT").toDouble(), 11.75);
    EXPECT_DOUBLE_EQ(valueSet("ICAP_MINIMUMWIDTH").toDouble(), 8.5);
    EXPECT_DOUBLE_EQ(valueSet("ICAP_ROTATION").toDouble(), 0);
    closeScanner();

    openScanner("KODAK i2600");
    helper.applyPresets("KODAK i2600");
    EXPECT_EQ(setCaps(), joined({ "CAP_DUPLEXENABLED", "ICAP_XRESOLUTION", "ICAP_YRESOLUTION",
                                       "ICAP_PIXELTYPE", "0x8102" }));
    EXPECT_EQ(valueSet("0x8102").toInt(), 0);
    closeScanner();

    openScanner("EPSON EM-C8100 Series");
    helper.applyPresets("EPSON EM-C8100 Series");
    EXPECT_EQ(setCaps(), joined({ "CAP_FEEDERENABLED", "ICAP_PIXELTYPE", "CAP_DUPLEXENABLED", "CAP_INDICATORS",
                                       "ICAP_UNDEFINEDIMAGESIZE", "ICAP_AUTOMATICBORDERDETECTION", "ICAP_AUTOSIZE",
                                       "0x8050" }));
    EXPECT_EQ(valueSet("CAP_INDICATORS").toBool(true), false);
    EXPECT_EQ(valueSet("0x8050").toInt(), 1);
    closeScanner();

    check("Vellox Virtual Scanner", {});
}

TEST_F(ScannerHelperWithDsm, HuagoRangesFollowTheSourcesLimits)
{
    vtest::LogCapture log;
    openScanner("HUAGOSCAN G100");
    helper.applyPresets("HUAGOSCAN G100");
    EXPECT_EQ(setCaps(), joined({ "ICAP_BRIGHTNESS", "ICAP_CONTRAST", "0x8832", "0x8096", "0x8868", "ICAP_GAMMA",
                                       "CAP_DUPLEXENABLED", "ICAP_SUPPORTEDSIZES", "ICAP_PIXELTYPE" }));
    // The built-in brightness runs from -1000 to 1000.
    EXPECT_NEAR(valueSet("ICAP_BRIGHTNESS").toDouble(), 176.47, 0.01);
    EXPECT_NEAR(valueSet("ICAP_CONTRAST").toDouble(), -100 + 200 * 5.0 / 7, 0.01);
    EXPECT_NEAR(valueSet("ICAP_GAMMA").toDouble(), 0.7, 0.001);
    EXPECT_EQ(valueSet("0x8832").toBool(true), false);
    EXPECT_EQ(valueSet("ICAP_SUPPORTEDSIZES").toInt(), TWSS_USSTATEMENT);
    closeScanner();

    // Gamma outside the source's range is left alone; a capability that is not a fixed-point
    // range is not touched either.
    openScanner("HUAGOSCAN G100", { fixRange("ICAP_GAMMA", 1.0, 3.0),
                                    capability("ICAP_CONTRAST", "TWTY_FIX32", "onevalue", 0) });
    helper.applyPresets("HUAGOSCAN G100");
    const QString caps = setCaps();
    EXPECT_FALSE(caps.contains("ICAP_GAMMA"));
    EXPECT_FALSE(caps.contains("ICAP_CONTRAST"));
    EXPECT_TRUE(caps.contains("ICAP_BRIGHTNESS"));
    EXPECT_TRUE(log.contains("[error] Set range capability failed: cap_id:ICAP_GAMMA, invalid value:0.7, (1--3)"))
        << log.lines().join('\n').toStdString();
    EXPECT_TRUE(log.contains("[error] get range capability failed: cap_id:ICAP_CONTRAST, cap_type:5, item_type: 7 "));
}

TEST_F(ScannerHelperWithDsm, LanguageIndicatorsDuplexAndFeeder)
{
    openScanner("Canon DR-C240");
    helper.applyLanguageAndIndicators("Canon DR-C240");
    EXPECT_EQ(setCaps(), joined({ "CAP_LANGUAGE", "CAP_INDICATORS" }));
    EXPECT_EQ(valueSet("CAP_LANGUAGE").toInt(), 0xFFFF);
    closeScanner();

    openScanner("EPSON EM-C8100 Series");
    helper.applyLanguageAndIndicators("EPSON EM-C8100 Series");
    helper.setFeederEnabled(KELScannerHelper::KodakClass, false);  // not a class with a feeder switch
    EXPECT_TRUE(setCaps().isEmpty());
    helper.setDuplex(0);
    helper.setFeederEnabled(KELScannerHelper::EpsonEmC8100Class, false);
    helper.setDuplex(1);
    const std::vector<SetCall> calls = sets();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].cap, "CAP_DUPLEXENABLED");
    EXPECT_EQ(calls[0].value.toBool(true), false);
    EXPECT_EQ(calls[1].cap, "CAP_FEEDERENABLED");
    EXPECT_EQ(calls[2].value.toBool(false), true);
}

TEST_F(ScannerHelperWithDsm, DumpListsEverySupportedCapability)
{
    vtest::LogCapture log;
    openScanner("Dump Scanner",
                { capability("ICAP_PIXELTYPE", "TWTY_UINT16", "onevalue", "TWPT_RGB"),
                  QJsonObject{ { "cap", "0x8001" }, { "type", "TWTY_UINT16" }, { "container", "array" },
                               { "values", QJsonArray{} }, { "default", QJsonArray{} } },
                  QJsonObject{ { "cap", "0x8002" }, { "type", "TWTY_INT16" }, { "container", "enumeration" },
                               { "values", QJsonArray{ 10, 20, 30 } }, { "default", 20 }, { "current", 30 } } });
    TW_CAPABILITY supported{};
    ASSERT_EQ(session.GetCapability(CAP_SUPPORTEDCAPS, supported), TWRC_SUCCESS);
    const auto* list = static_cast<const TW_ARRAY*>(CTWAINSession::LockContainer(supported.hContainer));
    const int supportedCount = int(list->NumItems);
    CTWAINSession::UnlockContainer(supported.hContainer);
    CTWAINSession::FreeContainer(supported.hContainer);

    const QString folder = dir.path() + "/log/";
    QDir().mkpath(folder);
    const QString path = helper.dumpAllPropertiesTo(folder);
    ASSERT_FALSE(path.isEmpty());
    EXPECT_TRUE(QFileInfo(path).fileName().contains(QRegularExpression("^\\d{14}_pro\\.txt$"))) << path.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.endsWith('\n'));
    const QList<QByteArray> lines = text.trimmed().split('\n');
    EXPECT_EQ(lines.size(), supportedCount);
    EXPECT_TRUE(log.contains(QString("Get All Supported Properties: cap id count is: %1").arg(supportedCount)));

    EXPECT_TRUE(lines.contains("101|5|onevalue:TWPT_RGB")) << text.toStdString();
    EXPECT_TRUE(lines.contains("1101|6|range:0.00(-1000.00-1000.00)"));  // ICAP_BRIGHTNESS
    EXPECT_TRUE(lines.contains("1118|4|enum:200.00"));                    // ICAP_XRESOLUTION
    EXPECT_TRUE(lines.contains("8001|3|array:TWTY_UINT16, count:0, value 0:"));
    EXPECT_TRUE(lines.contains("8002|4|enum:30"));
    // CAP_SUPPORTEDCAPS lists itself: an array whose first item is named.
    EXPECT_TRUE(lines.contains("1005|3|array:TWTY_UINT16, count:" + QByteArray::number(supportedCount)
                               + ", value 0:CAP_XFERCOUNT"));

    // A folder that cannot hold the file: logged, nothing written.
    EXPECT_TRUE(helper.dumpAllPropertiesTo(dir.path() + "/missing/").isEmpty());
    EXPECT_TRUE(log.contains("[error] Create log property file failed! " + dir.path() + "/missing/"));
}

} // namespace
