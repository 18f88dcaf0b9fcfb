#pragma once
// Stores, folders, messages, recipients and attachments of a PST/OST file,
// read through the node database and its lists and tables.
//
// A message reads what it is asked for: its properties when opened, its
// attachment and recipient tables when first asked, an attachment's data
// only when it is streamed. Every read of one message and what lies under
// it charges one budget, so no message can expand without bound.
#include "platform/pst/ltp/ltp.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace pw::pst::messaging {

// Node types, the low five bits of a node id.
inline constexpr std::uint32_t kNodeTypeFolder = 0x02;
inline constexpr std::uint32_t kNodeTypeMessage = 0x04;
inline constexpr std::uint32_t kNodeTypeAttachment = 0x05;
inline constexpr std::uint32_t kNodeTypeAssociated = 0x08;
inline constexpr std::uint32_t kNodeTypeHierarchyTable = 0x0D;
inline constexpr std::uint32_t kNodeTypeContentsTable = 0x0E;
inline constexpr std::uint32_t kMessageStoreNode = 0x21;
inline constexpr std::uint32_t kNameMapNode = 0x61;
inline constexpr std::uint32_t kRootFolderNode = 0x122;
inline constexpr std::uint32_t kRecipientTableNode = 0x692;
inline constexpr std::uint32_t kAttachmentTableNode = 0x671;

inline std::uint32_t nodeType(std::uint32_t nid) { return nid & 0x1F; }

// UTF-16LE text; a lone surrogate becomes U+FFFD and the text goes on.
QString decodeUtf16(const std::uint8_t *data, std::size_t size);
// A string property as text: UTF-16, or 8-bit text in `codepage`. A
// trailing NUL is dropped.
std::optional<QString> textOf(const ltp::PropValue &value, int codepage);
std::optional<std::int32_t> int32Of(const ltp::PropValue &value);
std::optional<std::uint64_t> int64Of(const ltp::PropValue &value);
std::optional<bool> boolOf(const ltp::PropValue &value);

// One named property of the store's map.
struct NamedProperty {
    QByteArray guid;     // 16 bytes
    std::uint32_t lid = 0;
    QString name;        // for string-named properties; empty for numbered ones
    bool isString = false;
};

class Properties {
public:
    explicit Properties(std::unique_ptr<ltp::PropertyContext> pc, int codepage) : m_pc(std::move(pc)), m_codepage(codepage) {}
    std::optional<ltp::PropValue> get(std::uint16_t id) const { return m_pc->get(id); }
    std::optional<QString> text(std::uint16_t id) const;
    std::optional<std::int32_t> int32(std::uint16_t id) const;
    std::optional<std::uint64_t> time(std::uint16_t id) const;
    std::optional<QByteArray> binary(std::uint16_t id) const;
    const ltp::PropertyContext &context() const { return *m_pc; }
    int codepage() const { return m_codepage; }
    void setCodepage(int codepage) { m_codepage = codepage; }

private:
    std::unique_ptr<ltp::PropertyContext> m_pc;
    int m_codepage;
};

class Store;
class Message;

class Attachment {
public:
    Attachment(std::shared_ptr<const Store> store, ltp::NodeSource node, std::uint32_t nid, int codepage);

    std::uint32_t nid() const { return m_nid; }
    const Properties &properties() const { return m_props; }
    // 0x3705 (1 by value, 5 attached message, 2-4 links, 6 OLE); 0 when absent.
    int method() const;
    // 0x3707, 0x3704, 0x3001 as stored (empty when absent).
    QString longFileName() const;
    QString fileName() const;
    QString displayName() const;
    // Streams the data of a by-value attachment (0x3701) to `sink` in pieces
    // of at least `chunk` bytes where the blocks allow; `sink` answers false
    // to stop, and so does this call then. No data streams nothing. Throws
    // ndb::Damage when the data is damaged.
    bool streamData(std::size_t chunk, const std::function<bool(const std::uint8_t *, std::size_t)> &sink) const;
    // A reader of the same data, which keeps the store open while it lives.
    struct DataSource {
        std::shared_ptr<const Store> store;
        ndb::DataReader reader;
    };
    std::unique_ptr<DataSource> openData() const;
    // Size of the data, without reading it.
    std::uint64_t dataSize() const;
    // Bytes of 0x3701 in one piece (small attachments, tests).
    QByteArray data() const;
    // The attached message of method 5; throws ndb::Damage when damaged.
    std::unique_ptr<Message> attachedMessage() const;

private:
    std::shared_ptr<const Store> m_store;
    Properties m_props;
    std::uint32_t m_nid;
};

struct Recipient {
    QString name;
    QString address;
    QString addressType;
    int type = 1; // 1 To, 2 Cc, 3 Bcc
};

class Message {
public:
    // A message of the store by node id; throws ndb::Damage or pw::Error.
    Message(std::shared_ptr<const Store> store, std::uint32_t nid);
    // An attached message, from its subnode.
    Message(std::shared_ptr<const Store> store, ltp::NodeSource node, int codepage);

    std::uint32_t nid() const { return m_nid; }
    const Properties &properties() const { return m_props; }
    // The attachments' subnode ids, in the order of the attachment table.
    std::vector<std::uint32_t> attachmentIds() const;
    Attachment attachment(std::uint32_t attachmentNid) const;
    std::vector<Recipient> recipients() const;
    const std::shared_ptr<ndb::Budget> &budget() const { return m_node.budget; }

private:
    void init(int storeCodepage);

    std::shared_ptr<const Store> m_store;
    ltp::NodeSource m_node;
    Properties m_props;
    std::uint32_t m_nid = 0;
};

class Store : public std::enable_shared_from_this<Store> {
public:
    // Opens the file; throws pw::Error saying why it cannot be used.
    static std::shared_ptr<Store> open(const QString &path);

    const ndb::NdbFile &file() const { return *m_file; }
    const QString &displayName() const { return m_displayName; }
    // The 16-byte record key (0x0FF9); empty when the store has none.
    const QByteArray &recordKey() const { return m_recordKey; }
    // Node of the IPM subtree (0x35E0); 0 when the store names none.
    std::uint32_t ipmSubtree() const { return m_ipmSubtree; }
    int codepage() const { return m_codepage; }

    // Child nodes of `parent` of one node type, ascending; never `parent` itself.
    std::vector<std::uint32_t> children(std::uint32_t parent, std::uint32_t type) const;
    // The child folders of `folder`: its children in the node tree, then
    // any its hierarchy table lists whose parent field names another folder
    // (damaged, or a cycle), `folder` itself included when it lists itself.
    std::vector<std::uint32_t> childFolders(std::uint32_t folder) const;
    // The messages of `folder`: its children in the node tree, and any its
    // contents table lists that the node tree places elsewhere or lacks
    // (a damaged index entry), ascending. Opening one the file lacks tells
    // the damage rather than leaving the message out without a word.
    std::vector<std::uint32_t> folderMessages(std::uint32_t folder) const;
    // The properties of a top-level node (a folder, the store, ...).
    Properties properties(std::uint32_t nid) const;
    // A folder's display name (0x3001); empty when it cannot be read.
    QString folderName(std::uint32_t nid) const;
    std::shared_ptr<const NamedProperty> named(std::uint16_t id) const;
    std::size_t namedCount() const { return m_named.size(); }
    // A budget for one item: a few times the file's size, so that an item
    // read again stays within it while a crafted fan-out does not.
    std::shared_ptr<ndb::Budget> newBudget() const;

private:
    explicit Store(const QString &path);
    void readNameMap();

    std::unique_ptr<ndb::NdbFile> m_file;
    QString m_displayName;
    QByteArray m_recordKey;
    std::uint32_t m_ipmSubtree = 0;
    int m_codepage = 1252;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> m_children;
    std::unordered_map<std::uint16_t, std::shared_ptr<const NamedProperty>> m_named;
};

} // namespace pw::pst::messaging
