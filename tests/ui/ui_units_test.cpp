// The desktop shell's arithmetic, its resources and the tray menu, in this process.
#include "foundation/globalconfig.h"
#include "ui/framelesswindow.h"
#include "ui/mainwindow.h"
#include "ui/systemtray.h"
#include "ui/uiutils.h"

#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTranslator>

#include "wait.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using KELFrameHit::Area;

KELFrameHit::Input windowAt(const QPoint& cursor, QSize minimum = {300, 200}, QSize maximum = {800, 600})
{
    KELFrameHit::Input in;
    in.window = QRect(100, 100, 400, 300); // x 100…499, y 100…399
    in.cursor = cursor;
    in.minimum = minimum;
    in.maximum = maximum;
    return in;
}

TEST(FrameHitTest, EdgesOnlyWhereTheWindowMayChangeSizeCaptionMinusExclusions)
{
    using KELFrameHit::hitTest;
    EXPECT_EQ(hitTest(windowAt({103, 250})), Area::Left);
    EXPECT_EQ(hitTest(windowAt({496, 250})), Area::Right);
    EXPECT_EQ(hitTest(windowAt({300, 100})), Area::Top);
    EXPECT_EQ(hitTest(windowAt({300, 399})), Area::Bottom);
    EXPECT_EQ(hitTest(windowAt({101, 101})), Area::TopLeft);
    EXPECT_EQ(hitTest(windowAt({498, 101})), Area::TopRight);
    EXPECT_EQ(hitTest(windowAt({101, 398})), Area::BottomLeft);
    EXPECT_EQ(hitTest(windowAt({498, 398})), Area::BottomRight);
    EXPECT_EQ(hitTest(windowAt({108, 250})), Area::Client) << "the border is 8 pixels wide";
    EXPECT_EQ(hitTest(windowAt({300, 250})), Area::Client);

    // Equal minimum and maximum width: no left or right border, top and bottom stay; a corner
    // then only resizes vertically.
    const QSize fixedWidthMin(400, 200), fixedWidthMax(400, 600);
    EXPECT_EQ(hitTest(windowAt({103, 250}, fixedWidthMin, fixedWidthMax)), Area::Client);
    EXPECT_EQ(hitTest(windowAt({496, 250}, fixedWidthMin, fixedWidthMax)), Area::Client);
    EXPECT_EQ(hitTest(windowAt({300, 102}, fixedWidthMin, fixedWidthMax)), Area::Top);
    EXPECT_EQ(hitTest(windowAt({300, 397}, fixedWidthMin, fixedWidthMax)), Area::Bottom);
    EXPECT_EQ(hitTest(windowAt({101, 101}, fixedWidthMin, fixedWidthMax)), Area::Top);
    // A fixed size has no border at all.
    EXPECT_EQ(hitTest(windowAt({101, 101}, {400, 300}, {400, 300})), Area::Client);

    KELFrameHit::Input caption = windowAt({300, 115});
    caption.inTitleBar = true;
    EXPECT_EQ(hitTest(caption), Area::Caption);
    caption.onCaptionExclusion = true;
    EXPECT_EQ(hitTest(caption), Area::Client) << "a title bar button never moves the window";
    caption.onCaptionExclusion = false;
    caption.moveEnabled = false;
    EXPECT_EQ(hitTest(caption), Area::Client);

    // Maximised, or with resizing off, the edges are client area (or caption).
    KELFrameHit::Input maximised = windowAt({103, 103});
    maximised.maximizedOrFullScreen = true;
    EXPECT_EQ(hitTest(maximised), Area::Client);
    maximised.inTitleBar = true;
    EXPECT_EQ(hitTest(maximised), Area::Caption);
    KELFrameHit::Input locked = windowAt({496, 250});
    locked.resizeEnabled = false;
    EXPECT_EQ(hitTest(locked), Area::Client);

    EXPECT_EQ(KELFrameHit::edges(Area::TopLeft), Qt::TopEdge | Qt::LeftEdge);
    EXPECT_EQ(KELFrameHit::edges(Area::Caption), Qt::Edges());
}

TEST(FrameHitTest, TheWindowFindsItsTitleBarAndItsButtons)
{
    cKELFrameLessWnd window;
    window.resize(400, 300);
    auto* bar = new QWidget(&window);
    bar->setGeometry(0, 0, 400, 32);
    auto* button = new QLabel(QStringLiteral("x"), bar);
    button->setGeometry(370, 8, 16, 16);
    QWidget stranger;
    EXPECT_FALSE(window.setTitleBar(&stranger)) << "only a descendant can be the title bar";
    ASSERT_TRUE(window.setTitleBar(bar));
    window.setCaptionExclusions({button});
    window.setMinimumSize(400, 300);
    window.setMaximumSize(400, 300);
    EXPECT_EQ(window.hitArea({200, 16}), Area::Caption);
    EXPECT_EQ(window.hitArea({375, 12}), Area::Client);
    EXPECT_EQ(window.hitArea({200, 100}), Area::Client);
}

TEST(TrayGeometry, IconGuidIsTheMd5OfThePath)
{
    // MD5("/opt/vellox/vellox") written as a GUID.
    const QString guid = KELTrayGeometry::iconGuid("/opt/vellox/vellox");
    const QString hex = QString::fromLatin1(QCryptographicHash::hash("/opt/vellox/vellox", QCryptographicHash::Md5).toHex());
    EXPECT_EQ(guid, "{" + hex.mid(0, 8) + "-" + hex.mid(8, 4) + "-" + hex.mid(12, 4) + "-" + hex.mid(16, 4) + "-"
                        + hex.mid(20) + "}");
    EXPECT_EQ(KELTrayGeometry::iconGuid("abc"), "{90015098-3cd2-4fb0-d696-3f7d28e17f72}");
    EXPECT_EQ(guid.size(), 38);
    EXPECT_EQ(KELTrayGeometry::iconGuid("/opt/vellox/vellox"), guid);
    EXPECT_NE(KELTrayGeometry::iconGuid("/opt/vellox2/vellox"), guid);
}

TEST(TrayGeometry, MenuOpensBesideTheTaskbar)
{
    using KELTrayGeometry::menuPosition;
    const QRect screen(0, 0, 1920, 1080);
    const QSize menu(200, 300);
    const QPoint cursor(1800, 1060);
    EXPECT_EQ(menuPosition(screen, QRect(0, 1040, 1920, 40), cursor, menu), QPoint(1800, 760)) << "bottom";
    EXPECT_EQ(menuPosition(screen, QRect(0, 0, 1920, 40), QPoint(1800, 20), menu), QPoint(1800, 20)) << "top";
    EXPECT_EQ(menuPosition(screen, QRect(1860, 0, 60, 1080), QPoint(1880, 1000), menu), QPoint(1680, 700))
        << "right";
    EXPECT_EQ(menuPosition(screen, QRect(0, 0, 60, 1080), QPoint(30, 1000), menu), QPoint(30, 700)) << "left";
    EXPECT_EQ(menuPosition(screen, QRect(0, 0, 1000, 1080), QPoint(30, 1000), menu), QPoint(-170, 700))
        << "a left taskbar wider than half the screen";
    // A second screen to the right: the same rules relative to that screen.
    EXPECT_EQ(menuPosition(QRect(1920, 0, 1280, 1024), QRect(1920, 984, 1280, 40), QPoint(3000, 1000), menu),
              QPoint(3000, 700));

    EXPECT_EQ(KELTrayGeometry::displayScale(96), 1.0);
    EXPECT_EQ(KELTrayGeometry::displayScale(120), 1.25);
    EXPECT_EQ(KELTrayGeometry::displayScale(144), 1.5);
    EXPECT_EQ(KELTrayGeometry::displayScale(168), 1.75);
    EXPECT_EQ(KELTrayGeometry::displayScale(192), 2.0);
    EXPECT_EQ(KELTrayGeometry::displayScale(105), 1.0);
}

TEST(UiUtils, ElisionAndTheTooltipOfCutTexts)
{
    QFont font;
    font.setPixelSize(12);
    const QString shortText = QStringLiteral("/opt/vellox");
    EXPECT_EQ(KELUi::elidedTextWithMaxWidth(325, font, shortText), shortText);
    const QString longText = QStringLiteral("/home/teacher/Documents/a very long folder name/that goes on/and on/until it no longer fits/scans");
    const QString cut = KELUi::elidedTextWithMaxWidth(200, font, longText);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026))) << qPrintable(cut);
    EXPECT_LE(QFontMetrics(font).horizontalAdvance(cut), 200);
    EXPECT_TRUE(longText.startsWith(cut.chopped(1)));

    // A font given in points is measured at its size in pixels.
    QFont points;
    points.setPointSize(12);
    EXPECT_NE(KELUi::elidedTextWithMaxWidth(200, points, longText), longText);

    QLabel label;
    KELUi::setElidedText(&label, longText, 200);
    EXPECT_EQ(label.toolTip(), longText);
    EXPECT_NE(label.text(), longText);
    KELUi::setElidedText(&label, shortText, 200);
    EXPECT_EQ(label.text(), shortText);
    EXPECT_TRUE(label.toolTip().isEmpty());

    EXPECT_EQ(KELUi::allFilesFilter(), QStringLiteral("All Files (*)"));
    EXPECT_EQ(KELUi::scaleFactor(), 1.0);
}

TEST(Resources, EveryImageAndBothTranslationsAreBuiltIn)
{
    for (const char* name : {"background_blue", "background_yellow", "checked", "connect_error", "connected",
                             "connecting", "dropdown", "error", "logo", "network_error", "shadowTransparent",
                             "title_logo", "win_close", "win_close_w", "win_min_w"}) {
        const QString path = QStringLiteral(":/resource/images/%1.png").arg(QLatin1String(name));
        EXPECT_FALSE(QImage(path).isNull()) << qPrintable(path);
        EXPECT_FALSE(QImage(QStringLiteral(":resource/images/%1.png").arg(QLatin1String(name))).isNull());
    }
    EXPECT_EQ(QImage(":/resource/images/background_blue.png").size(), QSize(480, 172));
    for (const char* name : {"check", "warning"}) {
        EXPECT_FALSE(QImage(QStringLiteral(":/Resource/images/UIComponent/%1.png").arg(QLatin1String(name))).isNull());
        EXPECT_FALSE(QFile::exists(QStringLiteral(":/resource/images/UIComponent/%1.png").arg(QLatin1String(name))))
            << "resource paths are case-sensitive";
    }
    QTranslator ours;
    EXPECT_TRUE(ours.load(QStringLiteral(":/resource/translations/vellox_zh_CN.qm")));
    QTranslator qt;
    ASSERT_TRUE(qt.load(QStringLiteral(":/resource/translations/qt_zh_CN.qm")));
    EXPECT_EQ(qt.translate("QFileDialog", "&Open"), QStringLiteral("打开(&O)"));
}

// The tray menu as the controller builds it, with and without the maintenance items.
QStringList trayItems(const QString& devmode)
{
    KELGlobalConfig::instance()->setValue(QStringLiteral("devmode"), devmode);
    const auto window = std::make_unique<MainWindow>();
    QStringList items;
    for (const QAction* action : window->trayContextMenu()->actions())
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    window->slotQuitApp();
    return items;
}

TEST(TrayMenu, MaintenanceItemsOnlyWithDevmodeExactlyOne)
{
    const QStringList plain = {"打开主界面", "检查更新", "-", "设置扫描仪预设属性", "生成打印机预设配置文件", "-",
                               "打开扫描文件目录", "打开日志目录", "-", "退出"};
    const QStringList maintenance = {"打开主界面", "检查更新", "-", "开始扫描", "-", "Dump所有属性", "-",
                                     "打印测试页", "-", "自定义打印测试", "-", "设置扫描仪预设属性",
                                     "生成打印机预设配置文件", "-", "打开扫描文件目录", "打开日志目录", "-", "退出"};
    EXPECT_EQ(trayItems("1"), maintenance);
    EXPECT_EQ(trayItems("true"), plain);
    EXPECT_EQ(trayItems("01"), plain);
    EXPECT_EQ(trayItems(""), plain);
}

TEST(StatusPanel, FolderInForceFiguresAndStatusTexts)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString scans = root.filePath("scans");
    ASSERT_TRUE(QDir().mkpath(scans));
    QFile page(scans + "/page.jpg");
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write(QByteArray(2 * 1048576 + 1, 'x'));
    page.close();
    KELGlobalConfig* config = KELGlobalConfig::instance();
    config->setValue(QStringLiteral("devmode"), QString());
    config->setOutputFolder(scans);

    const auto window = std::make_unique<MainWindow>();
    auto* folderLabel = window->findChild<QLabel*>("data_saved_path_label");
    auto* used = window->findChild<QLabel*>("data_used_label");
    auto* remain = window->findChild<QLabel*>("remain_disk_label");
    ASSERT_TRUE(folderLabel && used && remain);
    // The full folder: the text, or the tooltip of a cut one.
    auto shownFolder = [&] { return folderLabel->toolTip().isEmpty() ? folderLabel->text() : folderLabel->toolTip(); };
    EXPECT_EQ(shownFolder(), QDir::toNativeSeparators(scans));
    // Measured off the GUI thread, shown when done.
    EXPECT_TRUE(vtest::waitUntil([&] { return used->text() == QStringLiteral("扫描数据：2.00M"); }))
        << qPrintable(used->text());
    EXPECT_TRUE(remain->text().startsWith(QStringLiteral("磁盘剩余空间：")));

    // A chosen folder that vanished meanwhile is neither taken nor shown.
    window->useOutputDir(root.filePath("gone"));
    EXPECT_EQ(config->outputFolder(), scans);
    EXPECT_EQ(shownFolder(), QDir::toNativeSeparators(scans));
    const QString other = root.filePath("other");
    ASSERT_TRUE(QDir().mkpath(other));
    window->useOutputDir(other);
    EXPECT_EQ(config->outputFolder(), other);
    EXPECT_EQ(shownFolder(), QDir::toNativeSeparators(other));
    EXPECT_TRUE(vtest::waitUntil([&] { return used->text() == QStringLiteral("扫描数据：0B"); }));

    // The status line; an unknown status keeps the text and shows "ready".
    QLabel* statusText = nullptr;
    for (QLabel* label : window->findChildren<QLabel*>())
        statusText = label->text() == QStringLiteral("扫描仪连接中") ? label : statusText;
    ASSERT_NE(statusText, nullptr) << "connecting at start";
    window->setScannerStatus(2);
    EXPECT_EQ(statusText->text(), QStringLiteral("扫描仪连接异常，请检查扫描仪设备及驱动"));
    window->setScannerStatus(1);
    EXPECT_EQ(statusText->text(), QStringLiteral("扫描仪已就位，请前往浏览器扫描答卷"));
    window->setScannerStatus(7);
    EXPECT_EQ(statusText->text(), QStringLiteral("扫描仪已就位，请前往浏览器扫描答卷"));

    // The install folder, with the platform's separators; short, so without a tooltip.
    auto* install = window->findChild<QLabel*>("install_path_label");
    ASSERT_NE(install, nullptr);
    EXPECT_EQ(install->text(), QDir::toNativeSeparators(config->installFolder()));
    EXPECT_TRUE(install->toolTip().isEmpty());
    window->slotQuitApp();
}

} // namespace
