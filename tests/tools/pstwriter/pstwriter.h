// A small writer of Unicode (64-bit) Outlook PST files, for test fixtures and
// benchmarks only; with StoreOptions::format = Ost4k, of the 4 KiB-page
// offline stores of Outlook 2013 and later, their data blocks optionally
// zlib-compressed. It writes what readers such as libpff and libpst need: the
// header, node and block B-trees, allocation maps, data and subnode trees,
// heap-on-node property and table contexts, the message store, the root
// folder, the IPM subtree, a search root, the name-to-id map and the table
// templates.
//
// Building a store:
//
//     pstwriter::Store store("Mailbox");                 // store display name
//     pstwriter::Folder &inbox = store.root().addFolder("Inbox");
//     pstwriter::Message m;
//     m.subject = "Report";
//     m.senderName = "Ann";  m.senderAddress = "ann@example.org";
//     m.senderAddressType = "SMTP";
//     m.deliveryTime = pstwriter::utc(2024, 3, 1, 9, 30);
//     m.body = "see attached";
//     m.attachments.push_back(pstwriter::Attachment::file(
//         "report.pdf", pstwriter::Content::generated(50 << 20)));
//     std::uint32_t nid = inbox.addMessage(std::move(m));
//     store.write("/tmp/fixture.pst");                   // throws on failure
//     std::string id = store.entryId(nid);               // Outlook's EntryID, upper hex
//
// root() is the IPM subtree ("Top of Personal Folders"); readers show its
// children as the store's top-level folders. By default the store also has a
// "Deleted Items" folder as the first child of root(), as Outlook's stores do
// (StoreOptions::deletedItems turns it off).
//
// Node ids are given out when folders and messages are added, in that order,
// so readers list folders and messages in the order they were added.
//
// Attachment contents are streamed when the file is written: a generated or
// file-backed content of any size never sits whole in memory. A store can be
// written more than once, and changed between writes.
//
// extraProperties are written last and replace a named field's property of
// the same id (e.g. an 8-bit subject, or a subject with a prefix marker).
//
// Big stores: libpff places each message under its folder by a depth-first
// search over the items it already placed (in node id order) and a sorted
// insert among the folder's children, so its open time grows with the square
// of a folder's message count and of the messages placed before the folder:
// 20,000 messages in one folder take about 5 s to open, 100,000 minutes.
// Spread over 100 folders and added last folder first (as mkpst does),
// 100,000 messages open in about a second.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pstwriter {

using Time = std::chrono::sys_seconds;

// A UTC point in time, for delivery and submit times.
Time utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

enum class Encryption { None, Compressible, High };

// Pst: the Unicode PST layout with 512-byte pages. Ost4k: the layout of the
// offline stores Outlook 2013 and later write (4 KiB pages, larger blocks,
// optionally zlib-compressed data blocks).
enum class Format { Pst, Ost4k };

// The bytes of an attachment: held in memory, generated on the fly from a
// seed, or read from a file while the store is written.
class Content {
public:
    Content();  // empty
    static Content bytes(std::string data);
    // Deterministic pseudo-random bytes; the same size and seed give the
    // same bytes. Read them back with open() to compare.
    static Content generated(std::uint64_t size, std::uint32_t seed = 1);
    // Throws std::runtime_error when the file cannot be read.
    static Content file(const std::string &path);

    std::uint64_t size() const { return m_size; }

    class Reader {
    public:
        virtual ~Reader() = default;
        // Fills up to max bytes; returns 0 at the end.
        virtual std::size_t read(char *buffer, std::size_t max) = 0;
    };
    std::unique_ptr<Reader> open() const;
    // Whole content in memory; meant for small contents and tests.
    std::string readAll() const;

private:
    enum class Kind { Bytes, Generated, File };
    Kind m_kind = Kind::Bytes;
    std::shared_ptr<const std::string> m_bytes;
    std::uint64_t m_size = 0;
    std::uint32_t m_seed = 0;
    std::string m_path;
};

// A raw extra property, for cases the named fields do not cover (8-bit
// strings, a subject with a prefix marker, fallback-only properties).
struct Property {
    std::uint32_t tag = 0;  // (id << 16) | type
    std::string value;      // the value as stored: little-endian, UTF-16LE for PT_UNICODE

    static Property unicode(std::uint16_t id, const std::string &utf8);
    static Property string8(std::uint16_t id, std::string bytes);
    static Property binary(std::uint16_t id, std::string bytes);
    static Property int32(std::uint16_t id, std::int32_t v);
    static Property boolean(std::uint16_t id, bool v);
    static Property time(std::uint16_t id, Time t);
    // PT_UNICODE from UTF-16 code units as given, unpaired surrogates too.
    static Property utf16Units(std::uint16_t id, const std::u16string &units);
};

enum class RecipientType { To = 1, Cc = 2, Bcc = 3 };

struct Recipient {
    std::string name;
    std::string address;
    std::string addressType = "SMTP";
    RecipientType type = RecipientType::To;
};

struct Message;

// Deliberate faults and hostile shapes, for testing how a reader copes with
// damaged stores. Ordinary stores leave a message's craft at None.
enum class Craft {
    None,
    // The subnode entry of the message's first attachment names a message's
    // subnode tree as its own subtree. Each SubnodeCycle message of a folder
    // points at the next one's tree (the last at the first's), so one such
    // message points at itself and two point at each other.
    SubnodeCycle,
    // The message's subnode tree gains an entry heading a chain of
    // craftDepth subnode blocks, each holding two entries whose subtree is
    // the next block: a reader that expands shared subtrees without
    // remembering them visits 2^craftDepth entries.
    SubnodeFanOut,
    // The data tree of the message's first by-value attachment lists itself
    // in place of its last data block (the content must span two blocks).
    DataTreeCycle,
    // The message's property context is a block the file does not hold.
    MissingData,
    // The first data block of the message's first by-value attachment holds
    // zlib bytes that do not inflate (its checksum matches them). Needs a
    // store with compressed blocks and content that compresses.
    CorruptCompressedData,
    // The message's node reuses the blocks of the message added before it in
    // the same folder (legal: blocks may be shared). Give it equal contents.
    ShareWithPrevious,
};

struct Attachment {
    enum class Kind { ByValue, Embedded, Link };
    Kind kind = Kind::ByValue;
    std::optional<std::string> fileName;      // PR_ATTACH_FILENAME 0x3704
    std::optional<std::string> longFileName;  // PR_ATTACH_LONG_FILENAME 0x3707
    std::optional<std::string> displayName;   // PR_DISPLAY_NAME 0x3001
    std::optional<std::string> mimeType;      // PR_ATTACH_MIME_TAG 0x370E
    Content content;                          // ByValue: PR_ATTACH_DATA_BIN 0x3701
    std::shared_ptr<Message> message;         // Embedded: PR_ATTACH_DATA_OBJ 0x3701
    std::string linkPath;                     // Link: 0x3708 and 0x370D
    std::vector<Property> extraProperties;

    // By value; name goes to both the short and the long file name.
    static Attachment file(const std::string &name, Content content);
    static Attachment embedded(Message message, const std::string &displayName);
    static Attachment link(const std::string &name, const std::string &path);
};

struct Message {
    // Each optional field left empty is not written at all.
    std::optional<std::string> messageClass = std::string("IPM.Note");  // 0x001A
    std::optional<std::string> subject;            // 0x0037 (and 0x0070)
    std::optional<std::string> senderName;         // 0x0C1A
    std::optional<std::string> senderAddress;      // 0x0C1F
    std::optional<std::string> senderAddressType;  // 0x0C1E, "SMTP" or "EX"
    // Outlook also writes the "sent representing" trio (0x0042, 0x0065,
    // 0x0064) with the sender's values; turn off to leave only 0x0C1A..
    bool copySenderToRepresenting = true;
    std::optional<Time> deliveryTime;              // 0x0E06
    std::optional<Time> submitTime;                // 0x0039
    std::optional<Time> creationTime;              // 0x3007
    std::optional<std::string> body;               // 0x1000, UTF-8 in, UTF-16 stored
    std::optional<std::string> htmlBody;           // 0x1013, bytes as given
    std::optional<std::int32_t> codePage;          // 0x3FFD
    std::optional<std::string> transportHeaders;   // 0x007D
    bool read = true;                              // MSGFLAG_READ in 0x0E07
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
    std::vector<Property> extraProperties;
    Craft craft = Craft::None;
    int craftDepth = 0;  // SubnodeFanOut: blocks in the chain
};

class Store;

class Folder {
public:
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    const std::string &name() const { return m_name; }
    std::uint32_t nodeId() const { return m_nid; }

    // Adds a subfolder; containerClass empty leaves PR_CONTAINER_CLASS out.
    Folder &addFolder(const std::string &name, const std::string &containerClass = "IPF.Note");
    // Adds a message and returns its node id (the last 4 bytes of its EntryID).
    std::uint32_t addMessage(Message message);

    const std::deque<std::unique_ptr<Folder>> &folders() const { return m_folders; }
    const std::deque<Message> &messages() const { return m_messages; }
    const std::vector<std::uint32_t> &messageIds() const { return m_messageIds; }
    const std::string &containerClass() const { return m_containerClass; }

    // Deliberate faults. The node's parent field names `nid` instead of the
    // folder it was added to (the folder's own id makes it its own parent).
    void setParentId(std::uint32_t nid) { m_parentOverride = nid; }
    // Lists a folder already in the store as one more child of this one in
    // the hierarchy table (itself: a folder that is its own child).
    void linkFolder(const Folder &other) { m_links.push_back(&other); }
    const std::optional<std::uint32_t> &parentOverride() const { return m_parentOverride; }
    const std::vector<const Folder *> &links() const { return m_links; }

private:
    friend class Store;
    Folder(Store &store, std::string name, std::string containerClass, std::uint32_t nid);

    Store &m_store;
    std::string m_name;
    std::string m_containerClass;
    std::uint32_t m_nid;
    std::deque<std::unique_ptr<Folder>> m_folders;
    std::deque<Message> m_messages;
    std::vector<std::uint32_t> m_messageIds;
    std::optional<std::uint32_t> m_parentOverride;
    std::vector<const Folder *> m_links;
};

struct StoreOptions {
    Encryption encryption = Encryption::None;
    Format format = Format::Pst;
    // Ost4k only: each external block is stored zlib-compressed when that
    // makes it smaller (the trailer and block index keep the inflated size).
    // An encoding, if set too, applies to the compressed bytes.
    bool compressBlocks = false;
    bool deletedItems = true;  // "Deleted Items" as the first child of root()
    // PR_RECORD_KEY of the message store; empty derives one from the name.
    std::optional<std::array<std::uint8_t, 16>> recordKey;
    // Offline stores of newer Outlook lack PR_IPM_SUBTREE_ENTRYID.
    bool writeIpmSubtreeEntryId = true;
    // Sets the reserved low bit in each message's reference to its
    // attachment table, as some real stores have it; readers must ignore it.
    bool reservedBitOnAttachmentTables = false;
};

class Store {
public:
    explicit Store(std::string displayName, StoreOptions options = {});
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const std::string &displayName() const { return m_displayName; }
    const StoreOptions &options() const { return m_options; }
    Folder &root() { return *m_ipmSubtree; }
    const Folder &root() const { return *m_ipmSubtree; }
    Folder *deletedItems() { return m_deletedItems; }
    const std::array<std::uint8_t, 16> &recordKey() const { return m_recordKey; }

    // Outlook's EntryID of a folder or message: 4 zero flag bytes, the record
    // key, the node id little-endian, as upper-case hex.
    std::string entryId(std::uint32_t nodeId) const;

    // Writes the whole store; throws std::runtime_error saying what failed.
    // A partly written file is removed.
    void write(const std::string &path) const;

    // Fixed node ids of the store's own folders.
    static constexpr std::uint32_t kRootFolderId = 0x122;
    std::uint32_t ipmSubtreeId() const { return m_ipmSubtree->nodeId(); }
    std::uint32_t searchRootId() const { return m_searchRoot->nodeId(); }

private:
    friend class Folder;
    std::uint32_t newFolderId();
    std::uint32_t newMessageId();

    std::string m_displayName;
    StoreOptions m_options;
    std::array<std::uint8_t, 16> m_recordKey{};
    std::uint32_t m_nextFolderIndex = 0x401;
    std::uint32_t m_nextMessageIndex = 0x10001;
    std::unique_ptr<Folder> m_rootFolder;  // the hidden root, node 0x122
    Folder *m_ipmSubtree = nullptr;
    Folder *m_searchRoot = nullptr;
    Folder *m_deletedItems = nullptr;
};

}  // namespace pstwriter
