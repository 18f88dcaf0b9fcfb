#include "express/dbxfiles.h"
#include "express/storesearch.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "platform/registry/prefixfixture.h"

using namespace pw;

namespace {
void touch(const QString &path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << qPrintable(path);
    f.write("x");
}
} // namespace

TEST(IsBlankName, OnlyZeroCharactersAndSpacesAreBlank) {
    EXPECT_TRUE(Express1::IsBlankName(QString()));
    EXPECT_TRUE(Express1::IsBlankName(QString(3, QChar(0))));
    EXPECT_TRUE(Express1::IsBlankName(QString::fromUtf16(u" \0 \0  ", 6)));
    EXPECT_FALSE(Express1::IsBlankName(QStringLiteral("{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}")));
    EXPECT_FALSE(Express1::IsBlankName(QString::fromUtf16(u"\0a\0", 3)));
    // A tab is not padding.
    EXPECT_FALSE(Express1::IsBlankName(QStringLiteral(" \t ")));
}

TEST(GetDBXFilesInPath, ListsPlainDbxFilesButNotTheBookkeepingStores) {
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    for (const char *name : {"Inbox.dbx", "Folders.dbx", "POP3UIDL.DBX", "Sent Items.DBX", "notes.txt",
                             "Inbox.dbx.bak", ".hidden.dbx"})
        touch(folder + QLatin1String(name));
    QDir(dir.path()).mkdir(QStringLiteral("Folder.dbx"));
    QFile::link(folder + QStringLiteral("gone"), folder + QStringLiteral("Dangling.dbx"));

    QStringList files{QStringLiteral("left over from an earlier call")};
    DBXFiles().GetDBXFilesInPath(folder, files);
    EXPECT_EQ(files, (QStringList{folder + QStringLiteral("Inbox.dbx"), folder + QStringLiteral("Sent Items.DBX")}));
}

TEST(GetDBXFilesInPath, ThePathIsAPlainPrefixAndAMissingFolderListsNothing) {
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("Mail"));
    touch(dir.filePath(QStringLiteral("Mail/Inbox.dbx")));
    touch(dir.filePath(QStringLiteral("MailOutbox.dbx")));

    QStringList files;
    DBXFiles().GetDBXFilesInPath(dir.filePath(QStringLiteral("Mail")), files);
    EXPECT_EQ(files, QStringList{dir.filePath(QStringLiteral("MailOutbox.dbx"))});

    DBXFiles().GetDBXFilesInPath(dir.filePath(QStringLiteral("missing/")), files);
    EXPECT_TRUE(files.isEmpty());
}
