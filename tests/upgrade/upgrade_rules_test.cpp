// The self-upgrade's pure rules (package kinds, file names, hashes, when the dialog comes) and
// the upgrade dialog's own behaviour, in-process.
#include "upgrade/upgradedialog.h"
#include "upgrade/upgradehelper.h"
#include "upgrade/upgradepackage.h"
#include "upgrade/upgradeprompt.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

using KELUpgradePackage::Kind;

TEST(UpgradePackage, KindComesFromThePathsExtensionInAnyCase)
{
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("https://h/p/vellox-2.0.sh"), Kind::ShellScript);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("https://h/p/Vellox-2.0-x86_64.AppImage"), Kind::AppImage);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("https://h/p/vellox.APPIMAGE?x=1"), Kind::AppImage);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/vellox_2.0_amd64.DEB"), Kind::DebianPackage);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/setup.exe"), Kind::WindowsInstaller);
    // The query and the fragment are not the path.
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/download?file=setup.sh"), Kind::Unknown);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/setup.sh?sig=abc.exe"), Kind::ShellScript);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/setup.zip#x.sh"), Kind::Unknown);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/setup"), Kind::Unknown);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl(""), Kind::Unknown);
    EXPECT_EQ(KELUpgradePackage::kindOfUrl("http://h/notash"), Kind::Unknown);
}

TEST(UpgradePackage, FileNameKeepsOnlySafeCharactersOfTheVersion)
{
    EXPECT_EQ(KELUpgradePackage::safeVersion("2.0.1-rc_3"), "2.0.1-rc_3");
    EXPECT_EQ(KELUpgradePackage::safeVersion("../../etc/x"), ".._.._etc_x");
    EXPECT_EQ(KELUpgradePackage::safeVersion("2 0;rm -rf"), "2_0_rm_-rf");
    EXPECT_EQ(KELUpgradePackage::safeVersion("版本2"), "__2");
    EXPECT_EQ(KELUpgradePackage::filePath("/t/", "2.0/x", Kind::AppImage), "/t/package_2.0_x.AppImage");
    EXPECT_EQ(KELUpgradePackage::filePath("/t/", "2.0", Kind::DebianPackage), "/t/package_2.0.deb");
}

TEST(UpgradePackage, OnlySixtyFourHexDigitsAreAHash)
{
    const QString lower = QString(64, 'a');
    EXPECT_TRUE(KELUpgradePackage::isSha256Hex(lower));
    EXPECT_TRUE(KELUpgradePackage::isSha256Hex(QString(32, 'F') + QString(32, '0')));
    EXPECT_FALSE(KELUpgradePackage::isSha256Hex(""));
    EXPECT_FALSE(KELUpgradePackage::isSha256Hex(QString(63, 'a')));
    EXPECT_FALSE(KELUpgradePackage::isSha256Hex(QString(65, 'a')));
    EXPECT_FALSE(KELUpgradePackage::isSha256Hex(QString(63, 'a') + 'g'));
    EXPECT_FALSE(KELUpgradePackage::isSha256Hex(" " + QString(63, 'a')));
}

TEST(UpgradePackage, HashComparisonIgnoresLetterCaseOnly)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("p.sh");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("echo hello\n");
    file.close();
    const QString digest = QCryptographicHash::hash("echo hello\n", QCryptographicHash::Sha256).toHex();
    EXPECT_TRUE(KELUpgradeHelper::verifySha256(path, digest));
    EXPECT_TRUE(KELUpgradeHelper::verifySha256(path, digest.toUpper()));
    EXPECT_FALSE(KELUpgradeHelper::verifySha256(path, " " + digest));
    EXPECT_FALSE(KELUpgradeHelper::verifySha256(path, QString(64, '0')));
    EXPECT_FALSE(KELUpgradeHelper::verifySha256(folder.filePath("missing"), digest));
}

// When a check has found a new version (the step that decides about the dialog).
TEST(UpgradePrompt, DecisionTable)
{
    using Action = KELUpgradePrompt::Decision::Action;
    struct Row {
        const char* what;
        bool force, manual, first, remind, open, visible, pending, pendingForce;
        Action action;
        bool dialogForce;
    };
    const Row rows[] = {
        {"optional, postponed today, timer check", false, false, false, false, false, true, false, false, Action::None, false},
        {"optional, not postponed, shell visible", false, false, false, true, false, true, false, false, Action::Show, false},
        {"optional, not postponed, shell hidden", false, false, false, true, false, false, false, false, Action::Wait, false},
        {"start-up check though postponed", false, false, true, false, false, true, false, false, Action::Show, false},
        {"start-up check, no shell", false, false, true, false, false, false, false, false, Action::Wait, false},
        {"forced, postponed, shell hidden", true, false, false, false, false, false, false, false, Action::Wait, true},
        {"forced, shell visible", true, false, false, false, false, true, false, false, Action::Show, true},
        {"manual without a shell", false, true, false, false, false, false, false, false, Action::Show, false},
        {"manual forced", true, true, false, false, false, false, false, false, Action::Show, true},
        {"a dialog is open", true, true, true, true, true, true, false, false, Action::None, false},
        {"a dialog is open, another waits", false, false, false, false, true, true, true, true, Action::None, false},
        {"postponed, a forced one waits, shell now visible", false, false, false, false, false, true, true, true, Action::Show, true},
        {"postponed, one waits, shell still hidden", false, false, false, false, false, false, true, false, Action::None, false},
        {"forced waits again: the new offer's force counts", false, false, true, false, false, false, true, true, Action::Wait, false},
    };
    for (const Row& row : rows) {
        KELUpgradePrompt::Situation s;
        s.force = row.force;
        s.manual = row.manual;
        s.firstCheck = row.first;
        s.remind = row.remind;
        s.dialogOpen = row.open;
        s.browserVisible = row.visible;
        s.pending = row.pending;
        s.pendingForce = row.pendingForce;
        const KELUpgradePrompt::Decision d = KELUpgradePrompt::decide(s);
        EXPECT_EQ(int(d.action), int(row.action)) << row.what;
        if (d.action != Action::None)
            EXPECT_EQ(d.force, row.dialogForce) << row.what;
        // Asking the shell is worth it exactly when its answer could change the decision.
        KELUpgradePrompt::Situation other = s;
        other.browserVisible = !s.browserVisible;
        const bool matters = int(KELUpgradePrompt::decide(other).action) != int(d.action);
        if (matters)
            EXPECT_TRUE(KELUpgradePrompt::needsBrowserVisibility(s)) << row.what;
    }
}

QPushButton* buttonWithText(QWidget* dialog, const QString& text)
{
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QStringList labelTexts(QWidget* dialog)
{
    QStringList texts;
    for (QLabel* label : dialog->findChildren<QLabel*>())
        texts << label->text();
    return texts;
}

TEST(UpgradeDialog, ForcedOfferClosesOnlyForTheInstaller)
{
    QPointer<KELUpgradeDialog> dialog = new KELUpgradeDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setVersion("2.0");
    dialog->setContent({"<b>更快</b>", "", "  "});
    dialog->setForce(true);
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.data()));

    EXPECT_TRUE(labelTexts(dialog).contains("发现新版本 v2.0"));
    EXPECT_TRUE(labelTexts(dialog).contains("<b>更快</b>")) << "trimmed, and shown as written";
    for (QLabel* label : dialog->findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
    ASSERT_NE(buttonWithText(dialog, "退出应用"), nullptr);
    EXPECT_TRUE(buttonWithText(dialog, "退出应用")->isVisible());
    EXPECT_TRUE(buttonWithText(dialog, "立即更新")->isVisible());
    EXPECT_FALSE(buttonWithText(dialog, "暂不升级")->isVisible());
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);

    dialog->close();
    QTest::keyClick(dialog.data(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(dialog.isNull()) << "Escape or close() ended a forced offer";
    EXPECT_TRUE(dialog->isVisible());

    QSignalSpy quit(dialog.data(), &KELUpgradeDialog::sigQuitApp);
    buttonWithText(dialog, "退出应用")->click();
    EXPECT_EQ(quit.count(), 1);

    dialog->closingForInstall = true;
    dialog->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
}

TEST(UpgradeDialog, OptionalOfferFollowsTheDownload)
{
    QPointer<KELUpgradeDialog> dialog = new KELUpgradeDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setForce(false);
    dialog->show();
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(buttonWithText(dialog, "退出应用")->isVisible());
    QSignalSpy confirm(dialog.data(), &KELUpgradeDialog::sigConfirmUpgrade);

    dialog->setProgress(40);
    QPushButton* busy = buttonWithText(dialog, "下载中...");
    ASSERT_NE(busy, nullptr);
    EXPECT_FALSE(busy->isEnabled());
    EXPECT_TRUE(labelTexts(dialog).contains("正在下载更新包... 40%"));

    // A failed download offers the update again, so the user is not left with a dead button.
    dialog->setDownloadFailed();
    QPushButton* confirmButton = buttonWithText(dialog, "立即更新");
    ASSERT_NE(confirmButton, nullptr);
    EXPECT_TRUE(confirmButton->isEnabled());
    confirmButton->click();
    EXPECT_EQ(confirm.count(), 1);
    EXPECT_TRUE(dialog->isVisible()) << "confirming keeps the dialog open";

    dialog->setDownloaded(true);
    EXPECT_TRUE(buttonWithText(dialog, "立即安装")->isEnabled());
    EXPECT_TRUE(labelTexts(dialog).contains("下载完成"));

    QSignalSpy skip(dialog.data(), &KELUpgradeDialog::sigSkipUpgrade);
    buttonWithText(dialog, "暂不升级")->click();
    EXPECT_EQ(skip.count(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
}

TEST(UpgradeDialog, ReadyPackageShowsInstallAtOnceAndEscapeClosesAnOptionalOffer)
{
    QPointer<KELUpgradeDialog> dialog = new KELUpgradeDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setForce(false);
    dialog->setDownloaded(true);
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.data()));
    EXPECT_NE(buttonWithText(dialog, "立即安装"), nullptr);
    for (QWidget* child : dialog->findChildren<QWidget*>()) {
        if (qobject_cast<QLabel*>(child) && static_cast<QLabel*>(child)->text() == "下载完成")
            EXPECT_FALSE(child->isVisible()) << "no progress was shown in this dialog";
    }
    QTest::keyClick(dialog.data(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
}

} // namespace
