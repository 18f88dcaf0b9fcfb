#include "pstwriter.h"

#include "heapbuilder.h"
#include "ndbwriter.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

namespace pstwriter {

namespace {

constexpr std::uint32_t kMessageStoreId = 0x21;
constexpr std::uint32_t kNameToIdMapId = 0x61;
constexpr std::uint32_t kAttachmentTableId = 0x671;
constexpr std::uint32_t kRecipientTableId = 0x692;

std::string le32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string le64(std::uint64_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i)
        s.push_back(char(v >> (8 * i)));
    return s;
}

// UTF-8 to UTF-16LE; malformed sequences become U+FFFD.
std::string utf16(const std::string &utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto unit = [&](std::uint32_t u) {
        out.push_back(char(u));
        out.push_back(char(u >> 8));
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = std::uint8_t(utf8[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 0x6) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c >> 4) == 0xE) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c >> 3) == 0x1E) {
            len = 4;
            cp = c & 0x07;
        } else {
            len = 0;
        }
        bool ok = len > 0 && i + len <= utf8.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto cc = std::uint8_t(utf8[i + k]);
            if ((cc >> 6) != 0x2)
                ok = false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            cp = 0xFFFD;
            len = 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
        i += len;
    }
    return out;
}

std::string fileTime(Time t) {
    const std::int64_t seconds = t.time_since_epoch().count() + 11644473600ll;
    return le64(std::uint64_t(seconds) * 10000000ull);
}

std::uint64_t fnv(const std::string &s, std::uint64_t h) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    return h;
}

using Cells = std::vector<std::pair<std::uint32_t, std::string>>;

const std::vector<std::uint32_t> &hierarchyColumns() {
    static const std::vector<std::uint32_t> tags = {tagOf(0x3001, PtUnicode), tagOf(0x3602, PtLong),
                                                    tagOf(0x3603, PtLong), tagOf(0x360A, PtBoolean),
                                                    tagOf(0x3613, PtUnicode)};
    return tags;
}

const std::vector<std::uint32_t> &contentsColumns() {
    static const std::vector<std::uint32_t> tags = {
        tagOf(0x0017, PtLong),    tagOf(0x001A, PtUnicode), tagOf(0x0036, PtLong),    tagOf(0x0037, PtUnicode),
        tagOf(0x0039, PtSysTime), tagOf(0x0042, PtUnicode), tagOf(0x0070, PtUnicode), tagOf(0x0C1A, PtUnicode),
        tagOf(0x0E03, PtUnicode), tagOf(0x0E04, PtUnicode), tagOf(0x0E06, PtSysTime), tagOf(0x0E07, PtLong),
        tagOf(0x0E08, PtLong),    tagOf(0x0E17, PtLong),    tagOf(0x3008, PtSysTime)};
    return tags;
}

const std::vector<std::uint32_t> &attachmentColumns() {
    static const std::vector<std::uint32_t> tags = {tagOf(0x0E20, PtLong), tagOf(0x3704, PtUnicode),
                                                    tagOf(0x3705, PtLong), tagOf(0x370B, PtLong)};
    return tags;
}

const std::vector<std::uint32_t> &recipientColumns() {
    static const std::vector<std::uint32_t> tags = {
        tagOf(0x0C15, PtLong),    tagOf(0x0E0F, PtBoolean), tagOf(0x0FFE, PtLong),    tagOf(0x3001, PtUnicode),
        tagOf(0x3002, PtUnicode), tagOf(0x3003, PtUnicode), tagOf(0x3900, PtLong),    tagOf(0x39FE, PtUnicode),
        tagOf(0x39FF, PtUnicode)};
    return tags;
}

// Turns the model into nodes, front to back.
class StoreWriter {
public:
    StoreWriter(const Store &store, const std::string &path, std::uint32_t nextMessageIndex)
        : m_store(store),
          m_ndb(path, store.options().encryption, store.options().format, store.options().compressBlocks),
          m_nextMessageIndex(nextMessageIndex) {}

    void run(const Folder &hiddenRoot, std::uint32_t folderIndexEnd);

private:
    struct Written {
        std::uint64_t bidData;
        std::uint64_t bidSub;
    };

    std::uint64_t writeEmptyTable(const std::vector<std::uint32_t> &columns, std::uint64_t *bidSub);
    void writeMessageStore();
    void writeNameToIdMap();
    void writeFolder(const Folder &folder, std::uint32_t parent);
    Written writeMessage(const Message &m, Cells *contentsRow);
    // `craft` is the message's craft when it falls on this attachment.
    Written writeAttachment(const Attachment &a, Cells &row, Craft craft);
    std::uint64_t writeFanOut(int depth);
    Written writeTable(const std::vector<std::uint32_t> &columns,
                       const std::vector<std::pair<std::uint32_t, Cells>> &rows);
    std::string entryIdBytes(std::uint32_t nid) const;

    const Store &m_store;
    NdbWriter m_ndb;
    std::uint32_t m_nextMessageIndex;
    // For the next SubnodeCycle message: its subnode tree's reserved top
    // block and the tree its first attachment points into.
    std::uint64_t m_cycleRoot = 0;
    std::uint64_t m_cycleTarget = 0;
};

std::string StoreWriter::entryIdBytes(std::uint32_t nid) const {
    std::string id(4, '\0');
    id.append(reinterpret_cast<const char *>(m_store.recordKey().data()), 16);
    id += le32(nid);
    return id;
}

StoreWriter::Written StoreWriter::writeTable(const std::vector<std::uint32_t> &columns,
                                             const std::vector<std::pair<std::uint32_t, Cells>> &rows) {
    NodeContext node(m_ndb);
    TableBuilder table(node, columns);
    for (const auto &[id, cells] : rows)
        table.addRow(id, cells);
    const std::uint64_t data = m_ndb.writeBlocks(table.build());
    return {data, node.writeSubnodes()};
}

void StoreWriter::writeMessageStore() {
    NodeContext node(m_ndb);
    PropertyContextBuilder pc;
    const auto &key = m_store.recordKey();
    pc.set(tagOf(0x0FF9, PtBinary), std::string(reinterpret_cast<const char *>(key.data()), key.size()));
    pc.set(tagOf(0x3001, PtUnicode), utf16(m_store.displayName()));
    std::uint32_t valid = 0x80;  // finder
    if (m_store.options().writeIpmSubtreeEntryId) {
        pc.set(tagOf(0x35E0, PtBinary), entryIdBytes(m_store.ipmSubtreeId()));
        valid |= 0x01;
    }
    if (const Folder *deleted = const_cast<Store &>(m_store).deletedItems()) {
        pc.set(tagOf(0x35E3, PtBinary), entryIdBytes(deleted->nodeId()));
        valid |= 0x08;
    }
    pc.set(tagOf(0x35E7, PtBinary), entryIdBytes(m_store.searchRootId()));
    pc.set(tagOf(0x35DF, PtLong), le32(valid));
    pc.set(tagOf(0x6633, PtBoolean), std::string(1, '\1'));
    pc.set(tagOf(0x67FF, PtLong), le32(0));  // no password
    m_ndb.addNode(kMessageStoreId, m_ndb.writeBlocks(pc.build(node)), node.writeSubnodes(), 0);
}

void StoreWriter::writeNameToIdMap() {
    // Two named properties Outlook registers in every store: a numeric one in
    // PSETID_Common and the string "content-class" in PS_INTERNET_HEADERS.
    // Readers refuse a map without entries.
    const std::string commonGuid("\x08\x20\x06\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
    const std::string headersGuid("\x86\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
    const std::string name = utf16("content-class");
    std::string strings = le32(std::uint32_t(name.size())) + name;
    strings.resize((strings.size() + 3) / 4 * 4, '\0');
    struct Entry {
        std::uint32_t idOrOffset;
        std::uint16_t guidAndKind;  // guid index << 1 | 1 for a string name
        std::uint16_t index;        // property id 0x8000 + index
        std::uint32_t hash;
    };
    const std::uint32_t numericId = 0x8580;
    const std::uint16_t numericGuid = 3 << 1, stringGuid = (4 << 1) | 1;
    const Entry entries[] = {
        {numericId, numericGuid, 0, numericId ^ numericGuid},
        {0, stringGuid, 1, pstCrc(reinterpret_cast<const std::uint8_t *>(name.data()), name.size()) ^ stringGuid}};
    std::string stream;
    std::map<std::uint32_t, std::string> buckets;
    for (const Entry &e : entries) {
        const std::string rec = le32(e.idOrOffset) + char(e.guidAndKind) + char(e.guidAndKind >> 8) +
                                char(e.index) + char(e.index >> 8);
        stream += rec;
        std::string bucketRec = rec;
        bucketRec.replace(0, 4, le32(e.hash));
        buckets[e.hash % 251] += bucketRec;
    }
    NodeContext node(m_ndb);
    PropertyContextBuilder pc;
    pc.set(tagOf(0x0001, PtLong), le32(251));
    pc.set(tagOf(0x0002, PtBinary), commonGuid + headersGuid);
    pc.set(tagOf(0x0003, PtBinary), stream);
    pc.set(tagOf(0x0004, PtBinary), strings);
    for (const auto &[bucket, records] : buckets)
        pc.set(tagOf(std::uint16_t(0x1000 + bucket), PtBinary), records);
    m_ndb.addNode(kNameToIdMapId, m_ndb.writeBlocks(pc.build(node)), node.writeSubnodes(), 0);
}

std::uint64_t StoreWriter::writeFanOut(int depth) {
    const std::uint64_t data = m_ndb.writeBlock("fan-out");
    std::uint64_t below = 0;
    for (int level = 0; level < depth; ++level)
        below = m_ndb.writeSubnodes({{0x401F, data, below}, {0x403F, data, below}});
    return below;
}

StoreWriter::Written StoreWriter::writeAttachment(const Attachment &a, Cells &row, Craft craft) {
    const bool loopData = craft == Craft::DataTreeCycle;
    const bool corruptData = craft == Craft::CorruptCompressedData;
    NodeContext node(m_ndb);
    PropertyContextBuilder pc;
    std::uint32_t method = 1;
    std::uint64_t size = 0;
    switch (a.kind) {
    case Attachment::Kind::ByValue:
        pc.setStream(tagOf(0x3701, PtBinary), a.content);
        size = a.content.size();
        break;
    case Attachment::Kind::Embedded: {
        if (!a.message)
            throw std::invalid_argument("pstwriter: embedded attachment without a message");
        method = 5;
        const std::uint32_t nid = (m_nextMessageIndex++ << 5) | 0x04;
        const Written w = writeMessage(*a.message, nullptr);
        node.subnodes.push_back({nid, w.bidData, w.bidSub});
        size = 1024;  // Outlook's figure is the embedded message's size; readers do not rely on it
        pc.set(tagOf(0x3701, PtObject), le32(nid) + le32(std::uint32_t(size)));
        break;
    }
    case Attachment::Kind::Link:
        method = 2;  // by reference
        pc.set(tagOf(0x3708, PtUnicode), utf16(a.linkPath));
        pc.set(tagOf(0x370D, PtUnicode), utf16(a.linkPath));
        break;
    }
    pc.set(tagOf(0x3705, PtLong), le32(method));
    pc.set(tagOf(0x370B, PtLong), le32(0xFFFFFFFFu));
    pc.set(tagOf(0x0E20, PtLong), le32(std::uint32_t(std::min<std::uint64_t>(size, 0x7FFFFFFF))));
    if (a.fileName)
        pc.set(tagOf(0x3704, PtUnicode), utf16(*a.fileName));
    if (a.longFileName)
        pc.set(tagOf(0x3707, PtUnicode), utf16(*a.longFileName));
    if (a.displayName)
        pc.set(tagOf(0x3001, PtUnicode), utf16(*a.displayName));
    if (a.mimeType)
        pc.set(tagOf(0x370E, PtUnicode), utf16(*a.mimeType));
    for (const Property &p : a.extraProperties)
        pc.set(p.tag, p.value);

    row.emplace_back(tagOf(0x0E20, PtLong), le32(std::uint32_t(std::min<std::uint64_t>(size, 0x7FFFFFFF))));
    if (a.fileName)
        row.emplace_back(tagOf(0x3704, PtUnicode), utf16(*a.fileName));
    row.emplace_back(tagOf(0x3705, PtLong), le32(method));
    row.emplace_back(tagOf(0x370B, PtLong), le32(0xFFFFFFFFu));
    // The attachment table repeats its columns, extra properties included.
    const auto &columns = attachmentColumns();
    for (const Property &p : a.extraProperties) {
        if (std::find(columns.begin(), columns.end(), p.tag) == columns.end())
            continue;
        auto cell = std::find_if(row.begin(), row.end(), [&](const auto &c) { return c.first == p.tag; });
        if (cell != row.end())
            cell->second = p.value;
        else
            row.emplace_back(p.tag, p.value);
    }

    if (loopData && (a.kind != Attachment::Kind::ByValue || a.content.size() <= m_ndb.maxStreamBlock()))
        throw std::invalid_argument("pstwriter: a looped data tree needs an attachment of more than one block");
    if (corruptData && (a.kind != Attachment::Kind::ByValue || a.content.size() <= kMaxHeapAlloc))
        throw std::invalid_argument("pstwriter: a damaged compressed block needs an attachment of its own blocks");
    m_ndb.loopNextDataTree(loopData);
    m_ndb.corruptNextCompressedBlock(corruptData);
    // The attachment's data is streamed into blocks while its properties are
    // built, before the blocks of its heap.
    std::vector<std::string> heap = pc.build(node);
    if (corruptData && m_ndb.corruptionPending())
        throw std::invalid_argument("pstwriter: the attachment to damage was not stored compressed");
    m_ndb.corruptNextCompressedBlock(false);
    const std::uint64_t data = m_ndb.writeBlocks(heap);
    m_ndb.loopNextDataTree(false);
    return {data, node.writeSubnodes()};
}

StoreWriter::Written StoreWriter::writeMessage(const Message &m, Cells *contentsRow) {
    std::uint64_t cycleRoot = std::exchange(m_cycleRoot, 0);
    std::uint64_t cycleTarget = std::exchange(m_cycleTarget, 0);
    if (m.craft == Craft::SubnodeCycle && cycleRoot == 0)
        cycleRoot = cycleTarget = m_ndb.reserveBid(true);
    NodeContext node(m_ndb);
    PropertyContextBuilder pc;
    Cells row;
    auto both = [&](std::uint32_t tag, const std::string &value) {
        pc.set(tag, value);
        row.emplace_back(tag, value);
    };
    if (m.messageClass)
        both(tagOf(0x001A, PtUnicode), utf16(*m.messageClass));
    if (m.subject) {
        both(tagOf(0x0037, PtUnicode), utf16(*m.subject));
        both(tagOf(0x0070, PtUnicode), utf16(*m.subject));
    }
    if (m.senderName) {
        both(tagOf(0x0C1A, PtUnicode), utf16(*m.senderName));
        if (m.copySenderToRepresenting)
            both(tagOf(0x0042, PtUnicode), utf16(*m.senderName));
    }
    if (m.senderAddress) {
        pc.set(tagOf(0x0C1F, PtUnicode), utf16(*m.senderAddress));
        if (m.copySenderToRepresenting)
            pc.set(tagOf(0x0065, PtUnicode), utf16(*m.senderAddress));
    }
    if (m.senderAddressType) {
        pc.set(tagOf(0x0C1E, PtUnicode), utf16(*m.senderAddressType));
        if (m.copySenderToRepresenting)
            pc.set(tagOf(0x0064, PtUnicode), utf16(*m.senderAddressType));
    }
    if (m.deliveryTime)
        both(tagOf(0x0E06, PtSysTime), fileTime(*m.deliveryTime));
    if (m.submitTime)
        both(tagOf(0x0039, PtSysTime), fileTime(*m.submitTime));
    if (m.creationTime)
        pc.set(tagOf(0x3007, PtSysTime), fileTime(*m.creationTime));
    if (m.body)
        pc.set(tagOf(0x1000, PtUnicode), utf16(*m.body));
    if (m.htmlBody)
        pc.set(tagOf(0x1013, PtBinary), *m.htmlBody);
    if (m.codePage) {
        pc.set(tagOf(0x3FFD, PtLong), le32(std::uint32_t(*m.codePage)));
        pc.set(tagOf(0x3FDE, PtLong), le32(std::uint32_t(*m.codePage)));
    }
    if (m.transportHeaders)
        pc.set(tagOf(0x007D, PtUnicode), utf16(*m.transportHeaders));

    std::string displayTo, displayCc, displayBcc;
    std::vector<std::pair<std::uint32_t, Cells>> recipients;
    for (const Recipient &r : m.recipients) {
        std::string &list = r.type == RecipientType::To   ? displayTo
                            : r.type == RecipientType::Cc ? displayCc
                                                          : displayBcc;
        if (!list.empty())
            list += "; ";
        list += r.name.empty() ? r.address : r.name;
        Cells cells = {{tagOf(0x0C15, PtLong), le32(std::uint32_t(r.type))},
                       {tagOf(0x0E0F, PtBoolean), std::string(1, '\1')},
                       {tagOf(0x0FFE, PtLong), le32(6)},  // mail user
                       {tagOf(0x3001, PtUnicode), utf16(r.name)},
                       {tagOf(0x3002, PtUnicode), utf16(r.addressType)},
                       {tagOf(0x3003, PtUnicode), utf16(r.address)},
                       {tagOf(0x3900, PtLong), le32(0)},
                       {tagOf(0x39FF, PtUnicode), utf16(r.name)}};
        if (r.addressType == "SMTP")
            cells.emplace_back(tagOf(0x39FE, PtUnicode), utf16(r.address));
        recipients.emplace_back(std::uint32_t(recipients.size()), std::move(cells));
    }
    both(tagOf(0x0E04, PtUnicode), utf16(displayTo));
    both(tagOf(0x0E03, PtUnicode), utf16(displayCc));
    pc.set(tagOf(0x0E02, PtUnicode), utf16(displayBcc));

    std::uint64_t size = 512;
    std::vector<std::pair<std::uint32_t, Cells>> attachmentRows;
    for (const Attachment &a : m.attachments) {
        Cells cells;
        const std::uint32_t nid = node.newSubnodeId(0x05);
        const bool first = attachmentRows.empty();
        const bool crafted = m.craft == Craft::DataTreeCycle || m.craft == Craft::CorruptCompressedData;
        const Written w = writeAttachment(a, cells, first && crafted ? m.craft : Craft::None);
        node.subnodes.push_back({nid, w.bidData, w.bidSub});
        if (first && m.craft == Craft::SubnodeCycle)
            node.subnodes.back().bidSub = cycleTarget;
        attachmentRows.emplace_back(nid, std::move(cells));
        size += a.content.size();
    }
    if (m.craft == Craft::SubnodeCycle && m.attachments.empty())
        throw std::invalid_argument("pstwriter: a subnode cycle needs an attachment");
    if (m.craft == Craft::SubnodeFanOut)
        node.subnodes.push_back({node.newSubnodeId(0x1F), m_ndb.writeBlock("fan-out"), writeFanOut(m.craftDepth)});
    if (!m.attachments.empty()) {
        const Written t = writeTable(attachmentColumns(), attachmentRows);
        const std::uint64_t reserved = m_store.options().reservedBitOnAttachmentTables ? 1 : 0;
        node.subnodes.push_back({kAttachmentTableId, t.bidData | reserved, t.bidSub});
    }
    const Written r = writeTable(recipientColumns(), recipients);
    node.subnodes.push_back({kRecipientTableId, r.bidData, r.bidSub});

    const std::uint32_t flags = (m.read ? 0x01u : 0u) | (m.attachments.empty() ? 0u : 0x10u);
    both(tagOf(0x0E07, PtLong), le32(flags));
    both(tagOf(0x0017, PtLong), le32(1));  // normal importance
    both(tagOf(0x0036, PtLong), le32(0));
    both(tagOf(0x0E17, PtLong), le32(0));
    if (m.body)
        size += m.body->size() * 2;
    if (m.htmlBody)
        size += m.htmlBody->size();
    both(tagOf(0x0E08, PtLong), le32(std::uint32_t(std::min<std::uint64_t>(size, 0x7FFFFFFF))));
    // The folder's contents table repeats the message's columns, so an extra
    // property of a column's exact tag goes there too.
    const auto &columns = contentsColumns();
    for (const Property &p : m.extraProperties) {
        pc.set(p.tag, p.value);
        if (std::find(columns.begin(), columns.end(), p.tag) == columns.end())
            continue;
        auto cell = std::find_if(row.begin(), row.end(), [&](const auto &c) { return c.first == p.tag; });
        if (cell != row.end())
            cell->second = p.value;
        else
            row.emplace_back(p.tag, p.value);
    }

    if (contentsRow)
        *contentsRow = std::move(row);
    std::uint64_t data = m_ndb.writeBlocks(pc.build(node));
    const std::uint64_t sub = m_ndb.writeSubnodes(node.subnodes, cycleRoot);
    if (m.craft == Craft::MissingData)
        data = m_ndb.reserveBid(false);
    return {data, sub};
}

void StoreWriter::writeFolder(const Folder &folder, std::uint32_t parent) {
    const std::uint32_t nid = folder.nodeId();
    const std::uint32_t base = nid & ~0x1Fu;
    std::vector<std::pair<std::uint32_t, Cells>> contents;
    std::uint32_t unread = 0;
    // SubnodeCycle messages point in turn at the next one's subnode tree.
    std::vector<std::uint64_t> cycleRoots;
    for (const Message &m : folder.messages()) {
        if (m.craft == Craft::SubnodeCycle)
            cycleRoots.push_back(m_ndb.reserveBid(true));
    }
    std::size_t cycleIndex = 0;
    std::optional<Written> previous;
    for (std::size_t i = 0; i < folder.messages().size(); ++i) {
        const Message &m = folder.messages()[i];
        Cells row;
        if (m.craft == Craft::SubnodeCycle) {
            m_cycleRoot = cycleRoots[cycleIndex];
            m_cycleTarget = cycleRoots[(cycleIndex + 1) % cycleRoots.size()];
            ++cycleIndex;
        }
        Written w = writeMessage(m, &row);
        if (m.craft == Craft::ShareWithPrevious && previous)
            w = *previous;
        previous = w;
        m_ndb.addNode(folder.messageIds()[i], w.bidData, w.bidSub, nid);
        contents.emplace_back(folder.messageIds()[i], std::move(row));
        unread += m.read ? 0 : 1;
    }

    std::vector<std::pair<std::uint32_t, Cells>> children;
    for (const auto &child : folder.folders()) {
        writeFolder(*child, nid);
        Cells cells = {{tagOf(0x3001, PtUnicode), utf16(child->name())},
                       {tagOf(0x3602, PtLong), le32(std::uint32_t(child->messages().size()))},
                       {tagOf(0x3603, PtLong), le32(0)},
                       {tagOf(0x360A, PtBoolean), std::string(1, child->folders().empty() ? '\0' : '\1')}};
        std::uint32_t childUnread = 0;
        for (const Message &m : child->messages())
            childUnread += m.read ? 0 : 1;
        cells[2].second = le32(childUnread);
        if (!child->containerClass().empty())
            cells.emplace_back(tagOf(0x3613, PtUnicode), utf16(child->containerClass()));
        children.emplace_back(child->nodeId(), std::move(cells));
    }
    for (const Folder *link : folder.links()) {
        Cells cells = {{tagOf(0x3001, PtUnicode), utf16(link->name())},
                       {tagOf(0x3602, PtLong), le32(std::uint32_t(link->messages().size()))},
                       {tagOf(0x3603, PtLong), le32(0)},
                       {tagOf(0x360A, PtBoolean), std::string(1, '\1')}};
        children.emplace_back(link->nodeId(), std::move(cells));
    }
    const bool hasChildren = !children.empty();

    NodeContext node(m_ndb);
    PropertyContextBuilder pc;
    pc.set(tagOf(0x3001, PtUnicode), utf16(folder.name()));
    pc.set(tagOf(0x3602, PtLong), le32(std::uint32_t(folder.messages().size())));
    pc.set(tagOf(0x3603, PtLong), le32(unread));
    pc.set(tagOf(0x360A, PtBoolean), std::string(1, hasChildren ? '\1' : '\0'));
    if (!folder.containerClass().empty())
        pc.set(tagOf(0x3613, PtUnicode), utf16(folder.containerClass()));
    m_ndb.addNode(nid, m_ndb.writeBlocks(pc.build(node)), node.writeSubnodes(), folder.parentOverride().value_or(parent));

    const Written h = writeTable(hierarchyColumns(), children);
    m_ndb.addNode(base | 0x0D, h.bidData, h.bidSub, 0);
    const Written c = writeTable(contentsColumns(), contents);
    m_ndb.addNode(base | 0x0E, c.bidData, c.bidSub, 0);
    const Written f = writeTable(contentsColumns(), {});
    m_ndb.addNode(base | 0x0F, f.bidData, f.bidSub, 0);
}

void StoreWriter::run(const Folder &hiddenRoot, std::uint32_t folderIndexEnd) {
    writeMessageStore();
    writeNameToIdMap();

    // Table templates Outlook copies for new folders and messages; some
    // readers look them up.
    const std::pair<std::uint32_t, const std::vector<std::uint32_t> *> templates[] = {
        {0x60D, &hierarchyColumns()}, {0x60E, &contentsColumns()},   {0x60F, &contentsColumns()},
        {0x610, &contentsColumns()},  {0x671, &attachmentColumns()}, {0x692, &recipientColumns()}};
    for (const auto &[nid, columns] : templates) {
        const Written t = writeTable(*columns, {});
        m_ndb.addNode(nid, t.bidData, t.bidSub, 0);
    }
    // Search bookkeeping nodes of a fresh store: empty queues.
    m_ndb.addNode(0x1E1, 0, 0, 0);
    m_ndb.addNode(0x201, m_ndb.writeBlock(std::string(4, '\0')), 0, 0);
    m_ndb.addNode(0x261, 0, 0, 0);

    writeFolder(hiddenRoot, hiddenRoot.nodeId());

    std::array<std::uint32_t, 32> next;
    next.fill(0x400);
    next[0x02] = folderIndexEnd;
    next[0x03] = 0x4000;
    next[0x04] = m_nextMessageIndex;
    next[0x08] = 0x8000;
    m_ndb.finish(next);
}

}  // namespace

Time utc(int year, int month, int day, int hour, int minute, int second) {
    const std::chrono::sys_days date{std::chrono::year(year) / std::chrono::month(unsigned(month)) /
                                     std::chrono::day(unsigned(day))};
    return date + std::chrono::hours(hour) + std::chrono::minutes(minute) + std::chrono::seconds(second);
}

Property Property::unicode(std::uint16_t id, const std::string &utf8) { return {tagOf(id, PtUnicode), utf16(utf8)}; }
Property Property::string8(std::uint16_t id, std::string bytes) { return {tagOf(id, PtString8), std::move(bytes)}; }
Property Property::binary(std::uint16_t id, std::string bytes) { return {tagOf(id, PtBinary), std::move(bytes)}; }
Property Property::int32(std::uint16_t id, std::int32_t v) { return {tagOf(id, PtLong), le32(std::uint32_t(v))}; }
Property Property::boolean(std::uint16_t id, bool v) { return {tagOf(id, PtBoolean), std::string(1, v ? '\1' : '\0')}; }
Property Property::time(std::uint16_t id, Time t) { return {tagOf(id, PtSysTime), fileTime(t)}; }
Property Property::utf16Units(std::uint16_t id, const std::u16string &units) {
    std::string bytes;
    for (char16_t u : units) {
        bytes.push_back(char(u & 0xFF));
        bytes.push_back(char(u >> 8));
    }
    return {tagOf(id, PtUnicode), bytes};
}

Attachment Attachment::file(const std::string &name, Content content) {
    Attachment a;
    a.fileName = name;
    a.longFileName = name;
    a.displayName = name;
    a.content = std::move(content);
    return a;
}

Attachment Attachment::embedded(Message message, const std::string &displayName) {
    Attachment a;
    a.kind = Kind::Embedded;
    a.displayName = displayName;
    a.message = std::make_shared<Message>(std::move(message));
    return a;
}

Attachment Attachment::link(const std::string &name, const std::string &path) {
    Attachment a;
    a.kind = Kind::Link;
    a.fileName = name;
    a.longFileName = name;
    a.displayName = name;
    a.linkPath = path;
    return a;
}

Folder::Folder(Store &store, std::string name, std::string containerClass, std::uint32_t nid)
    : m_store(store), m_name(std::move(name)), m_containerClass(std::move(containerClass)), m_nid(nid) {}

Folder &Folder::addFolder(const std::string &name, const std::string &containerClass) {
    m_folders.push_back(std::unique_ptr<Folder>(new Folder(m_store, name, containerClass, m_store.newFolderId())));
    return *m_folders.back();
}

std::uint32_t Folder::addMessage(Message message) {
    const std::uint32_t nid = m_store.newMessageId();
    m_messages.push_back(std::move(message));
    m_messageIds.push_back(nid);
    return nid;
}

Store::Store(std::string displayName, StoreOptions options)
    : m_displayName(std::move(displayName)), m_options(std::move(options)) {
    if (m_options.recordKey) {
        m_recordKey = *m_options.recordKey;
    } else {
        const std::uint64_t a = fnv(m_displayName, 0xCBF29CE484222325ull);
        const std::uint64_t b = fnv(m_displayName + "#pst", a);
        for (int i = 0; i < 8; ++i) {
            m_recordKey[std::size_t(i)] = std::uint8_t(a >> (8 * i));
            m_recordKey[std::size_t(8 + i)] = std::uint8_t(b >> (8 * i));
        }
    }
    m_rootFolder.reset(new Folder(*this, std::string(), std::string(), kRootFolderId));
    m_ipmSubtree = &m_rootFolder->addFolder("Top of Personal Folders", std::string());
    m_searchRoot = &m_rootFolder->addFolder("Search Root", std::string());
    if (m_options.deletedItems)
        m_deletedItems = &m_ipmSubtree->addFolder("Deleted Items", "IPF.Note");
}

Store::~Store() = default;

std::uint32_t Store::newFolderId() {
    if (m_nextFolderIndex >= (1u << 27))
        throw std::runtime_error("pstwriter: too many folders");
    return (m_nextFolderIndex++ << 5) | 0x02;
}

std::uint32_t Store::newMessageId() {
    if (m_nextMessageIndex >= (1u << 26))
        throw std::runtime_error("pstwriter: too many messages");
    return (m_nextMessageIndex++ << 5) | 0x04;
}

std::string Store::entryId(std::uint32_t nodeId) const {
    static const char digits[] = "0123456789ABCDEF";
    std::string bytes(4, '\0');
    bytes.append(reinterpret_cast<const char *>(m_recordKey.data()), 16);
    bytes += le32(nodeId);
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 0xF]);
    }
    return hex;
}

void Store::write(const std::string &path) const {
    // Only a file this call created is removed on failure.
    std::optional<StoreWriter> writer;
    writer.emplace(*this, path, m_nextMessageIndex);
    try {
        writer->run(*m_rootFolder, m_nextFolderIndex);
    } catch (...) {
        writer.reset();
        std::remove(path.c_str());
        throw;
    }
}

}  // namespace pstwriter
