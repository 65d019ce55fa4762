#include "foundation/filenames.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using KELFileNames::safeFileName;

TEST(SafeFileName, NamesStayOneComponentInsideTheirFolder)
{
    EXPECT_EQ(safeFileName("B-2024-07"), "B-2024-07");
    EXPECT_EQ(safeFileName(QString::fromUtf8("三年二班")), QString::fromUtf8("三年二班"));
    EXPECT_EQ(safeFileName("../escaped-batch"), "_._escaped-batch");
    EXPECT_EQ(safeFileName("x/../../../escaped-deeper"), "x_.._.._.._escaped-deeper");
    EXPECT_EQ(safeFileName("..\\..\\win"), "_._.._win");
    EXPECT_EQ(safeFileName("C:\\Windows"), "C__Windows");
    EXPECT_EQ(safeFileName(".hidden"), "_hidden");
    EXPECT_EQ(safeFileName("."), "_");
    EXPECT_EQ(safeFileName(".."), "_.");
    EXPECT_EQ(safeFileName(""), "_");
    EXPECT_EQ(safeFileName(QStringLiteral("a") + QChar(0) + "b\n\t"), "a_b__");
    EXPECT_EQ(safeFileName("what?<*>|\"x\""), "what______x_");

    // Every such name, joined to a folder, is a file directly in it.
    QTemporaryDir dir;
    for (const QString& name : {QStringLiteral("../a"), QStringLiteral("/abs"), QStringLiteral(".."),
                                QStringLiteral("a/b/c"), QStringLiteral("..\\b")}) {
        const QFileInfo joined(dir.path() + '/' + safeFileName(name));
        EXPECT_EQ(QDir(joined.absolutePath()).canonicalPath(), QDir(dir.path()).canonicalPath()) << name.toStdString();
    }
}

TEST(SafeFileName, LongNamesAreCutButStayApart)
{
    const QString longA = QString(300, 'a') + "1";
    const QString longB = QString(300, 'a') + "2";
    const QString cutA = safeFileName(longA);
    EXPECT_LE(cutA.toUtf8().size(), KELFileNames::kMaxNameBytes);
    EXPECT_NE(cutA, safeFileName(longB));
    EXPECT_EQ(cutA, safeFileName(longA));
    EXPECT_TRUE(cutA.startsWith(QString(100, 'a')));
    // Three-byte characters are never split.
    const QString chinese = safeFileName(QString(128, QChar(0x626B)));
    EXPECT_LE(chinese.toUtf8().size(), KELFileNames::kMaxNameBytes);
    EXPECT_EQ(QString::fromUtf8(chinese.toUtf8()), chinese);
    EXPECT_FALSE(chinese.contains(QChar::ReplacementCharacter));
    QTemporaryDir dir;
    QFile file(dir.path() + '/' + chinese);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << file.errorString().toStdString();
}

} // namespace
