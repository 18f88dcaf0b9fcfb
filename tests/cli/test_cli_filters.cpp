// The pieces the command line's choice options are made of: patterns,
// dates, sizes, ids from list output, inline pictures, and what a save
// keeps of what it wrote.
#include "cli/filters.h"
#include "cli/savepolicy.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace pw::cli;

namespace {

qint64 utcMs(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC).toMSecsSinceEpoch();
}

TEST(CliGlob, MatchesAsShellsDoInAnyCase) {
    struct Case {
        const char *pattern;
        QString text;
        bool matches;
    };
    const Case cases[] = {
        {"*.pdf", "Report.PDF", true},
        {"*.pdf", "report.pdf.exe", false},
        {"rep?rt.*", "REPORT.doc", true},
        {"rep?rt.*", "reprt.doc", false},
        {"[a-c]*.txt", "Budget.txt", true},
        {"[!a-c]*", "apple", false},
        {"[^a-c]*", "zebra", true},
        {"[]]x", "]x", true},
        {"\\*x", "*x", true},
        {"\\*x", "ax", false},
        {"*", "", true},
        {"?", "", false},
        {"a*b*c", "aXXbYYbZc", true},
        {"a*b*c", "aXXbYY", false},
        {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"[", "[", true},
        {"[abc", "[abc", true},
        {"ärger*", QStringLiteral("ÄRGER.pdf"), true},
        {"invoice ??.pdf", QStringLiteral("invoice 07.pdf"), true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(globMatches(QString::fromUtf8(c.pattern), c.text), c.matches) << c.pattern << " / " << c.text.toStdString();
}

TEST(CliDates, BoundsCoverWhatTheyNameInUtc) {
    struct Case {
        const char *text;
        bool upper;
        std::optional<qint64> ms;
    };
    const Case cases[] = {
        {"2024-03-01", false, utcMs(2024, 3, 1)},
        {"2024-03-01", true, utcMs(2024, 3, 1, 23, 59, 59, 999)},
        {"2024-03-01T09:30", true, utcMs(2024, 3, 1, 9, 30, 59, 999)},
        {"2024-03-01 09:30:15", true, utcMs(2024, 3, 1, 9, 30, 15, 999)},
        {"2024-03-01T09:30:15.250Z", true, utcMs(2024, 3, 1, 9, 30, 15, 250)},
        {"2024-03-01T09:30:00+02:00", false, utcMs(2024, 3, 1, 7, 30)},
        {"2024-03-01T09:30-0130", false, utcMs(2024, 3, 1, 11, 0)},
        {"2024-02-30", false, std::nullopt},
        {"01/03/2024", false, std::nullopt},
        {"2024-03-01T25:00", false, std::nullopt},
        {"2024-03-01T10:00+25:00", false, std::nullopt},
        {"yesterday", false, std::nullopt},
        {"", false, std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parseDateBound(QString::fromLatin1(c.text), c.upper), c.ms) << c.text << (c.upper ? " (upper)" : "");
}

TEST(CliSizes, UnitsAre1024Based) {
    struct Case {
        const char *text;
        std::optional<qint64> bytes;
    };
    const Case cases[] = {
        {"500", 500},           {"64k", 65536},          {"64K", 65536},
        {"1.5M", 1572864},      {"2G", 2147483648LL},    {"10KiB", 10240},
        {"3MB", 3145728},       {"7b", 7},               {"0", 0},
        {"-1", std::nullopt},   {"k", std::nullopt},     {"12x", std::nullopt},
        {"", std::nullopt},     {"1e3", std::nullopt},   {"99999999999G", std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parseSize(QString::fromLatin1(c.text)), c.bytes) << c.text;
}

TEST(CliIds, TakenFromEveryFormOfListLine) {
    EXPECT_EQ(idFromListLine("{\"source\":\"a.pst\",\"id\":\"00AB12\"}\n"), "00AB12");
    EXPECT_EQ(idFromListLine("a.pst\tInbox\t2024-01-01T00:00:00Z\tAnn\tHi\t1\t00AB12\n"), "00AB12");
    EXPECT_EQ(idFromListLine("  00AB12 \r\n"), "00AB12");
    EXPECT_EQ(idFromListLine("Inbox:20417\n"), "Inbox:20417");
    EXPECT_EQ(idFromListLine("\n"), QString());
}

TEST(CliInline, OnlyPicturesTheHtmlRefersTo) {
    const QString html = "<p><img src=\"cid:logo@corp\"><img src='CID:Chart.PNG'>"
                         "<img src=\"http://x/banner.gif\"><a href=\"cid:terms\">terms</a></p>";
    struct Case {
        Attachment attachment;
        bool inlined;
    };
    const auto picture = [](const QString &name, const QString &id, const QString &location = QString()) {
        return Attachment{name, QStringLiteral("image/png"), id, location, {}};
    };
    const Case cases[] = {
        {picture("logo.png", "logo@corp"), true},
        {picture("chart.png", "chart.png"), true},           // letter case of the reference
        {picture("logo.png", "logo"), false},                // "cid:logo@corp" is another id
        {picture("banner.gif", "", "http://x/banner.gif"), true},
        {picture("banner.gif", "", "banner"), false},
        {picture("photo.jpg", ""), false},                   // attached, not referred to
        {Attachment{"terms.pdf", "application/pdf", "terms", QString(), {}}, false},
        {Attachment{"logo.PNG", QString(), "logo@corp", QString(), {}}, true}, // type told by the name
    };
    for (const Case &c : cases)
        EXPECT_EQ(shownInline(c.attachment, html), c.inlined) << c.attachment.name.toStdString();
    EXPECT_FALSE(shownInline(picture("logo.png", "logo@corp"), QString()));
}

TEST(CliMessageChoice, BoundsAreInclusiveAndUndatedMessagesLeftOut) {
    MessageChoice choice;
    choice.since = parseDateBound("2024-03-01", false);
    choice.until = parseDateBound("2024-03-31", true);
    Message m;
    m.sender = "Ann Example <ann@example.org>";
    m.subject = "Quarterly REPORT";
    m.id = "X1";
    const auto at = [&](qint64 ms) {
        m.date = QDateTime::fromMSecsSinceEpoch(ms, QTimeZone(3600));
        return choice.accepts(m);
    };
    EXPECT_TRUE(at(utcMs(2024, 3, 1)));
    EXPECT_TRUE(at(utcMs(2024, 3, 31, 23, 59, 59, 999)));
    EXPECT_FALSE(at(utcMs(2024, 2, 29, 23, 59, 59, 999)));
    EXPECT_FALSE(at(utcMs(2024, 4, 1)));
    m.date = QDateTime();
    EXPECT_FALSE(choice.accepts(m));

    MessageChoice text;
    text.from = "ANN@EXAMPLE";
    text.subject = "report";
    EXPECT_TRUE(text.accepts(m));
    text.subject = "minutes";
    EXPECT_FALSE(text.accepts(m));

    MessageChoice ids;
    ids.byId = true;
    EXPECT_FALSE(ids.accepts(m)); // an empty id list chooses nothing
    ids.ids.insert("X1");
    EXPECT_TRUE(ids.accepts(m));
}

TEST(CliSavePolicy, NumberedFormsShareTheirName) {
    EXPECT_EQ(SavePolicy::unnumbered("report_1_2.pdf"), "report.pdf");
    EXPECT_EQ(SavePolicy::unnumbered("report_86.pdf"), "report.pdf");
    EXPECT_EQ(SavePolicy::unnumbered("README_1"), "README");
    EXPECT_EQ(SavePolicy::unnumbered("_1.pdf"), "_1.pdf");
    EXPECT_EQ(SavePolicy::unnumbered("v_2a.pdf"), "v_2a.pdf");
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::NewOnly));
    f.write(bytes);
}

TEST(CliSavePolicy, SkipsWhatTheFolderHoldsAndWhatThisRunSaved) {
    QTemporaryDir dir;
    writeFile(dir.filePath("report.pdf"), "AAAA");
    writeFile(dir.filePath("other.pdf"), "BBBB");
    SavePolicy both(true, true);
    // Same bytes under a numbered form of a name the folder holds: gone.
    writeFile(dir.filePath("report_1.pdf"), "AAAA");
    EXPECT_EQ(both.judge(dir.filePath("report_1.pdf"), 4), SavePolicy::Verdict::AlreadyThere);
    EXPECT_FALSE(QFile::exists(dir.filePath("report_1.pdf")));
    // Same name, other bytes: kept.
    writeFile(dir.filePath("report_1.pdf"), "CCCC");
    EXPECT_EQ(both.judge(dir.filePath("report_1.pdf"), 4), SavePolicy::Verdict::Keep);
    // Bytes the folder holds under another name are no reason to skip, but
    // bytes this run saved are, under any name.
    writeFile(dir.filePath("copy.pdf"), "BBBB");
    EXPECT_EQ(both.judge(dir.filePath("copy.pdf"), 4), SavePolicy::Verdict::Keep);
    writeFile(dir.filePath("again.bin"), "CCCC");
    EXPECT_EQ(both.judge(dir.filePath("again.bin"), 4), SavePolicy::Verdict::Duplicate);
    EXPECT_FALSE(QFile::exists(dir.filePath("again.bin")));
    // A kept file counts for the files after it.
    writeFile(dir.filePath("report_1_2.pdf"), "CCCC");
    EXPECT_EQ(both.judge(dir.filePath("report_1_2.pdf"), 4), SavePolicy::Verdict::AlreadyThere);
    QStringList left = QDir(dir.path()).entryList(QDir::Files);
    left.sort();
    EXPECT_EQ(left, QStringList({"copy.pdf", "other.pdf", "report.pdf", "report_1.pdf"}));

    // With neither rule everything stays.
    SavePolicy none(false, false);
    writeFile(dir.filePath("report_2.pdf"), "AAAA");
    EXPECT_EQ(none.judge(dir.filePath("report_2.pdf"), 4), SavePolicy::Verdict::Keep);
    EXPECT_TRUE(QFile::exists(dir.filePath("report_2.pdf")));
}

TEST(CliTree, FolderNamesAreMadeSafe) {
    EXPECT_EQ(safeFolderName(".."), "_.");
    EXPECT_EQ(safeFolderName("."), "_");
    EXPECT_EQ(safeFolderName(""), "_");
    EXPECT_EQ(safeFolderName(".hidden"), "_hidden");
    EXPECT_EQ(safeFolderName("a/b\\c"), "a_b_c");
    EXPECT_EQ(safeFolderName(QStringLiteral("in\x1b[2Jbox")), "in_[2Jbox");
    EXPECT_LE(safeFolderName(QString(300, QChar(0x00e9))).toUtf8().size(), 255);

    Message m;
    m.source = "/mail/Archive 2024.pst";
    m.folderPath = {"Inbox", "../x", "a/b"};
    EXPECT_EQ(treeFolder("/out", m), "/out/Archive 2024/Inbox/_._x/a_b");
    m.source = "/mail/loose.eml";
    m.folderPath = {};
    EXPECT_EQ(treeFolder("/out", m), "/out");
}

} // namespace
