#include "platform/pst/ndb/ndbfile.h"

#include "platform/pst/ndb/crypt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

namespace pw::pst::ndb {

namespace {

constexpr std::uint32_t kSignature = 0x4E444221; // "!BDN"
constexpr std::uint8_t kPageBbt = 0x80;
constexpr std::uint8_t kPageNbt = 0x81;
constexpr int kMaxTreeLevel = 8;

struct PageLayout {
    std::size_t size;
    std::size_t entriesSize; // room for entries
    std::size_t count;       // cEnt (1 byte, 2 in 4 KiB pages)
    std::size_t entrySize;   // cbEnt
    std::size_t level;       // cLevel
    std::size_t pageType;
    bool wideCounts;
};

PageLayout layoutFor(Format format) {
    switch (format) {
    case Format::Ansi: return {512, 496, 496, 498, 499, 500, false};
    case Format::Unicode: return {512, 488, 488, 490, 491, 496, false};
    case Format::Unicode4k: break;
    }
    return {4096, 4056, 4056, 4060, 4061, 4072, true};
}

QString shown(const QString &path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

void Budget::charge(std::uint64_t bytes, std::uint64_t offset) {
    if (bytes > m_left)
        throw Damage(QStringLiteral("damaged data at offset %1 (the item holds more data than the file)").arg(offset), offset);
    m_left -= bytes;
}

NdbFile::NdbFile(const QString &path) : m_path(path) {
    const QFileInfo info(path);
    const QString prefix = QStringLiteral("Cannot open the mail file %1: ").arg(shown(path));
    if (!info.exists())
        throw Error(prefix + QStringLiteral("the file does not exist."));
    if (info.isDir())
        throw Error(prefix + QStringLiteral("it is a folder."));
    const QByteArray encoded = QFile::encodeName(path);
    m_fd = ::open(encoded.constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            throw Error(prefix + QStringLiteral("permission denied."));
        throw Error(prefix + QString::fromLocal8Bit(std::strerror(error)) + QLatin1Char('.'));
    }
    try {
        struct stat st {};
        if (::fstat(m_fd, &st) != 0)
            throw Error(prefix + QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char('.'));
        m_fileSize = static_cast<std::uint64_t>(st.st_size);
        readHeader();
    } catch (const Damage &damage) {
        ::close(m_fd);
        m_fd = -1;
        throw Error(prefix + damage.text() + QLatin1Char('.'));
    } catch (const Error &error) {
        ::close(m_fd);
        m_fd = -1;
        if (error.text().startsWith(prefix))
            throw;
        throw Error(prefix + error.text() + QLatin1Char('.'));
    }
}

NdbFile::~NdbFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::size_t NdbFile::maxBlockData() const {
    switch (m_format) {
    case Format::Ansi: return 8192 - 12;
    case Format::Unicode: return 8192 - 16;
    case Format::Unicode4k: break;
    }
    return 65536 - 24;
}

void NdbFile::readAt(std::uint64_t offset, void *into, std::size_t size) const {
    if (offset > m_fileSize || size > m_fileSize - offset)
        throw Damage(QStringLiteral("the file ends early (%1 of %2 bytes)").arg(m_fileSize).arg(offset + size), offset);
    if (size > kReadAheadMax / 4) {
        readDirect(offset, into, size);
        return;
    }
    // Small reads (pages, blocks of items) that walk forward through the
    // file are served from a window read ahead, which grows while they keep
    // walking forward and is dropped when they jump; scattered reads go
    // straight to the file.
    const std::lock_guard<std::mutex> lock(m_ahead.mutex);
    ReadAhead &ahead = m_ahead;
    if (offset >= ahead.start && offset + size <= ahead.start + ahead.filled) {
        std::memcpy(into, ahead.buffer.get() + (offset - ahead.start), size);
        ahead.lastEnd = offset + size;
        return;
    }
    const bool forward = offset >= ahead.lastEnd && offset - ahead.lastEnd <= kReadAheadMax;
    ahead.window = forward ? std::min(std::max<std::size_t>(ahead.window * 2, 16 * 1024), kReadAheadMax) : 0;
    ahead.lastEnd = offset + size;
    if (ahead.window <= size) {
        readDirect(offset, into, size);
        return;
    }
    if (!ahead.buffer)
        ahead.buffer.reset(new std::uint8_t[kReadAheadMax]);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(ahead.window, m_fileSize - offset));
    ahead.filled = 0;
    ahead.start = offset;
    readDirect(offset, ahead.buffer.get(), want);
    ahead.filled = want;
    std::memcpy(into, ahead.buffer.get(), size);
}

void NdbFile::readDirect(std::uint64_t offset, void *into, std::size_t size) const {
    auto *out = static_cast<char *>(into);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(m_fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error(QStringLiteral("cannot read the file at offset %1: %2").arg(offset + done).arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (got == 0)
            throw Damage(QStringLiteral("the file ends early (%1 of %2 bytes)").arg(offset + done).arg(offset + size), offset + done);
        done += static_cast<std::size_t>(got);
    }
}

void NdbFile::damaged(std::uint64_t offset) const {
    throw Damage(QStringLiteral("damaged data at offset %1").arg(offset), offset);
}

void NdbFile::readHeader() {
    std::uint8_t head[564] = {};
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(m_fileSize, sizeof head));
    if (have > 0)
        readAt(0, head, have);
    if (have < 4 || readLe(head, 4) != kSignature)
        throw Error(QStringLiteral("it is not a PST or OST file"));
    if (have < 512)
        throw Error(QStringLiteral("the file ends early (%1 bytes); it is damaged or incomplete").arg(have));
    const std::uint16_t version = static_cast<std::uint16_t>(readLe(head + 10, 2));
    std::uint64_t declaredSize = 0;
    if (version == 14 || version == 15) {
        m_format = Format::Ansi;
        declaredSize = readLe(head + 168, 4);
        m_nbtOffset = readLe(head + 188, 4);
        m_bbtOffset = readLe(head + 196, 4);
        m_encoding = static_cast<Encoding>(head[461]);
    } else if (version >= 21 && version <= 36) {
        if (have < sizeof head)
            throw Error(QStringLiteral("the file ends early (%1 bytes); it is damaged or incomplete").arg(have));
        m_format = version == 36 ? Format::Unicode4k : Format::Unicode;
        declaredSize = readLe(head + 184, 8);
        m_nbtOffset = readLe(head + 224, 8);
        m_bbtOffset = readLe(head + 240, 8);
        m_encoding = static_cast<Encoding>(head[513]);
    } else {
        throw Error(QStringLiteral("it is not a PST or OST file of a kind this program reads"));
    }
    if (m_encoding != Encoding::None && m_encoding != Encoding::Permute && m_encoding != Encoding::Cyclic)
        throw Error(QStringLiteral("it is not a PST or OST file of a kind this program reads"));
    const std::size_t pageSize = layoutFor(m_format).size;
    if (m_nbtOffset >= m_fileSize || m_bbtOffset >= m_fileSize || m_fileSize - m_nbtOffset < pageSize
        || m_fileSize - m_bbtOffset < pageSize) {
        if (declaredSize > m_fileSize)
            throw Error(QStringLiteral("the file ends early (%1 of %2 bytes); it is incomplete").arg(m_fileSize).arg(declaredSize));
        throw Damage(QStringLiteral("damaged data at offset 0 (the file's header)"), 0);
    }

    const bool wide = this->wide();
    walkTree(m_bbtOffset, kPageBbt, [&](const std::uint8_t *e, std::size_t entrySize) {
        BlockEntry block;
        if (wide) {
            if (entrySize < 20)
                return false;
            block.bid = blockKey(readLe(e, 8));
            block.offset = readLe(e + 8, 8);
            block.size = static_cast<std::uint32_t>(readLe(e + 16, 2));
            block.inflated = block.size;
            if (m_format == Format::Unicode4k && entrySize >= 20)
                block.inflated = static_cast<std::uint32_t>(readLe(e + 18, 2));
            if (block.inflated == 0)
                block.inflated = block.size;
        } else {
            if (entrySize < 12)
                return false;
            block.bid = blockKey(readLe(e, 4));
            block.offset = readLe(e + 4, 4);
            block.size = static_cast<std::uint32_t>(readLe(e + 8, 2));
            block.inflated = block.size;
        }
        m_blocks.push_back(block);
        return true;
    });
    walkTree(m_nbtOffset, kPageNbt, [&](const std::uint8_t *e, std::size_t entrySize) {
        NodeEntry node;
        if (wide) {
            if (entrySize < 28)
                return false;
            node.nid = static_cast<std::uint32_t>(readLe(e, 4));
            node.dataBid = readLe(e + 8, 8);
            node.subnodeBid = readLe(e + 16, 8);
            node.parent = static_cast<std::uint32_t>(readLe(e + 24, 4));
        } else {
            if (entrySize < 16)
                return false;
            node.nid = static_cast<std::uint32_t>(readLe(e, 4));
            node.dataBid = readLe(e + 4, 4);
            node.subnodeBid = readLe(e + 8, 4);
            node.parent = static_cast<std::uint32_t>(readLe(e + 12, 4));
        }
        m_nodes.push_back(node);
        return true;
    });
    // A sound tree lists its keys in order; a damaged one may repeat them.
    // The first of a repeated key wins, as a search of the tree would find it.
    std::stable_sort(m_blocks.begin(), m_blocks.end(), [](const BlockEntry &a, const BlockEntry &b) { return a.bid < b.bid; });
    m_blocks.erase(std::unique(m_blocks.begin(), m_blocks.end(), [](const BlockEntry &a, const BlockEntry &b) { return a.bid == b.bid; }),
                   m_blocks.end());
    std::stable_sort(m_nodes.begin(), m_nodes.end(), [](const NodeEntry &a, const NodeEntry &b) { return a.nid < b.nid; });
    m_nodes.erase(std::unique(m_nodes.begin(), m_nodes.end(), [](const NodeEntry &a, const NodeEntry &b) { return a.nid == b.nid; }),
                  m_nodes.end());
    m_blocks.shrink_to_fit();
    m_nodes.shrink_to_fit();
}

template <typename Visit>
void NdbFile::walkTree(std::uint64_t rootOffset, std::uint8_t pageType, Visit visit) {
    const PageLayout layout = layoutFor(m_format);
    const bool wide = this->wide();
    const std::size_t branchEntry = wide ? 24 : 12;
    std::unordered_set<std::uint64_t> visited;
    std::vector<std::uint8_t> page(layout.size);
    struct Pending {
        std::uint64_t offset;
        int level; // expected level, -1 for the root
    };
    std::vector<Pending> stack{{rootOffset, -1}};
    while (!stack.empty()) {
        const Pending at = stack.back();
        stack.pop_back();
        if (at.offset < 512 || !visited.insert(at.offset).second)
            damaged(at.offset);
        readAt(at.offset, page.data(), page.size());
        const std::uint8_t *p = page.data();
        const std::size_t count = layout.wideCounts ? readLe(p + layout.count, 2) : p[layout.count];
        const std::size_t entrySize = p[layout.entrySize];
        const int level = p[layout.level];
        if (p[layout.pageType] != pageType || level > kMaxTreeLevel || (at.level >= 0 && level != at.level) || entrySize == 0
            || count * entrySize > layout.entriesSize)
            damaged(at.offset);
        if (level == 0) {
            for (std::size_t i = 0; i < count; ++i) {
                if (!visit(p + i * entrySize, entrySize))
                    damaged(at.offset);
            }
            continue;
        }
        if (entrySize < branchEntry)
            damaged(at.offset);
        // Children are pushed last to first, so leaves are met in key order.
        for (std::size_t i = count; i-- > 0;) {
            const std::uint8_t *e = p + i * entrySize;
            const std::uint64_t child = wide ? readLe(e + 16, 8) : readLe(e + 8, 4);
            if (child >= m_fileSize || m_fileSize - child < layout.size)
                damaged(at.offset);
            stack.push_back({child, level - 1});
        }
    }
}

const NodeEntry *NdbFile::node(std::uint32_t nid) const {
    const auto it = std::lower_bound(m_nodes.begin(), m_nodes.end(), nid, [](const NodeEntry &n, std::uint32_t id) { return n.nid < id; });
    return it != m_nodes.end() && it->nid == nid ? &*it : nullptr;
}

const BlockEntry *NdbFile::block(std::uint64_t bid) const {
    const std::uint64_t key = blockKey(bid);
    if (key == 0)
        return nullptr;
    const auto it = std::lower_bound(m_blocks.begin(), m_blocks.end(), key, [](const BlockEntry &b, std::uint64_t id) { return b.bid < id; });
    return it != m_blocks.end() && it->bid == key ? &*it : nullptr;
}

void NdbFile::decode(std::uint8_t *data, std::size_t size, std::uint64_t bid) const {
    if (isInternal(bid))
        return;
    if (m_encoding == Encoding::Permute)
        decodePermute(data, size);
    else if (m_encoding == Encoding::Cyclic)
        decodeCyclic(data, size, static_cast<std::uint32_t>(blockKey(bid)));
}

void NdbFile::readBlock(const BlockEntry &block, std::vector<std::uint8_t> &out) const {
    out.resize(block.inflated);
    std::vector<std::uint8_t> scratch;
    readBlockInto(block, out.data(), scratch);
}

std::size_t NdbFile::readRunInto(const BlockEntry *const *leaves, std::size_t count, std::uint8_t *out, std::size_t room,
                                 std::vector<std::uint8_t> &scratch, std::size_t &produced) const {
    // Blocks of one attachment are mostly written one after another, apart
    // only by their trailers, alignment and now and then a map page; reading
    // them with one call rather than one call each is most of the cost of
    // saving a large file. The payloads land end to end in `out`; whatever
    // lies between them goes to a scratch area that is read over and over.
    constexpr std::uint64_t kMaxGap = 16384;
    constexpr std::size_t kMaxRun = 256; // two vector entries a block, well under IOV_MAX
    const BlockEntry &first = *leaves[0];
    const auto plain = [](const BlockEntry &block) { return block.size != 0 && block.inflated == block.size; };
    std::size_t taken = 1;
    std::uint64_t end = first.offset + first.size;
    std::size_t payload = first.size;
    if (plain(first) && first.offset >= 512) {
        while (taken < count && taken < kMaxRun) {
            const BlockEntry &next = *leaves[taken];
            if (!plain(next) || next.offset < end || next.offset - end > kMaxGap || payload + next.size > room)
                break;
            end = next.offset + next.size;
            payload += next.size;
            ++taken;
        }
    }
    if (taken == 1) {
        readBlockInto(first, out, scratch);
        produced += first.inflated;
        return 1;
    }
    if (end > m_fileSize)
        throw Damage(QStringLiteral("the file ends early (%1 of %2 bytes)").arg(m_fileSize).arg(end), first.offset);
    scratch.resize(std::max<std::size_t>(scratch.size(), kMaxGap));
    std::vector<iovec> parts;
    parts.reserve(2 * taken);
    std::uint8_t *at = out;
    for (std::size_t i = 0; i < taken; ++i) {
        const BlockEntry &block = *leaves[i];
        if (i > 0) {
            const std::uint64_t gap = block.offset - (leaves[i - 1]->offset + leaves[i - 1]->size);
            if (gap > 0)
                parts.push_back({scratch.data(), static_cast<std::size_t>(gap)});
        }
        parts.push_back({at, block.size});
        at += block.size;
    }
    readVectorAt(first.offset, parts);
    at = out;
    for (std::size_t i = 0; i < taken; ++i) {
        decode(at, leaves[i]->size, leaves[i]->bid);
        at += leaves[i]->size;
    }
    produced += payload;
    return taken;
}

void NdbFile::readVectorAt(std::uint64_t offset, std::vector<iovec> &parts) const {
    std::size_t first = 0;
    std::uint64_t at = offset;
    while (first < parts.size()) {
        const ssize_t got = ::preadv(m_fd, parts.data() + first, static_cast<int>(parts.size() - first), static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error(QStringLiteral("cannot read the file at offset %1: %2").arg(at).arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (got == 0)
            throw Damage(QStringLiteral("the file ends early (%1 bytes)").arg(at), at);
        at += static_cast<std::uint64_t>(got);
        // Steps over what arrived; a part read in half is read on from its middle.
        std::size_t left = static_cast<std::size_t>(got);
        while (first < parts.size() && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            ++first;
        }
        if (left > 0) {
            parts[first].iov_base = static_cast<std::uint8_t *>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
}

void NdbFile::readBlockInto(const BlockEntry &block, std::uint8_t *out, std::vector<std::uint8_t> &scratch) const {
    if (block.size == 0 || block.offset < 512)
        damaged(block.offset);
    if (block.inflated == block.size) {
        readAt(block.offset, out, block.size);
        decode(out, block.size, block.bid);
        return;
    }
    // Compressed (4 KiB-page offline stores): zlib data, encoded like any block.
    scratch.resize(block.size);
    readAt(block.offset, scratch.data(), block.size);
    decode(scratch.data(), block.size, block.bid);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        throw Error(QStringLiteral("cannot set up decompression"));
    stream.next_in = scratch.data();
    stream.avail_in = block.size;
    stream.next_out = out;
    stream.avail_out = block.inflated;
    const int result = inflate(&stream, Z_FINISH);
    const std::uint64_t produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != block.inflated)
        damaged(block.offset);
}

} // namespace pw::pst::ndb
