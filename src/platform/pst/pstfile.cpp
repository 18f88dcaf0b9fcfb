#include "platform/pst/pstfile.h"

#include "core/codepage.h"
#include "core/error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <utility>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace pw::pst {

Q_DECLARE_LOGGING_CATEGORY(lcPst)

namespace {

constexpr std::uint32_t kSignature = 0x4E444221; // "!BDN"
constexpr std::uint64_t kHeaderSize = 564;       // the larger (Unicode) header
constexpr int kMaxTreeDepth = 16;

// Where the fields of a node B-tree page sit, by file format.
struct PageLayout {
    std::size_t size;
    std::size_t count;      // number of entries (1 byte, 2 in 4 KiB pages)
    std::size_t countMax;
    std::size_t entrySize;  // cbEnt, 1 byte
    std::size_t level;      // cLevel, 1 byte
    bool wide;              // 8-byte ids and offsets
    bool wideCounts;
};

PageLayout layoutFor(int format) {
    switch (format) {
    case 0: return {512, 0x1F0, 0x1F1, 0x1F2, 0x1F3, false, false};
    case 1: return {512, 0x1E8, 0x1E9, 0x1EA, 0x1EB, true, false};
    default: return {4096, 0xFD8, 0xFDA, 0xFDC, 0xFDD, true, true};
    }
}

std::uint64_t readLe(const unsigned char *p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

QString shown(const QString &path) {
    return QDir::toNativeSeparators(path);
}

struct BlockBuffer {
    char *data = nullptr;
    std::size_t size = 0;
    BlockBuffer() = default;
    BlockBuffer(BlockBuffer &&other) noexcept : data(std::exchange(other.data, nullptr)), size(other.size) {}
    BlockBuffer &operator=(BlockBuffer &&) = delete;
    ~BlockBuffer() { std::free(data); }
    const unsigned char *bytes() const { return reinterpret_cast<const unsigned char *>(data); }
};

// A heap block: its page map must lie inside it and list ascending
// offsets inside it. `first`: the block also starts the heap's header.
bool heapBlockSound(const BlockBuffer &block, bool first) {
    const unsigned char *b = block.bytes();
    if (!b || block.size < 12)
        return false;
    const std::size_t pageMap = readLe(b, 2);
    if (first && (b[2] != 0xEC || (b[3] != 0xBC && b[3] != 0x7C)))
        return false;
    if (pageMap + 4 > block.size)
        return false;
    const std::size_t allocations = readLe(b + pageMap, 2);
    if (pageMap + 4 + (allocations + 1) * 2 > block.size)
        return false;
    std::size_t previous = 0;
    for (std::size_t i = 0; i <= allocations; ++i) {
        const std::size_t offset = readLe(b + pageMap + 4 + 2 * i, 2);
        if (offset < previous || offset > pageMap)
            return false;
        previous = offset;
    }
    return true;
}

// The byte substitution of "compressible" encoding, as writers apply it.
constexpr std::uint8_t kCompressibleEncode[256] = {
    65,  54,  19,  98,  168, 33,  110, 187, 244, 22,  204, 4,   127, 100, 232, 93,  30,  242, 203, 42,
    116, 197, 94,  53,  210, 149, 71,  158, 150, 45,  154, 136, 76,  125, 132, 63,  219, 172, 49,  182,
    72,  95,  246, 196, 216, 57,  139, 231, 35,  59,  56,  142, 200, 193, 223, 37,  177, 32,  165, 70,
    96,  78,  156, 251, 170, 211, 86,  81,  69,  124, 85,  0,   7,   201, 43,  157, 133, 155, 9,   160,
    143, 173, 179, 15,  99,  171, 137, 75,  215, 167, 21,  90,  113, 102, 66,  191, 38,  74,  107, 152,
    250, 234, 119, 83,  178, 112, 5,   44,  253, 89,  58,  134, 126, 206, 6,   235, 130, 120, 87,  199,
    141, 67,  175, 180, 28,  212, 91,  205, 226, 233, 39,  79,  195, 8,   114, 128, 207, 176, 239, 245,
    40,  109, 190, 48,  77,  52,  146, 213, 14,  60,  34,  50,  229, 228, 249, 159, 194, 209, 10,  129,
    18,  225, 238, 145, 131, 118, 227, 151, 230, 97,  138, 23,  121, 164, 183, 220, 144, 122, 92,  140,
    2,   166, 202, 105, 222, 80,  26,  17,  147, 185, 82,  135, 88,  252, 237, 29,  55,  73,  27,  106,
    224, 41,  51,  153, 189, 108, 217, 148, 243, 64,  84,  111, 240, 198, 115, 184, 214, 62,  101, 24,
    68,  31,  221, 103, 16,  241, 12,  25,  236, 174, 3,   161, 20,  123, 169, 11,  255, 248, 163, 192,
    162, 1,   247, 46,  188, 36,  104, 117, 13,  254, 186, 47,  181, 208, 218, 61};

struct CompressibleDecode {
    unsigned char v[256];
    CompressibleDecode() {
        for (int i = 0; i < 256; ++i)
            v[kCompressibleEncode[i]] = static_cast<unsigned char>(i);
    }
};

bool readBlock(pst_file *pf, std::uint64_t blockId, BlockBuffer &block) {
    // The lowest bit of a block reference is reserved: readers treat it as
    // zero. Left set it would also change the key of "high" encoding.
    blockId &= ~std::uint64_t(1);
    const pst_index_ll *entry = pst_getID(pf, blockId);
    if (!entry)
        return false;
    // The checks read each block of an item once more before libpst reads
    // it. Read plainly with one pread where the block is stored as is or
    // byte-substituted: libpst's reader costs several seeks per block.
    const std::uint64_t offset = entry->offset;
    const std::uint64_t size = entry->size;
    const bool plain = pf->do_read64 != 2 && (pf->encryption == PST_NO_ENCRYPT || pf->encryption == PST_COMP_ENCRYPT);
    if (plain && size > 0 && size <= 65536 && offset <= std::uint64_t(INT64_MAX)) {
        block.data = static_cast<char *>(std::malloc(size));
        if (!block.data)
            return false;
        if (::pread(fileno(pf->fp), block.data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            return false;
        block.size = size;
        if (pf->encryption == PST_COMP_ENCRYPT && !(blockId & 0x02)) {
            static const CompressibleDecode decode;
            auto *bytes = reinterpret_cast<unsigned char *>(block.data);
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = decode.v[bytes[i]];
        }
        return true;
    }
    block.size = pst_ff_getIDblock_dec(pf, blockId, &block.data);
    return block.data && block.size > 0;
}

// An item's heap: its blocks in order, each with a sound page map.
bool readHeap(pst_file *pf, std::uint64_t blockId, std::vector<BlockBuffer> &blocks) {
    blocks.emplace_back();
    if (!readBlock(pf, blockId, blocks.back()))
        return false;
    if (!(blockId & 0x02))
        return heapBlockSound(blocks.back(), true);
    // A heap over several blocks: a list of them, each a heap page.
    const BlockBuffer list = std::move(blocks.back());
    blocks.pop_back();
    const int idBytes = pf->do_read64 ? 8 : 4;
    const unsigned char *b = list.bytes();
    if (list.size < 8 || b[0] != 0x01 || b[1] != 0x01)
        return false;
    const std::size_t count = readLe(b + 2, 2);
    if (count == 0 || 8 + count * static_cast<std::size_t>(idBytes) > list.size)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        blocks.emplace_back();
        if (!readBlock(pf, readLe(b + 8 + i * static_cast<std::size_t>(idBytes), idBytes), blocks.back())
            || !heapBlockSound(blocks.back(), i == 0))
            return false;
    }
    return true;
}

// The bytes of a heap allocation; false when the id points nowhere.
bool heapAllocation(const std::vector<BlockBuffer> &blocks, std::uint32_t hid, std::size_t &begin, std::size_t &end,
                    const BlockBuffer *&block) {
    if ((hid & 0x1F) != 0)
        return false;
    const std::size_t index = (hid >> 5) & 0x7FF;
    const std::size_t blockIndex = hid >> 16;
    if (index == 0 || blockIndex >= blocks.size())
        return false;
    block = &blocks[blockIndex];
    const unsigned char *b = block->bytes();
    const std::size_t pageMap = readLe(b, 2);
    if (index > readLe(b + pageMap, 2))
        return false;
    begin = readLe(b + pageMap + 4 + 2 * (index - 1), 2);
    end = readLe(b + pageMap + 4 + 2 * index, 2);
    return begin <= end;
}

struct Subnodes {
    // Subnode id to its data block, at every level.
    std::unordered_map<std::uint64_t, std::uint64_t> ids;
    // Data and subnode blocks of the attachment subnodes, in node id order.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> attachmentObjects;
};

bool subnodesSound(pst_file *pf, std::uint64_t blockId, int depth, Subnodes &nodes) {
    BlockBuffer block;
    if (depth > 16 || !readBlock(pf, blockId, block))
        return false;
    const bool wide = pf->do_read64 != 0;
    const int idBytes = wide ? 8 : 4;
    const std::size_t header = wide ? 8 : 4;
    const unsigned char *b = block.bytes();
    if (block.size < header || b[0] != 0x02 || b[1] > 1)
        return false;
    const bool leaf = b[1] == 0;
    const std::size_t count = readLe(b + 2, 2);
    const std::size_t entrySize = static_cast<std::size_t>(idBytes) * (leaf ? 3 : 2);
    if (header + count * entrySize > block.size)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char *entry = b + header + i * entrySize;
        if (leaf) {
            const std::uint64_t id = readLe(entry, 4);
            const std::uint64_t subnodeBlock = readLe(entry + 2 * idBytes, idBytes);
            nodes.ids.emplace(id, readLe(entry + idBytes, idBytes));
            if ((id & 0x1F) == 0x05 && depth == 0)
                nodes.attachmentObjects.emplace_back(readLe(entry + idBytes, idBytes), subnodeBlock);
            // libpst follows a subnode's own subnodes too, as deep as they go.
            Subnodes inner;
            if (subnodeBlock && pst_getID(pf, subnodeBlock) && !subnodesSound(pf, subnodeBlock, depth + 1, inner))
                return false;
        }
        else if (!subnodesSound(pf, readLe(entry + idBytes, idBytes), depth + 1, nodes))
            return false;
    }
    return true;
}

// The bytes of a binary property of a property heap: a heap allocation or
// a subnode (one block or a list of blocks). False when it is absent or
// cannot be read.
bool binaryValue(pst_file *pf, const std::vector<BlockBuffer> &heap, const Subnodes &subnodes,
                 std::uint32_t valueRef, QByteArray &out) {
    if (valueRef == 0) {
        out.clear(); // an empty value
        return true;
    }
    if ((valueRef & 0x1F) == 0) {
        std::size_t begin = 0, end = 0;
        const BlockBuffer *block = nullptr;
        if (!heapAllocation(heap, valueRef, begin, end, block) || end > block->size)
            return false;
        out = QByteArray(block->data + begin, static_cast<qsizetype>(end - begin));
        return true;
    }
    const auto it = subnodes.ids.find(valueRef);
    if (it == subnodes.ids.end())
        return false;
    BlockBuffer block;
    if (!readBlock(pf, it->second, block))
        return false;
    if (!(it->second & 0x02)) {
        out = QByteArray(block.data, static_cast<qsizetype>(block.size));
        return true;
    }
    const int idBytes = pf->do_read64 ? 8 : 4;
    const unsigned char *b = block.bytes();
    const std::size_t count = block.size >= 8 ? readLe(b + 2, 2) : 0;
    if (block.size < 8 || b[0] != 0x01 || b[1] != 0x01 || 8 + count * static_cast<std::size_t>(idBytes) > block.size)
        return false;
    out.clear();
    for (std::size_t i = 0; i < count; ++i) {
        BlockBuffer part;
        if (!readBlock(pf, readLe(b + 8 + i * static_cast<std::size_t>(idBytes), idBytes), part)
            || static_cast<std::size_t>(out.size()) + part.size > kMaxPropertySize)
            return false;
        out.append(part.data, static_cast<qsizetype>(part.size));
    }
    return true;
}

// A list of strings: a count, then that many offsets into the value, each
// at or after the end of the offsets and not before the one before it.
bool stringListSound(const QByteArray &list) {
    const auto *b = reinterpret_cast<const unsigned char *>(list.constData());
    const auto size = static_cast<std::uint64_t>(list.size());
    if (size < 4)
        return false;
    const std::uint64_t count = readLe(b, 4);
    if (count > (size - 4) / 4)
        return false;
    std::uint64_t previous = 4 + 4 * count;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t offset = readLe(b + 4 + 4 * i, 4);
        if (offset < previous || offset > size)
            return false;
        previous = offset;
    }
    return true;
}

// Properties libpst copies as numbers, flags or times of a fixed size,
// whatever size the file gives them.
constexpr std::uint16_t kFixedSizeTags[] = {
    0x0002, 0x0017, 0x0023, 0x0026, 0x0029, 0x002B, 0x002E, 0x0032, 0x0036, 0x0039, 0x0057, 0x0058, 0x0059, 0x0063,
    0x0C04, 0x0C05, 0x0C17, 0x0C20, 0x0E01, 0x0E06, 0x0E07, 0x0E08, 0x0E1F, 0x0E20, 0x1006, 0x1007, 0x1010, 0x1011,
    0x3007, 0x3008, 0x35DF, 0x3602, 0x3603, 0x360A, 0x3617, 0x3705, 0x370B, 0x3710, 0x3A03, 0x3A0E, 0x3A40, 0x3A41,
    0x3A42, 0x3A4D, 0x3FDE, 0x3FFD, 0x67F2, 0x67FF};

// libpst copies a property's value trusting that its type fits the
// property and that every reference in it resolves; a damaged item could
// make it read through a null or stray pointer. Checked here first.
// Property types libpst reads; it keeps a property of any other type with
// no value at all.
bool typeLibpstReads(std::uint16_t type) {
    switch (type) {
    case 0x0002: case 0x0003: case 0x000B: case 0x0005: case 0x000D: case 0x0014: case 0x001E: case 0x001F:
    case 0x0040: case 0x0048: case 0x0102: case 0x1003: case 0x1014: case 0x101E: case 0x101F: case 0x1102:
        return true;
    default:
        return false;
    }
}

// libpst reads a named property as the property the store's map names it
// after.
std::uint32_t libpstId(std::uint16_t tag, const NamedIds &named) {
    if (tag >= 0x8000) {
        const auto it = named.find(tag);
        if (it != named.end())
            return it->second;
    }
    return tag;
}

// A value of a type libpst does not read is left empty, and libpst copies
// numbers and flags of the properties it knows, named ones included,
// without looking whether there is a value.
bool leftEmptyButCopied(std::uint16_t type, std::uint32_t id) {
    return !typeLibpstReads(type)
        && (id >= 0x8000 || std::binary_search(std::begin(kFixedSizeTags), std::end(kFixedSizeTags), id));
}

bool propertiesSound(pst_file *pf, const std::vector<BlockBuffer> &heap, const Subnodes &subnodes, const NamedIds &named) {
    if (heap.empty())
        return false;
    const unsigned char *first = heap.front().bytes();
    if (first[3] != 0xBC)
        return true; // a table: libpst reads its rows with their own checks
    std::size_t begin = 0, end = 0;
    const BlockBuffer *block = nullptr;
    if (!heapAllocation(heap, static_cast<std::uint32_t>(readLe(first + 4, 4)), begin, end, block) || end - begin < 8)
        return false;
    const unsigned char *bth = block->bytes() + begin;
    if (bth[0] != 0xB5 || bth[1] != 2 || bth[2] != 6)
        return false;
    const std::uint32_t root = static_cast<std::uint32_t>(readLe(bth + 4, 4));
    if (root == 0)
        return true; // no properties
    if (bth[3] != 0)
        return true; // a multi-level property tree: left to libpst
    if (!heapAllocation(heap, root, begin, end, block) || (end - begin) % 8 != 0)
        return false;
    for (std::size_t at = begin; at < end; at += 8) {
        const unsigned char *record = block->bytes() + at;
        const auto tag = static_cast<std::uint16_t>(readLe(record, 2));
        const auto type = static_cast<std::uint16_t>(readLe(record + 2, 2));
        const auto value = static_cast<std::uint32_t>(readLe(record + 4, 4));
        const std::uint32_t id = libpstId(tag, named);
        if (leftEmptyButCopied(type, id))
            return false;
        // libpst takes the container class for a string and compares it
        // without looking whether it got one.
        if (tag == 0x3613 && type != 0x001E && type != 0x001F && type != 0x0102)
            return false;
        // A named property may be an extra header, which libpst splits as a
        // list of strings by the offsets written at its start.
        if (tag >= 0x8000 && type == 0x101E) {
            QByteArray list;
            if (!binaryValue(pf, heap, subnodes, value, list) || !stringListSound(list))
                return false;
            continue;
        }
        // The store's folder references: libpst copies them by their stored
        // size but they are read as whole 24-byte entry ids.
        if ((tag >= 0x35E0 && tag <= 0x35E7) || tag == 0x7C07) {
            QByteArray entryId;
            if (type == 0x0002 || type == 0x0003 || type == 0x000B || !typeLibpstReads(type)
                || !binaryValue(pf, heap, subnodes, value, entryId) || entryId.size() < 24)
                return false;
            continue;
        }
        if (!std::binary_search(std::begin(kFixedSizeTags), std::end(kFixedSizeTags), tag))
            continue; // libpst copies other values by their stored size
        if (type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B)
            continue; // held in the record itself
        std::size_t valueBegin = 0, valueEnd = 0;
        const BlockBuffer *valueBlock = nullptr;
        if (!heapAllocation(heap, value, valueBegin, valueEnd, valueBlock) || valueEnd - valueBegin < 8)
            return false;
    }
    return true;
}

// A table (the recipients or attachments of a message): libpst makes a
// property of every column in every row, so a column of a type it does not
// read, under an id it copies as a number, would be copied from nothing.
bool tableColumnsSound(pst_file *pf, std::uint64_t dataBlock, const NamedIds &named) {
    std::vector<BlockBuffer> heap;
    if (!readHeap(pf, dataBlock, heap))
        return false;
    const unsigned char *first = heap.front().bytes();
    if (first[3] != 0x7C)
        return true; // not a table: libpst reads it as it finds it
    std::size_t begin = 0, end = 0;
    const BlockBuffer *block = nullptr;
    if (!heapAllocation(heap, static_cast<std::uint32_t>(readLe(first + 4, 4)), begin, end, block) || end - begin < 22
        || end > block->size)
        return false;
    const unsigned char *info = block->bytes() + begin;
    const std::size_t columns = info[1];
    if (22 + columns * 8 > end - begin)
        return false;
    for (std::size_t i = 0; i < columns; ++i) {
        const unsigned char *column = info + 22 + i * 8;
        const auto type = static_cast<std::uint16_t>(readLe(column, 2));
        const auto tag = static_cast<std::uint16_t>(readLe(column + 2, 2));
        if (leftEmptyButCopied(type, libpstId(tag, named)))
            return false;
    }
    return true;
}

bool itemSound(pst_file *pf, const pst_desc_tree &node, const NamedIds &named) {
    std::vector<BlockBuffer> heap;
    Subnodes subnodes;
    if (!readHeap(pf, node.desc->i_id, heap))
        return false;
    if (node.assoc_tree && !subnodesSound(pf, node.assoc_tree->i_id, 0, subnodes))
        return false;
    if (!propertiesSound(pf, heap, subnodes, named))
        return false;
    for (const std::uint64_t table : {std::uint64_t(0x692), std::uint64_t(0x671)}) {
        const auto it = subnodes.ids.find(table);
        if (it != subnodes.ids.end() && !tableColumnsSound(pf, it->second, named))
            return false;
    }
    // libpst reads each attachment's own properties too.
    for (const auto &object : subnodes.attachmentObjects) {
        std::vector<BlockBuffer> attachmentHeap;
        Subnodes attachmentSubnodes;
        if (!readHeap(pf, object.first, attachmentHeap)
            || (object.second && pst_getID(pf, object.second) && !subnodesSound(pf, object.second, 1, attachmentSubnodes))
            || !propertiesSound(pf, attachmentHeap, attachmentSubnodes, named))
            return false;
    }
    return true;
}

// The store's map of named properties (node 0x61): libpst reads its entries
// eight bytes at a time to the end of the entry stream and copies each
// name by the length written before it in the string stream, trusting both.
bool nameMapSound(pst_file *pf, const pst_desc_tree &node) {
    if (!node.desc || !itemSound(pf, node, NamedIds()))
        return false;
    std::vector<BlockBuffer> heap;
    Subnodes subnodes;
    if (!readHeap(pf, node.desc->i_id, heap) || (node.assoc_tree && !subnodesSound(pf, node.assoc_tree->i_id, 0, subnodes)))
        return false;
    const unsigned char *first = heap.front().bytes();
    if (first[3] != 0xBC)
        return false;
    std::size_t begin = 0, end = 0;
    const BlockBuffer *block = nullptr;
    if (!heapAllocation(heap, static_cast<std::uint32_t>(readLe(first + 4, 4)), begin, end, block) || end - begin < 8)
        return false;
    const std::uint32_t root = static_cast<std::uint32_t>(readLe(block->bytes() + begin + 4, 4));
    if (root == 0)
        return true;
    if (block->bytes()[begin + 3] != 0 || !heapAllocation(heap, root, begin, end, block) || (end - begin) % 8 != 0)
        return false; // a map too big for one level of records is not a real one
    std::vector<QByteArray> entries, strings;
    for (std::size_t at = begin; at < end; at += 8) {
        const unsigned char *record = block->bytes() + at;
        const auto tag = static_cast<std::uint16_t>(readLe(record, 2));
        if (tag != 0x0003 && tag != 0x0004)
            continue;
        const auto type = static_cast<std::uint16_t>(readLe(record + 2, 2));
        QByteArray value;
        if (type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B)
            value = QByteArray(reinterpret_cast<const char *>(record + 4), 4); // held in the record
        else if (!binaryValue(pf, heap, subnodes, static_cast<std::uint32_t>(readLe(record + 4, 4)), value))
            return false;
        (tag == 0x0003 ? entries : strings).push_back(value);
    }
    for (const QByteArray &entryStream : entries) {
        if (entryStream.size() % 8 != 0)
            return false;
        const auto *e = reinterpret_cast<const unsigned char *>(entryStream.constData());
        for (qsizetype at = 0; at < entryStream.size(); at += 8) {
            if (!(e[at + 4] & 0x01))
                continue; // a numeric name: nothing to copy
            const std::uint64_t offset = readLe(e + at, 4);
            for (const QByteArray &stringStream : strings) {
                const auto size = static_cast<std::uint64_t>(stringStream.size());
                if (offset >= size)
                    continue; // libpst skips it
                if (size - offset < 4
                    || readLe(reinterpret_cast<const unsigned char *>(stringStream.constData()) + offset, 4) > size - offset - 4)
                    return false;
            }
        }
    }
    return true;
}

} // namespace

PstFile::PstFile(const QString &path) : m_path(path) {
    const QFileInfo info(path);
    const QString prefix = QStringLiteral("Cannot open the mail file %1: ").arg(shown(path));
    if (!info.exists())
        throw Error(prefix + QStringLiteral("the file does not exist."));
    if (info.isDir())
        throw Error(prefix + QStringLiteral("it is a folder."));
    if (!info.isReadable())
        throw Error(prefix + QStringLiteral("permission denied."));

    // Checked before libpst sees the file, so that it only ever meets a
    // file that starts like a mail file and is long enough for its header.
    QFile probe(path);
    if (!probe.open(QIODevice::ReadOnly))
        throw Error(prefix + probe.errorString());
    m_fileSize = static_cast<std::uint64_t>(probe.size());
    const QByteArray head = probe.read(static_cast<qint64>(kHeaderSize));
    probe.close();
    if (head.size() < 4 || readLe(reinterpret_cast<const unsigned char *>(head.constData()), 4) != kSignature)
        throw Error(prefix + QStringLiteral("it is not a PST or OST file."));
    if (head.size() < 512)
        throw Error(prefix + QStringLiteral("the file ends early (%1 bytes); it is damaged or incomplete.").arg(head.size()));

    const QByteArray encoded = QFile::encodeName(path);
    if (pst_open(&m_file, encoded.constData(), nullptr) != 0)
        throw Error(prefix + QStringLiteral("it is not a PST or OST file of a kind this program reads."));
    m_open = true;
    // libpst reads block by block through a stdio stream with a 4 KiB
    // buffer: an attachment's 8 KiB blocks then cost two reads and a seek
    // each. A larger buffer of our own serves neighbouring blocks from
    // memory (glibc keeps the buffer when a seek lands inside it).
    const int copy = ::dup(fileno(m_file.fp));
    if (FILE *stream = copy >= 0 ? ::fdopen(copy, "rb") : nullptr) {
        m_readBuffer.resize(std::size_t(64) * 1024);
        std::setvbuf(stream, m_readBuffer.data(), _IOFBF, m_readBuffer.size());
        std::fclose(m_file.fp);
        m_file.fp = stream;
    } else if (copy >= 0) {
        ::close(copy);
    }
    if (m_file.do_read64 != 0 && head.size() < static_cast<qsizetype>(kHeaderSize)) {
        pst_close(&m_file);
        m_open = false;
        throw Error(prefix + QStringLiteral("the file ends early (%1 bytes); it is damaged or incomplete.").arg(head.size()));
    }

    if (m_file.index1 >= m_fileSize || m_file.index2 >= m_fileSize) {
        pst_close(&m_file);
        m_open = false;
        const bool cut = m_file.size > m_fileSize;
        throw Error(prefix + (cut ? QStringLiteral("the file ends early (%1 of %2 bytes); it is incomplete.").arg(m_fileSize).arg(m_file.size)
                                  : QStringLiteral("damaged data at offset 0 (the file's header).")));
    }
    // libpst builds the block index; the node tree is ours (see the header).
    // Pointing its node tree root past the end makes libpst skip it.
    const std::uint64_t nodeRoot = m_file.index2;
    m_file.index2 = m_fileSize + (std::uint64_t(1) << 30);
    pst_load_index(&m_file);
    m_file.index2 = nodeRoot;
    if (m_file.i_count == 0) {
        const std::uint64_t indexRoot = m_file.index1;
        pst_close(&m_file);
        m_open = false;
        throw Error(prefix + QStringLiteral("damaged data at offset %1 (the block index cannot be read).").arg(indexRoot));
    }
    try {
        std::unordered_set<std::uint64_t> visitedPages;
        readNodeTree(nodeRoot, 0, UINT64_MAX, 0, visitedPages);
        if (m_entries.empty())
            damaged(nodeRoot);
        linkNodeTree();
    } catch (...) {
        pst_close(&m_file);
        m_open = false;
        throw;
    }
    m_file.d_head = m_top;
    m_file.d_tail = m_topTail;
    // Without the map of named properties libpst still reads every item;
    // a damaged map is left unread rather than trusted.
    if (const pst_desc_tree *nameMap = node(0x61); nameMap && nameMapSound(&m_file, *nameMap))
        pst_load_extended_attributes(&m_file);
    for (const pst_x_attrib_ll *entry = m_file.x_head; entry; entry = entry->next) {
        const std::uint32_t map = entry->map;
        if (map > 0xFFFF)
            continue;
        std::uint32_t id = 0xFFFFFFFF; // an extra header: read as text
        if (entry->mytype == PST_MAP_ATTRIB && entry->data)
            std::memcpy(&id, entry->data, sizeof id);
        m_namedIds.emplace(static_cast<std::uint16_t>(map), id);
    }
}

PstFile::~PstFile() {
    if (!m_open)
        return;
    // The nodes are ours, not libpst's to free.
    m_file.d_head = nullptr;
    m_file.d_tail = nullptr;
    pst_close(&m_file);
}

void PstFile::damaged(std::uint64_t offset) const {
    throw Error(QStringLiteral("Cannot open the mail file %1: damaged data at offset %2.").arg(shown(m_path)).arg(offset));
}

void PstFile::readNodeTree(std::uint64_t offset, std::uint64_t low, std::uint64_t high, int depth,
                           std::unordered_set<std::uint64_t> &visitedPages) {
    const PageLayout layout = layoutFor(m_file.do_read64);
    if (depth > kMaxTreeDepth || offset < 512 || offset > m_fileSize || m_fileSize - offset < layout.size)
        damaged(offset);
    if (!visitedPages.insert(offset).second)
        damaged(offset); // a page reached twice: the tree loops
    std::vector<unsigned char> page(layout.size);
    const int fd = fileno(m_file.fp);
    if (::pread(fd, page.data(), page.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(page.size()))
        damaged(offset);
    const std::size_t count = layout.wideCounts ? readLe(&page[layout.count], 2) : page[layout.count];
    const std::size_t countMax = layout.wideCounts ? readLe(&page[layout.countMax], 2) : page[layout.countMax];
    const std::size_t entrySize = page[layout.entrySize];
    const int level = page[layout.level];
    const int idBytes = layout.wide ? 8 : 4;
    const std::size_t leafSize = layout.wide ? 32 : 16;
    const std::size_t branchSize = layout.wide ? 24 : 12;
    if (count > countMax || entrySize == 0 || count * entrySize > layout.count
        || entrySize < (level == 0 ? leafSize : branchSize))
        damaged(offset);

    std::uint64_t previous = low;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char *e = &page[i * entrySize];
        const std::uint64_t key = readLe(e, idBytes);
        if (key < previous || key >= high)
            damaged(offset);
        previous = key;
        if (level == 0) {
            Entry entry;
            entry.id = key;
            entry.dataBlock = readLe(e + idBytes, idBytes);
            entry.subnodeBlock = readLe(e + 2 * idBytes, idBytes);
            entry.parent = static_cast<std::uint32_t>(readLe(e + 3 * idBytes, 4));
            m_entries.push_back(entry);
            continue;
        }
        const std::uint64_t childOffset = readLe(e + 2 * idBytes, idBytes);
        std::uint64_t childHigh = high;
        if (i + 1 < count)
            childHigh = readLe(&page[(i + 1) * entrySize], idBytes);
        if (childHigh <= key)
            damaged(offset);
        readNodeTree(childOffset, key, childHigh, depth + 1, visitedPages);
    }
}

void PstFile::linkNodeTree() {
    // One array of nodes, so nothing is allocated per node and the tree
    // needs no freeing of its own.
    m_nodes.resize(m_entries.size());
    m_byId.reserve(m_entries.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &entry = m_entries[i];
        pst_desc_tree &node = m_nodes[i];
        node = pst_desc_tree{};
        node.d_id = entry.id;
        node.parent_d_id = entry.parent;
        node.desc = pst_getID(&m_file, entry.dataBlock);
        node.assoc_tree = entry.subnodeBlock ? pst_getID(&m_file, entry.subnodeBlock) : nullptr;
        m_byId.emplace(entry.id, &node);
    }
    // libpst's structures are packed, so their fields are read and written
    // by value, never bound to references that may sit misaligned.
    for (pst_desc_tree &node : m_nodes) {
        pst_desc_tree *parent = nullptr;
        const std::uint64_t parentId = node.parent_d_id;
        if (parentId != 0 && parentId != node.d_id) {
            const auto it = m_byId.find(parentId);
            if (it != m_byId.end())
                parent = it->second;
        }
        pst_desc_tree *tail = parent ? parent->child_tail : m_topTail;
        node.prev = tail;
        node.next = nullptr;
        if (tail)
            tail->next = &node;
        else if (parent)
            parent->child = &node;
        else
            m_top = &node;
        if (parent) {
            node.parent = parent;
            ++parent->no_child;
            parent->child_tail = &node;
        } else {
            m_topTail = &node;
        }
    }
    m_entries.clear();
    m_entries.shrink_to_fit();
}

pst_desc_tree *PstFile::node(std::uint64_t nodeId) const {
    const auto it = m_byId.find(nodeId);
    return it == m_byId.end() ? nullptr : it->second;
}

std::vector<pst_desc_tree *> PstFile::children(const pst_desc_tree *node, std::uint32_t nodeType) {
    std::vector<pst_desc_tree *> out;
    if (!node)
        return out;
    for (pst_desc_tree *child = node->child; child; child = child->next) {
        if ((child->d_id & 0x1F) == nodeType)
            out.push_back(child);
    }
    return out;
}

std::uint64_t PstFile::checkDataTree(std::uint64_t blockId, const QString &what) {
    blockId &= ~std::uint64_t(1); // the reserved bit, read as zero
    if (!(blockId & 0x02))
        return 0; // a plain data block: libpst copies what the index says
    BlockBuffer block;
    if (!readBlock(&m_file, blockId, block) || block.size < 8)
        throw Error(QStringLiteral("%1: its data is missing from the file.").arg(what));
    const int idBytes = m_file.do_read64 ? 8 : 4;
    const unsigned char *bytes = block.bytes();
    const int type = bytes[0];
    const int level = bytes[1];
    const std::size_t count = readLe(bytes + 2, 2);
    const std::uint64_t total = readLe(bytes + 4, 4);
    if (type != 0x01 || (level != 1 && level != 2) || 8 + count * static_cast<std::size_t>(idBytes) > block.size)
        throw Error(QStringLiteral("%1: damaged data in block %2 of the file.").arg(what).arg(blockId));
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t child = readLe(bytes + 8 + i * static_cast<std::size_t>(idBytes), idBytes);
        if (!pst_getID(&m_file, child))
            throw Error(QStringLiteral("%1: part of its data is missing from the file.").arg(what));
        if (level != 2)
            continue;
        // An inner list must be a plain list of data blocks.
        BlockBuffer inner;
        const bool read = readBlock(&m_file, child, inner);
        const unsigned char *innerBytes = inner.bytes();
        if (!read || inner.size < 8 || innerBytes[0] != 0x01 || innerBytes[1] != 0x01
            || 8 + readLe(innerBytes + 2, 2) * static_cast<std::size_t>(idBytes) > inner.size)
            throw Error(QStringLiteral("%1: damaged data in block %2 of the file.").arg(what).arg(child));
        for (std::size_t j = 0; j < readLe(innerBytes + 2, 2); ++j) {
            if (!pst_getID(&m_file, readLe(innerBytes + 8 + j * static_cast<std::size_t>(idBytes), idBytes)))
                throw Error(QStringLiteral("%1: part of its data is missing from the file.").arg(what));
        }
    }
    return total;
}

ParsedItem PstFile::parse(pst_desc_tree *node) {
    if (!node || !node->desc)
        throw Error(QStringLiteral("Cannot read item %1 of %2: its data is missing from the file.")
                        .arg(node ? node->d_id : 0)
                        .arg(shown(m_path)));
    // libpst trusts the offsets inside an item's blocks: damaged ones are
    // turned away here instead of being read out of bounds.
    if (!itemSound(&m_file, *node, m_namedIds))
        throw Error(QStringLiteral("Cannot read item %1 of %2: damaged data at offset %3.")
                        .arg(node->d_id)
                        .arg(shown(m_path))
                        .arg(node->desc->offset));
    ParsedItem item(pst_parse_item(&m_file, node, nullptr));
    if (!item)
        throw Error(QStringLiteral("Cannot read item %1 of %2: damaged data at offset %3.")
                        .arg(node->d_id)
                        .arg(shown(m_path))
                        .arg(node->desc->offset));
    return item;
}

QStringList PstFile::attachmentDisplayNames(pst_desc_tree *message, int codepage) {
    QStringList names;
    if (!message || !message->assoc_tree)
        return names;
    Subnodes subnodes;
    if (!subnodesSound(&m_file, message->assoc_tree->i_id, 0, subnodes))
        return names;
    for (const auto &[dataBlock, subnodeBlock] : subnodes.attachmentObjects) {
        // An attachment's own properties read as an item give its display
        // name (0x3001), which libpst keeps nowhere else.
        pst_desc_tree node{};
        node.desc = pst_getID(&m_file, dataBlock);
        node.assoc_tree = subnodeBlock ? pst_getID(&m_file, subnodeBlock) : nullptr;
        QString name;
        if (node.desc && itemSound(&m_file, node, m_namedIds)) {
            ParsedItem item(pst_parse_item(&m_file, &node, nullptr));
            if (item)
                name = textOf(item->file_as, codepage).value_or(QString());
        }
        names.append(name);
    }
    return names;
}

ParsedItem PstFile::parseAttached(const pst_item_attach &attachment) {
    pst_index_ll *block = attachment.i_id && attachment.i_id != std::uint64_t(-1) ? pst_getID(&m_file, attachment.i_id) : nullptr;
    if (!block)
        throw Error(QStringLiteral("Cannot read the attached message: its data is missing from the file."));
    pst_desc_tree node{};
    node.desc = block;
    if (!itemSound(&m_file, node, m_namedIds))
        throw Error(QStringLiteral("Cannot read the attached message: damaged data at offset %1.").arg(block->offset));
    ParsedItem item(pst_parse_item(&m_file, &node, attachment.id2_head));
    if (!item)
        throw Error(QStringLiteral("Cannot read the attached message: damaged data at offset %1.").arg(block->offset));
    return item;
}

std::int64_t filetimeToMsecs(std::uint64_t filetime) {
    constexpr std::uint64_t kEpochDifference = 116444736000000000ULL; // 1601 to 1970 in 100 ns
    if (filetime >= kEpochDifference)
        return static_cast<std::int64_t>((filetime - kEpochDifference) / 10000);
    return -static_cast<std::int64_t>((kEpochDifference - filetime) / 10000);
}

std::optional<std::uint64_t> filetimeOf(const FILETIME *time) {
    if (!time)
        return std::nullopt;
    return (std::uint64_t(time->dwHighDateTime) << 32) | time->dwLowDateTime;
}

std::optional<QString> textOf(const pst_string &value, int codepage) {
    if (!value.str)
        return std::nullopt;
    const std::size_t length = strnlen(value.str, kMaxPropertySize);
    if (value.is_utf8)
        return QString::fromUtf8(value.str, static_cast<qsizetype>(length));
    return decodeCodepage(QByteArray(value.str, static_cast<qsizetype>(length)), codepage);
}


} // namespace pw::pst
