// The self-upgrade's pure rules (package kinds, file names, hashes, when the dialog comes) and
// the upgrade dialog's own behaviour, in-process.
#include "upgrade/upgradedialog.h"
#include "upgrade/upgradehelper.h"
#include "upgrade/upgradepackage.h"
#include "upgrade/upgradeprompt.h"
#include "upgrade/packagesignature.h"

#include "packagesigning.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

using KELUpgradePackage::Kind;
using upgradetest::SigningKey;

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
    const QString hash = "ABCDEF0123" + QString(54, '0');
    EXPECT_EQ(KELUpgradePackage::filePath("/t/", "2.0/x", hash, Kind::AppImage), "/t/package_2.0_x_abcdef01.AppImage");
    EXPECT_EQ(KELUpgradePackage::filePath("/t/", "2.0", hash, Kind::DebianPackage), "/t/package_2.0_abcdef01.deb");
    EXPECT_NE(KELUpgradePackage::filePath("/t/", "2.0", QString(64, '1'), Kind::DebianPackage),
              KELUpgradePackage::filePath("/t/", "2.0", hash, Kind::DebianPackage))
        << "a new hash for the same version is another file";
}

TEST(UpgradePackage, OnlyHttpsOrThisComputersOwnServersOffer)
{
    using KELUpgradePackage::isTrustedAddress;
    EXPECT_TRUE(isTrustedAddress("https://school.example/"));
    EXPECT_TRUE(isTrustedAddress("HTTPS://school.example:8443/p/vellox.deb"));
    EXPECT_TRUE(isTrustedAddress("http://127.0.0.1:8780/"));
    EXPECT_TRUE(isTrustedAddress("http://127.1.2.3/"));
    EXPECT_TRUE(isTrustedAddress("http://localhost:8080/"));
    EXPECT_TRUE(isTrustedAddress("http://[::1]:9/"));
    EXPECT_FALSE(isTrustedAddress("http://school.example/"));
    EXPECT_FALSE(isTrustedAddress("http://10.0.0.5/"));
    EXPECT_FALSE(isTrustedAddress("http://127.0.0.1.evil.example/"));
    EXPECT_FALSE(isTrustedAddress("http://localhost.evil.example/"));
    EXPECT_FALSE(isTrustedAddress("ftp://127.0.0.1/"));
    EXPECT_FALSE(isTrustedAddress("file:///tmp/vellox.deb"));
    EXPECT_FALSE(isTrustedAddress("https:///nohost"));
    EXPECT_FALSE(isTrustedAddress(""));
}

TEST(UpgradePackage, OffersThatCannotBeVerifiedAreRefusedBeforeAnythingIsFetched)
{
    using KELUpgradePackage::Refusal;
    const QString hash(64, 'a');
    const QString signature = QByteArray(64, 'x').toBase64();
    const KELUpgradePackage::Offer good{"2.0", "https://s.example/v.deb", hash, signature};
    const auto refusal = [](const KELUpgradePackage::Offer& offer, bool keys, bool verifier = true) {
        return KELUpgradePackage::refusalOf(offer, true, keys, verifier);
    };
    EXPECT_EQ(refusal(good, true), Refusal::None);
    EXPECT_EQ(refusal({"2.0", "http://s.example/v.deb", hash, signature}, true), Refusal::UntrustedAddress);
    EXPECT_EQ(KELUpgradePackage::refusalOf(good, false, true, true), Refusal::UnsupportedKind);
    EXPECT_EQ(refusal({"2.0", good.url, "", signature}, false), Refusal::NoHash);
    EXPECT_EQ(refusal({"2.0", good.url, hash, ""}, false), Refusal::None) << "no keys installed: no signature needed";
    EXPECT_EQ(refusal({"2.0", good.url, hash, ""}, true), Refusal::NoSignature);
    EXPECT_EQ(refusal({"2.0", good.url, hash, QByteArray(63, 'x').toBase64()}, true), Refusal::NoSignature);
    EXPECT_EQ(refusal({"2.0", good.url, hash, "not base64!"}, true), Refusal::NoSignature);
    EXPECT_EQ(refusal(good, true, false), Refusal::NoVerifier);
    EXPECT_NE(good.identity(), KELUpgradePackage::Offer({"2.0", good.url, QString(64, 'b'), signature}).identity());
    EXPECT_EQ(good.identity(), KELUpgradePackage::Offer({"2.0", good.url, hash.toUpper(), signature}).identity());
}

TEST(PackageSignature, OnlyTheInstalledKeysSignaturesOfTheSameBytesVerify)
{
    const SigningKey vendor;
    const SigningKey stranger;
    ASSERT_TRUE(vendor.isValid() && stranger.isValid());
    QTemporaryDir folder;
    const QString path = folder.filePath("package.deb");
    const QByteArray bytes("a package\n\0with a zero byte", 26);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    const std::vector<std::string> keys{"not a key", stranger.publicPem().toStdString(), vendor.publicPem().toStdString()};
    EXPECT_TRUE(KELPackageSignature::isUsableKey(vendor.publicPem().toStdString()));
    EXPECT_FALSE(KELPackageSignature::isUsableKey("not a key"));

    EXPECT_TRUE(KELUpgradeHelper::verifySignature(path, vendor.sign(bytes), keys));
    EXPECT_FALSE(KELUpgradeHelper::verifySignature(path, vendor.sign(bytes), {stranger.publicPem().toStdString()}));
    EXPECT_FALSE(KELUpgradeHelper::verifySignature(path, vendor.sign(bytes + "!"), keys));
    EXPECT_FALSE(KELUpgradeHelper::verifySignature(path, "", keys));
    EXPECT_FALSE(KELUpgradeHelper::verifySignature(folder.filePath("missing"), vendor.sign(bytes), keys));
    // An empty package is a message too.
    const QString empty = folder.filePath("empty.deb");
    ASSERT_TRUE(QFile(empty).open(QIODevice::WriteOnly));
    EXPECT_TRUE(KELUpgradeHelper::verifySignature(empty, vendor.sign(QByteArray()), keys));

    // A school server signs with openssl as the README says.
    const auto openssl = [&](const QStringList& arguments) {
        QProcess tool;
        tool.setWorkingDirectory(folder.path());
        tool.start("openssl", arguments);
        return tool.waitForFinished(30000) && tool.exitCode() == 0;
    };
    ASSERT_TRUE(openssl({"genpkey", "-algorithm", "ed25519", "-out", "school.key"}));
    ASSERT_TRUE(openssl({"pkey", "-in", "school.key", "-pubout", "-out", "school.pem"}));
    ASSERT_TRUE(openssl({"pkeyutl", "-sign", "-rawin", "-inkey", "school.key", "-in", "package.deb", "-out", "package.sig"}));
    QFile schoolKey(folder.filePath("school.pem"));
    QFile schoolSignature(folder.filePath("package.sig"));
    ASSERT_TRUE(schoolKey.open(QIODevice::ReadOnly) && schoolSignature.open(QIODevice::ReadOnly));
    EXPECT_TRUE(KELUpgradeHelper::verifySignature(path, schoolSignature.readAll().toBase64(),
                                                  {schoolKey.readAll().toStdString()}));

    // Keys come from the program folder's upgrade-keys, in name order, PEM files only.
    const QString program = folder.filePath("program");
    ASSERT_TRUE(QDir().mkpath(KELUpgradeHelper::keysFolder(program)));
    EXPECT_TRUE(KELUpgradeHelper::upgradeKeys(program).empty());
    ASSERT_TRUE(vendor.writePublicKey(KELUpgradeHelper::keysFolder(program) + "/vendor.pem"));
    ASSERT_TRUE(stranger.writePublicKey(KELUpgradeHelper::keysFolder(program) + "/stranger.txt"));
    EXPECT_EQ(KELUpgradeHelper::upgradeKeys(program), std::vector<std::string>{vendor.publicPem().toStdString()});
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
