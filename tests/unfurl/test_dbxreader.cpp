// The reader on its own: what it accepts, the order it finds records in, the
// field forms it decodes, and each guard against damaged structures.

#include "dbxfixture.h"
#include "unfurltesting.h"
#include "unfurl/dbxreader.h"
#include "unfurl/unfurlerror.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

using namespace unfurl;
using namespace unfurl::fixture;
using namespace unfurl::testing;

namespace {

struct Problems {
    std::vector<std::pair<Severity, std::string>> all;
    ProblemSink sink() {
        return [this](Severity s, const std::string &t) { all.emplace_back(s, t); };
    }
    int count(Severity s) const {
        int n = 0;
        for (const auto &p : all)
            n += p.first == s;
        return n;
    }
    bool mention(const std::string &text) const {
        for (const auto &p : all)
            if (p.second.find(text) != std::string::npos)
                return true;
        return false;
    }
};

struct ReadBack {
    std::vector<uint32_t> numbers;            // in walk order
    std::map<uint32_t, std::string> texts;    // messages whose text was read
    std::map<uint32_t, std::string> damaged;  // number (or address) -> reason
    DbxReader::WalkResult walk;
};

ReadBack readAll(const std::string &path, Problems &problems) {
    ReadBack back;
    DbxReader reader(path, problems.sink());
    back.walk = reader.walk([&](uint32_t address) {
        MessageRecord record;
        try {
            record = reader.readRecord(address);
        } catch (const DamageError &e) {
            back.damaged[address] = e.what();
            return;
        }
        const uint32_t number = record.number.value_or(0);
        back.numbers.push_back(number);
        if (!record.firstBlock || *record.firstBlock == 0)
            return;
        std::string text;
        try {
            reader.readText(*record.firstBlock,
                            [&](const char *d, size_t n) { text.append(d, n); });
            back.texts[number] = text;
        } catch (const DamageError &e) {
            back.damaged[number] = e.what();
        }
    });
    return back;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t i = from; i <= to; ++i)
        v.push_back(i);
    return v;
}

} // namespace

// ---- What kind of file it is -------------------------------------------

struct KindCase {
    const char *name;
    std::function<void(const std::string &)> make;
    const char *expected;  // in the error text; empty: accepted
};

void PrintTo(const KindCase &c, std::ostream *os) { *os << c.name; }

class DbxKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(DbxKindTest, AcceptsOnlyMessageFolders) {
    Scratch scratch;
    const std::string path = scratch.dbx();
    writeDbx(path, workedExample());
    GetParam().make(path);
    Problems problems;
    const std::string expected = GetParam().expected;
    if (expected.empty()) {
        EXPECT_NO_THROW(DbxReader(path, problems.sink()));
        return;
    }
    try {
        DbxReader reader(path, problems.sink());
        FAIL() << "accepted";
    } catch (const BadInputError &e) {
        EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DbxKindTest,
    ::testing::Values(
        KindCase{"MessageFolder", [](const std::string &) {}, ""},
        KindCase{"FolderList", [](const std::string &p) { patchU8(p, 4, 0xC6); }, "folder list (Folders.dbx)"},
        KindCase{"Pop3List", [](const std::string &p) { patchU8(p, 4, 0xC7); }, "POP3"},
        KindCase{"Offline", [](const std::string &p) { patchU32(p, 4, 0x26FE9D30); }, "offline"},
        KindCase{"UnknownClsid", [](const std::string &p) { patchU8(p, 10, 0x00); }, "unknown kind"},
        KindCase{"OutlookExpress4", [](const std::string &p) { patchU32(p, 0, 0x36464D4A); }, "Outlook Express 4"},
        KindCase{"PlainText", [](const std::string &p) { std::ofstream(p) << "From: someone\r\n\r\nhi\r\n"; },
                 "not an Outlook Express .dbx file"},
        KindCase{"EmptyFile", [](const std::string &p) { truncateFile(p, 0); }, "is empty (0 bytes)"},
        KindCase{"HeaderCutShort", [](const std::string &p) { truncateFile(p, 0x1000); }, "too short"},
        KindCase{"SignatureOnly", [](const std::string &p) { truncateFile(p, 6); }, "too short"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DbxReader, MissingFileAndFolderAreBadInput) {
    Scratch scratch;
    Problems problems;
    EXPECT_THROW(DbxReader(scratch.dbx("nothing.dbx"), problems.sink()), BadInputError);
    EXPECT_THROW(DbxReader(scratch.out().toStdString(), problems.sink()), BadInputError);
}

TEST(DbxReader, OddVersionIsWarnedAboutButRead) {
    Scratch scratch;
    const std::string path = scratch.dbx();
    writeDbx(path, workedExample());
    patchU32(path, 0x14, 6);
    Problems problems;
    const ReadBack back = readAll(path, problems);
    EXPECT_TRUE(problems.mention("version"));
    EXPECT_EQ(back.texts.size(), 2u);
}

// ---- Finding records ---------------------------------------------------

TEST(DbxReader, DeepTreeYieldsEveryRecordInAscendingOrder) {
    auto messages = numberedMessages(300);
    // Stored in a scrambled order; the index sorts them.
    std::reverse(messages.begin(), messages.begin() + 150);
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages, FixtureOptions{.maxEntriesPerNode = 2});
    ASSERT_GT(layout.nodes.size(), 100u);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.numbers, range(1, 300));
    EXPECT_EQ(back.walk.recordsFound, 300u);
    EXPECT_EQ(back.walk.lostSubtrees, 0u);
    EXPECT_TRUE(problems.all.empty()) << problems.all.front().second;
    for (const auto &m : messages)
        EXPECT_EQ(back.texts.at(m.number), m.text);
}

TEST(DbxReader, EmptyFolderHasNoRecords) {
    Scratch scratch;
    writeDbx(scratch.dbx(), {});
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_TRUE(back.numbers.empty());
    EXPECT_TRUE(problems.all.empty());
}

TEST(DbxReader, FreedRecordsStayDeleted) {
    // A freed record keeps its self pointer and its blocks; only the index
    // decides what is live.
    auto messages = numberedMessages(5);
    messages[1].deleted = true;
    messages[3].deleted = true;
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages);
    ASSERT_EQ(readU32(scratch.dbx(), layout.records[1]), layout.records[1]);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.numbers, (std::vector<uint32_t>{1, 3, 5}));
    EXPECT_TRUE(problems.all.empty());
}

TEST(DbxReader, DecodesDirectAndIndirectFieldForms) {
    auto messages = numberedMessages(3, 1500);
    messages[0].indirectFirstBlock = true;
    messages[0].subject = "first";
    messages[1].directFlags = true;
    messages[1].flags = 0x10089;
    messages[2].storeText = false;
    messages[2].flags = 0x80;
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages);
    Problems problems;
    DbxReader reader(scratch.dbx(), problems.sink());

    const MessageRecord first = reader.readRecord(layout.records[0]);
    EXPECT_EQ(first.firstBlock, layout.blocks[0].front());
    EXPECT_EQ(first.size, 1500u);
    EXPECT_EQ(first.flags, 0x81u);
    const MessageRecord second = reader.readRecord(layout.records[1]);
    EXPECT_EQ(second.flags, 0x10089u);
    EXPECT_EQ(second.number, 2u);
    const MessageRecord headersOnly = reader.readRecord(layout.records[2]);
    EXPECT_FALSE(headersOnly.firstBlock.has_value());

    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.texts.at(1), messages[0].text);

    // A damaged offset in the next indirect field must not cost 0x04 its
    // value: message 1's subject entry (after 0x00, 0x01, 0x04) points far out.
    ASSERT_EQ(readU32(scratch.dbx(), layout.records[0] + 0x0C + 4 * 3) & 0xFF, 0x08u);
    patchU32(scratch.dbx(), layout.records[0] + 0x0C + 4 * 3, 0x08 | 0x7FFF00);
    DbxReader again(scratch.dbx(), problems.sink());
    EXPECT_EQ(again.readRecord(layout.records[0]).firstBlock, layout.blocks[0].front());
}

TEST(DbxReader, FollowsChainsThatJumpBackwards) {
    auto messages = numberedMessages(2, 40000);
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages, FixtureOptions{.scatterBlocks = true});
    ASSERT_GT(layout.blocks[0].front(), layout.blocks[0].back());
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.texts.at(1), messages[0].text);
    EXPECT_EQ(back.texts.at(2), messages[1].text);
}

// ---- Damage: each costs only what hangs off it ----------------------------

struct DamageCase {
    const char *name;
    // Damages the file of numberedMessages(40, 1200) written with fanout 3
    // and returns the numbers of the messages that this must cost.
    std::function<std::vector<uint32_t>(const std::string &, const FixtureLayout &)> damage;
    const char *reason;  // in the reported text
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class DbxDamageTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DbxDamageTest, LosesOnlyTheDamagedMessages) {
    const auto messages = numberedMessages(40, 1200);
    Scratch scratch;
    const std::string path = scratch.dbx();
    const FixtureLayout layout = writeDbx(path, messages, FixtureOptions{.maxEntriesPerNode = 3});
    const std::vector<uint32_t> lost = GetParam().damage(path, layout);

    Problems problems;
    const ReadBack back = readAll(path, problems);
    std::string reasons;
    for (const auto &p : problems.all)
        reasons += p.second + "\n";
    for (const auto &[key, why] : back.damaged)
        reasons += why + "\n";
    EXPECT_NE(reasons.find(GetParam().reason), std::string::npos) << reasons;
    for (const auto &m : messages) {
        if (std::find(lost.begin(), lost.end(), m.number) != lost.end())
            EXPECT_EQ(back.texts.count(m.number), 0u) << m.number;
        else
            EXPECT_EQ(back.texts.count(m.number) ? back.texts.at(m.number) : "<missing>", m.text) << m.number;
    }
}

namespace {

uint32_t entryOffset(uint32_t node, unsigned i) { return node + 0x18 + 12 * i; }

uint32_t numberOf(const FixtureLayout &l, uint32_t record) {
    const auto it = std::find(l.records.begin(), l.records.end(), record);
    return static_cast<uint32_t>(it - l.records.begin()) + 1;
}

// The message numbers held in the subtree under node, read from the sound file.
std::vector<uint32_t> subtree(const std::string &p, const FixtureLayout &l, uint32_t node) {
    std::vector<uint32_t> numbers;
    if (node == 0)
        return numbers;
    for (uint32_t n : subtree(p, l, readU32(p, node + 0x08)))
        numbers.push_back(n);
    const unsigned entries = readU32(p, node + 0x10) >> 8 & 0xFF;
    for (unsigned i = 0; i < entries; ++i) {
        numbers.push_back(numberOf(l, readU32(p, entryOffset(node, i))));
        for (uint32_t n : subtree(p, l, readU32(p, entryOffset(node, i) + 4)))
            numbers.push_back(n);
    }
    return numbers;
}

using Lost = std::vector<uint32_t>;

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Damage, DbxDamageTest,
    ::testing::Values(
        DamageCase{"ChainLoopsBack",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.blocks[4].back() + 0x0C, l.blocks[4].front());
                       return Lost{5};
                   },
                   "loops back"},
        DamageCase{"ChainSelfLoop",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.blocks[6][1] + 0x0C, l.blocks[6][1]);
                       return Lost{7};
                   },
                   "loops back"},
        DamageCase{"ChainPointsPastTheEnd",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.blocks[9][0] + 0x0C, static_cast<uint32_t>(l.fileSize) - 8);
                       return Lost{10};
                   },
                   "beyond the end of the file"},
        DamageCase{"ChainPointsIntoHeader",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.blocks[9][0] + 0x0C, 0x40);
                       return Lost{10};
                   },
                   "points into the file header"},
        DamageCase{"BlockClaimsTooManyBytes",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.blocks[11][0] + 0x08, 0x201);
                       return Lost{12};
                   },
                   "claims 513 bytes"},
        DamageCase{"BlockWithoutItsAddress",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.blocks[12][1], 0x1234);
                       return Lost{13};
                   },
                   "does not carry its own address"},
        DamageCase{"RecordWithoutItsAddress",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.records[20], 0);
                       return Lost{21};
                   },
                   "does not carry its own address"},
        DamageCase{"RecordLengthTooLarge",
                   [](const std::string &p, const FixtureLayout &l) {
                       patchU32(p, l.records[21] + 4, 0x00F00000);
                       return Lost{22};
                   },
                   "implausible length"},
        DamageCase{"RecordFieldOutsideRecord",
                   [](const std::string &p, const FixtureLayout &l) {
                       // The first entry becomes an indirect 0x04 far beyond the body.
                       patchU32(p, l.records[22] + 0x0C, 0x7FFF04);
                       return Lost{23};
                   },
                   "points outside the record"},
        DamageCase{"RecordPointerPastTheEnd",
                   [](const std::string &p, const FixtureLayout &l) {
                       const uint32_t number = numberOf(l, readU32(p, entryOffset(l.treeRoot, 0)));
                       patchU32(p, entryOffset(l.treeRoot, 0), 0xFFFFFFF0);
                       return Lost{number};
                   },
                   "beyond the end of the file"},
        DamageCase{"NodeClaimsTooManyEntries",
                   [](const std::string &p, const FixtureLayout &l) {
                       const Lost lost = subtree(p, l, l.nodes[1]);
                       patchU8(p, l.nodes[1] + 0x11, 0x34);
                       return lost;
                   },
                   "claims 52 entries"},
        DamageCase{"TreeLoopsToRoot",
                   [](const std::string &p, const FixtureLayout &l) {
                       const Lost lost = subtree(p, l, readU32(p, entryOffset(l.treeRoot, 0) + 4));
                       patchU32(p, entryOffset(l.treeRoot, 0) + 4, l.treeRoot);
                       return lost;
                   },
                   // The loop itself costs nothing; what it cut off is missing.
                   "could be found in the index"},
        DamageCase{"NodePointsPastTheEnd",
                   [](const std::string &p, const FixtureLayout &l) {
                       const Lost lost = subtree(p, l, readU32(p, entryOffset(l.treeRoot, 0) + 4));
                       patchU32(p, entryOffset(l.treeRoot, 0) + 4, static_cast<uint32_t>(l.fileSize) - 0x100);
                       return lost;
                   },
                   "beyond the end of the file"},
        DamageCase{"NodeWithoutItsAddress",
                   [](const std::string &p, const FixtureLayout &l) {
                       const Lost lost = subtree(p, l, l.nodes[1]);
                       patchU32(p, l.nodes[1], 0);
                       return lost;
                   },
                   "does not carry its own address"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DbxReader, DamagedSubtreeIsCountedAndTheRestRead) {
    const auto messages = numberedMessages(40, 300);
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), messages, FixtureOptions{.maxEntriesPerNode = 3});
    // The root's left child holds the lowest numbers; cut it off.
    const uint32_t left = readU32(scratch.dbx(), layout.treeRoot + 0x08);
    const uint32_t leftCount = readU32(scratch.dbx(), layout.treeRoot + 0x14);
    ASSERT_NE(left, 0u);
    patchU32(scratch.dbx(), left, 0xDEAD);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.walk.lostSubtrees, 1u);
    EXPECT_EQ(back.numbers, range(leftCount + 1, 40));
    EXPECT_TRUE(problems.mention("about " + std::to_string(leftCount) + " messages"));
    EXPECT_TRUE(problems.mention("only " + std::to_string(40 - leftCount) + " could be found"));
}

TEST(DbxReader, IndexDeeperThanAnyRealOneIsCut) {
    // Rewire 40 one-entry nodes into a single chain of left children: 40
    // levels, where a real index of 50,000 messages needs 3.
    Scratch scratch;
    const FixtureLayout layout =
        writeDbx(scratch.dbx(), numberedMessages(40), FixtureOptions{.maxEntriesPerNode = 1});
    ASSERT_EQ(layout.nodes.size(), 40u);
    for (size_t i = 0; i < layout.nodes.size(); ++i) {
        const uint32_t node = layout.nodes[i];
        patchU32(scratch.dbx(), node + 0x08, i + 1 < layout.nodes.size() ? layout.nodes[i + 1] : 0);
        patchU32(scratch.dbx(), node + 0x0C, i == 0 ? 0 : layout.nodes[i - 1]);
        patchU8(scratch.dbx(), node + 0x11, 1);
        patchU32(scratch.dbx(), entryOffset(node, 0) + 4, 0);
    }
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_TRUE(problems.mention("nested more than 32 levels")) << problems.all.size();
    EXPECT_EQ(back.walk.lostSubtrees, 1u);
    EXPECT_EQ(back.numbers.size(), 32u);
}

TEST(DbxReader, RecordListedTwiceIsReadOnce) {
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), numberedMessages(3));
    patchU32(scratch.dbx(), entryOffset(layout.treeRoot, 2), layout.records[0]);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.numbers, (std::vector<uint32_t>{1, 2}));
    EXPECT_TRUE(problems.mention("listed twice"));
}

TEST(DbxReader, WrongCountsAreReportedNotTrusted) {
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), numberedMessages(30), FixtureOptions{.maxEntriesPerNode = 3});
    // Counts of zero must not stop the walk from descending.
    patchU32(scratch.dbx(), layout.treeRoot + 0x14, 0);
    patchU32(scratch.dbx(), 0xC4, 1000);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_EQ(back.numbers, range(1, 30));
    EXPECT_TRUE(problems.mention("announces 1000 messages"));
}

TEST(DbxReader, NoIndexButMessagesAnnounced) {
    Scratch scratch;
    writeDbx(scratch.dbx(), numberedMessages(3));
    patchU32(scratch.dbx(), 0xE4, 0);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    EXPECT_TRUE(back.numbers.empty());
    EXPECT_EQ(back.walk.lostSubtrees, 1u);
    EXPECT_TRUE(problems.mention("no index"));
}

TEST(DbxReader, ReadsMessagesStoredBeyondTwoGigabytes) {
    // Sparse file: the message segments start above 2 GiB, so 0x04 pointers
    // no longer fit 24 bits and are stored in the data area.
    auto messages = numberedMessages(3, 2000);
    Scratch scratch;
    const FixtureLayout layout =
        writeDbx(scratch.dbx(), messages, FixtureOptions{.messageArea = 0x90000000ull});
    ASSERT_GT(layout.fileSize, 1ull << 31);
    ASSERT_GT(layout.blocks[2].back(), 0x90000000u);
    Problems problems;
    const ReadBack back = readAll(scratch.dbx(), problems);
    for (const auto &m : messages)
        EXPECT_EQ(back.texts.at(m.number), m.text);
    EXPECT_TRUE(problems.mention("larger than 2 GB"));
}

TEST(DbxReader, RandomDamageNeverCrashesOrHangs) {
    // Seeded byte damage at the start of every kind of structure; under the
    // sanitizer build this is a small fuzzing run. Only DamageError may come
    // out of the reader, and it must end.
    const auto messages = numberedMessages(30, 900);
    Scratch scratch;
    const std::string pristine = scratch.dbx("pristine.dbx");
    const FixtureLayout layout = writeDbx(pristine, messages, FixtureOptions{.maxEntriesPerNode = 4});
    const QByteArray original = readWholeFile(QString::fromStdString(pristine));
    std::vector<uint64_t> hotSpots;  // structure starts, where damage matters most
    for (uint32_t a : layout.records)
        hotSpots.push_back(a);
    for (uint32_t a : layout.nodes)
        hotSpots.push_back(a);
    for (const auto &chain : layout.blocks)
        hotSpots.insert(hotSpots.end(), chain.begin(), chain.end());

    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        QByteArray damaged = original;
        for (int i = 0; i < 8; ++i) {
            const uint64_t base = hotSpots[random() % hotSpots.size()];
            const uint64_t at = std::min<uint64_t>(base + random() % 0x30, damaged.size() - 1);
            damaged[static_cast<qsizetype>(at)] = static_cast<char>(random());
        }
        if (round % 10 == 0)
            damaged[static_cast<qsizetype>(0xC4 + random() % 0x24)] = static_cast<char>(random());
        const std::string path = scratch.dbx("damaged.dbx");
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(damaged.constData(), damaged.size());
        }
        Problems problems;
        ReadBack back;
        ASSERT_NO_THROW(back = readAll(path, problems)) << "round " << round;
        EXPECT_LE(back.texts.size(), messages.size());
    }
}
