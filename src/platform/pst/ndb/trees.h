#pragma once
// Data trees (a node's data spread over blocks) and subnode trees (the
// nodes that live inside one node: attachments, tables, large values).
#include "platform/pst/ndb/ndbfile.h"

#include <functional>

namespace pw::pst::ndb {

// The leaf blocks of one data tree, in order.
struct DataTree {
    std::vector<const BlockEntry *> leaves;
    std::uint64_t size = 0; // bytes of data once read
};

// The data tree that starts at `bid`: one block, or a list (of lists) of
// blocks. Every block's size is charged to `budget`; throws Damage when a
// block is missing, damaged, visited twice or the tree is too deep.
DataTree dataTree(const NdbFile &file, std::uint64_t bid, Budget &budget);

// A whole data tree in memory; refuses more than `limit` bytes.
std::vector<std::uint8_t> readData(const NdbFile &file, const DataTree &tree, std::size_t limit);

// Streams a data tree to `sink` in pieces of at least `chunk` bytes where
// the blocks allow, through one buffer; `sink` answers false to stop.
// Answers false when stopped.
bool streamData(const NdbFile &file, const DataTree &tree, std::size_t chunk,
                const std::function<bool(const std::uint8_t *data, std::size_t size)> &sink);

// Reads a data tree's bytes in order, a block at a time, through one
// buffer; for readers that pull (a MIME writer) rather than take pushes.
class DataReader {
public:
    DataReader(const NdbFile &file, DataTree tree) : m_file(&file), m_tree(std::move(tree)) {}
    // Bytes held in memory already (a small value in a heap).
    explicit DataReader(std::vector<std::uint8_t> bytes) : m_buffer(std::move(bytes)), m_inline(true) { m_filled = m_buffer.size(); }

    // Up to `max` bytes; 0 at the end. Throws Damage.
    std::size_t read(std::uint8_t *out, std::size_t max);
    void rewind();
    std::uint64_t size() const { return m_inline ? m_buffer.size() : m_tree.size; }
    bool atEnd() const;

    // Bytes read from the file at a time where the blocks allow.
    static constexpr std::size_t kReaderChunk = 256 * 1024;

private:
    const NdbFile *m_file = nullptr;
    DataTree m_tree;
    std::vector<std::uint8_t> m_buffer;
    std::vector<std::uint8_t> m_scratch;
    std::size_t m_next = 0;   // next leaf to read
    std::size_t m_filled = 0; // bytes in the buffer
    std::size_t m_taken = 0;  // of them already read
    bool m_inline = false;
};

struct Subnode {
    std::uint32_t nid = 0;
    std::uint64_t dataBid = 0;
    std::uint64_t subnodeBid = 0;
};

// The subnodes under `bid` (one or two levels), sorted by id, each id once.
std::vector<Subnode> subnodeTree(const NdbFile &file, std::uint64_t bid, Budget &budget);
const Subnode *findSubnode(const std::vector<Subnode> &subnodes, std::uint32_t nid);

} // namespace pw::pst::ndb
