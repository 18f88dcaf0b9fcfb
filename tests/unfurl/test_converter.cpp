// The conversion itself, in process: file names, what is written for damaged
// or unusual messages, exit statuses, and never writing over a file.

#include "dbxfixture.h"
#include "unfurltesting.h"
#include "unfurl/converter.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <sstream>

using namespace unfurl;
using namespace unfurl::fixture;
using namespace unfurl::testing;

namespace {

struct Conversion {
    int status = -1;
    std::string report;
    Converter::Totals totals;
};

Conversion convert(const std::string &dbx, const QString &out, bool verbose = false) {
    std::ostringstream report;
    Converter converter(report, verbose);
    Conversion c;
    c.status = converter.run(dbx, out.toStdString());
    c.report = report.str();
    c.totals = converter.totals();
    return c;
}

QString name(const char *stem, uint32_t number) {
    return QStringLiteral("%1_%2.eml").arg(QLatin1String(stem)).arg(number, 5, 10, QLatin1Char('0'));
}

bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

} // namespace

TEST(Converter, BaseNameIsTheFileNameWithoutItsExtension) {
    EXPECT_EQ(Converter::baseNameOf("/mail/Inbox.dbx"), "Inbox");
    EXPECT_EQ(Converter::baseNameOf("Sent Items.DBX"), "Sent Items");
    EXPECT_EQ(Converter::baseNameOf("/a.b/archive.old.dbx"), "archive.old");
    EXPECT_EQ(Converter::baseNameOf("/mail/plain"), "plain");
    EXPECT_EQ(Converter::baseNameOf("/mail/.dbx"), ".dbx");
    EXPECT_EQ(Converter::baseNameOf("/"), "message");
}

TEST(Converter, WritesEveryMessageExactlyAndQuietly) {
    auto messages = numberedMessages(120, 700, 98);  // numbers past 99999 keep all digits
    messages.back().number = 123456;
    messages[3].text = "Subject: bare LF\n\nno CR here\n";  // stored bytes, not normalised
    Scratch scratch;
    writeDbx(scratch.dbx(), messages, FixtureOptions{.maxEntriesPerNode = 4});
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitAllWritten);
    EXPECT_EQ(c.report, "");
    EXPECT_EQ(c.totals.written, 120u);
    ASSERT_EQ(filesIn(scratch.out()).size(), 120u);
    for (const auto &m : messages)
        EXPECT_EQ(readWholeFile(scratch.outFile(name("Inbox", m.number))).toStdString(), m.text);
    EXPECT_TRUE(QFile::exists(scratch.outFile(QStringLiteral("Inbox_123456.eml"))));
    // No temporary files are left behind.
    EXPECT_EQ(QDir(scratch.out()).entryList(QDir::Files | QDir::Hidden).size(), 120);
}

TEST(Converter, MessageSpreadOverManyBlocks) {
    auto messages = numberedMessages(3, 700);
    messages[1].text.clear();
    for (int i = 0; messages[1].text.size() < 300000; ++i)
        messages[1].text += "line " + std::to_string(i) + " of a long message\r\n";
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages);
    ASSERT_GT(layout.blocks[1].size(), 500u);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitAllWritten);
    EXPECT_EQ(readWholeFile(scratch.outFile(name("Inbox", 2))).toStdString(), messages[1].text);
}

TEST(Converter, ExistingFilesAreNeverReplaced) {
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    QFile mine(scratch.outFile(QStringLiteral("Inbox_00001.eml")));
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
    mine.write("mine");
    mine.close();

    EXPECT_EQ(convert(scratch.dbx(), scratch.out()).status, kExitAllWritten);
    EXPECT_EQ(convert(scratch.dbx(), scratch.out()).status, kExitAllWritten);
    EXPECT_EQ(readWholeFile(mine.fileName()), QByteArray("mine"));
    EXPECT_EQ(filesIn(scratch.out()),
              (QStringList{QStringLiteral("Inbox_00001.eml"), QStringLiteral("Inbox_00001_2.eml"),
                           QStringLiteral("Inbox_00001_3.eml"), QStringLiteral("Inbox_00002.eml"),
                           QStringLiteral("Inbox_00002_2.eml")}));
    EXPECT_EQ(readWholeFile(scratch.outFile(QStringLiteral("Inbox_00001_3.eml"))).toStdString(),
              workedExample()[0].text);
}

TEST(Converter, SeveralFoldersIntoOneOutputDoNotCollide) {
    Scratch scratch;
    writeDbx(scratch.dbx("Inbox.dbx"), numberedMessages(2));
    writeDbx(scratch.dbx("Sent Items.dbx"), numberedMessages(2));
    EXPECT_EQ(convert(scratch.dbx("Inbox.dbx"), scratch.out()).status, kExitAllWritten);
    EXPECT_EQ(convert(scratch.dbx("Sent Items.dbx"), scratch.out()).status, kExitAllWritten);
    EXPECT_EQ(filesIn(scratch.out()),
              (QStringList{QStringLiteral("Inbox_00001.eml"), QStringLiteral("Inbox_00002.eml"),
                           QStringLiteral("Sent Items_00001.eml"), QStringLiteral("Sent Items_00002.eml")}));
}

TEST(Converter, EmptyMessageIsReportedNotWritten) {
    auto messages = numberedMessages(3);
    messages[1].text.clear();
    Scratch scratch;
    writeDbx(scratch.dbx(), messages);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, "message 2 not written: its stored text is empty")) << c.report;
    EXPECT_EQ(filesIn(scratch.out()), (QStringList{name("Inbox", 1), name("Inbox", 3)}));
}

TEST(Converter, HeadersOnlyMessagesAreNotFailures) {
    auto messages = numberedMessages(3);
    messages[1].storeText = false;
    messages[1].flags = 0x80;  // read, text never downloaded
    Scratch scratch;
    writeDbx(scratch.dbx(), messages);
    Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitAllWritten);
    EXPECT_EQ(c.report, "");
    EXPECT_EQ(c.totals.withoutText, 1u);

    // With --verbose it is mentioned, with every file written.
    Scratch again;
    writeDbx(again.dbx(), messages);
    c = convert(again.dbx(), again.out(), true);
    EXPECT_TRUE(contains(c.report, "message 2 has only its headers")) << c.report;
    EXPECT_TRUE(contains(c.report, "wrote Inbox_00003.eml (300 bytes)")) << c.report;
    EXPECT_TRUE(contains(c.report, "2 messages written")) << c.report;
}

TEST(Converter, MissingTextOfADownloadedMessageIsAFailure) {
    auto messages = numberedMessages(2);
    messages[0].storeText = false;  // flags still say "stored"
    Scratch scratch;
    writeDbx(scratch.dbx(), messages);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, "message 1 is marked as downloaded but its text cannot be found"));
}

TEST(Converter, LoopInAChainCostsOnlyThatMessage) {
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), numberedMessages(5, 2000));
    patchU32(scratch.dbx(), layout.blocks[2].back() + 0x0C, layout.blocks[2][1]);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, "unfurl: Inbox: message 3 not written: its chain of data blocks loops back"))
        << c.report;
    EXPECT_TRUE(contains(c.report, "4 messages written"));
    EXPECT_EQ(filesIn(scratch.out()),
              (QStringList{name("Inbox", 1), name("Inbox", 2), name("Inbox", 4), name("Inbox", 5)}));
    // The broken message leaves no temporary file behind.
    EXPECT_EQ(QDir(scratch.out()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

TEST(Converter, LoopInTheTreeLosesNothingItDoesNotCut) {
    Scratch scratch;
    const FixtureLayout layout =
        writeDbx(scratch.dbx(), numberedMessages(40), FixtureOptions{.maxEntriesPerNode = 3});
    // A leaf's (empty) left child now points back to the root.
    patchU32(scratch.dbx(), layout.nodes.back() + 0x08, layout.treeRoot);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(filesIn(scratch.out()).size(), 40u);
    EXPECT_TRUE(contains(c.report, "loops back to node")) << c.report;
    EXPECT_EQ(c.status, kExitSomeNotWritten);  // the index is damaged: say so
}

TEST(Converter, TwoRecordsSharingTextAreWrittenOnce) {
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), numberedMessages(3));
    // Record 3's 0x04 entry (the fourth, direct) now names record 1's first block.
    patchU32(scratch.dbx(), layout.records[2] + 0x0C + 4 * 2, 0x84 | layout.blocks[0].front() << 8);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, "message 3 shares its text (the data block at ")) << c.report;
    EXPECT_EQ(filesIn(scratch.out()), (QStringList{name("Inbox", 1), name("Inbox", 2)}));
}

TEST(Converter, TruncatedFileKeepsWhatLiesBeforeTheCut) {
    const auto messages = numberedMessages(10, 3000);
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages);
    // The index lives at the end, so cutting inside message 6 also cuts the
    // index: nothing is reachable.
    truncateFile(scratch.dbx(), layout.blocks[5][2] + 0x100);
    Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, "the index root is damaged")) << c.report;
    EXPECT_TRUE(filesIn(scratch.out()).isEmpty());

    // With the index in front of the text, only the messages past the cut
    // are lost.
    Scratch packed;
    const FixtureLayout p = writeDbx(packed.dbx(), messages, FixtureOptions{.indexBeforeText = true});
    ASSERT_LT(p.treeRoot, p.blocks[0][0]);
    truncateFile(packed.dbx(), p.blocks[5][2] + 0x100);
    c = convert(packed.dbx(), packed.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_EQ(filesIn(packed.out()),
              (QStringList{name("Inbox", 1), name("Inbox", 2), name("Inbox", 3), name("Inbox", 4),
                           name("Inbox", 5)}));
    for (uint32_t n = 6; n <= 10; ++n)
        EXPECT_TRUE(contains(c.report, "message " + std::to_string(n) + " not written")) << c.report;
}

TEST(Converter, BadInputEndsWithStatusTwo) {
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    patchU8(scratch.dbx(), 4, 0xC6);
    Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitBadInput);
    EXPECT_TRUE(contains(c.report, "folder list (Folders.dbx)")) << c.report;

    Scratch other;
    writeDbx(other.dbx(), workedExample());
    c = convert(other.dbx(), other.out() + QStringLiteral("/missing"));
    EXPECT_EQ(c.status, kExitBadInput);
    EXPECT_TRUE(contains(c.report, "cannot open the output folder")) << c.report;

    c = convert(other.dbx(), QString::fromStdString(other.dbx()));
    EXPECT_EQ(c.status, kExitBadInput);
    EXPECT_TRUE(contains(c.report, "is not a folder")) << c.report;
}
