#pragma once
// The node database of a PST/OST file: the header, the node and block
// B-trees, and the reading of blocks (with their encodings and, in 4 KiB-page
// offline stores, their compression).
//
// Everything read from the file is checked against the file's size and its
// own declared sizes before it is used, and every tree walk keeps a set of
// what it visited, so damaged or crafted files cost at most linear time.
#include "core/error.h"

#include <QString>

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pw::pst::ndb {

enum class Format { Ansi, Unicode, Unicode4k };
enum class Encoding : std::uint8_t { None = 0, Permute = 1, Cyclic = 2 };

// Damage found in the file, with the offset where it was found.
class Damage : public Error {
public:
    Damage(const QString &text, std::uint64_t offset) : Error(text), m_offset(offset) {}
    std::uint64_t offset() const { return m_offset; }

private:
    std::uint64_t m_offset;
};

// A block id without its reserved low bit, which readers ignore.
inline std::uint64_t blockKey(std::uint64_t bid) { return bid & ~std::uint64_t(1); }
// Internal blocks (data and subnode trees) are never encoded.
inline bool isInternal(std::uint64_t bid) { return (bid & 2) != 0; }

struct BlockEntry {
    std::uint64_t bid = 0;       // without the reserved bit
    std::uint64_t offset = 0;
    std::uint32_t size = 0;      // as stored
    std::uint32_t inflated = 0;  // after decompression (4 KiB-page files), else == size
};

struct NodeEntry {
    std::uint32_t nid = 0;
    std::uint32_t parent = 0;
    std::uint64_t dataBid = 0;
    std::uint64_t subnodeBid = 0;
};

// What one item (a message with everything under it) may read: no more
// data than the file holds. A crafted fan-out of shared blocks runs out of
// it instead of growing without bound.
class Budget {
public:
    explicit Budget(std::uint64_t bytes) : m_left(bytes) {}
    // Throws Damage when `bytes` more would exceed the budget.
    void charge(std::uint64_t bytes, std::uint64_t offset);
    std::uint64_t left() const { return m_left; }

private:
    std::uint64_t m_left;
};

class NdbFile {
public:
    // Opens the file and reads both B-trees; throws pw::Error saying in
    // plain words why it cannot be used ("not a PST or OST file", "the file
    // ends early (N of M bytes)", "damaged data at offset X").
    explicit NdbFile(const QString &path);
    ~NdbFile();
    NdbFile(const NdbFile &) = delete;
    NdbFile &operator=(const NdbFile &) = delete;

    const QString &path() const { return m_path; }
    Format format() const { return m_format; }
    Encoding encoding() const { return m_encoding; }
    std::uint64_t fileSize() const { return m_fileSize; }
    bool wide() const { return m_format != Format::Ansi; }
    // Largest payload of one data block.
    std::size_t maxBlockData() const;

    // The node with that id; null when the file has none.
    const NodeEntry *node(std::uint32_t nid) const;
    // Every node, in the order of the node B-tree (ascending ids).
    const std::vector<NodeEntry> &nodes() const { return m_nodes; }
    // The block with that id (the reserved bit ignored); null when missing.
    const BlockEntry *block(std::uint64_t bid) const;

    // The block's payload, decoded and decompressed, into `out` (resized).
    void readBlock(const BlockEntry &block, std::vector<std::uint8_t> &out) const;
    // The same into `out`, which has room for block.inflated bytes; `scratch`
    // holds compressed data when the block is compressed.
    void readBlockInto(const BlockEntry &block, std::uint8_t *out, std::vector<std::uint8_t> &scratch) const;

    // The payloads of a run of leaf blocks that lie close together in the
    // file, read with one pread into `out` (which has `room` bytes) and put
    // end to end. Takes at least the first leaf (whose inflated size must fit
    // in `room`) and as many following ones as fit; answers how many it took
    // and adds the bytes it produced to `produced`.
    std::size_t readRunInto(const BlockEntry *const *leaves, std::size_t count, std::uint8_t *out, std::size_t room,
                            std::vector<std::uint8_t> &scratch, std::size_t &produced) const;

    // Exactly `size` bytes at `offset`; throws when the file ends before.
    void readAt(std::uint64_t offset, void *into, std::size_t size) const;

    [[noreturn]] void damaged(std::uint64_t offset) const;

private:
    void readDirect(std::uint64_t offset, void *into, std::size_t size) const;
    // Fills the parts in turn from `offset` on (the parts are used up).
    void readVectorAt(std::uint64_t offset, std::vector<iovec> &parts) const;
    void readHeader();
    template <typename Visit>
    void walkTree(std::uint64_t offset, std::uint8_t pageType, Visit visit);
    void decode(std::uint8_t *data, std::size_t size, std::uint64_t bid) const;

    QString m_path;
    int m_fd = -1;
    std::uint64_t m_fileSize = 0;
    Format m_format = Format::Unicode;
    Encoding m_encoding = Encoding::None;
    std::uint64_t m_nbtOffset = 0;
    std::uint64_t m_bbtOffset = 0;
    std::vector<NodeEntry> m_nodes;    // sorted by nid
    std::vector<BlockEntry> m_blocks;  // sorted by bid

    static constexpr std::size_t kReadAheadMax = 256 * 1024;
    struct ReadAhead {
        std::mutex mutex;
        std::unique_ptr<std::uint8_t[]> buffer;
        std::uint64_t start = 0;   // file offset of buffer[0]
        std::size_t filled = 0;    // valid bytes in the buffer
        std::uint64_t lastEnd = 0; // where the last small read ended
        std::size_t window = 0;    // bytes read ahead next time; 0: none
    };
    mutable ReadAhead m_ahead;
};

// Reads a little-endian unsigned number of `bytes` bytes.
inline std::uint64_t readLe(const std::uint8_t *p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

} // namespace pw::pst::ndb
