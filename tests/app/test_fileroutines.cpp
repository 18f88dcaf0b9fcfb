#include "core/fileroutines.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pw;

namespace {
void touch(const QString &path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
}
} // namespace

TEST(FileExists, AnswersForFilesAndFoldersAndFalseOnEveryFailure) {
    QTemporaryDir dir;
    const QString file = dir.filePath("a.txt");
    touch(file);
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(FileExists(dir.path()));
    EXPECT_FALSE(FileExists(QString()));
    EXPECT_FALSE(FileExists(dir.filePath("missing/a.txt")));
    EXPECT_FALSE(FileExists(dir.filePath("nothing.txt")));
    EXPECT_FALSE(FileExists(QString::fromUtf8("bad\0name", 8)));
}

TEST(DeleteMatchingFiles, DeletesOnlyMatchingFilesAndIsSilentOtherwise) {
    QTemporaryDir dir;
    touch(dir.filePath("one.eml"));
    touch(dir.filePath(".hidden.eml"));
    touch(dir.filePath("keep.txt"));
    touch(dir.filePath("a1.eml.bak"));
    QDir(dir.path()).mkdir("folder.eml");
    DeleteMatchingFiles(dir.filePath("*.eml"));
    EXPECT_FALSE(QFile::exists(dir.filePath("one.eml")));
    EXPECT_FALSE(QFile::exists(dir.filePath(".hidden.eml")));
    EXPECT_TRUE(QFile::exists(dir.filePath("keep.txt")));
    EXPECT_TRUE(QFile::exists(dir.filePath("a1.eml.bak")));
    EXPECT_TRUE(QFileInfo(dir.filePath("folder.eml")).isDir());
    // No match, missing folder: nothing happens, nothing is thrown.
    DeleteMatchingFiles(dir.filePath("*.eml"));
    DeleteMatchingFiles(dir.filePath("nowhere/*.eml"));
    touch(dir.filePath("ab.txt"));
    DeleteMatchingFiles(dir.filePath("a?.txt"));
    EXPECT_FALSE(QFile::exists(dir.filePath("ab.txt")));
    EXPECT_TRUE(QFile::exists(dir.filePath("keep.txt")));
}
