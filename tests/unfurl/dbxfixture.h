#pragma once
// Writes Outlook Express 5/6 message .dbx files from a list of messages, laid
// out the way Outlook Express lays out a folder: variable segments holding the
// message-info records, message segments of 120 data blocks, tree segments of
// 25 index nodes. Tests corrupt the result with the patch helpers, guided by
// the returned layout.

#include <cstdint>
#include <string>
#include <vector>

namespace unfurl::fixture {

struct FixtureMessage {
    uint32_t number = 0;
    std::string text;             // the raw RFC 822 text, stored unchanged
    uint32_t flags = 0x81;        // stored, read
    uint64_t sentTime = 0;        // FILETIME; 0 leaves the field out
    uint64_t receivedTime = 0;    // FILETIME; 0 leaves the field out
    std::string messageId;        // strings: empty leaves the field out
    std::string subject;
    std::string displayFrom;
    std::string emailFrom;
    bool storeText = true;            // false: no index 0x04, no data blocks
    bool directFlags = false;         // flags as a direct entry
    bool indirectFirstBlock = false;  // index 0x04 in the data area
    bool deleted = false;             // laid out, then freed and left out of the index
};

struct FixtureOptions {
    unsigned maxEntriesPerNode = 0x33;  // smaller values give deeper trees
    std::string folderName = "Inbox";
    bool fillBookkeeping = true;        // the header fields readers ignore
    // When non-zero, the message segments start at this offset instead of
    // right after the variable segments (the gap stays a sparse hole), so
    // files beyond 2 GB cost no disk space.
    uint64_t messageArea = 0;
    bool scatterBlocks = false;         // store each message's blocks in reverse order
    bool indexBeforeText = false;       // tree segments before the message segments
};

struct FixtureLayout {
    uint64_t fileSize = 0;
    uint32_t treeRoot = 0;
    std::vector<uint32_t> records;              // per message given, its record
    std::vector<std::vector<uint32_t>> blocks;  // per message given, its chain in order
    std::vector<uint32_t> nodes;                // index nodes, root first
};

// Supplies messages one at a time, so a generated file of any size never has
// to be in memory. textOf() must fill text with textSize(i) bytes.
class MessageSource {
public:
    virtual ~MessageSource() = default;
    virtual size_t count() const = 0;
    virtual FixtureMessage messageAt(size_t i) const = 0;  // text may be left empty
    virtual uint32_t textSize(size_t i) const = 0;
    virtual void textOf(size_t i, std::string &text) const = 0;
};

FixtureLayout writeDbx(const std::string &path, const MessageSource &source,
                       const FixtureOptions &options = {});
FixtureLayout writeDbx(const std::string &path, const std::vector<FixtureMessage> &messages,
                       const FixtureOptions &options = {});

// The two messages of the documented two-message example file.
std::vector<FixtureMessage> workedExample();

// Damage helpers.
void patchU32(const std::string &path, uint64_t offset, uint32_t value);
void patchU8(const std::string &path, uint64_t offset, uint8_t value);
uint32_t readU32(const std::string &path, uint64_t offset);
void truncateFile(const std::string &path, uint64_t size);

} // namespace unfurl::fixture
