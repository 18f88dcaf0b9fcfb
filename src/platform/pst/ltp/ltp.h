#pragma once
// The lists, tables and properties of one node: the heap-on-node, the
// B-tree-on-heap, property contexts and table contexts.
//
// Every offset and count read from the heap is checked against the heap's
// own pages before use; tree walks keep the items they visited.
#include "platform/pst/ndb/trees.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace pw::pst::ltp {

using Bytes = std::vector<std::uint8_t>;

// Largest single value read into memory; a larger one is taken for damage.
inline constexpr std::size_t kMaxValueSize = std::size_t(256) * 1024 * 1024;

// A node's subnode list, read when first asked for (a list of mail needs
// only the messages' own properties) and shared by every copy of the node.
class SubnodeList {
public:
    SubnodeList() = default;
    SubnodeList(const ndb::NdbFile &file, std::uint64_t bid, std::shared_ptr<ndb::Budget> budget);
    // Throws ndb::Damage when the list is damaged.
    const std::vector<ndb::Subnode> &get() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// The data and subnodes of one node, and the budget its reads charge.
struct NodeSource {
    const ndb::NdbFile *file = nullptr;
    std::uint64_t dataBid = 0;
    SubnodeList subnodeList;
    std::shared_ptr<ndb::Budget> budget;

    const std::vector<ndb::Subnode> &subnodes() const { return subnodeList.get(); }
};

// A node's data and (when first needed) its subnode list; throws ndb::Damage.
NodeSource openNode(const ndb::NdbFile &file, std::uint64_t dataBid, std::uint64_t subnodeBid,
                    std::shared_ptr<ndb::Budget> budget);

class Heap {
public:
    // Reads the heap of the node's data tree; throws ndb::Damage.
    explicit Heap(NodeSource node);

    std::uint8_t clientSignature() const { return m_clientSignature; }
    std::uint32_t userRoot() const { return m_userRoot; }
    // The bytes of a heap item; empty for id 0; throws on a bad id.
    std::pair<const std::uint8_t *, std::size_t> item(std::uint32_t hid) const;

    const NodeSource &node() const { return m_node; }
    // The bytes a heap-or-node id names: a heap item, or a subnode's data.
    Bytes value(std::uint32_t hnid) const;
    std::uint64_t offsetOf(std::uint32_t pageIndex) const;

private:
    NodeSource m_node;
    Bytes m_data;
    struct Page {
        std::size_t start;
        std::size_t size;
        std::uint64_t offset; // in the file, for reports
    };
    std::vector<Page> m_pages;
    std::uint8_t m_clientSignature = 0;
    std::uint32_t m_userRoot = 0;
};

// The records of a B-tree-on-heap, in key order: key bytes then data bytes.
struct BthRecords {
    std::size_t keySize = 0;
    std::size_t dataSize = 0;
    std::vector<const std::uint8_t *> records;
};
BthRecords readBth(const Heap &heap, std::uint32_t headerHid);

// Property types that matter to the reader.
enum PropType : std::uint16_t {
    PtInt16 = 0x0002,
    PtInt32 = 0x0003,
    PtFloat = 0x0004,
    PtDouble = 0x0005,
    PtCurrency = 0x0006,
    PtAppTime = 0x0007,
    PtError = 0x000A,
    PtBoolean = 0x000B,
    PtObject = 0x000D,
    PtInt64 = 0x0014,
    PtString8 = 0x001E,
    PtUnicode = 0x001F,
    PtSysTime = 0x0040,
    PtGuid = 0x0048,
    PtBinary = 0x0102,
};

// A property's value as stored: inline bytes, or where to find them.
struct PropValue {
    std::uint16_t type = 0;
    Bytes bytes;
};

class PropertyContext {
public:
    explicit PropertyContext(NodeSource node);

    // The stored value of property `id`; nullopt when absent. Throws
    // ndb::Damage when the value's data is damaged.
    std::optional<PropValue> get(std::uint16_t id) const;
    // The stored type and heap-or-node id of a by-reference property (or
    // the inline value); nullopt when absent.
    std::optional<std::pair<std::uint16_t, std::uint32_t>> reference(std::uint16_t id) const;
    const Heap &heap() const { return *m_heap; }
    // Ids and types of every property, in id order.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> list() const;
    const NodeSource &node() const { return m_heap->node(); }

private:
    std::unique_ptr<Heap> m_heap;
    BthRecords m_records;
};

class TableContext {
public:
    explicit TableContext(NodeSource node);

    std::size_t rowCount() const { return m_rowCount; }
    // The value of column `tag` (id << 16 | type) in row `row`; nullopt when
    // the table has no such column or the row leaves the cell empty.
    std::optional<PropValue> cell(std::size_t row, std::uint32_t tag) const;
    // The row's id (the 0x67F2 column), which names the row's subnode.
    std::uint32_t rowId(std::size_t row) const;
    bool hasColumn(std::uint32_t tag) const;

private:
    struct Column {
        std::uint32_t tag;
        std::uint16_t offset;
        std::uint8_t size;
        std::uint8_t bit;
    };
    const std::uint8_t *rowData(std::size_t row) const;

    std::unique_ptr<Heap> m_heap;
    std::vector<Column> m_columns;
    std::size_t m_rowSize = 0;
    std::size_t m_cebOffset = 0;
    Bytes m_rows;
    std::vector<std::size_t> m_rowStarts;
    std::size_t m_rowCount = 0;
};

// The row ids a table context's row index lists, in key order, read from
// its heap alone (not its rows); throws ndb::Damage.
std::vector<std::uint32_t> tableRowIds(NodeSource node);

// Bytes an inline value of this type takes (0: stored by reference).
std::size_t inlineSize(std::uint16_t type);

} // namespace pw::pst::ltp
