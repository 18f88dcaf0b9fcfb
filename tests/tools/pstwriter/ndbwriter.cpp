#include "ndbwriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace pstwriter {

namespace {

constexpr std::size_t kBufferLimit = 4 << 20;
constexpr std::size_t kXblockMax = (kMaxBlockData - 8) / 8;
constexpr std::size_t kSlEntriesMax = (kMaxBlockData - 8) / 24;
constexpr std::size_t kSiEntriesMax = (kMaxBlockData - 8) / 16;

constexpr std::uint8_t kPtypeBbt = 0x80;
constexpr std::uint8_t kPtypeNbt = 0x81;
constexpr std::uint8_t kPtypeFmap = 0x82;
constexpr std::uint8_t kPtypePmap = 0x83;
constexpr std::uint8_t kPtypeAmap = 0x84;

// The "compressible" encoding substitutes every byte of an external block.
// The cyclic ("high") encoding: three byte tables keyed by the block id.
// A reader decodes b as Decode[High2[High1[b + lo] + hi] - hi] - lo, with
// lo and hi the two bytes of a running 16-bit key; the writer inverts it.
constexpr std::uint8_t kCyclicDecode[256] = {
    0x47, 0xf1, 0xb4, 0xe6, 0x0b, 0x6a, 0x72, 0x48, 0x85, 0x4e, 0x9e, 0xeb, 0xe2, 0xf8, 0x94, 0x53,
    0xe0, 0xbb, 0xa0, 0x02, 0xe8, 0x5a, 0x09, 0xab, 0xdb, 0xe3, 0xba, 0xc6, 0x7c, 0xc3, 0x10, 0xdd,
    0x39, 0x05, 0x96, 0x30, 0xf5, 0x37, 0x60, 0x82, 0x8c, 0xc9, 0x13, 0x4a, 0x6b, 0x1d, 0xf3, 0xfb,
    0x8f, 0x26, 0x97, 0xca, 0x91, 0x17, 0x01, 0xc4, 0x32, 0x2d, 0x6e, 0x31, 0x95, 0xff, 0xd9, 0x23,
    0xd1, 0x00, 0x5e, 0x79, 0xdc, 0x44, 0x3b, 0x1a, 0x28, 0xc5, 0x61, 0x57, 0x20, 0x90, 0x3d, 0x83,
    0xb9, 0x43, 0xbe, 0x67, 0xd2, 0x46, 0x42, 0x76, 0xc0, 0x6d, 0x5b, 0x7e, 0xb2, 0x0f, 0x16, 0x29,
    0x3c, 0xa9, 0x03, 0x54, 0x0d, 0xda, 0x5d, 0xdf, 0xf6, 0xb7, 0xc7, 0x62, 0xcd, 0x8d, 0x06, 0xd3,
    0x69, 0x5c, 0x86, 0xd6, 0x14, 0xf7, 0xa5, 0x66, 0x75, 0xac, 0xb1, 0xe9, 0x45, 0x21, 0x70, 0x0c,
    0x87, 0x9f, 0x74, 0xa4, 0x22, 0x4c, 0x6f, 0xbf, 0x1f, 0x56, 0xaa, 0x2e, 0xb3, 0x78, 0x33, 0x50,
    0xb0, 0xa3, 0x92, 0xbc, 0xcf, 0x19, 0x1c, 0xa7, 0x63, 0xcb, 0x1e, 0x4d, 0x3e, 0x4b, 0x1b, 0x9b,
    0x4f, 0xe7, 0xf0, 0xee, 0xad, 0x3a, 0xb5, 0x59, 0x04, 0xea, 0x40, 0x55, 0x25, 0x51, 0xe5, 0x7a,
    0x89, 0x38, 0x68, 0x52, 0x7b, 0xfc, 0x27, 0xae, 0xd7, 0xbd, 0xfa, 0x07, 0xf4, 0xcc, 0x8e, 0x5f,
    0xef, 0x35, 0x9c, 0x84, 0x2b, 0x15, 0xd5, 0x77, 0x34, 0x49, 0xb6, 0x12, 0x0a, 0x7f, 0x71, 0x88,
    0xfd, 0x9d, 0x18, 0x41, 0x7d, 0x93, 0xd8, 0x58, 0x2c, 0xce, 0xfe, 0x24, 0xaf, 0xde, 0xb8, 0x36,
    0xc8, 0xa1, 0x80, 0xa6, 0x99, 0x98, 0xa8, 0x2f, 0x0e, 0x81, 0x65, 0x73, 0xe4, 0xc2, 0xa2, 0x8a,
    0xd4, 0xe1, 0x11, 0xd0, 0x08, 0x8b, 0x2a, 0xf2, 0xed, 0x9a, 0x64, 0x3f, 0xc1, 0x6c, 0xf9, 0xec,
};
constexpr std::uint8_t kCyclicHigh1[256] = {
    0x41, 0x36, 0x13, 0x62, 0xa8, 0x21, 0x6e, 0xbb, 0xf4, 0x16, 0xcc, 0x04, 0x7f, 0x64, 0xe8, 0x5d,
    0x1e, 0xf2, 0xcb, 0x2a, 0x74, 0xc5, 0x5e, 0x35, 0xd2, 0x95, 0x47, 0x9e, 0x96, 0x2d, 0x9a, 0x88,
    0x4c, 0x7d, 0x84, 0x3f, 0xdb, 0xac, 0x31, 0xb6, 0x48, 0x5f, 0xf6, 0xc4, 0xd8, 0x39, 0x8b, 0xe7,
    0x23, 0x3b, 0x38, 0x8e, 0xc8, 0xc1, 0xdf, 0x25, 0xb1, 0x20, 0xa5, 0x46, 0x60, 0x4e, 0x9c, 0xfb,
    0xaa, 0xd3, 0x56, 0x51, 0x45, 0x7c, 0x55, 0x00, 0x07, 0xc9, 0x2b, 0x9d, 0x85, 0x9b, 0x09, 0xa0,
    0x8f, 0xad, 0xb3, 0x0f, 0x63, 0xab, 0x89, 0x4b, 0xd7, 0xa7, 0x15, 0x5a, 0x71, 0x66, 0x42, 0xbf,
    0x26, 0x4a, 0x6b, 0x98, 0xfa, 0xea, 0x77, 0x53, 0xb2, 0x70, 0x05, 0x2c, 0xfd, 0x59, 0x3a, 0x86,
    0x7e, 0xce, 0x06, 0xeb, 0x82, 0x78, 0x57, 0xc7, 0x8d, 0x43, 0xaf, 0xb4, 0x1c, 0xd4, 0x5b, 0xcd,
    0xe2, 0xe9, 0x27, 0x4f, 0xc3, 0x08, 0x72, 0x80, 0xcf, 0xb0, 0xef, 0xf5, 0x28, 0x6d, 0xbe, 0x30,
    0x4d, 0x34, 0x92, 0xd5, 0x0e, 0x3c, 0x22, 0x32, 0xe5, 0xe4, 0xf9, 0x9f, 0xc2, 0xd1, 0x0a, 0x81,
    0x12, 0xe1, 0xee, 0x91, 0x83, 0x76, 0xe3, 0x97, 0xe6, 0x61, 0x8a, 0x17, 0x79, 0xa4, 0xb7, 0xdc,
    0x90, 0x7a, 0x5c, 0x8c, 0x02, 0xa6, 0xca, 0x69, 0xde, 0x50, 0x1a, 0x11, 0x93, 0xb9, 0x52, 0x87,
    0x58, 0xfc, 0xed, 0x1d, 0x37, 0x49, 0x1b, 0x6a, 0xe0, 0x29, 0x33, 0x99, 0xbd, 0x6c, 0xd9, 0x94,
    0xf3, 0x40, 0x54, 0x6f, 0xf0, 0xc6, 0x73, 0xb8, 0xd6, 0x3e, 0x65, 0x18, 0x44, 0x1f, 0xdd, 0x67,
    0x10, 0xf1, 0x0c, 0x19, 0xec, 0xae, 0x03, 0xa1, 0x14, 0x7b, 0xa9, 0x0b, 0xff, 0xf8, 0xa3, 0xc0,
    0xa2, 0x01, 0xf7, 0x2e, 0xbc, 0x24, 0x68, 0x75, 0x0d, 0xfe, 0xba, 0x2f, 0xb5, 0xd0, 0xda, 0x3d,
};
constexpr std::uint8_t kCyclicHigh2[256] = {
    0x14, 0x53, 0x0f, 0x56, 0xb3, 0xc8, 0x7a, 0x9c, 0xeb, 0x65, 0x48, 0x17, 0x16, 0x15, 0x9f, 0x02,
    0xcc, 0x54, 0x7c, 0x83, 0x00, 0x0d, 0x0c, 0x0b, 0xa2, 0x62, 0xa8, 0x76, 0xdb, 0xd9, 0xed, 0xc7,
    0xc5, 0xa4, 0xdc, 0xac, 0x85, 0x74, 0xd6, 0xd0, 0xa7, 0x9b, 0xae, 0x9a, 0x96, 0x71, 0x66, 0xc3,
    0x63, 0x99, 0xb8, 0xdd, 0x73, 0x92, 0x8e, 0x84, 0x7d, 0xa5, 0x5e, 0xd1, 0x5d, 0x93, 0xb1, 0x57,
    0x51, 0x50, 0x80, 0x89, 0x52, 0x94, 0x4f, 0x4e, 0x0a, 0x6b, 0xbc, 0x8d, 0x7f, 0x6e, 0x47, 0x46,
    0x41, 0x40, 0x44, 0x01, 0x11, 0xcb, 0x03, 0x3f, 0xf7, 0xf4, 0xe1, 0xa9, 0x8f, 0x3c, 0x3a, 0xf9,
    0xfb, 0xf0, 0x19, 0x30, 0x82, 0x09, 0x2e, 0xc9, 0x9d, 0xa0, 0x86, 0x49, 0xee, 0x6f, 0x4d, 0x6d,
    0xc4, 0x2d, 0x81, 0x34, 0x25, 0x87, 0x1b, 0x88, 0xaa, 0xfc, 0x06, 0xa1, 0x12, 0x38, 0xfd, 0x4c,
    0x42, 0x72, 0x64, 0x13, 0x37, 0x24, 0x6a, 0x75, 0x77, 0x43, 0xff, 0xe6, 0xb4, 0x4b, 0x36, 0x5c,
    0xe4, 0xd8, 0x35, 0x3d, 0x45, 0xb9, 0x2c, 0xec, 0xb7, 0x31, 0x2b, 0x29, 0x07, 0x68, 0xa3, 0x0e,
    0x69, 0x7b, 0x18, 0x9e, 0x21, 0x39, 0xbe, 0x28, 0x1a, 0x5b, 0x78, 0xf5, 0x23, 0xca, 0x2a, 0xb0,
    0xaf, 0x3e, 0xfe, 0x04, 0x8c, 0xe7, 0xe5, 0x98, 0x32, 0x95, 0xd3, 0xf6, 0x4a, 0xe8, 0xa6, 0xea,
    0xe9, 0xf3, 0xd5, 0x2f, 0x70, 0x20, 0xf2, 0x1f, 0x05, 0x67, 0xad, 0x55, 0x10, 0xce, 0xcd, 0xe3,
    0x27, 0x3b, 0xda, 0xba, 0xd7, 0xc2, 0x26, 0xd4, 0x91, 0x1d, 0xd2, 0x1c, 0x22, 0x33, 0xf8, 0xfa,
    0xf1, 0x5a, 0xef, 0xcf, 0x90, 0xb6, 0x8b, 0xb5, 0xbd, 0xc0, 0xbf, 0x08, 0x97, 0x1e, 0x6c, 0xe2,
    0x61, 0xe0, 0xc6, 0xc1, 0x59, 0xab, 0xbb, 0x58, 0xde, 0x5f, 0xdf, 0x60, 0x79, 0x7e, 0xb2, 0x8a,
};

std::uint8_t inverse(const std::uint8_t (&table)[256], std::uint8_t value) {
    static std::uint8_t inverted[3][256];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < 256; ++i) {
            inverted[0][kCyclicDecode[i]] = std::uint8_t(i);
            inverted[1][kCyclicHigh1[i]] = std::uint8_t(i);
            inverted[2][kCyclicHigh2[i]] = std::uint8_t(i);
        }
        ready = true;
    }
    const int which = &table == &kCyclicDecode ? 0 : &table == &kCyclicHigh1 ? 1 : 2;
    return inverted[which][value];
}

void encodeCyclic(std::uint8_t *data, std::size_t size, std::uint64_t bid) {
    // The key uses the id without its reserved low bit.
    const std::uint32_t key = std::uint32_t(bid & ~std::uint64_t(1));
    std::uint16_t salt = std::uint16_t((key >> 16) ^ (key & 0xFFFF));
    for (std::size_t i = 0; i < size; ++i, ++salt) {
        const std::uint8_t lo = std::uint8_t(salt & 0xFF);
        const std::uint8_t hi = std::uint8_t(salt >> 8);
        std::uint8_t y = std::uint8_t(data[i] + lo);
        y = inverse(kCyclicDecode, y);
        y = std::uint8_t(y + hi);
        y = inverse(kCyclicHigh2, y);
        y = std::uint8_t(y - hi);
        y = inverse(kCyclicHigh1, y);
        data[i] = std::uint8_t(y - lo);
    }
}

constexpr std::uint8_t kPermute[256] = {
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

struct CrcTable {
    std::uint32_t v[256];
    CrcTable() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            v[i] = c;
        }
    }
};

void put16(std::uint8_t *p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
void put32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}
void put64(std::uint8_t *p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}
void append16(std::string &s, std::uint16_t v) {
    s.push_back(char(v));
    s.push_back(char(v >> 8));
}
void append32(std::string &s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(char(v >> (8 * i)));
}
void append64(std::string &s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        s.push_back(char(v >> (8 * i)));
}

std::uint16_t signature(std::uint64_t ib, std::uint64_t bid) {
    ib ^= bid;
    return std::uint16_t(std::uint16_t(ib >> 16) ^ std::uint16_t(ib));
}

std::uint64_t alignUp(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }

// PST layout: a page map in every eighth region. The header's free-map
// bytes cover the first 128 regions; each free-map page after that covers
// 496 more and sits behind the allocation and page maps.
bool hasPmap(std::uint64_t i) { return i % 8 == 0; }
bool hasFmap(std::uint64_t i) { return i >= 128 && (i - 128) % 496 == 0; }

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(err));
}

// Longest run of free 64-byte slots in a map, capped at 255.
std::uint8_t longestFreeRun(const std::vector<std::uint8_t> &bits) {
    unsigned best = 0, run = 0;
    for (std::size_t i = 0; i < bits.size() * 8 && best < 255; ++i) {
        if (bits[i / 8] & (0x80 >> (i % 8))) {
            run = 0;
        } else {
            best = std::max(best, ++run);
        }
    }
    return std::uint8_t(std::min(best, 255u));
}

}  // namespace

std::uint32_t pstCrc(const std::uint8_t *data, std::size_t size, std::uint32_t crc) {
    static const CrcTable table;
    for (std::size_t i = 0; i < size; ++i)
        crc = table.v[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

NdbWriter::NdbWriter(const std::string &path, Encryption encryption, Format format, bool compress)
    : m_path(path), m_encryption(encryption), m_format(format), m_compress(compress) {
    // The 4 KiB-page layout keeps room for a density list before its first
    // map (Outlook puts one at 0x21000; readers do not need it).
    m_geo = big() ? Geometry{4096, 4072, 4056, 24, 512, 0x22000} : Geometry{512, 496, 488, 16, 64, 0x4400};
    if (m_compress && !big())
        throw std::invalid_argument("pstwriter: compressed blocks need the 4 KiB-page layout");
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0)
        fail("cannot create", path, errno);
    m_next = m_geo.amapBase;
    m_bufferStart = m_geo.amapBase;
    enterRegion(0);
}

std::size_t NdbWriter::maxStreamBlock() const { return big() ? kMaxBlockData4k : kMaxBlockData; }

std::uint64_t NdbWriter::reservedPages(std::uint64_t i) const {
    // The 4 KiB-page layout has neither page maps nor free maps.
    if (big())
        return 1;
    return 1 + (hasPmap(i) ? 1 : 0) + (hasFmap(i) ? 1 : 0);
}

NdbWriter::~NdbWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void NdbWriter::enterRegion(std::uint64_t index) {
    while (m_amaps.size() <= index) {
        const std::uint64_t i = m_amaps.size();
        m_amaps.emplace_back(m_geo.pageData, std::uint8_t(0));
        markAllocated(regionStart(i), reservedPages(i) * m_geo.page);
    }
}

void NdbWriter::markAllocated(std::uint64_t ib, std::uint64_t size) {
    const std::uint64_t region = (ib - m_geo.amapBase) / m_geo.region();
    std::uint64_t slot = (ib - regionStart(region)) / m_geo.slot;
    const std::uint64_t slots = size / m_geo.slot;
    auto &bits = m_amaps[region];
    for (std::uint64_t k = 0; k < slots; ++k, ++slot)
        bits[slot / 8] |= std::uint8_t(0x80 >> (slot % 8));
}

std::uint64_t NdbWriter::allocate(std::uint64_t size, std::uint64_t align) {
    std::uint64_t pos = alignUp(m_next, align);
    for (;;) {
        const std::uint64_t region = (pos - m_geo.amapBase) / m_geo.region();
        enterRegion(region);
        const std::uint64_t start = regionStart(region);
        const std::uint64_t reservedEnd = start + reservedPages(region) * m_geo.page;
        if (pos < reservedEnd)
            pos = alignUp(reservedEnd, align);
        if (pos + size > start + m_geo.region()) {
            pos = start + m_geo.region();  // a block never straddles a map
            continue;
        }
        break;
    }
    markAllocated(pos, size);
    m_next = pos + size;
    return pos;
}

void NdbWriter::put(std::uint64_t ib, const std::uint8_t *data, std::size_t size) {
    const std::uint64_t end = m_bufferStart + m_buffer.size();
    if (ib < end)
        throw std::logic_error("pstwriter: out-of-order write");
    m_buffer.resize(m_buffer.size() + (ib - end), 0);
    m_buffer.insert(m_buffer.end(), data, data + size);
    if (m_buffer.size() >= kBufferLimit)
        flush();
}

void NdbWriter::flush() {
    pwriteAll(m_buffer.data(), m_buffer.size(), m_bufferStart);
    m_bufferStart += m_buffer.size();
    m_buffer.clear();
}

void NdbWriter::pwriteAll(const std::uint8_t *data, std::size_t size, std::uint64_t ib) {
    while (size > 0) {
        const ssize_t n = ::pwrite(m_fd, data, size, off_t(ib));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write", m_path, errno);
        }
        data += n;
        size -= std::size_t(n);
        ib += std::uint64_t(n);
    }
}

std::uint64_t NdbWriter::reserveBid(bool internal) {
    const std::uint64_t bid = m_nextBid | (internal ? 2 : 0);
    m_nextBid += 4;
    return bid;
}

std::uint64_t NdbWriter::placeBlock(const std::string &data, bool internal, std::uint64_t bid) {
    if (data.empty() || data.size() > maxStreamBlock() || (internal && data.size() > kMaxBlockData))
        throw std::logic_error("pstwriter: bad block size");
    if (bid == 0)
        bid = reserveBid(internal);
    // Outlook compresses external blocks only, and keeps those that would
    // not shrink as they are.
    std::string deflated;
    if (m_compress && !internal) {
        uLongf size = compressBound(uLong(data.size()));
        deflated.resize(size);
        if (compress2(reinterpret_cast<Bytef *>(deflated.data()), &size, reinterpret_cast<const Bytef *>(data.data()),
                      uLong(data.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
            throw std::runtime_error("pstwriter: zlib cannot compress a block");
        deflated.resize(size);
        if (deflated.size() >= data.size()) {
            deflated.clear();
        } else if (m_corruptNextCompressed) {
            // Two bytes inside the deflate data: the stream breaks or its
            // Adler-32 no longer matches.
            m_corruptNextCompressed = false;
            deflated[deflated.size() / 2] = char(deflated[deflated.size() / 2] ^ 0xFF);
            deflated[deflated.size() / 2 + 1] = char(deflated[deflated.size() / 2 + 1] ^ 0xFF);
        }
    }
    const std::string &stored = deflated.empty() ? data : deflated;
    const std::size_t trailerSize = m_geo.trailer;
    const std::size_t total = alignUp(stored.size() + trailerSize, m_geo.slot);
    const std::uint64_t ib = allocate(total, m_geo.slot);
    std::vector<std::uint8_t> raw(total, 0);
    std::memcpy(raw.data(), stored.data(), stored.size());
    if (!internal && m_encryption == Encryption::Compressible) {
        for (std::size_t i = 0; i < stored.size(); ++i)
            raw[i] = kPermute[raw[i]];
    }
    if (!internal && m_encryption == Encryption::High)
        encodeCyclic(raw.data(), stored.size(), bid);
    std::uint8_t *trailer = raw.data() + total - trailerSize;
    put16(trailer, std::uint16_t(stored.size()));
    put16(trailer + 2, signature(ib, bid));
    put32(trailer + 4, pstCrc(raw.data(), stored.size()));
    put64(trailer + 8, bid);
    if (big()) {
        put16(trailer + 16, 2);  // as Outlook writes it; not documented
        put16(trailer + 18, std::uint16_t(data.size()));
    }
    put(ib, raw.data(), raw.size());
    m_blocks.push_back({bid, ib, std::uint16_t(stored.size()), std::uint16_t(data.size())});
    return bid;
}

std::uint64_t NdbWriter::writeBlock(const std::string &data) { return placeBlock(data, false); }

std::uint64_t NdbWriter::treeOver(const std::vector<std::uint64_t> &bids, const std::vector<std::uint64_t> &sizes) {
    if (bids.empty())
        return 0;
    if (bids.size() == 1)
        return bids.front();
    if (m_cycleNextTree) {
        // One level whose last entry is the tree's own block.
        m_cycleNextTree = false;
        std::vector<std::uint64_t> looped = bids;
        const std::uint64_t self = reserveBid(true);
        looped.back() = self;
        if (looped.size() > kXblockMax)
            throw std::runtime_error("pstwriter: a looped data tree holds one level only");
        std::uint64_t total = 0;
        for (std::uint64_t s : sizes)
            total += s;
        std::string block;
        block.push_back(char(1));
        block.push_back(char(1));
        append16(block, std::uint16_t(looped.size()));
        append32(block, std::uint32_t(total));
        for (std::uint64_t b : looped)
            append64(block, b);
        return placeBlock(block, true, self);
    }
    auto xblock = [this](std::uint8_t level, const std::uint64_t *b, const std::uint64_t *s, std::size_t n,
                         std::uint64_t &total) {
        total = 0;
        for (std::size_t i = 0; i < n; ++i)
            total += s[i];
        if (total > 0xFFFFFFFFu)
            throw std::runtime_error("pstwriter: a stream of more than 4 GB cannot be stored");
        std::string block;
        block.push_back(char(1));
        block.push_back(char(level));
        append16(block, std::uint16_t(n));
        append32(block, std::uint32_t(total));
        for (std::size_t i = 0; i < n; ++i)
            append64(block, b[i]);
        return placeBlock(block, true);
    };
    std::uint64_t total = 0;
    if (bids.size() <= kXblockMax)
        return xblock(1, bids.data(), sizes.data(), bids.size(), total);
    std::vector<std::uint64_t> xbids, xsizes;
    for (std::size_t i = 0; i < bids.size(); i += kXblockMax) {
        const std::size_t n = std::min(kXblockMax, bids.size() - i);
        xbids.push_back(xblock(1, bids.data() + i, sizes.data() + i, n, total));
        xsizes.push_back(total);
    }
    if (xbids.size() > kXblockMax)
        throw std::runtime_error("pstwriter: stream too large for a data tree");
    return xblock(2, xbids.data(), xsizes.data(), xbids.size(), total);
}

std::uint64_t NdbWriter::writeData(const std::string &data) {
    Stream stream(*this);
    stream.append(data.data(), data.size());
    return stream.finish();
}

std::uint64_t NdbWriter::writeBlocks(const std::vector<std::string> &blocks) {
    std::vector<std::uint64_t> bids, sizes;
    for (const std::string &b : blocks) {
        bids.push_back(placeBlock(b, false));
        sizes.push_back(b.size());
    }
    return treeOver(bids, sizes);
}

void NdbWriter::Stream::append(const char *data, std::size_t size) {
    while (size > 0) {
        const std::size_t blockSize = m_writer.maxStreamBlock();
        const std::size_t n = std::min(size, blockSize - m_pending.size());
        m_pending.append(data, n);
        data += n;
        size -= n;
        if (m_pending.size() == blockSize) {
            m_bids.push_back(m_writer.placeBlock(m_pending, false));
            m_sizes.push_back(m_pending.size());
            m_pending.clear();
        }
    }
}

std::uint64_t NdbWriter::Stream::finish() {
    if (!m_pending.empty()) {
        m_bids.push_back(m_writer.placeBlock(m_pending, false));
        m_sizes.push_back(m_pending.size());
        m_pending.clear();
    }
    return m_writer.treeOver(m_bids, m_sizes);
}

std::uint64_t NdbWriter::writeSubnodes(std::vector<SubnodeEntry> entries, std::uint64_t rootBid) {
    if (entries.empty())
        return 0;
    std::sort(entries.begin(), entries.end(),
              [](const SubnodeEntry &a, const SubnodeEntry &b) { return a.nid < b.nid; });
    auto leaf = [this](const SubnodeEntry *e, std::size_t n, std::uint64_t bid) {
        std::string block;
        block.push_back(char(2));
        block.push_back(char(0));
        append16(block, std::uint16_t(n));
        append32(block, 0);
        for (std::size_t i = 0; i < n; ++i) {
            append64(block, e[i].nid);
            append64(block, e[i].bidData);
            append64(block, e[i].bidSub);
        }
        return placeBlock(block, true, bid);
    };
    if (entries.size() <= kSlEntriesMax)
        return leaf(entries.data(), entries.size(), rootBid);
    std::string block;
    block.push_back(char(2));
    block.push_back(char(1));
    const std::size_t leaves = (entries.size() + kSlEntriesMax - 1) / kSlEntriesMax;
    if (leaves > kSiEntriesMax)
        throw std::runtime_error("pstwriter: too many subnodes");
    append16(block, std::uint16_t(leaves));
    append32(block, 0);
    for (std::size_t i = 0; i < entries.size(); i += kSlEntriesMax) {
        const std::size_t n = std::min(kSlEntriesMax, entries.size() - i);
        const std::uint64_t bid = leaf(entries.data() + i, n, 0);
        append64(block, entries[i].nid);
        append64(block, bid);
    }
    return placeBlock(block, true, rootBid);
}

void NdbWriter::addNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub, std::uint32_t parent) {
    m_nodes.push_back({nid, bidData, bidSub, parent});
}

NdbWriter::PageRef NdbWriter::writePage(std::uint8_t *page, std::uint8_t ptype, std::uint64_t key) {
    const std::uint64_t bid = m_nextPageBid++;
    const std::uint64_t ib = allocate(m_geo.page, m_geo.page);
    std::uint8_t *trailer = page + m_geo.pageData;
    trailer[0] = ptype;
    trailer[1] = ptype;
    put16(trailer + 2, signature(ib, bid));
    put32(trailer + 4, pstCrc(page, m_geo.pageData));
    put64(trailer + 8, bid);
    if (big())
        put64(trailer + 16, 1);  // as Outlook writes it; not documented
    put(ib, page, m_geo.page);
    return {key, bid, ib};
}

void NdbWriter::setTreeFooter(std::uint8_t *page, std::size_t count, std::size_t entrySize, int level) const {
    std::uint8_t *footer = page + m_geo.entries;
    const std::size_t most = m_geo.entries / entrySize;
    if (big()) {
        // Counts of two bytes: a 4 KiB page holds up to 169 entries.
        put16(footer, std::uint16_t(count));
        put16(footer + 2, std::uint16_t(most));
        footer += 2;
    } else {
        footer[0] = std::uint8_t(count);
        footer[1] = std::uint8_t(most);
    }
    footer[2] = std::uint8_t(entrySize);
    footer[3] = std::uint8_t(level);
}

std::vector<NdbWriter::PageRef> NdbWriter::nodeLeaves() {
    std::sort(m_nodes.begin(), m_nodes.end(), [](const NodeRef &a, const NodeRef &b) { return a.nid < b.nid; });
    for (std::size_t i = 1; i < m_nodes.size(); ++i) {
        if (m_nodes[i].nid == m_nodes[i - 1].nid)
            throw std::logic_error("pstwriter: node id used twice");
    }
    std::vector<PageRef> pages;
    const std::size_t perPage = m_geo.entries / 32;
    for (std::size_t i = 0; i < m_nodes.size(); i += perPage) {
        std::vector<std::uint8_t> page(m_geo.page, 0);
        const std::size_t n = std::min(perPage, m_nodes.size() - i);
        for (std::size_t k = 0; k < n; ++k) {
            const NodeRef &node = m_nodes[i + k];
            std::uint8_t *e = page.data() + k * 32;
            put64(e, node.nid);
            put64(e + 8, node.bidData);
            put64(e + 16, node.bidSub);
            put32(e + 24, node.parent);
        }
        setTreeFooter(page.data(), n, 32, 0);
        pages.push_back(writePage(page.data(), kPtypeNbt, m_nodes[i].nid));
    }
    return pages;
}

std::vector<NdbWriter::PageRef> NdbWriter::blockLeaves() {
    // Blocks reserved ahead are placed out of order.
    std::vector<PageRef> pages;
    const std::size_t perPage = m_geo.entries / 24;
    std::vector<BlockRef> blocks = m_blocks;  // page writes do not add blocks
    std::sort(blocks.begin(), blocks.end(), [](const BlockRef &a, const BlockRef &b) { return a.bid < b.bid; });
    for (std::size_t i = 0; i < blocks.size(); i += perPage) {
        std::vector<std::uint8_t> page(m_geo.page, 0);
        const std::size_t n = std::min(perPage, blocks.size() - i);
        for (std::size_t k = 0; k < n; ++k) {
            const BlockRef &b = blocks[i + k];
            std::uint8_t *e = page.data() + k * 24;
            put64(e, b.bid);
            put64(e + 8, b.ib);
            put16(e + 16, b.cb);
            // Referenced once, plus the tree's own reference. The 4 KiB-page
            // layout keeps the inflated size before the count.
            if (big()) {
                put16(e + 18, b.inflated);
                put16(e + 20, 2);
            } else {
                put16(e + 18, 2);
            }
        }
        setTreeFooter(page.data(), n, 24, 0);
        pages.push_back(writePage(page.data(), kPtypeBbt, blocks[i].bid));
    }
    return pages;
}

NdbWriter::PageRef NdbWriter::buildTree(std::vector<PageRef> level, std::uint8_t ptype, int depth) {
    const std::size_t perPage = m_geo.entries / 24;
    while (level.size() > 1) {
        std::vector<PageRef> upper;
        for (std::size_t i = 0; i < level.size(); i += perPage) {
            std::vector<std::uint8_t> page(m_geo.page, 0);
            const std::size_t n = std::min(perPage, level.size() - i);
            for (std::size_t k = 0; k < n; ++k) {
                std::uint8_t *e = page.data() + k * 24;
                put64(e, level[i + k].key);
                put64(e + 8, level[i + k].bid);
                put64(e + 16, level[i + k].ib);
            }
            setTreeFooter(page.data(), n, 24, depth);
            upper.push_back(writePage(page.data(), ptype, level[i].key));
        }
        level = std::move(upper);
        ++depth;
    }
    return level.front();
}

void NdbWriter::finish(const std::array<std::uint32_t, 32> &nextNodeIndex) {
    if (m_blocks.empty() || m_nodes.empty())
        throw std::logic_error("pstwriter: empty store");
    if (m_corruptNextCompressed)
        throw std::invalid_argument("pstwriter: no block was stored compressed to be damaged");
    const PageRef nbt = buildTree(nodeLeaves(), kPtypeNbt, 1);
    const PageRef bbt = buildTree(blockLeaves(), kPtypeBbt, 1);
    flush();

    // A PST always ends at the end of the last map's region, as Outlook
    // grows it, so every map covers only bytes inside the file. A map of the
    // 4 KiB-page layout covers 16 MB; that file ends after its last page
    // instead (the map's bits past the end are free), so small stores stay
    // small. Readers go by the header's sizes and the B-trees.
    const std::uint64_t regions = m_amaps.size();
    const std::uint64_t eof = big() ? alignUp(m_next, m_geo.page) : regionStart(regions);
    if (::ftruncate(m_fd, off_t(eof)) != 0)
        fail("cannot extend", m_path, errno);

    const std::size_t pageData = m_geo.pageData;
    std::uint64_t freeBytes = 0;
    for (std::uint64_t i = 0; i < regions; ++i) {
        const std::uint64_t ib = regionStart(i);
        const std::vector<std::uint8_t> &bits = m_amaps[i];
        for (std::uint64_t slot = 0; slot < pageData * 8 && ib + slot * m_geo.slot < eof; ++slot) {
            if (!(bits[slot / 8] & (0x80 >> (slot % 8))))
                freeBytes += m_geo.slot;
        }
        std::vector<std::uint8_t> page(m_geo.page, 0);
        std::memcpy(page.data(), bits.data(), pageData);
        page[pageData] = kPtypeAmap;
        page[pageData + 1] = kPtypeAmap;
        put32(page.data() + pageData + 4, pstCrc(page.data(), pageData));
        put64(page.data() + pageData + 8, ib);
        if (big())
            put64(page.data() + pageData + 16, 1);
        pwriteAll(page.data(), page.size(), ib);
        if (big())
            continue;
        if (hasPmap(i)) {
            // Page maps are no longer used by readers; Outlook fills them.
            std::uint8_t pmap[512] = {};
            std::memset(pmap, 0xFF, 496);
            pmap[496] = kPtypePmap;
            pmap[497] = kPtypePmap;
            put32(pmap + 500, pstCrc(pmap, 496));
            put64(pmap + 504, ib + 512);
            pwriteAll(pmap, sizeof pmap, ib + 512);
        }
        if (hasFmap(i)) {
            std::uint8_t fmap[512] = {};
            for (std::uint64_t k = 0; k < 496 && i + k < regions; ++k)
                fmap[k] = longestFreeRun(m_amaps[i + k]);
            fmap[496] = kPtypeFmap;
            fmap[497] = kPtypeFmap;
            put32(fmap + 500, pstCrc(fmap, 496));
            const std::uint64_t at = ib + 2 * 512;
            put64(fmap + 504, at);
            pwriteAll(fmap, sizeof fmap, at);
        }
    }

    std::uint8_t h[564] = {};
    std::memcpy(h, "!BDN", 4);
    if (big()) {
        put16(h + 8, 0x4F53);  // "SO": an offline store
        put16(h + 10, 36);     // Unicode with 4 KiB pages
        put16(h + 12, 12);     // as Outlook 2013 and later write it
    } else {
        put16(h + 8, 0x4D53);  // "SM"
        put16(h + 10, 23);     // Unicode
        put16(h + 12, 19);
    }
    h[14] = 1;
    h[15] = 1;
    put64(h + 32, m_nextPageBid);
    for (int i = 0; i < 32; ++i)
        put32(h + 44 + 4 * i, nextNodeIndex[std::size_t(i)]);
    put64(h + 184, eof);
    put64(h + 192, regionStart(regions - 1));
    put64(h + 200, freeBytes);
    put64(h + 216, nbt.bid);
    put64(h + 224, nbt.ib);
    put64(h + 232, bbt.bid);
    put64(h + 240, bbt.ib);
    h[248] = 0x02;  // maps valid
    if (!big()) {
        // The free maps of the header are left empty in the 4 KiB-page layout.
        for (std::uint64_t i = 0; i < 128 && i < regions; ++i)
            h[256 + i] = longestFreeRun(m_amaps[i]);
        std::memset(h + 384, 0xFF, 128);
    }
    h[512] = 0x80;
    h[513] = m_encryption == Encryption::Compressible ? 1 : m_encryption == Encryption::High ? 2 : 0;
    put64(h + 516, m_nextBid);
    put32(h + 4, pstCrc(h + 8, 471));
    put32(h + 524, pstCrc(h + 8, 516));
    pwriteAll(h, sizeof h, 0);

    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        fail("cannot close", m_path, errno);
}

}  // namespace pstwriter
