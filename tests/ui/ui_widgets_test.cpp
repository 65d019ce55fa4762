// Widgets on a private X display: the frameless window under the pointer, the toast, the tray
// icon in a tray host, and the scanner chooser of a controller in this process against the
// virtual scanners.
#include "scanning/twainsession.h"
#include "ui/framelesswindow.h"
#include "ui/mainwindow.h"
#include "ui/selecttextlistview.h"
#include "ui/systemtray.h"
#include "ui/textimagewidget.h"
#include "ui/toastmessage.h"

#include "../scanning/virtualdsm.h"
#include "logcapture.h"
#include "wait.h"
#include "xvfbdisplay.h"

#include <QApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QScrollBar>
#include <QStyleHints>

#include <gtest/gtest.h>

#include <memory>

namespace {

vtest::XvfbDisplay& display()
{
    return vtest::XvfbDisplay::shared();
}

// The window as X shows it, once it is mapped where Qt put it.
bool waitShown(QWidget& window)
{
    return vtest::waitUntil([&] {
        const auto geometry = display().geometry(window.winId());
        return display().isMapped(window.winId()) && geometry && geometry->topLeft() == window.pos();
    });
}

TEST(FramelessWindow, TitleBarDragsTheWindowButItsButtonsNever)
{
    cKELFrameLessWnd window;
    window.setFixedSize(400, 300);
    auto* bar = new QWidget(&window);
    bar->setGeometry(0, 0, 400, 32);
    auto* button = new QLabel(QStringLiteral("x"), bar);
    button->setGeometry(370, 8, 16, 16);
    ASSERT_TRUE(window.setTitleBar(bar));
    window.setCaptionExclusions({button});
    window.move(100, 100);
    window.show();
    ASSERT_TRUE(waitShown(window));
    QSignalSpy pressed(&window, &cKELFrameLessWnd::Sig_MousePress);
    QSignalSpy released(&window, &cKELFrameLessWnd::Sig_MouseRelese);

    // No window manager here: the window follows the held button itself.
    ASSERT_TRUE(display().drag({300, 116}, {380, 176}));
    ASSERT_TRUE(vtest::waitUntil([&] { return released.count() == 1; }));
    EXPECT_EQ(pressed.count(), 1);
    EXPECT_TRUE(vtest::waitUntil([&] { return window.pos() == QPoint(180, 160); })) << window.pos().x() << "," << window.pos().y();

    // On the excluded button, and inside the window below the title bar, nothing moves.
    ASSERT_TRUE(display().drag({180 + 375, 160 + 14}, {180 + 300, 160 + 200}));
    ASSERT_TRUE(display().drag({180 + 200, 160 + 150}, {180 + 100, 160 + 250}));
    QApplication::processEvents();
    EXPECT_EQ(window.pos(), QPoint(180, 160));
    EXPECT_EQ(pressed.count(), 1);
}

TEST(Toast, HiddenParentPutsItOnTopAtAThirdOfTheScreenUntilItsTime)
{
    QWidget hiddenParent;
    QPointer<KELToastMessage> toast = showToast(&hiddenParent, QStringLiteral("扫描仪正在扫描中, 无法切换"), 1500);
    ASSERT_TRUE(toast);
    EXPECT_EQ(toast->parentWidget(), nullptr);
    EXPECT_TRUE(toast->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(toast->objectName(), "KELToastMessage");
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(toast->pos(), available.topLeft() + QPoint((available.width() - toast->width()) / 2, available.height() / 3));
    // On a screen beside the first, within its panels.
    EXPECT_EQ(toastPosition(QRect(1280, 40, 1920, 1000), QSize(200, 40)), QPoint(1280 + 860, 40 + 333));
    ASSERT_TRUE(waitShown(*toast));
    const quint64 id = toast->winId();
    EXPECT_TRUE(vtest::waitUntil([&] { return toast.isNull(); }, 10000)) << "closed and deleted after its time";
    EXPECT_TRUE(display().waitUntilGone(id));

    // Without a time limit it stays until clicked.
    QPointer<KELToastMessage> lasting = showToast(nullptr, QStringLiteral("已选择当前扫描仪，无需切换"), 0);
    ASSERT_TRUE(waitShown(*lasting));
    QTest::qWait(200);
    ASSERT_TRUE(lasting);
    const QPoint middle = lasting->geometry().center();
    ASSERT_TRUE(display().click(middle.x(), middle.y()));
    EXPECT_TRUE(vtest::waitUntil([&] { return lasting.isNull(); }));
}

TEST(TrayIcon, EveryRightClickOpensTheMenuAlsoOneRightAfterTheLast)
{
    ASSERT_TRUE(display().startTrayHost());
    QMenu menu;
    menu.addAction(QStringLiteral("打开主界面"));
    std::unique_ptr<SystemTrayInterface> tray(
        createSystemTray(QIcon(QStringLiteral(":resource/images/logo.png")), QStringLiteral("vellox")));
    tray->setContextMenu(&menu);
    tray->setVisiable(true);
    QList<QSystemTrayIcon::ActivationReason> reasons;
    QObject::connect(tray.get(), &SystemTrayInterface::activated,
                     [&](QSystemTrayIcon::ActivationReason reason) { reasons << reason; });

    // The icon: this program's one small window in the tray host.
    const QString program = QStringLiteral("^%1$").arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    auto findIcon = [&]() -> std::optional<QRect> {
        const auto host = display().trayHostGeometry();
        for (quint64 id : display().findWindowsOfClass(program)) {
            const auto geometry = display().geometry(id);
            if (host && geometry && host->contains(geometry->center()) && geometry->width() <= 64)
                return geometry;
        }
        return std::nullopt;
    };
    auto rightClick = [&] {
        const auto icon = findIcon();
        return icon && display().click(icon->center().x(), icon->center().y(), 3);
    };
    auto closeMenu = [&] {
        // As a pick by keys closes it; the next press then goes to the icon, past the menu's grab.
        menu.hide();
        return display().waitUntilGone(menu.winId());
    };

    // A tray host that has just started may dock the icon once more, losing a click meanwhile:
    // the first click is repeated, a double-click time apart, until the menu opens.
    ASSERT_TRUE(vtest::waitUntil([&] { return findIcon().has_value(); })) << "the icon docks";
    ASSERT_TRUE(vtest::waitUntil([&] {
        return menu.isVisible() || (rightClick() && vtest::waitUntil([&] { return menu.isVisible(); }, 2000));
    })) << "a right click opens the menu";
    ASSERT_FALSE(reasons.isEmpty());
    EXPECT_EQ(reasons.last(), QSystemTrayIcon::Context);
    ASSERT_TRUE(closeMenu());

    // However long the machine takes, the next press counts as the second of a double click.
    QStyleHints* hints = QGuiApplication::styleHints();
    const int doubleClickMs = hints->mouseDoubleClickInterval();
    hints->setMouseDoubleClickInterval(600000);
    const int before = reasons.size();
    ASSERT_TRUE(rightClick());
    EXPECT_TRUE(vtest::waitUntil([&] { return menu.isVisible(); })) << "the menu opens again";
    EXPECT_EQ(reasons.size(), before + 1);
    EXPECT_EQ(reasons.last(), QSystemTrayIcon::Context);
    hints->setMouseDoubleClickInterval(doubleClickMs);
    EXPECT_TRUE(closeMenu());
}

// A controller here against two virtual scanners; the first is opened at start.
class ScannerChooser : public vtest::VirtualDsmTest {
protected:
    CTWAINSession& twainSession() override { return *window; }

    virtual QJsonArray scanners() const
    {
        return {QJsonObject{{"productName", "Chooser Scanner A"}, {"default", true}},
                QJsonObject{{"productName", "Chooser Scanner B"}}};
    }

    void SetUp() override
    {
        VirtualDsmTest::SetUp();
        writeProfile(scanners());
        window = std::make_unique<MainWindow>();
        window->show();
        const QString first = scanners().first().toObject().value("productName").toString();
        ASSERT_TRUE(vtest::waitUntil([&] { return window->currentScannerName() == first; }));
    }

    void TearDown() override
    {
        window->slotQuitApp();
        VirtualDsmTest::TearDown();
    }

    KELSelectTextListView* openChooser(const QString& current)
    {
        auto* field = window->findChild<KELTextImageWidget*>();
        EXPECT_NE(field, nullptr);
        if (!field)
            return nullptr;
        EXPECT_EQ(field->text(), current) << "the field shows the chosen scanner";
        const QPoint centre = field->mapToGlobal(field->rect().center());
        EXPECT_TRUE(display().click(centre.x(), centre.y()));
        KELSelectTextListView* chooser = nullptr;
        vtest::waitUntil([&] {
            chooser = window->findChild<KELSelectTextListView*>("scanner_chooser");
            return chooser && chooser->isVisible();
        });
        return chooser;
    }

    // Presses the row as the user does.
    void pick(KELSelectTextListView* chooser, int row)
    {
        auto* list = chooser->findChild<QListWidget*>("message_listwidget");
        ASSERT_NE(list, nullptr);
        ASSERT_TRUE(waitShown(*chooser));
        const QPoint at = list->viewport()->mapToGlobal(list->visualItemRect(list->item(row)).center());
        ASSERT_TRUE(display().click(at.x(), at.y()));
    }

    std::unique_ptr<MainWindow> window;
};

TEST_F(ScannerChooser, ListsTheSourcesOpensAnotherAndSaysSoForTheCurrentOne)
{
    vtest::LogCapture log;
    KELSelectTextListView* chooser = openChooser("Chooser Scanner A");
    ASSERT_NE(chooser, nullptr);
    const QList<KELSelectTextListViewItemData> items = chooser->items();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0].text, "Chooser Scanner A");
    EXPECT_TRUE(items[0].selected);
    EXPECT_EQ(items[1].text, "Chooser Scanner B");
    EXPECT_FALSE(items[1].selected);
    const QPoint fieldBottom = window->findChild<KELTextImageWidget*>()->mapToGlobal(QPoint(0, 24));
    EXPECT_LE(qAbs(chooser->geometry().top() + 10 - fieldBottom.y()), 4) << "the popup opens under the field";

    QPointer<KELSelectTextListView> open(chooser);
    pick(chooser, 1);
    ASSERT_TRUE(vtest::waitUntil([&] { return window->currentScannerName() == "Chooser Scanner B"; }));
    EXPECT_TRUE(open.isNull()) << "a pick closes the popup";
    bool openedB = false;
    for (const QJsonObject& line : trace("DAT_IDENTITY"))
        openedB = openedB
            || (line.value("msg").toString() == "MSG_OPENDS"
                && QJsonDocument(line).toJson().contains("Chooser Scanner B"));
    EXPECT_TRUE(openedB);
    EXPECT_EQ(log.linesContaining("用户选择了扫描仪: Chooser Scanner B").size(), 1u);

    // The current one again: nothing is reopened, a toast says why.
    chooser = openChooser("Chooser Scanner B");
    ASSERT_NE(chooser, nullptr);
    EXPECT_TRUE(chooser->items().at(1).selected);
    const auto traceBefore = trace().size();
    pick(chooser, 1);
    KELToastMessage* toast = nullptr;
    ASSERT_TRUE(vtest::waitUntil([&] {
        toast = window->findChild<KELToastMessage*>();
        return toast != nullptr;
    }));
    EXPECT_EQ(toast->text(), "已选择当前扫描仪，无需切换");
    EXPECT_EQ(toast->timeLimit(), 3000);
    EXPECT_EQ(log.linesContaining("无需切换,当前一打开：Chooser Scanner B : 4").size(), 1u);
    QApplication::processEvents();
    size_t reopened = 0;
    const auto after = trace();
    for (size_t i = traceBefore; i < after.size(); ++i)
        reopened += after[i].value("msg").toString() == "MSG_OPENDS";
    EXPECT_EQ(reopened, 0u);
}

// As many scanners as a school's network lists; the first one's pages never come.
class ManyScanners : public ScannerChooser {
protected:
    QJsonArray scanners() const override
    {
        QJsonArray list{QJsonObject{{"productName", "Network Scanner 01"}, {"default", true}, {"pageDelayMs", 600000}}};
        for (int i = 2; i <= 14; ++i)
            list.append(QJsonObject{{"productName", QStringLiteral("Network Scanner %1").arg(i, 2, 10, QLatin1Char('0'))}});
        return list;
    }
};

TEST_F(ManyScanners, TheListScrollsAndAPickWhileABatchWaitsEndsThatBatch)
{
    vtest::LogCapture log;
    window->setBatchNo("B-chooser");
    ASSERT_EQ(window->innerStartScan(), 0);
    ASSERT_EQ(window->GetState(), 5) << "enabled, waiting for the first page";

    KELSelectTextListView* chooser = openChooser("Network Scanner 01");
    ASSERT_NE(chooser, nullptr);
    auto* list = chooser->findChild<QListWidget*>("message_listwidget");
    ASSERT_EQ(chooser->items().size(), 14);
    EXPECT_EQ(list->height(), 10 * 28 + 4) << "ten rows show";
    EXPECT_TRUE(list->verticalScrollBar()->isVisible()) << "the others scroll";
    list->scrollToItem(list->item(13));
    pick(chooser, 13);
    ASSERT_TRUE(vtest::waitUntil([&] { return window->currentScannerName() == "Network Scanner 14"; }));
    EXPECT_EQ(log.linesContaining("Batch B-chooser ends: another scanner was chosen before its first page").size(), 1u);
    // The end of a stopped batch follows (scan-end, then its uploads' end).
    EXPECT_TRUE(vtest::waitUntil([&] { return !log.linesContaining("slotOnEndScan to end batch").empty(); }));
}

} // namespace
