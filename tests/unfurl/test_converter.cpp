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
    EXPECT_EQ(Converter::baseNameOf("/"), "message");
    // Leading dots would hide every file written.
    EXPECT_EQ(Converter::baseNameOf("/mail/.Inbox.dbx"), "Inbox");
    EXPECT_EQ(Converter::baseNameOf("/mail/..a.b.dbx"), "a.b");
    EXPECT_EQ(Converter::baseNameOf("/mail/.dbx"), "dbx");
    EXPECT_EQ(Converter::baseNameOf("/mail/...dbx"), "message");
}

TEST(Converter, LongBaseNamesAreCutOnACharacterBoundary) {
    const size_t limit = Converter::kMaxBaseNameBytes;
    const std::string fits(limit, 'a');
    EXPECT_EQ(Converter::baseNameOf("/m/" + fits + ".dbx"), fits);
    EXPECT_EQ(Converter::baseNameOf("/m/" + fits + "bcd.dbx"), fits);
    // "é" is two bytes; one that would be split at the limit goes whole.
    std::string accented(limit - 1, 'a');
    accented += "\xc3\xa9\xc3\xa9";
    EXPECT_EQ(Converter::baseNameOf("/m/" + accented + ".dbx"), std::string(limit - 1, 'a'));
}

TEST(Converter, LongAndHiddenBaseNamesStillGiveVisibleFiles) {
    Scratch scratch;
    const std::string longName(250, 'x');
    writeDbx(scratch.dbx((longName + ".dbx").c_str()), workedExample());
    writeDbx(scratch.dbx(".Hidden.dbx"), workedExample());
    for (int round = 0; round < 2; ++round) {  // the second round needs "_2" names
        EXPECT_EQ(convert(scratch.dbx((longName + ".dbx").c_str()), scratch.out()).status, kExitAllWritten);
        EXPECT_EQ(convert(scratch.dbx(".Hidden.dbx"), scratch.out()).status, kExitAllWritten);
    }
    const QString cut = QString(static_cast<qsizetype>(Converter::kMaxBaseNameBytes), QLatin1Char('x'));
    EXPECT_EQ(filesIn(scratch.out()),
              (QStringList{QStringLiteral("Hidden_00001.eml"), QStringLiteral("Hidden_00001_2.eml"),
                           QStringLiteral("Hidden_00002.eml"), QStringLiteral("Hidden_00002_2.eml"),
                           cut + QStringLiteral("_00001.eml"), cut + QStringLiteral("_00001_2.eml"),
                           cut + QStringLiteral("_00002.eml"), cut + QStringLiteral("_00002_2.eml")}));
    EXPECT_EQ(QDir(scratch.out()).entryList(QDir::Files | QDir::Hidden).size(), 8);
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

TEST(Converter, PointerBackToANodeAlreadyReadLosesNothing) {
    Scratch scratch;
    const FixtureLayout layout =
        writeDbx(scratch.dbx(), numberedMessages(40), FixtureOptions{.maxEntriesPerNode = 3});
    // A leaf's (empty) left child now points back to the root, with a count
    // no file of this size could hold.
    patchU32(scratch.dbx(), layout.nodes.back() + 0x08, layout.treeRoot);
    patchU32(scratch.dbx(), layout.nodes.back() + 0x14, 0x00EAD484);
    const Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(filesIn(scratch.out()).size(), 40u);
    EXPECT_EQ(c.report, "");
    EXPECT_EQ(c.status, kExitAllWritten);

    // The worked example with its only node's entry pointing back to it.
    Scratch small;
    const FixtureLayout example = writeDbx(small.dbx(), workedExample());
    patchU32(small.dbx(), example.treeRoot + 0x18 + 4, example.treeRoot);
    patchU32(small.dbx(), example.treeRoot + 0x18 + 8, 0x00EAD484);
    const Conversion again = convert(small.dbx(), small.out());
    EXPECT_EQ(again.status, kExitAllWritten) << again.report;
    EXPECT_EQ(again.report, "");
    EXPECT_EQ(filesIn(small.out()).size(), 2);
}

TEST(Converter, ImpossibleCountsAreNotQuotedAsLosses) {
    // A header count the file could never hold is damage in the count, not
    // a measure of lost messages.
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    patchU32(scratch.dbx(), 0xC4, 15389828);
    Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitAllWritten) << c.report;
    EXPECT_TRUE(contains(c.report, "warning: the header announces 15389828 messages, more than a file of "))
        << c.report;
    EXPECT_FALSE(contains(c.report, "could not be found")) << c.report;

    // A damaged subtree with an absurd count is lost, without a number.
    Scratch cut;
    const FixtureLayout layout =
        writeDbx(cut.dbx(), numberedMessages(40), FixtureOptions{.maxEntriesPerNode = 3});
    const uint32_t left = readU32(cut.dbx(), layout.treeRoot + 0x08);
    const uint32_t leftCount = readU32(cut.dbx(), layout.treeRoot + 0x14);
    patchU32(cut.dbx(), left, 0xDEAD);
    patchU32(cut.dbx(), layout.treeRoot + 0x14, 15389828);
    c = convert(cut.dbx(), cut.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, "the messages listed there cannot be read from it")) << c.report;
    EXPECT_FALSE(contains(c.report, "about")) << c.report;
    EXPECT_TRUE(contains(c.report, ", " + std::to_string(leftCount) + " could not be found")) << c.report;
}

// A damaged index part whose messages all turn up elsewhere loses nothing:
// the run says so and ends as a complete one. One that does lose messages
// says how many, and does not.
TEST(Converter, ADamagedIndexPartLosesOnlyWhatIsFoundNowhereElse) {
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), numberedMessages(3));
    // The root's first entry gains a child that cannot be read, counted as empty.
    patchU32(scratch.dbx(), layout.treeRoot + 0x18 + 4, 0xDEAD);
    patchU32(scratch.dbx(), layout.treeRoot + 0x18 + 8, 0);
    Conversion c = convert(scratch.dbx(), scratch.out());
    EXPECT_EQ(c.status, kExitAllWritten) << c.report;
    EXPECT_EQ(filesIn(scratch.out()), (QStringList{name("Inbox", 1), name("Inbox", 2), name("Inbox", 3)}));
    EXPECT_TRUE(contains(c.report, "cannot be read from it")) << c.report;
    EXPECT_TRUE(contains(c.report, "3 messages written to ")) << c.report;
    EXPECT_TRUE(contains(c.report, "none is lost")) << c.report;
    EXPECT_FALSE(contains(c.report, "are lost")) << c.report;

    Scratch cut;
    const FixtureLayout l = writeDbx(cut.dbx(), numberedMessages(40), FixtureOptions{.maxEntriesPerNode = 3});
    const uint32_t leftCount = readU32(cut.dbx(), l.treeRoot + 0x14);
    patchU32(cut.dbx(), readU32(cut.dbx(), l.treeRoot + 0x08), 0xDEAD);
    c = convert(cut.dbx(), cut.out());
    EXPECT_EQ(c.status, kExitSomeNotWritten);
    EXPECT_TRUE(contains(c.report, std::to_string(40 - leftCount) + " messages written to ")) << c.report;
    EXPECT_TRUE(contains(c.report, ", " + std::to_string(leftCount) + " could not be found")) << c.report;
    EXPECT_FALSE(contains(c.report, "none is lost")) << c.report;
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
