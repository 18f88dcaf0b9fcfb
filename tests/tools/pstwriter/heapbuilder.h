// The lists-tables-properties layer of the PST writer: heap-on-node blocks,
// B-trees on the heap, property contexts and table contexts. Values too large
// for the heap go to subnodes of the node being built.
#pragma once

#include "ndbwriter.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pstwriter {

// Property types used by the writer.
enum PropType : std::uint16_t {
    PtShort = 0x0002,
    PtLong = 0x0003,
    PtBoolean = 0x000B,
    PtObject = 0x000D,
    PtString8 = 0x001E,
    PtUnicode = 0x001F,
    PtSysTime = 0x0040,
    PtBinary = 0x0102,
};

constexpr std::uint32_t tagOf(std::uint16_t id, std::uint16_t type) { return (std::uint32_t(id) << 16) | type; }

// The node being built: where its large values and child nodes go.
struct NodeContext {
    explicit NodeContext(NdbWriter &writer) : ndb(writer) {}
    NdbWriter &ndb;
    std::vector<SubnodeEntry> subnodes;
    std::uint32_t nextIndex = 0x401;

    std::uint32_t newSubnodeId(std::uint8_t type) { return (nextIndex++ << 5) | type; }
    std::uint64_t writeSubnodes() { return ndb.writeSubnodes(subnodes); }
};

class HeapBuilder {
public:
    explicit HeapBuilder(std::uint8_t clientSig) : m_clientSig(clientSig) {}
    // Returns the heap id of a new allocation (at most kMaxHeapAlloc bytes).
    std::uint32_t allocate(const std::string &data);
    void setRoot(std::uint32_t hid) { m_root = hid; }
    std::vector<std::string> blocks() const;

private:
    struct Block {
        std::string data;                 // allocations back to back
        std::vector<std::uint16_t> ends;  // end offset of each allocation within data
    };
    std::uint8_t m_clientSig;
    std::uint32_t m_root = 0;
    std::vector<Block> m_blocks;
};

// A B-tree on the heap over records of cbKey+cbEnt bytes sorted by key;
// returns the heap id of its header.
std::uint32_t buildBth(HeapBuilder &heap, std::uint8_t cbKey, std::uint8_t cbEnt,
                       const std::vector<std::string> &records);

// Puts a variable-size value on the heap, or in a subnode when too large;
// returns the HNID (0 for an empty value).
std::uint32_t placeValue(HeapBuilder &heap, NodeContext &node, const std::string &value);

class PropertyContextBuilder {
public:
    // value is the stored form (little-endian, UTF-16LE strings).
    void set(std::uint32_t tag, std::string value);
    // Large binary value streamed from its content.
    void setStream(std::uint32_t tag, const Content &content);
    bool has(std::uint16_t id) const;
    std::vector<std::string> build(NodeContext &node) const;

private:
    struct Value {
        std::uint16_t type;
        std::string bytes;
        const Content *content = nullptr;
    };
    std::map<std::uint16_t, Value> m_values;
};

// Rows are encoded as they are added (their variable-size cells go to the
// heap at once), so a table of 100,000 rows stays compact in memory.
class TableBuilder {
public:
    TableBuilder(NodeContext &node, std::vector<std::uint32_t> tags);
    // Cells by tag, in stored form; tags not among the columns are dropped.
    void addRow(std::uint32_t rowId, const std::vector<std::pair<std::uint32_t, std::string>> &cells);
    std::size_t rowCount() const { return m_rowIds.size(); }
    std::vector<std::string> build();

private:
    struct Column {
        std::uint32_t tag;
        std::uint16_t ib;
        std::uint8_t cb;
        std::uint8_t bit;
    };
    NodeContext &m_node;
    HeapBuilder m_heap{0x7C};
    std::vector<Column> m_columns;  // sorted by tag
    std::uint16_t m_end4 = 0, m_end2 = 0, m_end1 = 0, m_rowSize = 0;
    std::vector<std::uint32_t> m_rowIds;
    std::string m_rowData;
};

}  // namespace pstwriter
