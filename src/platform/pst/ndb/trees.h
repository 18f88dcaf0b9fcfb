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

struct Subnode {
    std::uint32_t nid = 0;
    std::uint64_t dataBid = 0;
    std::uint64_t subnodeBid = 0;
};

// The subnodes under `bid` (one or two levels), sorted by id, each id once.
std::vector<Subnode> subnodeTree(const NdbFile &file, std::uint64_t bid, Budget &budget);
const Subnode *findSubnode(const std::vector<Subnode> &subnodes, std::uint32_t nid);

} // namespace pw::pst::ndb
