// Writes small Outlook Express .dbx files for the .dbx fuzz target's seed
// corpus, with the test suite's fixture writer: the worked example, deeper
// trees, messages without text, scattered blocks, a deleted message.
//
//   make_dbx_seeds <folder>
#include "dbxfixture.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace unfurl::fixture;

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_dbx_seeds <folder>\n");
        return 2;
    }
    const std::string folder = argv[1];

    writeDbx(folder + "/worked-example.dbx", workedExample());

    std::vector<FixtureMessage> many;
    for (uint32_t i = 1; i <= 12; ++i) {
        FixtureMessage m;
        m.number = i;
        m.text = "From: a@example.org\r\nSubject: message " + std::to_string(i) + "\r\n\r\n" +
                 std::string(40 + 97 * i, char('a' + i % 26)) + "\r\n";
        m.subject = "message " + std::to_string(i);
        m.messageId = "<" + std::to_string(i) + "@example.org>";
        m.storeText = i % 5 != 0;
        m.directFlags = i % 3 == 0;
        m.indirectFirstBlock = i % 4 == 0;
        m.deleted = i == 7;
        m.receivedTime = 0x01D0000000000000ull + i;
        many.push_back(m);
    }
    FixtureOptions deep;
    deep.maxEntriesPerNode = 2;
    writeDbx(folder + "/deep-tree.dbx", many, deep);

    FixtureOptions scattered;
    scattered.scatterBlocks = true;
    scattered.indexBeforeText = true;
    scattered.fillBookkeeping = false;
    writeDbx(folder + "/scattered.dbx", many, scattered);

    std::vector<FixtureMessage> one(1);
    one[0].number = 1;
    one[0].text = "Subject: x\r\n\r\ny\r\n";
    writeDbx(folder + "/one.dbx", one);

    writeDbx(folder + "/empty.dbx", std::vector<FixtureMessage>{});
    return 0;
}
