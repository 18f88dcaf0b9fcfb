// The fixture writer must produce what Outlook Express would: the documented
// two-message example byte for byte, and sound multi-level trees, or every
// other test here proves nothing.

#include "dbxfixture.h"
#include "unfurltesting.h"

#include <gtest/gtest.h>

#include <functional>

#include <QFileInfo>

using namespace unfurl::fixture;
using namespace unfurl::testing;

TEST(DbxFixture, WorkedExampleComesOutByteForByte) {
    Scratch scratch;
    const std::string path = scratch.dbx();
    const FixtureLayout layout = writeDbx(path, workedExample());

    EXPECT_EQ(layout.fileSize, 139376u);
    EXPECT_EQ(QFileInfo(QString::fromStdString(path)).size(), 139376);
    EXPECT_EQ(layout.treeRoot, 0x1E254u);
    EXPECT_EQ(layout.records, (std::vector<uint32_t>{0x2AD4, 0x2B64}));
    EXPECT_EQ(layout.blocks[1], (std::vector<uint32_t>{0xECE4, 0xEEF4}));
    EXPECT_EQ(sha256OfFile(QString::fromStdString(path)),
              QStringLiteral("7857e3312df5f8e4028607ed7b2547af0f81e3fa6aa1130cb332488664d7cc1d"));
}

TEST(DbxFixture, DeepTreeHasConsistentCountsAndParents) {
    Scratch scratch;
    const std::string path = scratch.dbx();
    const FixtureLayout layout = writeDbx(path, numberedMessages(200), FixtureOptions{.maxEntriesPerNode = 3});
    ASSERT_GT(layout.nodes.size(), 40u);

    // Recount every subtree from the file and compare with the stored counts.
    std::function<uint32_t(uint32_t, uint32_t, int &)> count = [&](uint32_t node, uint32_t parent,
                                                                   int &depth) -> uint32_t {
        EXPECT_EQ(readU32(path, node), node);
        EXPECT_EQ(readU32(path, node + 0x0C), parent);
        int below = 0;
        uint32_t total = 0;
        if (const uint32_t left = readU32(path, node + 0x08)) {
            int d = 0;
            EXPECT_EQ(count(left, node, d), readU32(path, node + 0x14));
            total += readU32(path, node + 0x14);
            below = std::max(below, d);
        }
        const unsigned n = readU32(path, node + 0x10) >> 8 & 0xFF;
        EXPECT_LE(n, 3u);
        for (unsigned i = 0; i < n; ++i) {
            ++total;
            if (const uint32_t child = readU32(path, node + 0x18 + 12 * i + 4)) {
                int d = 0;
                EXPECT_EQ(count(child, node, d), readU32(path, node + 0x18 + 12 * i + 8));
                total += readU32(path, node + 0x18 + 12 * i + 8);
                below = std::max(below, d);
            }
        }
        depth = below + 1;
        return total;
    };
    int depth = 0;
    EXPECT_EQ(count(layout.treeRoot, 0, depth), 200u);
    EXPECT_EQ(readU32(path, 0xC4), 200u);
    EXPECT_GE(depth, 4);
}
