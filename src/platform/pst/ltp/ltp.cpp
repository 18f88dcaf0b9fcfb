#include "platform/pst/ltp/ltp.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

namespace pw::pst::ltp {

using ndb::Damage;
using ndb::readLe;

namespace {

constexpr std::uint8_t kHeapSignature = 0xEC;
constexpr std::uint8_t kBthType = 0xB5;
constexpr std::uint8_t kPcSignature = 0xBC;
constexpr std::uint8_t kTcSignature = 0x7C;
constexpr int kMaxBthLevels = 8;

[[noreturn]] void damagedAt(std::uint64_t offset) {
    throw Damage(QStringLiteral("damaged data at offset %1").arg(offset), offset);
}

} // namespace

std::size_t inlineSize(std::uint16_t type) {
    switch (type) {
    case PtBoolean: return 1;
    case PtInt16: return 2;
    case PtInt32:
    case PtFloat:
    case PtError: return 4;
    case PtDouble:
    case PtCurrency:
    case PtAppTime:
    case PtInt64:
    case PtSysTime: return 8;
    default: return 0;
    }
}

NodeSource openNode(const ndb::NdbFile &file, std::uint64_t dataBid, std::uint64_t subnodeBid,
                    std::shared_ptr<ndb::Budget> budget) {
    NodeSource node;
    node.file = &file;
    node.dataBid = dataBid;
    node.budget = std::move(budget);
    if (ndb::blockKey(subnodeBid) != 0)
        node.subnodeList = SubnodeList(file, subnodeBid, node.budget);
    return node;
}

struct SubnodeList::State {
    const ndb::NdbFile *file = nullptr;
    std::uint64_t bid = 0;
    std::shared_ptr<ndb::Budget> budget;
    std::mutex mutex;
    bool loaded = false;
    std::vector<ndb::Subnode> list;
};

SubnodeList::SubnodeList(const ndb::NdbFile &file, std::uint64_t bid, std::shared_ptr<ndb::Budget> budget)
    : m_state(std::make_shared<State>()) {
    m_state->file = &file;
    m_state->bid = bid;
    m_state->budget = std::move(budget);
}

const std::vector<ndb::Subnode> &SubnodeList::get() const {
    static const std::vector<ndb::Subnode> none;
    if (!m_state)
        return none;
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->loaded) {
        m_state->list = ndb::subnodeTree(*m_state->file, m_state->bid, *m_state->budget);
        m_state->loaded = true;
    }
    return m_state->list;
}

Heap::Heap(NodeSource source) : m_node(std::move(source)) {
    const NodeSource &node = m_node;
    const ndb::NdbFile &file = *node.file;
    if (ndb::blockKey(node.dataBid) == 0)
        throw Damage(QStringLiteral("damaged data: the item has no data"), 0);
    const ndb::DataTree tree = ndb::dataTree(file, node.dataBid, *node.budget);
    m_data = ndb::readData(file, tree, kMaxValueSize);
    std::size_t at = 0;
    for (const ndb::BlockEntry *leaf : tree.leaves) {
        m_pages.push_back({at, leaf->inflated, leaf->offset});
        at += leaf->inflated;
    }
    const Page &first = m_pages.front();
    const std::uint8_t *p = m_data.data() + first.start;
    if (first.size < 12 || p[2] != kHeapSignature)
        damagedAt(first.offset);
    m_clientSignature = p[3];
    m_userRoot = static_cast<std::uint32_t>(readLe(p + 4, 4));
}

std::uint64_t Heap::offsetOf(std::uint32_t pageIndex) const {
    return pageIndex < m_pages.size() ? m_pages[pageIndex].offset : 0;
}

std::pair<const std::uint8_t *, std::size_t> Heap::item(std::uint32_t hid) const {
    if (hid == 0)
        return {nullptr, 0};
    const std::uint32_t pageIndex = hid >> 16;
    const std::uint32_t index = (hid >> 5) & 0x7FF;
    if ((hid & 0x1F) != 0 || pageIndex >= m_pages.size() || index == 0)
        damagedAt(m_pages.front().offset);
    const Page &page = m_pages[pageIndex];
    const std::uint8_t *p = m_data.data() + page.start;
    if (page.size < 2)
        damagedAt(page.offset);
    const std::size_t map = readLe(p, 2);
    if (map + 4 > page.size)
        damagedAt(page.offset);
    const std::size_t count = readLe(p + map, 2);
    if (index > count || map + 4 + (count + 1) * 2 > page.size)
        damagedAt(page.offset);
    const std::size_t start = readLe(p + map + 4 + (index - 1) * 2, 2);
    const std::size_t end = readLe(p + map + 4 + index * 2, 2);
    if (start > end || end > map)
        damagedAt(page.offset);
    return {p + start, end - start};
}

Bytes Heap::value(std::uint32_t hnid) const {
    if (hnid == 0)
        return {};
    if ((hnid & 0x1F) == 0) {
        const auto [data, size] = item(hnid);
        return Bytes(data, data + size);
    }
    const ndb::Subnode *sub = ndb::findSubnode(m_node.subnodes(), hnid);
    if (!sub)
        throw Damage(QStringLiteral("damaged data at offset %1 (subnode %2 is missing)").arg(m_pages.front().offset).arg(hnid),
                     m_pages.front().offset);
    if (ndb::blockKey(sub->dataBid) == 0)
        return {};
    const ndb::DataTree tree = ndb::dataTree(*m_node.file, sub->dataBid, *m_node.budget);
    return ndb::readData(*m_node.file, tree, kMaxValueSize);
}

BthRecords readBth(const Heap &heap, std::uint32_t headerHid) {
    BthRecords out;
    const auto [header, headerSize] = heap.item(headerHid);
    const std::uint64_t where = heap.offsetOf(headerHid >> 16);
    if (headerSize < 8 || header[0] != kBthType)
        damagedAt(where);
    out.keySize = header[1];
    out.dataSize = header[2];
    const int levels = header[3];
    const std::uint32_t root = static_cast<std::uint32_t>(readLe(header + 4, 4));
    if (out.keySize == 0 || out.keySize > 16 || out.dataSize == 0 || out.dataSize > 32 || levels > kMaxBthLevels)
        damagedAt(where);
    if (root == 0)
        return out;
    std::unordered_set<std::uint32_t> visited;
    struct Pending {
        std::uint32_t hid;
        int level;
    };
    std::vector<Pending> stack{{root, levels}};
    while (!stack.empty()) {
        const Pending at = stack.back();
        stack.pop_back();
        if (!visited.insert(at.hid).second)
            damagedAt(heap.offsetOf(at.hid >> 16));
        const auto [data, size] = heap.item(at.hid);
        const std::size_t recordSize = out.keySize + (at.level > 0 ? 4 : out.dataSize);
        if (size % recordSize != 0)
            damagedAt(heap.offsetOf(at.hid >> 16));
        const std::size_t count = size / recordSize;
        if (at.level == 0) {
            for (std::size_t i = 0; i < count; ++i)
                out.records.push_back(data + i * recordSize);
            continue;
        }
        for (std::size_t i = count; i-- > 0;)
            stack.push_back({static_cast<std::uint32_t>(readLe(data + i * recordSize + out.keySize, 4)), at.level - 1});
    }
    return out;
}

PropertyContext::PropertyContext(NodeSource node) {
    m_heap = std::make_unique<Heap>(std::move(node));
    if (m_heap->clientSignature() != kPcSignature)
        damagedAt(m_heap->offsetOf(0));
    m_records = readBth(*m_heap, m_heap->userRoot());
    if (m_records.keySize != 2 || m_records.dataSize != 6)
        damagedAt(m_heap->offsetOf(0));
}

std::optional<PropValue> PropertyContext::get(std::uint16_t id) const {
    for (const std::uint8_t *record : m_records.records) {
        if (readLe(record, 2) != id)
            continue;
        PropValue value;
        value.type = static_cast<std::uint16_t>(readLe(record + 2, 2));
        const std::size_t size = inlineSize(value.type);
        if (size > 0 && size <= 4) {
            value.bytes.assign(record + 4, record + 4 + size);
        } else {
            value.bytes = m_heap->value(static_cast<std::uint32_t>(readLe(record + 4, 4)));
            if (size > 0 && value.bytes.size() < size)
                damagedAt(m_heap->offsetOf(0));
        }
        return value;
    }
    return std::nullopt;
}

std::optional<std::pair<std::uint16_t, std::uint32_t>> PropertyContext::reference(std::uint16_t id) const {
    for (const std::uint8_t *record : m_records.records) {
        if (readLe(record, 2) == id)
            return std::make_pair(static_cast<std::uint16_t>(readLe(record + 2, 2)), static_cast<std::uint32_t>(readLe(record + 4, 4)));
    }
    return std::nullopt;
}

std::vector<std::pair<std::uint16_t, std::uint16_t>> PropertyContext::list() const {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> out;
    for (const std::uint8_t *record : m_records.records)
        out.emplace_back(static_cast<std::uint16_t>(readLe(record, 2)), static_cast<std::uint16_t>(readLe(record + 2, 2)));
    return out;
}

std::vector<std::uint32_t> tableRowIds(NodeSource node) {
    const Heap heap(std::move(node));
    const std::uint64_t where = heap.offsetOf(0);
    if (heap.clientSignature() != kTcSignature)
        damagedAt(where);
    const auto [info, infoSize] = heap.item(heap.userRoot());
    if (infoSize < 22 || info[0] != kTcSignature)
        damagedAt(where);
    std::vector<std::uint32_t> out;
    const std::uint32_t rowIndex = static_cast<std::uint32_t>(readLe(info + 10, 4));
    if (rowIndex == 0)
        return out;
    const BthRecords index = readBth(heap, rowIndex);
    if (index.keySize != 4)
        damagedAt(where);
    out.reserve(index.records.size());
    for (const std::uint8_t *record : index.records)
        out.push_back(static_cast<std::uint32_t>(readLe(record, 4)));
    return out;
}

TableContext::TableContext(NodeSource node) {
    m_heap = std::make_unique<Heap>(std::move(node));
    const NodeSource &source = m_heap->node();
    const std::uint64_t where = m_heap->offsetOf(0);
    if (m_heap->clientSignature() != kTcSignature)
        damagedAt(where);
    const auto [info, infoSize] = m_heap->item(m_heap->userRoot());
    if (infoSize < 22 || info[0] != kTcSignature)
        damagedAt(where);
    const std::size_t columnCount = info[1];
    if (22 + columnCount * 8 > infoSize)
        damagedAt(where);
    m_rowSize = readLe(info + 8, 2);
    m_cebOffset = readLe(info + 6, 2);
    if (m_rowSize < 4 || m_cebOffset + (columnCount + 7) / 8 > m_rowSize)
        damagedAt(where);
    for (std::size_t i = 0; i < columnCount; ++i) {
        const std::uint8_t *c = info + 22 + i * 8;
        Column column{static_cast<std::uint32_t>(readLe(c, 4)), static_cast<std::uint16_t>(readLe(c + 4, 2)), c[6], c[7]};
        if (column.offset + column.size > m_rowSize || column.bit / 8 >= (columnCount + 7) / 8)
            damagedAt(where);
        m_columns.push_back(column);
    }
    const std::uint32_t rowIndex = static_cast<std::uint32_t>(readLe(info + 10, 4));
    const std::uint32_t rows = static_cast<std::uint32_t>(readLe(info + 14, 4));
    std::size_t indexed = 0;
    if (rowIndex != 0)
        indexed = readBth(*m_heap, rowIndex).records.size();
    if (rows == 0)
        return;
    if ((rows & 0x1F) == 0) {
        const auto [data, size] = m_heap->item(rows);
        m_rows.assign(data, data + size);
        for (std::size_t at = 0; at + m_rowSize <= size; at += m_rowSize)
            m_rowStarts.push_back(at);
    } else {
        const ndb::Subnode *sub = ndb::findSubnode(source.subnodes(), rows);
        if (!sub)
            damagedAt(where);
        const ndb::DataTree tree = ndb::dataTree(*source.file, sub->dataBid, *source.budget);
        m_rows = ndb::readData(*source.file, tree, kMaxValueSize);
        // Rows do not cross blocks: each block holds whole rows.
        std::size_t blockStart = 0;
        for (const ndb::BlockEntry *leaf : tree.leaves) {
            for (std::size_t at = 0; at + m_rowSize <= leaf->inflated; at += m_rowSize)
                m_rowStarts.push_back(blockStart + at);
            blockStart += leaf->inflated;
        }
    }
    m_rowCount = std::min(m_rowStarts.size(), indexed);
}

const std::uint8_t *TableContext::rowData(std::size_t row) const {
    if (row >= m_rowCount)
        throw Error(QStringLiteral("row %1 of %2").arg(row).arg(m_rowCount));
    return m_rows.data() + m_rowStarts[row];
}

bool TableContext::hasColumn(std::uint32_t tag) const {
    return std::any_of(m_columns.begin(), m_columns.end(), [tag](const Column &c) { return c.tag == tag; });
}

std::uint32_t TableContext::rowId(std::size_t row) const {
    return static_cast<std::uint32_t>(readLe(rowData(row), 4));
}

std::optional<PropValue> TableContext::cell(std::size_t row, std::uint32_t tag) const {
    const auto column = std::find_if(m_columns.begin(), m_columns.end(), [tag](const Column &c) { return c.tag == tag; });
    if (column == m_columns.end())
        return std::nullopt;
    const std::uint8_t *r = rowData(row);
    if ((r[m_cebOffset + column->bit / 8] & (0x80 >> (column->bit % 8))) == 0)
        return std::nullopt;
    PropValue value;
    value.type = static_cast<std::uint16_t>(tag & 0xFFFF);
    const std::size_t size = inlineSize(value.type);
    if (size > 0) {
        if (column->size < size)
            damagedAt(m_heap->offsetOf(0));
        value.bytes.assign(r + column->offset, r + column->offset + size);
    } else {
        if (column->size < 4)
            damagedAt(m_heap->offsetOf(0));
        value.bytes = m_heap->value(static_cast<std::uint32_t>(readLe(r + column->offset, 4)));
    }
    return value;
}

} // namespace pw::pst::ltp
