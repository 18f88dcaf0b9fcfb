#include "heapbuilder.h"

#include <algorithm>
#include <stdexcept>

namespace pstwriter {

namespace {

void append16(std::string &s, std::uint16_t v) {
    s.push_back(char(v));
    s.push_back(char(v >> 8));
}
void append32(std::string &s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(char(v >> (8 * i)));
}
void set16(std::string &s, std::size_t at, std::uint16_t v) {
    s[at] = char(v);
    s[at + 1] = char(v >> 8);
}

// Block 0 opens with the heap header, blocks 8, 136, 264, ... with a fill
// bitmap for the next 128 blocks, the others with just the map offset.
bool isBitmapBlock(std::size_t index) { return index >= 8 && (index - 8) % 128 == 0; }

std::size_t headerSize(std::size_t index) {
    if (index == 0)
        return 12;
    return isBitmapBlock(index) ? 66 : 2;
}

std::size_t mapSize(std::size_t allocations) { return 4 + 2 * (allocations + 1); }

std::uint8_t fillLevel(std::size_t freeBytes) {
    static const std::size_t limits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
    for (std::uint8_t i = 0; i < 15; ++i) {
        if (freeBytes >= limits[i])
            return i;
    }
    return 15;
}

bool isFixed(std::uint16_t type) {
    return type == PtShort || type == PtLong || type == 0x0004 || type == 0x000A || type == PtBoolean;
}

std::uint8_t cellSize(std::uint16_t type) {
    switch (type) {
    case PtShort:
        return 2;
    case PtBoolean:
        return 1;
    case PtLong:
    case 0x0004:
    case 0x000A:
        return 4;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case PtSysTime:
        return 8;
    default:
        return 4;  // HNID of a variable-size value
    }
}

}  // namespace

std::uint32_t HeapBuilder::allocate(const std::string &data) {
    if (data.size() > kMaxHeapAlloc)
        throw std::logic_error("pstwriter: heap allocation too large");
    auto fits = [&](std::size_t index, const Block &b) {
        const std::size_t used = headerSize(index) + b.data.size() + data.size();
        return b.ends.size() < 2000 && used + 1 + mapSize(b.ends.size() + 1) <= kMaxBlockData;
    };
    if (m_blocks.empty() || !fits(m_blocks.size() - 1, m_blocks.back())) {
        if (m_blocks.size() >= 0xFFFF)
            throw std::runtime_error("pstwriter: heap too large");
        m_blocks.emplace_back();
    }
    Block &b = m_blocks.back();
    b.data += data;
    b.ends.push_back(std::uint16_t(b.data.size()));
    const std::uint32_t blockIndex = std::uint32_t(m_blocks.size() - 1);
    return (blockIndex << 16) | (std::uint32_t(b.ends.size()) << 5);
}

std::vector<std::string> HeapBuilder::blocks() const {
    std::vector<std::string> out;
    if (m_blocks.empty())
        throw std::logic_error("pstwriter: empty heap");
    std::vector<std::uint8_t> levels;
    for (std::size_t i = 0; i < m_blocks.size(); ++i) {
        const Block &b = m_blocks[i];
        const std::size_t header = headerSize(i);
        std::string block(header, '\0');
        block += b.data;
        if (block.size() % 2)
            block.push_back('\0');
        const std::size_t mapAt = block.size();
        append16(block, std::uint16_t(b.ends.size()));
        append16(block, 0);
        append16(block, std::uint16_t(header));
        for (std::uint16_t end : b.ends)
            append16(block, std::uint16_t(header + end));
        set16(block, 0, std::uint16_t(mapAt));
        if (i == 0) {
            block[2] = char(0xEC);
            block[3] = char(m_clientSig);
            block[4] = char(m_root);
            block[5] = char(m_root >> 8);
            block[6] = char(m_root >> 16);
            block[7] = char(m_root >> 24);
        }
        levels.push_back(fillLevel(kMaxBlockData - block.size()));
        out.push_back(std::move(block));
    }
    auto writeLevels = [&](std::string &block, std::size_t at, std::size_t first, std::size_t count) {
        for (std::size_t k = 0; k < count && first + k < levels.size(); ++k) {
            const std::uint8_t v = levels[first + k];
            block[at + k / 2] = char(std::uint8_t(block[at + k / 2]) | (k % 2 ? v << 4 : v));
        }
    };
    writeLevels(out[0], 8, 0, 8);
    for (std::size_t i = 8; i < out.size(); i += 128)
        writeLevels(out[i], 2, i, 128);
    return out;
}

std::uint32_t buildBth(HeapBuilder &heap, std::uint8_t cbKey, std::uint8_t cbEnt,
                       const std::vector<std::string> &records) {
    std::uint32_t root = 0;
    std::uint8_t levels = 0;
    if (!records.empty()) {
        struct Entry {
            std::string key;
            std::uint32_t hid;
        };
        std::vector<Entry> level;
        const std::size_t perLeaf = kMaxHeapAlloc / (cbKey + cbEnt);
        for (std::size_t i = 0; i < records.size(); i += perLeaf) {
            std::string node;
            const std::size_t n = std::min(perLeaf, records.size() - i);
            for (std::size_t k = 0; k < n; ++k)
                node += records[i + k];
            level.push_back({records[i].substr(0, cbKey), heap.allocate(node)});
        }
        const std::size_t perIndex = kMaxHeapAlloc / (cbKey + 4u);
        while (level.size() > 1) {
            std::vector<Entry> upper;
            for (std::size_t i = 0; i < level.size(); i += perIndex) {
                std::string node;
                const std::size_t n = std::min(perIndex, level.size() - i);
                for (std::size_t k = 0; k < n; ++k) {
                    node += level[i + k].key;
                    append32(node, level[i + k].hid);
                }
                upper.push_back({level[i].key, heap.allocate(node)});
            }
            level = std::move(upper);
            ++levels;
        }
        root = level.front().hid;
    }
    std::string header;
    header.push_back(char(0xB5));
    header.push_back(char(cbKey));
    header.push_back(char(cbEnt));
    header.push_back(char(levels));
    append32(header, root);
    return heap.allocate(header);
}

std::uint32_t placeValue(HeapBuilder &heap, NodeContext &node, const std::string &value) {
    if (value.empty())
        return 0;
    if (value.size() <= kMaxHeapAlloc)
        return heap.allocate(value);
    const std::uint32_t nid = node.newSubnodeId(0x1F);
    node.subnodes.push_back({nid, node.ndb.writeData(value), 0});
    return nid;
}

void PropertyContextBuilder::set(std::uint32_t tag, std::string value) {
    m_values[std::uint16_t(tag >> 16)] = Value{std::uint16_t(tag), std::move(value), nullptr};
}

void PropertyContextBuilder::setStream(std::uint32_t tag, const Content &content) {
    m_values[std::uint16_t(tag >> 16)] = Value{std::uint16_t(tag), {}, &content};
}

bool PropertyContextBuilder::has(std::uint16_t id) const { return m_values.count(id) != 0; }

std::vector<std::string> PropertyContextBuilder::build(NodeContext &node) const {
    HeapBuilder heap(0xBC);
    std::vector<std::string> records;
    for (const auto &[id, v] : m_values) {
        std::uint32_t hnid = 0;
        if (isFixed(v.type)) {
            std::string fixed = v.bytes;
            fixed.resize(4, '\0');
            hnid = std::uint32_t(std::uint8_t(fixed[0])) | std::uint32_t(std::uint8_t(fixed[1])) << 8 |
                   std::uint32_t(std::uint8_t(fixed[2])) << 16 | std::uint32_t(std::uint8_t(fixed[3])) << 24;
        } else if (v.content && v.content->size() > kMaxHeapAlloc) {
            // Streamed block by block: a big attachment never sits in memory.
            NdbWriter::Stream stream(node.ndb);
            auto reader = v.content->open();
            std::string chunk(64 * 1024, '\0');
            std::uint64_t total = 0;
            while (std::size_t n = reader->read(chunk.data(), chunk.size())) {
                stream.append(chunk.data(), n);
                total += n;
            }
            if (total != v.content->size())
                throw std::runtime_error("pstwriter: attachment content changed size while being written");
            hnid = node.newSubnodeId(0x1F);
            node.subnodes.push_back({hnid, stream.finish(), 0});
        } else {
            hnid = placeValue(heap, node, v.content ? v.content->readAll() : v.bytes);
        }
        std::string rec;
        append16(rec, id);
        append16(rec, v.type);
        append32(rec, hnid);
        records.push_back(std::move(rec));
    }
    heap.setRoot(buildBth(heap, 2, 6, records));
    return heap.blocks();
}

TableBuilder::TableBuilder(NodeContext &node, std::vector<std::uint32_t> tags) : m_node(node) {
    const std::uint32_t rowId = tagOf(0x67F2, PtLong), rowVer = tagOf(0x67F3, PtLong);
    std::erase_if(tags, [&](std::uint32_t t) { return t == rowId || t == rowVer; });
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    // Row id and version lead every row; the rest follow by size, then tag.
    m_columns.push_back({rowId, 0, 4, 0});
    m_columns.push_back({rowVer, 4, 4, 1});
    std::uint8_t bit = 2;
    for (std::uint32_t t : tags)
        m_columns.push_back({t, 0, cellSize(std::uint16_t(t)), bit++});
    std::uint16_t at = 8;
    for (std::uint8_t size : {8, 4, 2, 1}) {
        for (std::size_t i = 2; i < m_columns.size(); ++i) {
            if (m_columns[i].cb == size) {
                m_columns[i].ib = at;
                at = std::uint16_t(at + size);
            }
        }
        if (size == 4)
            m_end4 = at;
        if (size == 2)
            m_end2 = at;
        if (size == 1)
            m_end1 = at;
    }
    m_rowSize = std::uint16_t(m_end1 + (m_columns.size() + 7) / 8);
    std::sort(m_columns.begin(), m_columns.end(), [](const Column &a, const Column &b) { return a.tag < b.tag; });
}

void TableBuilder::addRow(std::uint32_t rowId, const std::vector<std::pair<std::uint32_t, std::string>> &cells) {
    std::string row(m_rowSize, '\0');
    auto setCell = [&](const Column &c, const std::string &bytes) {
        for (std::size_t k = 0; k < c.cb && k < bytes.size(); ++k)
            row[c.ib + k] = bytes[k];
        row[m_end1 + c.bit / 8] = char(std::uint8_t(row[m_end1 + c.bit / 8]) | (0x80 >> (c.bit % 8)));
    };
    for (const Column &c : m_columns) {
        if (c.tag == tagOf(0x67F2, PtLong)) {
            std::string id;
            append32(id, rowId);
            setCell(c, id);
            continue;
        }
        if (c.tag == tagOf(0x67F3, PtLong)) {
            std::string ver;
            append32(ver, 1);
            setCell(c, ver);
            continue;
        }
        for (const auto &[tag, value] : cells) {
            if (tag != c.tag)
                continue;
            const std::uint16_t type = std::uint16_t(tag);
            if (isFixed(type) || cellSize(type) == 8) {
                setCell(c, value);
            } else {
                std::string hnid;
                append32(hnid, placeValue(m_heap, m_node, value));
                setCell(c, hnid);
            }
            break;
        }
    }
    m_rowIds.push_back(rowId);
    m_rowData += row;
}

std::vector<std::string> TableBuilder::build() {
    std::uint32_t hnidRows = 0;
    if (m_rowData.size() > kMaxHeapAlloc) {
        // Rows never straddle a block: each block holds whole rows.
        const std::size_t perBlock = kMaxBlockData / m_rowSize;
        std::vector<std::string> blocks;
        for (std::size_t at = 0; at < m_rowData.size(); at += perBlock * m_rowSize)
            blocks.push_back(m_rowData.substr(at, perBlock * m_rowSize));
        hnidRows = m_node.newSubnodeId(0x1F);
        m_node.subnodes.push_back({hnidRows, m_node.ndb.writeBlocks(blocks), 0});
    } else if (!m_rowData.empty()) {
        hnidRows = m_heap.allocate(m_rowData);
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> index;
    for (std::size_t i = 0; i < m_rowIds.size(); ++i)
        index.emplace_back(m_rowIds[i], std::uint32_t(i));
    std::sort(index.begin(), index.end());
    std::vector<std::string> records;
    for (const auto &[id, row] : index) {
        std::string rec;
        append32(rec, id);
        append32(rec, row);
        records.push_back(std::move(rec));
    }
    const std::uint32_t hidRowIndex = buildBth(m_heap, 4, 4, records);

    std::string info;
    info.push_back(char(0x7C));
    info.push_back(char(m_columns.size()));
    append16(info, m_end4);
    append16(info, m_end2);
    append16(info, m_end1);
    append16(info, m_rowSize);
    append32(info, hidRowIndex);
    append32(info, hnidRows);
    append32(info, 0);
    for (const Column &c : m_columns) {
        append32(info, c.tag);
        append16(info, c.ib);
        info.push_back(char(c.cb));
        info.push_back(char(c.bit));
    }
    m_heap.setRoot(m_heap.allocate(info));
    return m_heap.blocks();
}

}  // namespace pstwriter
