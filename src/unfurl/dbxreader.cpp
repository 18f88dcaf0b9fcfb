#include "unfurl/dbxreader.h"

#include "unfurl/dbxlayout.h"
#include "unfurl/unfurlerror.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace unfurl {

namespace {

uint32_t u32At(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A record body is a few hundred bytes in practice (it lives in 48 KiB
// segments); refusing absurd lengths keeps one bad record from costing
// gigabytes of memory.
constexpr uint32_t kMaxRecordBody = 1u << 20;

std::string plural(uint64_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

} // namespace

std::string hexAddress(uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
    return text;
}

DbxKind classifyDbx(const unsigned char *bytes, size_t length) {
    using namespace layout;
    if (length >= 4 && std::equal(kOe4Magic.begin(), kOe4Magic.end(), bytes))
        return DbxKind::OutlookExpress4;
    if (length < 4 || !std::equal(kMagic.begin(), kMagic.end(), bytes))
        return DbxKind::NotDbx;
    if (length < 20)
        return DbxKind::UnknownDatabase;
    const unsigned char *clsid = bytes + 4;
    if (std::equal(kMessageClsid.begin(), kMessageClsid.end(), clsid))
        return DbxKind::MessageStore;
    if (std::equal(kMessageClsid.begin() + 1, kMessageClsid.end(), clsid + 1)) {
        if (clsid[0] == kFolderClsidFirst)
            return DbxKind::FolderList;
        if (clsid[0] == kPop3ClsidFirst)
            return DbxKind::Pop3Uidl;
    }
    if (std::equal(kOfflineClsidStart.begin(), kOfflineClsidStart.end(), clsid))
        return DbxKind::Offline;
    return DbxKind::UnknownDatabase;
}

std::string describeDbxKind(DbxKind kind) {
    switch (kind) {
    case DbxKind::MessageStore:
        return "an Outlook Express message folder";
    case DbxKind::FolderList:
        return "the Outlook Express folder list (Folders.dbx), which holds no messages";
    case DbxKind::Pop3Uidl:
        return "the Outlook Express POP3 download list (Pop3uidl.dbx), which holds no messages";
    case DbxKind::Offline:
        return "the Outlook Express offline operations list (Offline.dbx), which holds no messages";
    case DbxKind::UnknownDatabase:
        return "an Outlook Express database of an unknown kind, not a message folder";
    case DbxKind::OutlookExpress4:
        return "an Outlook Express 4 mailbox (.mbx), an older format that is not supported";
    case DbxKind::NotDbx:
        break;
    }
    return "not an Outlook Express .dbx file";
}

DbxReader::DbxReader(const std::string &path, ProblemSink problems)
    : m_file(path), m_problems(std::move(problems)) {
    using namespace layout;
    const uint64_t size = m_file.size();
    if (size == 0)
        throw BadInputError(path + " is empty (0 bytes)");
    std::vector<unsigned char> header(static_cast<size_t>(std::min<uint64_t>(size, kHeaderSize)));
    try {
        m_file.read(0, header.data(), header.size());
    } catch (const ReadError &e) {
        throw BadInputError(path + ": cannot read the header: " + e.what());
    }
    const DbxKind kind = classifyDbx(header.data(), header.size());
    if (kind != DbxKind::MessageStore && !(kind == DbxKind::UnknownDatabase && header.size() < 20))
        throw BadInputError(path + " is " + describeDbxKind(kind));
    if (size < kHeaderSize)
        throw BadInputError(path + " is too short for an Outlook Express .dbx file (" +
                            std::to_string(size) + " bytes; the header alone takes " +
                            std::to_string(kHeaderSize) + ")");

    const uint32_t version1 = u32At(&header[kVersion1Offset]);
    const uint32_t version2 = u32At(&header[kVersion2Offset]);
    if (version1 != 5 || version2 != 5)
        m_problems(Severity::Warning, "unexpected version fields " + std::to_string(version1) +
                                          "/" + std::to_string(version2) +
                                          " (Outlook Express 5 and 6 write 5/5); reading anyway");
    if (size > (1ull << 31))
        m_problems(Severity::Warning,
                   "the file is larger than 2 GB, a size Outlook Express itself could not handle; "
                   "parts of it may be damaged");

    const uint32_t fileInfoLength = u32At(&header[kFileInfoLengthOffset]);
    m_bodyStart = kHeaderSize;
    if (fileInfoLength <= size - kHeaderSize)
        m_bodyStart += fileInfoLength;
    else
        m_problems(Severity::Warning, "the file-info length in the header (" +
                                          hexAddress(fileInfoLength) + ") runs past the end of the file");

    m_announcedCount = u32At(&header[kRecordCountOffset]);
    m_treeRoot = u32At(&header[kTreeRootOffset]);
    // Every message takes at least its tree entry and its record header.
    m_maxRecords = (size - m_bodyStart) / (kNodeEntrySize + kRecordHeaderSize);
    if (m_announcedCount > m_maxRecords) {
        // A damaged count, not a measure of what is missing: the index alone
        // says what there is.
        m_problems(Severity::Warning, "the header announces " + plural(m_announcedCount, "message") +
                                          ", more than a file of " + std::to_string(size) +
                                          " bytes can hold; the count is ignored");
        m_countIgnored = true;
    }
}

void DbxReader::requireObject(uint32_t address, uint64_t length, const char *what) const {
    if (address < m_bodyStart)
        throw DamageError(std::string(what) + " pointer " + hexAddress(address) +
                          " points into the file header");
    if (static_cast<uint64_t>(address) + length > m_file.size())
        throw DamageError(std::string(what) + " at " + hexAddress(address) +
                          " lies beyond the end of the file (" + std::to_string(m_file.size()) +
                          " bytes)");
}

struct DbxReader::NodeWalk {
    const std::function<void(uint32_t)> &onRecord;
    AddressSet visitedNodes;
    AddressSet emittedRecords;
    uint64_t lostSubtrees = 0;
};

DbxReader::WalkResult DbxReader::walk(const std::function<void(uint32_t)> &onRecord) {
    NodeWalk state{onRecord, {}, {}, 0};
    uint64_t found = 0;
    if (m_treeRoot == 0) {
        if (announcedCount() != 0) {
            m_problems(Severity::Error, "the header announces " + plural(m_announcedCount, "message") +
                                            " but has no index to find them");
            ++state.lostSubtrees;
        }
    } else {
        walkChild(m_treeRoot, 0, announcedCount(), 0, state, found);
    }
    const uint64_t distinct = state.emittedRecords.size();
    if (m_countIgnored)
        return {distinct, state.lostSubtrees};
    if (distinct < m_announcedCount)
        m_problems(Severity::Error, "the header announces " + plural(m_announcedCount, "message") +
                                        " but only " + std::to_string(distinct) +
                                        " could be found in the index");
    else if (distinct > m_announcedCount)
        m_problems(Severity::Warning, "the header announces " + plural(m_announcedCount, "message") +
                                          " but the index holds " + std::to_string(distinct));
    return {distinct, state.lostSubtrees};
}

void DbxReader::walkChild(uint32_t child, uint32_t parent, uint32_t expectedCount, int depth,
                          NodeWalk &state, uint64_t &found) {
    // A pointer back to a node already read (a loop, or two parents sharing
    // a child) leads to nothing new: every record there was handed out, or
    // its damage reported, the first time.
    if (state.visitedNodes.contains(child)) {
        m_problems(Severity::Note, "index node " + hexAddress(child) + " is reached again from " +
                                       hexAddress(parent) + "; read once");
        return;
    }
    try {
        const uint64_t inChild = walkNode(child, parent, depth, state);
        found += inChild;
        // The root's count is the header's, checked once the walk is done.
        if (inChild != expectedCount && parent != 0)
            m_problems(Severity::Note, "index node " + hexAddress(child) + " holds " +
                                           std::to_string(inChild) + " entries where " +
                                           std::to_string(expectedCount) + " were counted");
    } catch (const DamageError &e) {
        ++state.lostSubtrees;
        std::string where = parent == 0 ? "the index root" : "an index node below " + hexAddress(parent);
        // The count comes from the damaged index itself; quote it only
        // when the file could really hold that many.
        const bool plausible = expectedCount != 0 && expectedCount <= m_maxRecords &&
                               (m_countIgnored || expectedCount <= m_announcedCount);
        // Whether they are lost shows only at the end of the walk: the
        // messages may be listed elsewhere too. The summary counts them.
        std::string lost = !plausible
                               ? "the messages listed there cannot be read from it"
                               : "about " + plural(expectedCount, "message") + " listed there cannot be read from it";
        m_problems(Severity::Error, where + " is damaged: " + e.what() + "; " + lost);
    }
}

uint64_t DbxReader::walkNode(uint32_t node, uint32_t parent, int depth, NodeWalk &state) {
    using namespace layout;
    if (depth >= kMaxTreeDepth)
        throw DamageError("the index is nested more than " + std::to_string(kMaxTreeDepth) +
                          " levels deep at node " + hexAddress(node));
    state.visitedNodes.insert(node);
    requireObject(node, kNodeSize, "index node");

    std::array<unsigned char, kNodeSize> bytes;
    m_file.read(node, bytes.data(), bytes.size());
    if (u32At(&bytes[0]) != node)
        throw DamageError("index node at " + hexAddress(node) + " does not carry its own address");
    if (u32At(&bytes[kNodeParent]) != parent)
        m_problems(Severity::Note, "index node " + hexAddress(node) + " names " +
                                       hexAddress(u32At(&bytes[kNodeParent])) + " as its parent, not " +
                                       hexAddress(parent));
    const unsigned entries = bytes[kNodeEntryCount];
    if (entries > kNodeMaxEntries)
        throw DamageError("index node at " + hexAddress(node) + " claims " + std::to_string(entries) +
                          " entries (at most " + std::to_string(kNodeMaxEntries) + " fit)");

    uint64_t found = 0;
    if (const uint32_t left = u32At(&bytes[kNodeLeftChild]); left != 0)
        walkChild(left, node, u32At(&bytes[kNodeLeftCount]), depth + 1, state, found);
    for (unsigned i = 0; i < entries; ++i) {
        const unsigned char *entry = &bytes[kNodeEntries + i * kNodeEntrySize];
        const uint32_t record = u32At(entry);
        if (record != 0) {
            ++found;
            if (state.emittedRecords.insert(record))
                state.onRecord(record);
            else
                m_problems(Severity::Warning, "record " + hexAddress(record) +
                                                  " is listed twice in the index; converted once");
        }
        if (const uint32_t child = u32At(entry + 4); child != 0)
            walkChild(child, node, u32At(entry + 8), depth + 1, state, found);
    }
    return found;
}

MessageRecord DbxReader::readRecord(uint32_t address) {
    using namespace layout;
    requireObject(address, kRecordHeaderSize, "message record");
    unsigned char head[kRecordHeaderSize];
    m_file.read(address, head, sizeof head);
    if (u32At(head) != address)
        throw DamageError("message record at " + hexAddress(address) +
                          " does not carry its own address");
    const uint32_t bodyLength = u32At(head + 4);
    const unsigned entryCount = head[0x0A];
    if (bodyLength < entryCount * 4u)
        throw DamageError("message record at " + hexAddress(address) + " lists " +
                          std::to_string(entryCount) + " fields in a body of " +
                          std::to_string(bodyLength) + " bytes");
    if (bodyLength > kMaxRecordBody)
        throw DamageError("message record at " + hexAddress(address) + " claims an implausible length (" +
                          std::to_string(bodyLength) + " bytes)");
    requireObject(address, kRecordHeaderSize + static_cast<uint64_t>(bodyLength), "message record");

    std::vector<unsigned char> body(bodyLength);
    m_file.read(static_cast<uint64_t>(address) + kRecordHeaderSize, body.data(), body.size());
    const unsigned char *data = body.data() + entryCount * 4;
    const uint32_t dataLength = bodyLength - entryCount * 4;

    MessageRecord record;
    record.address = address;
    std::array<bool, 0x80> seen{};
    for (unsigned i = 0; i < entryCount; ++i) {
        const uint32_t entry = u32At(&body[i * 4]);
        const unsigned index = entry & 0x7F;
        const bool direct = (entry & 0x80) != 0;
        const uint32_t value = entry >> 8;
        if (seen[index])
            continue;
        seen[index] = true;
        std::optional<uint32_t> *target = nullptr;
        switch (index) {
        case kIndexMessageNumber: target = &record.number; break;
        case kIndexFlags: target = &record.flags; break;
        case kIndexFirstBlock: target = &record.firstBlock; break;
        case kIndexSize: target = &record.size; break;
        default: continue;
        }
        if (direct) {
            *target = value;
            continue;
        }
        // An indirect field runs to the next indirect field, or to the end.
        // A damaged neighbour only costs the bound: at most 4 bytes are read.
        uint32_t end = dataLength;
        for (unsigned j = i + 1; j < entryCount; ++j) {
            const uint32_t next = u32At(&body[j * 4]);
            if ((next & 0x80) == 0) {
                end = next >> 8;
                break;
            }
        }
        if (end <= value || end > dataLength)
            end = dataLength;
        const bool essential = index == kIndexMessageNumber || index == kIndexFirstBlock;
        if (value >= dataLength) {
            if (essential)
                throw DamageError("message record at " + hexAddress(address) + ": field " +
                                  hexAddress(index) + " points outside the record");
            m_problems(Severity::Note, "message record at " + hexAddress(address) + ": field " +
                                           hexAddress(index) + " is unreadable; ignored");
            continue;
        }
        unsigned char bytes[4] = {0, 0, 0, 0};
        std::memcpy(bytes, data + value, std::min<uint32_t>(4, end - value));
        *target = u32At(bytes);
    }
    return record;
}

uint64_t DbxReader::readText(uint32_t firstBlock,
                             const std::function<void(const char *, size_t)> &sink) {
    using namespace layout;
    // A chain almost always runs forward through the file, and a forward
    // step can only revisit a block after some earlier step went backwards.
    // So the hash set of visited blocks is only built once that happens.
    m_chainBlocks.clear();
    m_chainSeen.clear();
    bool haveSet = false;
    uint32_t highest = 0;
    const uint64_t maxBlocks = m_file.size() / kBlockSize + 1;
    uint64_t total = 0;
    char block[kBlockSize];
    for (uint32_t p = firstBlock; p != 0;) {
        if (p <= highest) {
            if (!haveSet) {
                for (const uint32_t seen : m_chainBlocks)
                    m_chainSeen.insert(seen);
                haveSet = true;
            }
            if (m_chainSeen.contains(p))
                throw DamageError("its chain of data blocks loops back to " + hexAddress(p));
        }
        if (m_chainBlocks.size() >= maxBlocks)
            throw DamageError("its chain of data blocks is longer than the file could hold");
        requireObject(p, kBlockHeaderSize, "data block");
        m_file.read(p, block, kBlockHeaderSize);
        const auto *head = reinterpret_cast<const unsigned char *>(block);
        if (u32At(head) != p)
            throw DamageError("data block at " + hexAddress(p) + " does not carry its own address");
        const uint32_t used = u32At(head + 8);
        if (used > kBlockDataSize)
            throw DamageError("data block at " + hexAddress(p) + " claims " + std::to_string(used) +
                              " bytes (at most " + std::to_string(kBlockDataSize) + " fit)");
        requireObject(p, kBlockHeaderSize + static_cast<uint64_t>(used), "data block");
        m_file.read(static_cast<uint64_t>(p) + kBlockHeaderSize, block + kBlockHeaderSize, used);
        total += used;
        if (total > m_file.size())
            throw DamageError("its text would be longer than the whole file");
        if (used > 0)
            sink(block + kBlockHeaderSize, used);
        m_chainBlocks.push_back(p);
        if (haveSet)
            m_chainSeen.insert(p);
        highest = std::max(highest, p);
        p = u32At(head + 0x0C);
    }
    return total;
}

} // namespace unfurl
