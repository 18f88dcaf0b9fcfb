#include "download/filenaming.h"
#include "download/shortfilename.h"
#include "core/error.h"

#include <QDir>
#include <QSet>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;

namespace {

void touch(const QString &path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("x");
}

struct SafeNameCase {
    const char *label;
    QString name;
    QString mimeType;
    QString expected;
};

class SafeName : public ::testing::TestWithParam<SafeNameCase> {};

TEST_P(SafeName, KeepsOnlyASafeLastComponent) {
    const SafeNameCase &c = GetParam();
    EXPECT_EQ(safeAttachmentName(c.name, c.mimeType), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SafeName,
    ::testing::Values(
        SafeNameCase{"plain", QStringLiteral("report.pdf"), {}, QStringLiteral("report.pdf")},
        SafeNameCase{"parent_dirs", QStringLiteral("../../etc/passwd"), {}, QStringLiteral("passwd")},
        SafeNameCase{"absolute", QStringLiteral("/evil/filename"), {}, QStringLiteral("filename")},
        SafeNameCase{"backslashes", QStringLiteral("C:\\Temp\\a.txt"), {}, QStringLiteral("a.txt")},
        SafeNameCase{"mixed_separators", QStringLiteral("a\\b/c\\d.gif"), {}, QStringLiteral("d.gif")},
        SafeNameCase{"control_chars", QStringLiteral("a\tb\nc\x7f" "d.txt"), {}, QStringLiteral("a_b_c_d.txt")},
        SafeNameCase{"c1_control", QString(QChar(0x85)) + QStringLiteral("x"), {}, QStringLiteral("_x")},
        SafeNameCase{"nul", QStringLiteral("a") + QChar(0) + QStringLiteral("b"), {}, QStringLiteral("a_b")},
        SafeNameCase{"dot", QStringLiteral("."), {}, QStringLiteral("attachment")},
        SafeNameCase{"dotdot", QStringLiteral(".."), {}, QStringLiteral("attachment")},
        SafeNameCase{"trailing_slash", QStringLiteral("folder/"), {}, QStringLiteral("attachment")},
        SafeNameCase{"dotdot_after_dir", QStringLiteral("x/.."), {}, QStringLiteral("attachment")},
        SafeNameCase{"empty_no_type", QString(), {}, QStringLiteral("attachment")},
        SafeNameCase{"empty_pdf", QString(), QStringLiteral("application/pdf"), QStringLiteral("attachment.pdf")},
        SafeNameCase{"empty_upper_type", QString(), QStringLiteral("IMAGE/GIF"), QStringLiteral("attachment.gif")},
        SafeNameCase{"empty_unknown_type", QString(), QStringLiteral("x-unknown/x-thing"), QStringLiteral("attachment")},
        SafeNameCase{"type_ignored_when_named", QStringLiteral("a"), QStringLiteral("application/pdf"), QStringLiteral("a")},
        SafeNameCase{"leading_dot_dropped", QStringLiteral(".profile"), {}, QStringLiteral("profile")},
        SafeNameCase{"leading_dots_dropped", QStringLiteral("...x.tar.gz"), {}, QStringLiteral("x.tar.gz")},
        SafeNameCase{"dot_after_space_kept", QStringLiteral(" .x"), {}, QStringLiteral(" .x")},
        SafeNameCase{"only_dots", QStringLiteral("...."), QStringLiteral("application/pdf"), QStringLiteral("attachment.pdf")},
        SafeNameCase{"only_spaces", QStringLiteral("   "), {}, QStringLiteral("attachment")},
        SafeNameCase{"spaces_and_dots", QStringLiteral(" . . "), {}, QStringLiteral("attachment")},
        SafeNameCase{"right_to_left_override", QStringLiteral("invoice") + QChar(0x202E) + QStringLiteral("fdp.exe"), {},
                     QStringLiteral("invoice_fdp.exe")},
        SafeNameCase{"every_bidi_control",
                     QString(QChar(0x200E)) + QChar(0x200F) + QChar(0x202A) + QChar(0x202B) + QChar(0x202C)
                         + QChar(0x202D) + QChar(0x2066) + QChar(0x2067) + QChar(0x2068) + QChar(0x2069) + QChar(0x061C)
                         + QStringLiteral(".txt"),
                     {}, QStringLiteral("___________.txt")},
        SafeNameCase{"invisible_format_and_separators",
                     QStringLiteral("a") + QChar(0x200B) + QStringLiteral("b") + QChar(0xFEFF) + QStringLiteral("c")
                         + QChar(0x2028) + QStringLiteral("d") + QChar(0x2029) + QChar(0x00AD) + QChar(0x2060)
                         + QStringLiteral(".txt"),
                     {}, QStringLiteral("a_b_c_d___.txt")},
        SafeNameCase{"only_invisible", QString(QChar(0xFEFF)) + QChar(0x200B), {}, QStringLiteral("__")},
        SafeNameCase{"non_joiner_kept", QStringLiteral("a") + QChar(0x200C) + QStringLiteral("b"), {},
                     QStringLiteral("a") + QChar(0x200C) + QStringLiteral("b")},
        SafeNameCase{"joiner_kept", QStringLiteral("a") + QChar(0x200D) + QStringLiteral("b"), {},
                     QStringLiteral("a") + QChar(0x200D) + QStringLiteral("b")},
        SafeNameCase{"unicode_kept", QStringLiteral("Список.doc"), {}, QStringLiteral("Список.doc")}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(JoinLocation, PutsOneSlashBetween) {
    EXPECT_EQ(joinLocation(QStringLiteral("/tmp/out"), QStringLiteral("a.pdf")), QStringLiteral("/tmp/out/a.pdf"));
    EXPECT_EQ(joinLocation(QStringLiteral("/tmp/out/"), QStringLiteral("a.pdf")), QStringLiteral("/tmp/out/a.pdf"));
    EXPECT_EQ(joinLocation(QStringLiteral("//"), QStringLiteral("a.pdf")), QStringLiteral("//a.pdf"));
    EXPECT_EQ(joinLocation(QString(), QStringLiteral("a.pdf")), QStringLiteral("a.pdf"));
}

TEST(NumberedName, InsertsBeforeTheLastDotOrAtTheEnd) {
    EXPECT_EQ(numberedName(QStringLiteral("report.pdf"), 1), QStringLiteral("report_1.pdf"));
    EXPECT_EQ(numberedName(QStringLiteral("report_1.pdf"), 2), QStringLiteral("report_1_2.pdf"));
    EXPECT_EQ(numberedName(QStringLiteral("archive.tar.gz"), 1), QStringLiteral("archive.tar_1.gz"));
    EXPECT_EQ(numberedName(QStringLiteral("README"), 12), QStringLiteral("README_12"));
    EXPECT_EQ(numberedName(QStringLiteral("name."), 3), QStringLiteral("name_3."));
}

TEST(OrdinaryFile, CountsOnlyVisibleRegularFiles) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    touch(dir.filePath(QStringLiteral("plain.txt")));
    touch(dir.filePath(QStringLiteral(".hidden")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    EXPECT_TRUE(isOrdinaryFile(dir.filePath(QStringLiteral("plain.txt"))));
    EXPECT_FALSE(isOrdinaryFile(dir.filePath(QStringLiteral(".hidden"))));
    EXPECT_FALSE(isOrdinaryFile(dir.filePath(QStringLiteral("folder"))));
    EXPECT_FALSE(isOrdinaryFile(dir.filePath(QStringLiteral("missing"))));
    EXPECT_FALSE(isOrdinaryFile(dir.path() + QStringLiteral("/")));
    EXPECT_FALSE(isOrdinaryFile(QString()));
}

class UniquePath : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString at(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(UniquePath, FreeNameIsUsedAsIs) {
    EXPECT_EQ(uniqueTargetPath(dir.path(), QStringLiteral("report.pdf")), at(QStringLiteral("report.pdf")));
}

TEST_F(UniquePath, SuffixesAccumulate) {
    touch(at(QStringLiteral("report.pdf")));
    EXPECT_EQ(uniqueTargetPath(dir.path(), QStringLiteral("report.pdf")), at(QStringLiteral("report_1.pdf")));
    touch(at(QStringLiteral("report_1.pdf")));
    int steps = 0;
    EXPECT_EQ(uniqueTargetPath(dir.path() + QStringLiteral("/"), QStringLiteral("report.pdf"), [&] { ++steps; }),
              at(QStringLiteral("report_1_2.pdf")));
    EXPECT_EQ(steps, 2);
}

TEST_F(UniquePath, DotlessNameEndsAndLeavesDottedFoldersAlone) {
    // The folder has a dot of its own; a dotless file name must still be
    // renamed at its end, not inside the folder name.
    const QString folder = at(QStringLiteral("my.folder"));
    ASSERT_TRUE(QDir().mkdir(folder));
    touch(folder + QStringLiteral("/README"));
    touch(folder + QStringLiteral("/README_1"));
    EXPECT_EQ(uniqueTargetPath(folder, QStringLiteral("README")), folder + QStringLiteral("/README_1_2"));
}

TEST_F(UniquePath, HiddenFileOrFolderCausesNoSuffix) {
    touch(at(QStringLiteral(".cfg")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("data.bin")));
    EXPECT_EQ(uniqueTargetPath(dir.path(), QStringLiteral(".cfg")), at(QStringLiteral(".cfg")));
    EXPECT_EQ(uniqueTargetPath(dir.path(), QStringLiteral("data.bin")), at(QStringLiteral("data.bin")));
}

TEST_F(UniquePath, GivesUpInsteadOfLoopingForever) {
    const auto alwaysTaken = [](const QString &) { return true; };
    EXPECT_THROW(uniqueTargetPath(dir.path(), QStringLiteral("a"), {}, alwaysTaken), pw::Error);
}

TEST(SafeNameLength, OverlongNamesAreShortenedBeforeTheExtension) {
    const QString longAscii = QString(300, QLatin1Char('a')) + QStringLiteral(".pdf");
    const QString shortened = safeAttachmentName(longAscii);
    EXPECT_EQ(QFile::encodeName(shortened).size(), 255);
    EXPECT_TRUE(shortened.endsWith(QStringLiteral("a.pdf")));
    const QString longWide = QString(200, QChar(0x00E9)) + QStringLiteral(".txt");
    const QByteArray encoded = QFile::encodeName(safeAttachmentName(longWide));
    EXPECT_LE(encoded.size(), 255);
    EXPECT_TRUE(encoded.endsWith(".txt"));
    EXPECT_EQ(QString::fromUtf8(encoded).toUtf8(), encoded); // no character cut in half
    // Four-byte characters (surrogate pairs inside the program) are not cut
    // in half either, whatever the cut's position.
    for (int pad = 0; pad < 4; ++pad) {
        const QString emoji = QString(pad, QLatin1Char('x')) + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(100)
                              + QStringLiteral(".png");
        const QByteArray cut = QFile::encodeName(safeAttachmentName(emoji));
        EXPECT_GT(cut.size(), 250) << pad;
        EXPECT_LE(cut.size(), 255) << pad;
        EXPECT_EQ(QString::fromUtf8(cut).toUtf8(), cut) << pad;
        EXPECT_TRUE(cut.endsWith("\x80.png")) << pad;
    }
}

TEST(SafeNameLength, AHugeNameIsCutInOneGo) {
    // A hostile message with a name of megabytes must not freeze the run:
    // shortening a character at a time made this one take hours.
    const QString huge = QString(5 * 1024 * 1024, QChar(0x00E9)) + QStringLiteral(".jpg");
    const QString name = safeAttachmentName(huge);
    EXPECT_EQ(QFile::encodeName(name).size(), 254); // two bytes a character: 250 + ".jpg"
    EXPECT_TRUE(name.endsWith(QStringLiteral(".jpg")));
    // Without an extension worth keeping, the name is cut at its end.
    const QString noExtension = safeAttachmentName(QString(1000, QLatin1Char('n')) + QLatin1Char('.')
                                                   + QString(20, QLatin1Char('e')));
    EXPECT_EQ(noExtension, QString(255, QLatin1Char('n')));
}

TEST(UniquePathMany, EveryCopyOfACommonNameGetsAName) {
    // image001.png in every message of a mailbox: the accumulated suffix
    // outgrows the file system's limit after some 80 copies.
    QSet<QString> taken;
    const auto isTaken = [&](const QString &p) { return taken.contains(p); };
    QStringList made;
    for (int i = 0; i < 300; ++i) {
        const QString path = uniqueTargetPath(QStringLiteral("/out"), QStringLiteral("image001.png"), {}, isTaken);
        ASSERT_FALSE(taken.contains(path));
        ASSERT_LE(QFile::encodeName(path.mid(5)).size(), 255) << i;
        taken.insert(path);
        made.append(path);
    }
    EXPECT_EQ(made[0], QStringLiteral("/out/image001.png"));
    EXPECT_EQ(made[2], QStringLiteral("/out/image001_1_2.png"));
    EXPECT_TRUE(made.last().endsWith(QStringLiteral(".png")));
}

TEST(UniquePathMany, ARunContinuesEachChainWhereItEnded) {
    // 10,002 messages that each carry image001.jpg: every copy gets a name of
    // its own, and each one costs a few existence tests, not one per copy
    // saved before it.
    QSet<QString> taken;
    qint64 tests = 0;
    const auto isTaken = [&](const QString &p) {
        ++tests;
        return taken.contains(p);
    };
    TargetNamer namer;
    QStringList made;
    for (int i = 0; i < 10002; ++i) {
        const QString path = namer.uniqueTargetPath(QStringLiteral("/out"), QStringLiteral("image001.jpg"), {}, isTaken);
        ASSERT_FALSE(taken.contains(path)) << i;
        ASSERT_LE(QFile::encodeName(path.mid(5)).size(), 255) << i;
        taken.insert(path);
        made.append(path);
    }
    EXPECT_LE(tests, 3 * 10002);
    // The same names a run without memory would pick, one after the other.
    QSet<QString> fresh;
    for (int i = 0; i < 120; ++i) {
        const QString path = uniqueTargetPath(QStringLiteral("/out"), QStringLiteral("image001.jpg"), {},
                                              [&](const QString &p) { return fresh.contains(p); });
        ASSERT_EQ(path, made[i]) << i;
        fresh.insert(path);
    }
    EXPECT_EQ(made[3], QStringLiteral("/out/image001_1_2_3.jpg"));
    EXPECT_TRUE(made.last().startsWith(QStringLiteral("/out/image001_")));
    EXPECT_FALSE(made.last().contains(QStringLiteral("_1_2_")));
}

TEST(UniquePathMany, ANameWhoseSaveFailedIsOfferedAgain) {
    QSet<QString> taken;
    const auto isTaken = [&](const QString &p) { return taken.contains(p); };
    TargetNamer namer;
    EXPECT_EQ(namer.uniqueTargetPath(QStringLiteral("/a"), QStringLiteral("r.pdf"), {}, isTaken), QStringLiteral("/a/r.pdf"));
    // Nothing was written under that name: it is still the one to use.
    EXPECT_EQ(namer.uniqueTargetPath(QStringLiteral("/a"), QStringLiteral("r.pdf"), {}, isTaken), QStringLiteral("/a/r.pdf"));
    taken.insert(QStringLiteral("/a/r.pdf"));
    EXPECT_EQ(namer.uniqueTargetPath(QStringLiteral("/a"), QStringLiteral("r.pdf"), {}, isTaken), QStringLiteral("/a/r_1.pdf"));
    // Another folder has a chain of its own.
    EXPECT_EQ(namer.uniqueTargetPath(QStringLiteral("/b"), QStringLiteral("r.pdf"), {}, isTaken), QStringLiteral("/b/r.pdf"));
}

TEST(UniquePathMany, ANameAtTheLengthLimitStillGetsNumberedCopies) {
    // A 255-byte name (a long subject of an attached message, say): the
    // number must not be cut off again to make it fit.
    const QString name = safeAttachmentName(QString(83, QChar(0x65E5)) + QStringLiteral("ab.eml"));
    ASSERT_EQ(QFile::encodeName(name).size(), 255);
    QSet<QString> taken;
    const auto isTaken = [&](const QString &p) { return taken.contains(p); };
    for (int i = 0; i < 5; ++i) {
        const QString path = uniqueTargetPath(QStringLiteral("/out"), name, {}, isTaken);
        ASSERT_FALSE(taken.contains(path)) << i;
        ASSERT_LE(QFile::encodeName(path.mid(5)).size(), 255) << i;
        EXPECT_TRUE(path.endsWith(QStringLiteral(".eml")));
        taken.insert(path);
    }
}

TEST(ShortFileName, IsThePathWhenItExists) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_EQ(modShortFilename::ShortFileName(dir.path()), dir.path());
    EXPECT_EQ(modShortFilename::ShortFileName(dir.filePath(QStringLiteral("nope.dbx"))), QString());
}

} // namespace
