#pragma once
// Reader for Outlook Express 5/6 message .dbx files. It finds the live
// messages by walking the index tree from the header (never by scanning for
// objects, which would bring back deleted ones) and streams each message's
// text block by block. Damage to one structure costs only what hangs off it;
// it is reported through the problem sink and the walk goes on.

#include "unfurl/addressset.h"
#include "unfurl/pagedfile.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace unfurl {

enum class DbxKind {
    MessageStore,     // a mail or news folder: what unfurl converts
    FolderList,       // Folders.dbx
    Pop3Uidl,         // Pop3uidl.dbx
    Offline,          // Offline.dbx
    UnknownDatabase,  // Outlook Express database of another kind
    OutlookExpress4,  // an OE4 .mbx mailbox, a different format
    NotDbx,
};

// Tells the kind of file from its first bytes (fewer than 20 is fine).
DbxKind classifyDbx(const unsigned char *bytes, size_t length);
// What to tell a user who handed us a file of this kind.
std::string describeDbxKind(DbxKind kind);

enum class Severity {
    Note,     // worth saying with --verbose only
    Warning,  // something is odd, nothing was lost
    Error,    // something was lost
};
using ProblemSink = std::function<void(Severity, const std::string &)>;

struct MessageRecord {
    uint32_t address = 0;
    std::optional<uint32_t> number;      // index 0x00
    std::optional<uint32_t> flags;       // index 0x01
    std::optional<uint32_t> firstBlock;  // index 0x04; absent or 0: no text stored
    std::optional<uint32_t> size;        // index 0x11, a hint only
};

class DbxReader {
public:
    // Opens the file and checks its header. Throws BadInputError when it is
    // not an Outlook Express message .dbx (the text says what it is instead).
    DbxReader(const std::string &path, ProblemSink problems);

    uint64_t fileSize() const { return m_file.size(); }
    // The message count of the header; 0 when it is more than the file could
    // hold (a damaged count says nothing about what is missing).
    uint32_t announcedCount() const { return m_countIgnored ? 0 : m_announcedCount; }
    // The header's message count was too large to be believed.
    bool countIgnored() const { return m_countIgnored; }

    struct WalkResult {
        uint64_t recordsFound = 0;  // distinct record addresses handed out
        uint64_t lostSubtrees = 0;  // parts of the index that could not be read
    };
    // Walks the index tree in order (ascending message number in a sound
    // file) and calls onRecord once per distinct record address. Exceptions
    // other than DamageError thrown by onRecord end the walk and propagate.
    WalkResult walk(const std::function<void(uint32_t address)> &onRecord);

    // Reads one message-info record. Throws DamageError when it is unusable.
    MessageRecord readRecord(uint32_t address);

    // Streams the text that starts at firstBlock to sink, one block's used
    // bytes per call, and returns the total. Throws DamageError when the
    // chain breaks; what was already passed to sink is then incomplete.
    uint64_t readText(uint32_t firstBlock,
                      const std::function<void(const char *data, size_t length)> &sink);

private:
    struct NodeWalk;
    uint64_t walkNode(uint32_t node, uint32_t parent, int depth, NodeWalk &state);
    void walkChild(uint32_t child, uint32_t parent, uint32_t expectedCount, int depth,
                   NodeWalk &state, uint64_t &found);
    void requireObject(uint32_t address, uint64_t length, const char *what) const;

    PagedFile m_file;
    ProblemSink m_problems;
    uint32_t m_announcedCount = 0;
    bool m_countIgnored = false;
    uint64_t m_maxRecords = 0;  // what the file's size leaves room for
    uint32_t m_treeRoot = 0;
    uint64_t m_bodyStart = 0;
    std::vector<uint32_t> m_chainBlocks;
    AddressSet m_chainSeen;
};

// "0x2AD4", for messages about file positions.
std::string hexAddress(uint64_t address);

} // namespace unfurl
