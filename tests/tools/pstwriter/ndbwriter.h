// The node database layer of the PST writer: data blocks with trailers and
// CRCs, data trees, subnode trees, the node and block B-trees, allocation
// maps and the header. Blocks are laid out front to back as they come and
// written through a small buffer; the B-trees and maps follow at finish().
//
// Two layouts: the PST one (512-byte pages, blocks on 64 bytes) and that of
// the offline stores of Outlook 2013 and later (4 KiB pages, blocks on 512
// bytes, a 24-byte block trailer that also holds the inflated size, data
// blocks of up to 65,512 bytes, optionally zlib-compressed).
#pragma once

#include "pstwriter.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pstwriter {

// CRC-32 as the PST format computes it (reflected 0xEDB88320, no final xor).
std::uint32_t pstCrc(const std::uint8_t *data, std::size_t size, std::uint32_t crc = 0);

// Internal blocks and heap blocks stay within the PST limit in both layouts;
// only data streams use the larger blocks of the 4 KiB-page layout.
constexpr std::size_t kMaxBlockData = 8176;
constexpr std::size_t kMaxBlockData4k = 65512;
constexpr std::size_t kMaxHeapAlloc = 3580;

struct SubnodeEntry {
    std::uint32_t nid = 0;
    std::uint64_t bidData = 0;
    std::uint64_t bidSub = 0;
};

class NdbWriter {
public:
    NdbWriter(const std::string &path, Encryption encryption, Format format = Format::Pst, bool compress = false);
    ~NdbWriter();
    NdbWriter(const NdbWriter &) = delete;
    NdbWriter &operator=(const NdbWriter &) = delete;

    // Largest data block of a stream in this layout.
    std::size_t maxStreamBlock() const;

    // One external data block (at most kMaxBlockData bytes); returns its bid.
    std::uint64_t writeBlock(const std::string &data);
    // Any amount of data as a block or a data tree; 0 for no data.
    std::uint64_t writeData(const std::string &data);
    // Prepared blocks (e.g. heap-on-node blocks) kept block for block.
    std::uint64_t writeBlocks(const std::vector<std::string> &blocks);
    // A subnode tree; 0 when there are no entries. A non-zero rootBid (from
    // reserveBid(true)) is used for the tree's top block.
    std::uint64_t writeSubnodes(std::vector<SubnodeEntry> entries, std::uint64_t rootBid = 0);

    // A block id given out now for a block placed later, or never (a
    // reference to a block the file lacks).
    std::uint64_t reserveBid(bool internal);
    // While on, the next data tree of more than one block lists itself in
    // place of its last data block: a cycle, for tests of readers.
    void loopNextDataTree(bool on) { m_cycleNextTree = on; }
    // While on, the next data block that is stored compressed gets zlib
    // bytes that do not inflate; its checksum matches the damaged bytes.
    // corruptionPending() tells whether it still waits for such a block.
    void corruptNextCompressedBlock(bool on) { m_corruptNextCompressed = on; }
    bool corruptionPending() const { return m_corruptNextCompressed; }

    // Streams data into full blocks and makes the tree at the end.
    class Stream {
    public:
        explicit Stream(NdbWriter &writer) : m_writer(writer) {}
        void append(const char *data, std::size_t size);
        std::uint64_t finish();  // root bid, 0 when nothing was appended
    private:
        NdbWriter &m_writer;
        std::string m_pending;
        std::vector<std::uint64_t> m_bids;
        std::vector<std::uint64_t> m_sizes;
    };

    void addNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub, std::uint32_t parent);

    // Writes the B-trees, maps and header and closes the file.
    void finish(const std::array<std::uint32_t, 32> &nextNodeIndex);

private:
    struct BlockRef {
        std::uint64_t bid;
        std::uint64_t ib;
        std::uint16_t cb;        // as stored
        std::uint16_t inflated;  // after decompression
    };
    // Sizes and places that differ between the two layouts.
    struct Geometry {
        std::size_t page;         // 512 or 4096
        std::size_t pageData;     // bytes a page's checksum covers; the trailer follows
        std::size_t entries;      // room for B-tree entries
        std::size_t trailer;      // block trailer
        std::uint64_t slot;       // bytes one allocation-map bit stands for; blocks align to it
        std::uint64_t amapBase;   // the first allocation map
        std::uint64_t region() const { return pageData * 8 * slot; }
    };
    struct NodeRef {
        std::uint32_t nid;
        std::uint64_t bidData;
        std::uint64_t bidSub;
        std::uint32_t parent;
    };
    struct PageRef {
        std::uint64_t key;
        std::uint64_t bid;
        std::uint64_t ib;
    };

    std::uint64_t placeBlock(const std::string &data, bool internal, std::uint64_t bid = 0);
    bool big() const { return m_format == Format::Ost4k; }
    std::uint64_t regionStart(std::uint64_t i) const { return m_geo.amapBase + i * m_geo.region(); }
    std::uint64_t reservedPages(std::uint64_t i) const;
    void setTreeFooter(std::uint8_t *page, std::size_t count, std::size_t entrySize, int level) const;
    std::uint64_t treeOver(const std::vector<std::uint64_t> &bids, const std::vector<std::uint64_t> &sizes);
    std::uint64_t allocate(std::uint64_t size, std::uint64_t align);
    void enterRegion(std::uint64_t index);
    void markAllocated(std::uint64_t ib, std::uint64_t size);
    void put(std::uint64_t ib, const std::uint8_t *data, std::size_t size);
    void flush();
    void pwriteAll(const std::uint8_t *data, std::size_t size, std::uint64_t ib);
    PageRef writePage(std::uint8_t *page, std::uint8_t ptype, std::uint64_t key);
    PageRef buildTree(std::vector<PageRef> level, std::uint8_t ptype, int depth);
    std::vector<PageRef> nodeLeaves();
    std::vector<PageRef> blockLeaves();

    std::string m_path;
    Encryption m_encryption;
    Format m_format;
    bool m_compress;
    Geometry m_geo;
    int m_fd = -1;
    std::uint64_t m_next = 0;       // first free byte for the next allocation
    std::uint64_t m_bufferStart = 0;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_nextBid = 4;
    std::uint64_t m_nextPageBid = 1;
    bool m_cycleNextTree = false;
    bool m_corruptNextCompressed = false;
    std::vector<std::vector<std::uint8_t>> m_amaps;  // one per region (248 KB, or 16 MB with 4 KiB pages)
    std::vector<BlockRef> m_blocks;
    std::vector<NodeRef> m_nodes;
};

}  // namespace pstwriter
