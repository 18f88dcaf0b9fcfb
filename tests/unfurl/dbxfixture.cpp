#include "dbxfixture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <stdexcept>
#include <unistd.h>

namespace unfurl::fixture {

namespace {

constexpr uint32_t kHeaderSize = 0x24BC;
constexpr uint32_t kFileInfoSize = 0x618;
constexpr uint32_t kVariableSegment = 0xC000;
constexpr uint32_t kBlockSize = 0x210;
constexpr uint32_t kBlocksPerSegment = 120;
constexpr uint32_t kMessageSegment = kBlockSize * kBlocksPerSegment;  // 0xF780
constexpr uint32_t kNodeSize = 0x27C;
constexpr uint32_t kNodesPerSegment = 25;
constexpr uint32_t kTreeSegment = kNodeSize * kNodesPerSegment;  // 0x3E1C
constexpr uint32_t kDirectLimit = 1u << 24;

void putU32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void appendU32(std::string &s, uint32_t v) {
    unsigned char b[4];
    putU32(b, v);
    s.append(reinterpret_cast<char *>(b), 4);
}

void appendU64(std::string &s, uint64_t v) {
    appendU32(s, static_cast<uint32_t>(v));
    appendU32(s, static_cast<uint32_t>(v >> 32));
}

uint32_t to32(uint64_t v) {
    if (v > 0xFFFFFFFFull)
        throw std::runtime_error("fixture: offset beyond 4 GiB cannot be addressed");
    return static_cast<uint32_t>(v);
}

// Collects writes at arbitrary offsets, merging contiguous ones so a large
// file goes out in big sequential writes; untouched ranges stay holes.
class SparseWriter {
public:
    explicit SparseWriter(const std::string &path) {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            throw std::runtime_error("fixture: cannot create " + path + ": " + std::strerror(errno));
    }
    ~SparseWriter() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    void put(uint64_t offset, const void *data, size_t length) {
        if (offset != m_start + m_buffer.size() || m_buffer.size() > (8u << 20)) {
            flush();
            m_start = offset;
        }
        m_buffer.append(static_cast<const char *>(data), length);
    }
    void finish(uint64_t size) {
        flush();
        if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0)
            throw std::runtime_error(std::string("fixture: cannot size file: ") + std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
    }

private:
    void flush() {
        size_t done = 0;
        while (done < m_buffer.size()) {
            const ssize_t n = ::pwrite(m_fd, m_buffer.data() + done, m_buffer.size() - done,
                                       static_cast<off_t>(m_start + done));
            if (n < 0)
                throw std::runtime_error(std::string("fixture: write failed: ") + std::strerror(errno));
            done += static_cast<size_t>(n);
        }
        m_buffer.clear();
    }
    int m_fd = -1;
    uint64_t m_start = 0;
    std::string m_buffer;
};

struct Field {
    unsigned index;
    bool direct;
    uint32_t value;    // direct value
    std::string data;  // indirect bytes
};

std::vector<Field> fieldsOf(const FixtureMessage &m, uint32_t textSize, uint32_t firstBlock) {
    std::vector<Field> fields;
    auto integer = [&](unsigned index, uint32_t v, bool direct) {
        if (direct && v < kDirectLimit) {
            fields.push_back({index, true, v, {}});
        } else {
            std::string d;
            appendU32(d, v);
            fields.push_back({index, false, 0, d});
        }
    };
    auto time = [&](unsigned index, uint64_t t) {
        if (t == 0)
            return;
        std::string d;
        appendU64(d, t);
        fields.push_back({index, false, 0, d});
    };
    auto text = [&](unsigned index, const std::string &s) {
        if (!s.empty())
            fields.push_back({index, false, 0, s + '\0'});
    };
    integer(0x00, m.number, true);
    integer(0x01, m.flags, m.directFlags);
    time(0x02, m.sentTime);
    if (m.storeText)
        integer(0x04, firstBlock, !m.indirectFirstBlock);
    text(0x07, m.messageId);
    text(0x08, m.subject);
    text(0x0D, m.displayFrom);
    text(0x0E, m.emailFrom);
    if (m.storeText)
        integer(0x11, textSize, true);
    time(0x12, m.receivedTime);
    return fields;
}

std::string recordBytes(uint32_t address, const std::vector<Field> &fields) {
    std::string entries, data;
    for (const Field &f : fields) {
        const uint32_t value = f.direct ? f.value : static_cast<uint32_t>(data.size());
        appendU32(entries, static_cast<uint32_t>(f.index) | (f.direct ? 0x80u : 0u) | value << 8);
        data += f.data;
    }
    while (data.size() % 4)
        data += '\0';
    std::string out;
    appendU32(out, address);
    appendU32(out, static_cast<uint32_t>(entries.size() + data.size()));
    out += '\0';
    out += '\0';                                      // total object length, unused
    out += static_cast<char>(fields.size());
    out += '\x01';                                    // change counter
    return out + entries + data;
}

// Index tree shape: a node holds some entries, a left child and one child
// per entry; values sort left child, entry 0, child 0, entry 1 ...
struct TreeNode {
    uint32_t address = 0;
    uint32_t parent = 0;
    uint8_t id = 0;
    uint32_t left = 0;
    uint32_t leftCount = 0;
    std::vector<uint32_t> values, children, childCounts;
};

class TreeBuilder {
public:
    TreeBuilder(unsigned fanout, uint64_t firstSegment) : m_fanout(fanout), m_segment(firstSegment) {}

    uint32_t build(const std::vector<uint32_t> &values) {
        return values.empty() ? 0 : node(values, 0, values.size(), 0, 0);
    }
    std::vector<TreeNode> nodes;
    uint64_t segmentsEnd() const {
        return nodes.empty() ? m_segment : m_segment + kTreeSegment * ((nodes.size() + kNodesPerSegment - 1) / kNodesPerSegment);
    }
    uint64_t segmentStart() const { return m_segment; }

private:
    uint64_t capacity(unsigned height) const {
        uint64_t c = 0;
        for (unsigned h = 0; h < height; ++h)
            c = std::min<uint64_t>(c * (m_fanout + 1) + m_fanout, 1ull << 40);
        return c;
    }
    unsigned heightFor(uint64_t k) const {
        unsigned h = 1;
        while (capacity(h) < k)
            ++h;
        return h;
    }
    uint32_t node(const std::vector<uint32_t> &v, size_t lo, size_t hi, uint32_t parent, uint8_t id) {
        const size_t index = nodes.size();
        nodes.emplace_back();
        const uint32_t address = to32(m_segment + static_cast<uint64_t>(index) * kNodeSize);
        nodes[index].address = address;
        nodes[index].parent = parent;
        nodes[index].id = id;
        const size_t k = hi - lo;
        const unsigned height = heightFor(k);
        if (height == 1) {
            nodes[index].values.assign(v.begin() + lo, v.begin() + hi);
            nodes[index].children.assign(k, 0);
            nodes[index].childCounts.assign(k, 0);
            return address;
        }
        const uint64_t childCap = capacity(height - 1);
        const size_t entries = std::max<size_t>(1, (k + 1 + childCap) / (childCap + 1) - 1);
        const size_t inChildren = k - entries;
        const size_t each = inChildren / (entries + 1), extra = inChildren % (entries + 1);
        size_t at = lo;
        for (size_t c = 0; c <= entries; ++c) {
            const size_t n = each + (c < extra ? 1 : 0);
            const uint32_t child = n ? node(v, at, at + n, address, static_cast<uint8_t>(c)) : 0;
            if (c == 0) {
                nodes[index].left = child;
                nodes[index].leftCount = static_cast<uint32_t>(n);
            } else {
                nodes[index].children.push_back(child);
                nodes[index].childCounts.push_back(static_cast<uint32_t>(n));
            }
            at += n;
            if (c < entries)
                nodes[index].values.push_back(v[at++]);
        }
        return address;
    }
    unsigned m_fanout;
    uint64_t m_segment;
};

std::string nodeBytes(const TreeNode &n) {
    std::string out(kNodeSize, '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    putU32(p, n.address);
    putU32(p + 0x08, n.left);
    putU32(p + 0x0C, n.parent);
    p[0x10] = n.id;
    p[0x11] = static_cast<unsigned char>(n.values.size());
    putU32(p + 0x14, n.leftCount);
    for (size_t i = 0; i < n.values.size(); ++i) {
        putU32(p + 0x18 + 12 * i, n.values[i]);
        putU32(p + 0x18 + 12 * i + 4, n.children[i]);
        putU32(p + 0x18 + 12 * i + 8, n.childCounts[i]);
    }
    return out;
}

class VectorSource : public MessageSource {
public:
    explicit VectorSource(const std::vector<FixtureMessage> &m) : m_messages(m) {}
    size_t count() const override { return m_messages.size(); }
    FixtureMessage messageAt(size_t i) const override {
        FixtureMessage m = m_messages[i];
        m.text.clear();
        return m;
    }
    uint32_t textSize(size_t i) const override { return static_cast<uint32_t>(m_messages[i].text.size()); }
    void textOf(size_t i, std::string &text) const override { text = m_messages[i].text; }

private:
    const std::vector<FixtureMessage> &m_messages;
};

} // namespace

FixtureLayout writeDbx(const std::string &path, const std::vector<FixtureMessage> &messages,
                       const FixtureOptions &options) {
    return writeDbx(path, VectorSource(messages), options);
}

FixtureLayout writeDbx(const std::string &path, const MessageSource &source,
                       const FixtureOptions &options) {
    const size_t count = source.count();
    FixtureLayout layout;
    layout.records.resize(count);
    layout.blocks.resize(count);

    std::vector<FixtureMessage> metas;
    metas.reserve(count);
    for (size_t i = 0; i < count; ++i)
        metas.push_back(source.messageAt(i));
    std::vector<size_t> live;
    for (size_t i = 0; i < count; ++i)
        if (!metas[i].deleted)
            live.push_back(i);
    std::stable_sort(live.begin(), live.end(),
                     [&](size_t a, size_t b) { return metas[a].number < metas[b].number; });
    uint32_t highest = 0;
    for (size_t i : live)
        highest = std::max(highest, metas[i].number);
    const unsigned fanout = std::max(1u, std::min(options.maxEntriesPerNode, 0x33u));

    // A record's size depends on whether its first-block pointer fits a
    // direct entry, and the blocks' place on the records' size: settle the
    // layout by repeating until the pointers stop changing.
    const uint64_t varStart = kHeaderSize + kFileInfoSize;
    std::vector<uint32_t> firstBlocks(count, 0);
    uint64_t varEnd = varStart, varUsed = 0, totalBlocks = 0, msgSegments = 0, msgEnd = 0;
    unsigned varSegments = 0;
    TreeBuilder tree(fanout, 0);
    for (int pass = 0;; ++pass) {
        if (pass == 8)
            throw std::runtime_error("fixture: layout does not settle");
        // Records go into variable segments, a new one when the current is full.
        uint64_t varSegment = 0;
        varUsed = 0;
        varSegments = 0;
        for (size_t i = 0; i < count; ++i) {
            const auto size = recordBytes(0, fieldsOf(metas[i], source.textSize(i), firstBlocks[i])).size();
            if (varSegments == 0 || varUsed + size > kVariableSegment) {
                varSegment = varStart + static_cast<uint64_t>(varSegments++) * kVariableSegment;
                varUsed = 0;
            }
            layout.records[i] = to32(varSegment + varUsed);
            varUsed += size;
        }
        varEnd = varStart + static_cast<uint64_t>(varSegments) * kVariableSegment;

        // Index tree over the live records, sorted by message number; it
        // normally follows the text, indexBeforeText puts it first.
        std::vector<uint32_t> sortedRecords;
        for (size_t i : live)
            sortedRecords.push_back(layout.records[i]);
        tree = TreeBuilder(fanout, varEnd);
        tree.build(sortedRecords);

        // Data blocks: consecutive in message segments of 120 blocks.
        const uint64_t afterVar = options.indexBeforeText ? tree.segmentsEnd() : varEnd;
        const uint64_t msgStart = options.messageArea ? options.messageArea : afterVar;
        totalBlocks = 0;
        for (size_t i = 0; i < count; ++i) {
            layout.blocks[i].clear();
            if (!metas[i].storeText)
                continue;
            const uint64_t n = std::max<uint64_t>(1, (source.textSize(i) + 0x1FF) / 0x200);
            for (uint64_t b = 0; b < n; ++b)
                layout.blocks[i].push_back(to32(msgStart + (totalBlocks + b) * kBlockSize));
            if (options.scatterBlocks)
                std::reverse(layout.blocks[i].begin(), layout.blocks[i].end());
            totalBlocks += n;
        }
        msgSegments = (totalBlocks + kBlocksPerSegment - 1) / kBlocksPerSegment;
        msgEnd = msgSegments ? msgStart + msgSegments * kMessageSegment : msgStart;
        if (!options.indexBeforeText) {
            tree = TreeBuilder(fanout, msgEnd);
            tree.build(sortedRecords);
        }

        bool settled = true;
        for (size_t i = 0; i < count; ++i) {
            const uint32_t first = layout.blocks[i].empty() ? 0 : layout.blocks[i].front();
            settled = settled && first == firstBlocks[i];
            firstBlocks[i] = first;
        }
        if (settled)
            break;
    }
    layout.treeRoot = tree.nodes.empty() ? 0 : tree.nodes.front().address;
    for (const TreeNode &n : tree.nodes)
        layout.nodes.push_back(n.address);
    const uint64_t fileEnd = options.indexBeforeText ? msgEnd : tree.segmentsEnd();
    layout.fileSize = fileEnd;

    // Header and file info.
    std::string header(kHeaderSize + kFileInfoSize, '\0');
    auto *h = reinterpret_cast<unsigned char *>(header.data());
    const unsigned char signature[20] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3,
                                         0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0, 0x4F, 0xA3, 0x09, 0xD4};
    std::memcpy(h, signature, sizeof signature);
    putU32(h + 0x14, 5);
    putU32(h + 0x18, 5);
    putU32(h + 0x1C, kFileInfoSize);
    putU32(h + 0x64, 1);
    putU32(h + 0x80, 2);
    putU32(h + 0xC4, static_cast<uint32_t>(live.size()));
    putU32(h + 0xE4, layout.treeRoot);
    putU32(h + kHeaderSize, 1);
    h[kHeaderSize + 4] = 3;  // a local folder
    std::memcpy(h + kHeaderSize + 0x105, options.folderName.data(),
                std::min<size_t>(options.folderName.size(), 0x100));

    uint64_t freedBytes = 0, usedBytes = 0;
    SparseWriter out(path);
    std::string text;
    // Records, with the freed ones given a free-object header and put on the
    // free list for their size, as Outlook Express does on removal.
    for (size_t i = 0; i < count; ++i) {
        const FixtureMessage &m = metas[i];
        const uint32_t first = layout.blocks[i].empty() ? 0 : layout.blocks[i].front();
        std::string bytes = recordBytes(layout.records[i], fieldsOf(m, source.textSize(i), first));
        if (m.deleted) {
            const uint32_t total = static_cast<uint32_t>(bytes.size());
            const uint32_t listHead = 0x29C + total;
            if (listHead + 4 > kHeaderSize)
                throw std::runtime_error("fixture: freed record too large for a free list");
            auto *r = reinterpret_cast<unsigned char *>(bytes.data());
            putU32(r + 4, total - 0x14);
            putU32(r + 8, total);
            std::memcpy(r + 0x10, h + listHead, 4);
            putU32(h + listHead, layout.records[i]);
            freedBytes += total;
        } else {
            usedBytes += bytes.size();
        }
        out.put(layout.records[i], bytes.data(), bytes.size());
    }
    // Data blocks, written in file order.
    std::vector<std::pair<uint32_t, std::string>> pending;
    for (size_t i = 0; i < count; ++i) {
        if (layout.blocks[i].empty())
            continue;
        source.textOf(i, text);
        const auto &chain = layout.blocks[i];
        pending.clear();
        for (size_t b = 0; b < chain.size(); ++b) {
            std::string block(kBlockSize, '\0');
            auto *p = reinterpret_cast<unsigned char *>(block.data());
            const size_t from = b * 0x200;
            const size_t used = std::min<size_t>(0x200, text.size() - std::min(text.size(), from));
            putU32(p, chain[b]);
            putU32(p + 4, 0x200);
            putU32(p + 8, static_cast<uint32_t>(used));
            putU32(p + 12, b + 1 < chain.size() ? chain[b + 1] : 0);
            std::memcpy(p + 0x10, text.data() + std::min(text.size(), from), used);
            pending.emplace_back(chain[b], std::move(block));
        }
        std::sort(pending.begin(), pending.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[address, block] : pending)
            out.put(address, block.data(), block.size());
        if (!metas[i].deleted)
            usedBytes += chain.size() * kBlockSize;
    }
    for (const TreeNode &n : tree.nodes) {
        const std::string bytes = nodeBytes(n);
        out.put(n.address, bytes.data(), bytes.size());
    }
    usedBytes += tree.nodes.size() * kNodeSize;

    if (options.fillBookkeeping) {
        if (varSegments) {
            putU32(h + 0x24, to32(varEnd - kVariableSegment));
            putU32(h + 0x28, kVariableSegment);
            putU32(h + 0x2C, static_cast<uint32_t>(varUsed));
        }
        if (!tree.nodes.empty()) {
            const uint64_t inLast = (tree.nodes.size() - 1) % kNodesPerSegment + 1;
            putU32(h + 0x30, to32(tree.segmentsEnd() - kTreeSegment));
            putU32(h + 0x34, kTreeSegment);
            putU32(h + 0x38, static_cast<uint32_t>(inLast * kNodeSize));
        }
        if (msgSegments) {
            const uint64_t inLast = (totalBlocks - 1) % kBlocksPerSegment + 1;
            putU32(h + 0x3C, to32(msgEnd - kMessageSegment));
            putU32(h + 0x40, kMessageSegment);
            putU32(h + 0x44, static_cast<uint32_t>(inLast * kBlockSize));
        }
        putU32(h + 0x54, static_cast<uint32_t>(usedBytes));
        putU32(h + 0x58, static_cast<uint32_t>(freedBytes));
        putU32(h + 0x5C, highest);
        putU32(h + 0x7C, to32(fileEnd));
    }
    out.put(0, header.data(), header.size());
    out.finish(fileEnd);
    return layout;
}

std::vector<FixtureMessage> workedExample() {
    auto filetime = [](std::initializer_list<unsigned char> bytes) {
        uint64_t v = 0;
        int shift = 0;
        for (unsigned char b : bytes) {
            v |= static_cast<uint64_t>(b) << shift;
            shift += 8;
        }
        return v;
    };
    FixtureMessage a;
    a.number = 1;
    a.flags = 0x81;
    a.text = "From: Alice Example <alice@example.com>\r\n"
             "To: Bob Example <bob@example.com>\r\n"
             "Subject: First test message\r\n"
             "Date: Mon, 01 Jan 2001 10:00:00 +0000\r\n"
             "Message-ID: <msg1@example.com>\r\n"
             "\r\n"
             "Hello Bob,\r\n"
             "this is message one.\r\n";
    a.sentTime = filetime({0x00, 0xD0, 0x49, 0x9A, 0xD9, 0x73, 0xC0, 0x01});
    a.receivedTime = filetime({0x80, 0xC0, 0x44, 0x9D, 0xD9, 0x73, 0xC0, 0x01});
    a.messageId = "<msg1@example.com>";
    a.subject = "First test message";
    a.displayFrom = "Alice Example";
    a.emailFrom = "alice@example.com";

    FixtureMessage b;
    b.number = 2;
    b.flags = 0x1;
    b.text = "From: Bob Example <bob@example.com>\r\n"
             "To: Alice Example <alice@example.com>\r\n"
             "Subject: Second test message\r\n"
             "Date: Tue, 02 Jan 2001 11:30:00 +0000\r\n"
             "Message-ID: <msg2@example.com>\r\n"
             "\r\n";
    for (int i = 0; i < 10; ++i)
        b.text += "012345678901234567890123456789012345678901234567890123456789\r\n";
    b.sentTime = filetime({0x00, 0x2C, 0x5A, 0x57, 0xAF, 0x74, 0xC0, 0x01});
    b.receivedTime = filetime({0x80, 0x49, 0x86, 0x5B, 0xAF, 0x74, 0xC0, 0x01});
    b.messageId = "<msg2@example.com>";
    b.subject = "Second test message";
    b.displayFrom = "Bob Example";
    b.emailFrom = "bob@example.com";
    return {a, b};
}

namespace {
void patchBytes(const std::string &path, uint64_t offset, const void *data, size_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("fixture: cannot open " + path);
    const ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
    ::close(fd);
    if (n != static_cast<ssize_t>(length))
        throw std::runtime_error("fixture: cannot patch " + path);
}
} // namespace

void patchU32(const std::string &path, uint64_t offset, uint32_t value) {
    unsigned char b[4];
    putU32(b, value);
    patchBytes(path, offset, b, 4);
}

void patchU8(const std::string &path, uint64_t offset, uint8_t value) {
    patchBytes(path, offset, &value, 1);
}

uint32_t readU32(const std::string &path, uint64_t offset) {
    unsigned char b[4] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::pread(fd, b, 4, static_cast<off_t>(offset)) != 4) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("fixture: cannot read " + path);
    }
    ::close(fd);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void truncateFile(const std::string &path, uint64_t size) {
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
        throw std::runtime_error("fixture: cannot truncate " + path);
}

} // namespace unfurl::fixture
