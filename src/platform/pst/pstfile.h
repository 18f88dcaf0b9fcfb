#pragma once
// One mail file opened with libpst, and the thin layer the engine reads it
// through.
//
// libpst reads items, bodies and attachments well, but links its node tree
// by searching the whole tree for each node's parent, which takes time
// growing with the square of the node count on real mailboxes. So the
// engine walks the node B-tree itself, links the tree through a hash map,
// and hands libpst a ready tree: everything else (block index, item
// parsing, attachment data) stays libpst's.
#include "core/codepage.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <libpst/libpst.h>

namespace pw::pst {

// A store's named properties (0x8000 and up) and the ids libpst reads them as.
using NamedIds = std::unordered_map<std::uint16_t, std::uint32_t>;

// Node types, the low five bits of a node id.
inline constexpr std::uint32_t kNodeTypeFolder = 0x02;
inline constexpr std::uint32_t kNodeTypeMessage = 0x04;
inline constexpr std::uint32_t kNodeTypeAssociated = 0x08;
inline constexpr std::uint32_t kMessageStoreNode = 0x21;
inline constexpr std::uint32_t kRootFolderNode = 0x122;

struct ItemDeleter {
    void operator()(pst_item *item) const { pst_freeItem(item); }
};
// A parsed item (message, folder, attached message ...), freed with libpst.
using ParsedItem = std::unique_ptr<pst_item, ItemDeleter>;

class PstFile {
public:
    // Opens and indexes the file; throws pw::Error saying in plain words why
    // it cannot be used ("not a PST or OST file", "the file ends early",
    // "damaged data at offset N").
    explicit PstFile(const QString &path);
    ~PstFile();
    PstFile(const PstFile &) = delete;
    PstFile &operator=(const PstFile &) = delete;

    pst_file *handle() { return &m_file; }
    const QString &path() const { return m_path; }

    // The node with that id; null when the file has none.
    pst_desc_tree *node(std::uint64_t nodeId) const;
    // The children of `node` of one node type, in the file's order.
    static std::vector<pst_desc_tree *> children(const pst_desc_tree *node, std::uint32_t nodeType);

    // Parses a node's item; throws when the item cannot be read.
    ParsedItem parse(pst_desc_tree *node);
    // The display names (0x3001) of a message's attachments, in the order of
    // its attachment subnodes; empty when they cannot be read.
    QStringList attachmentDisplayNames(pst_desc_tree *message, int codepage);
    // Checks the list of blocks that holds an attachment's data before
    // libpst copies it (libpst trusts the counts inside it) and answers the
    // data's total size; 0 when the data is one block. Throws "<what>: ..."
    // when it is damaged or missing.
    std::uint64_t checkDataTree(std::uint64_t blockId, const QString &what);
    // Parses an attached message (method 5) of a parsed item.
    ParsedItem parseAttached(const pst_item_attach &attachment);

private:
    void readNodeTree(std::uint64_t offset, std::uint64_t low, std::uint64_t high, int depth,
                      std::unordered_set<std::uint64_t> &visitedPages);
    void linkNodeTree();
    [[noreturn]] void damaged(std::uint64_t offset) const;

    struct Entry {
        std::uint64_t id;
        std::uint64_t dataBlock;
        std::uint64_t subnodeBlock;
        std::uint32_t parent;
    };

    QString m_path;
    pst_file m_file{};
    std::vector<char> m_readBuffer; // libpst's stream reads through it
    NamedIds m_namedIds;
    bool m_open = false;
    std::uint64_t m_fileSize = 0;
    std::vector<Entry> m_entries;
    std::vector<pst_desc_tree> m_nodes;
    std::unordered_map<std::uint64_t, pst_desc_tree *> m_byId;
    pst_desc_tree *m_top = nullptr;
    pst_desc_tree *m_topTail = nullptr;
};

// Microsoft's FILETIME (100 ns since 1601, UTC) as milliseconds since 1970.
std::int64_t filetimeToMsecs(std::uint64_t filetime);
std::optional<std::uint64_t> filetimeOf(const FILETIME *time);

// A libpst string: UTF-8 when libpst converted it, else 8-bit text in
// `codepage`. Absent strings give nullopt.
std::optional<QString> textOf(const pst_string &value, int codepage);

// Largest body or string the engine accepts from a file; anything larger
// is taken for corruption rather than trusted with memory.
inline constexpr std::size_t kMaxPropertySize = std::size_t(256) * 1024 * 1024;

} // namespace pw::pst
