#include "platform/pst/ndb/trees.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace pw::pst::ndb {

namespace {

constexpr std::uint8_t kDataTreeType = 0x01;
constexpr std::uint8_t kSubnodeType = 0x02;

const BlockEntry &needBlock(const NdbFile &file, std::uint64_t bid, std::uint64_t from) {
    const BlockEntry *block = file.block(bid);
    // Where nothing in the file points at the block (an item's own data),
    // there is no offset worth naming.
    if (!block && from == 0)
        throw Damage(QStringLiteral("damaged data: block %1 is missing from the file").arg(blockKey(bid)), 0);
    if (!block)
        throw Damage(QStringLiteral("damaged data at offset %1 (block %2 is missing from the file)").arg(from).arg(blockKey(bid)), from);
    return *block;
}

} // namespace

DataTree dataTree(const NdbFile &file, std::uint64_t rootBid, Budget &budget) {
    DataTree tree;
    const BlockEntry &root = needBlock(file, rootBid, 0);
    if (!isInternal(root.bid)) {
        budget.charge(root.inflated, root.offset);
        tree.leaves.push_back(&root);
        tree.size = root.inflated;
        return tree;
    }
    const int idSize = file.wide() ? 8 : 4;
    std::unordered_set<std::uint64_t> visited;
    std::vector<std::uint8_t> raw;
    std::uint64_t declared = 0;
    // level: 2 for the root of a two-level tree, 1 for a list of leaves.
    std::function<void(const BlockEntry &, int)> walk = [&](const BlockEntry &block, int expectedLevel) {
        if (!visited.insert(block.bid).second)
            file.damaged(block.offset);
        budget.charge(block.inflated, block.offset);
        file.readBlock(block, raw);
        if (raw.size() < 8 || raw[0] != kDataTreeType)
            file.damaged(block.offset);
        const int level = raw[1];
        const std::size_t count = readLe(raw.data() + 2, 2);
        if (level < 1 || level > 2 || (expectedLevel > 0 && level != expectedLevel) || 8 + count * idSize > raw.size())
            file.damaged(block.offset);
        if (expectedLevel < 0)
            declared = readLe(raw.data() + 4, 4);
        const std::vector<std::uint8_t> entries(raw.begin() + 8, raw.begin() + 8 + static_cast<std::ptrdiff_t>(count * idSize));
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t bid = readLe(entries.data() + i * idSize, idSize);
            const BlockEntry &child = needBlock(file, bid, block.offset);
            if (level == 2) {
                if (!isInternal(child.bid))
                    file.damaged(block.offset);
                walk(child, 1);
            } else {
                if (isInternal(child.bid))
                    file.damaged(block.offset);
                budget.charge(child.inflated, child.offset);
                tree.leaves.push_back(&child);
                tree.size += child.inflated;
            }
        }
    };
    walk(root, -1);
    if (tree.size != declared)
        file.damaged(root.offset);
    return tree;
}

std::vector<std::uint8_t> readData(const NdbFile &file, const DataTree &tree, std::size_t limit) {
    if (tree.size > limit)
        throw Damage(QStringLiteral("damaged data at offset %1 (a value of %2 bytes)").arg(tree.leaves.front()->offset).arg(tree.size),
                     tree.leaves.front()->offset);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(tree.size));
    std::vector<std::uint8_t> scratch;
    std::size_t at = 0;
    for (const BlockEntry *leaf : tree.leaves) {
        file.readBlockInto(*leaf, out.data() + at, scratch);
        at += leaf->inflated;
    }
    return out;
}

namespace {

// Room for a run of blocks: a chunk's payload plus, for each block, its
// trailer and alignment (and a map page now and then), so a chunk is read
// with one call, and so is a whole small tree.
std::size_t runRoom(const DataTree &tree, std::size_t chunk, std::size_t largest) {
    const std::uint64_t whole = tree.size + tree.leaves.size() * 128;
    return static_cast<std::size_t>(std::max<std::uint64_t>(std::min<std::uint64_t>(whole, chunk + chunk / 8 + largest), largest));
}

std::size_t largestLeaf(const DataTree &tree) {
    std::size_t largest = 0;
    for (const BlockEntry *leaf : tree.leaves)
        largest = std::max<std::size_t>(largest, leaf->inflated);
    return largest;
}

} // namespace

bool streamData(const NdbFile &file, const DataTree &tree, std::size_t chunk,
                const std::function<bool(const std::uint8_t *, std::size_t)> &sink) {
    // One buffer per call, sized for the chunk plus one block; reused for
    // every run of blocks, so nothing is allocated or cleared per block.
    const std::size_t capacity = runRoom(tree, chunk, largestLeaf(tree));
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[std::max<std::size_t>(capacity, 1)]);
    std::vector<std::uint8_t> scratch;
    std::size_t filled = 0;
    const std::size_t count = tree.leaves.size();
    for (std::size_t i = 0; i < count;) {
        if (filled + tree.leaves[i]->inflated > capacity) {
            if (!sink(buffer.get(), filled))
                return false;
            filled = 0;
        }
        i += file.readRunInto(tree.leaves.data() + i, count - i, buffer.get() + filled, capacity - filled, scratch, filled);
        if (filled >= chunk) {
            if (!sink(buffer.get(), filled))
                return false;
            filled = 0;
        }
    }
    return filled == 0 || sink(buffer.get(), filled);
}

std::size_t DataReader::read(std::uint8_t *out, std::size_t max) {
    std::size_t done = 0;
    while (done < max) {
        if (m_taken == m_filled) {
            if (m_inline || m_next >= m_tree.leaves.size())
                break;
            if (m_buffer.empty())
                m_buffer.resize(std::max<std::size_t>(runRoom(m_tree, kReaderChunk, largestLeaf(m_tree)), 1));
            m_filled = 0;
            m_taken = 0;
            m_next += m_file->readRunInto(m_tree.leaves.data() + m_next, m_tree.leaves.size() - m_next, m_buffer.data(),
                                          m_buffer.size(), m_scratch, m_filled);
            continue;
        }
        const std::size_t n = std::min(max - done, m_filled - m_taken);
        std::memcpy(out + done, m_buffer.data() + m_taken, n);
        m_taken += n;
        done += n;
    }
    return done;
}

void DataReader::rewind() {
    m_taken = 0;
    if (!m_inline) {
        m_next = 0;
        m_filled = 0;
    }
}

bool DataReader::atEnd() const {
    return m_taken == m_filled && (m_inline || m_next >= m_tree.leaves.size());
}

std::vector<Subnode> subnodeTree(const NdbFile &file, std::uint64_t rootBid, Budget &budget) {
    std::vector<Subnode> out;
    if (blockKey(rootBid) == 0)
        return out;
    const bool wide = file.wide();
    const std::size_t idSize = wide ? 8 : 4;
    const std::size_t headerSize = wide ? 8 : 4;
    std::unordered_set<std::uint64_t> visited;
    std::vector<std::uint8_t> raw;
    std::function<void(std::uint64_t, std::uint64_t, int)> walk = [&](std::uint64_t bid, std::uint64_t from, int expectedLevel) {
        const BlockEntry &block = needBlock(file, bid, from);
        if (!isInternal(block.bid) || !visited.insert(block.bid).second)
            file.damaged(block.offset);
        budget.charge(block.inflated, block.offset);
        file.readBlock(block, raw);
        if (raw.size() < headerSize || raw[0] != kSubnodeType)
            file.damaged(block.offset);
        const int level = raw[1];
        const std::size_t count = readLe(raw.data() + 2, 2);
        const std::size_t entrySize = level == 0 ? 3 * idSize : 2 * idSize;
        if (level > 1 || (expectedLevel >= 0 && level != expectedLevel) || headerSize + count * entrySize > raw.size())
            file.damaged(block.offset);
        const std::vector<std::uint8_t> entries(raw.begin() + static_cast<std::ptrdiff_t>(headerSize),
                                                raw.begin() + static_cast<std::ptrdiff_t>(headerSize + count * entrySize));
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t *e = entries.data() + i * entrySize;
            if (level == 0) {
                out.push_back({static_cast<std::uint32_t>(readLe(e, 4)), readLe(e + idSize, static_cast<int>(idSize)),
                               readLe(e + 2 * idSize, static_cast<int>(idSize))});
            } else {
                walk(readLe(e + idSize, static_cast<int>(idSize)), block.offset, 0);
            }
        }
    };
    walk(rootBid, 0, -1);
    std::stable_sort(out.begin(), out.end(), [](const Subnode &a, const Subnode &b) { return a.nid < b.nid; });
    out.erase(std::unique(out.begin(), out.end(), [](const Subnode &a, const Subnode &b) { return a.nid == b.nid; }), out.end());
    return out;
}

const Subnode *findSubnode(const std::vector<Subnode> &subnodes, std::uint32_t nid) {
    const auto it = std::lower_bound(subnodes.begin(), subnodes.end(), nid, [](const Subnode &s, std::uint32_t id) { return s.nid < id; });
    return it != subnodes.end() && it->nid == nid ? &*it : nullptr;
}

} // namespace pw::pst::ndb
