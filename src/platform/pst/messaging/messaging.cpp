#include "platform/pst/messaging/messaging.h"

#include "core/codepage.h"

#include <algorithm>

namespace pw::pst::messaging {

using ndb::readLe;

QString decodeUtf16(const std::uint8_t *data, std::size_t size) {
    QString out;
    out.reserve(static_cast<qsizetype>(size / 2));
    const std::size_t units = size / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t unit = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (QChar::isHighSurrogate(unit)) {
            if (i + 1 < units) {
                const char16_t next = static_cast<char16_t>(data[2 * i + 2] | (data[2 * i + 3] << 8));
                if (QChar::isLowSurrogate(next)) {
                    out.append(QChar(unit));
                    out.append(QChar(next));
                    ++i;
                    continue;
                }
            }
            out.append(QChar(QChar::ReplacementCharacter));
        } else if (QChar::isLowSurrogate(unit)) {
            out.append(QChar(QChar::ReplacementCharacter));
        } else {
            out.append(QChar(unit));
        }
    }
    return out;
}

std::optional<QString> textOf(const ltp::PropValue &value, int codepage) {
    if (value.type == ltp::PtUnicode) {
        std::size_t size = value.bytes.size() & ~std::size_t(1);
        while (size >= 2 && value.bytes[size - 1] == 0 && value.bytes[size - 2] == 0)
            size -= 2;
        return decodeUtf16(value.bytes.data(), size);
    }
    if (value.type == ltp::PtString8) {
        std::size_t size = value.bytes.size();
        while (size > 0 && value.bytes[size - 1] == 0)
            --size;
        return decodeCodepage(QByteArray(reinterpret_cast<const char *>(value.bytes.data()), static_cast<qsizetype>(size)), codepage);
    }
    return std::nullopt;
}

std::optional<std::int32_t> int32Of(const ltp::PropValue &value) {
    if ((value.type == ltp::PtInt32 || value.type == ltp::PtError) && value.bytes.size() >= 4)
        return static_cast<std::int32_t>(readLe(value.bytes.data(), 4));
    if (value.type == ltp::PtInt16 && value.bytes.size() >= 2)
        return static_cast<std::int16_t>(readLe(value.bytes.data(), 2));
    return std::nullopt;
}

std::optional<std::uint64_t> int64Of(const ltp::PropValue &value) {
    if ((value.type == ltp::PtSysTime || value.type == ltp::PtInt64) && value.bytes.size() >= 8)
        return readLe(value.bytes.data(), 8);
    return std::nullopt;
}

std::optional<bool> boolOf(const ltp::PropValue &value) {
    if (value.type == ltp::PtBoolean && !value.bytes.empty())
        return value.bytes[0] != 0;
    return std::nullopt;
}

std::optional<QString> Properties::text(std::uint16_t id) const {
    const auto value = m_pc->get(id);
    return value ? textOf(*value, m_codepage) : std::nullopt;
}

std::optional<std::int32_t> Properties::int32(std::uint16_t id) const {
    const auto value = m_pc->get(id);
    return value ? int32Of(*value) : std::nullopt;
}

std::optional<std::uint64_t> Properties::time(std::uint16_t id) const {
    const auto value = m_pc->get(id);
    return value ? int64Of(*value) : std::nullopt;
}

std::optional<QByteArray> Properties::binary(std::uint16_t id) const {
    const auto value = m_pc->get(id);
    if (!value || (value->type != ltp::PtBinary && value->type != ltp::PtObject))
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char *>(value->bytes.data()), static_cast<qsizetype>(value->bytes.size()));
}

// ---- store ----

std::shared_ptr<Store> Store::open(const QString &path) {
    return std::shared_ptr<Store>(new Store(path));
}

Store::Store(const QString &path) : m_file(std::make_unique<ndb::NdbFile>(path)) {
    for (const ndb::NodeEntry &node : m_file->nodes()) {
        if (node.parent != 0 && node.parent != node.nid)
            m_children[node.parent].push_back(node.nid);
    }
    try {
        const Properties store = properties(kMessageStoreNode);
        if (const auto page = store.int32(0x3FFD); page && *page > 0 && *page < 65536)
            m_codepage = *page;
        m_displayName = store.text(0x3001).value_or(QString());
        if (const auto key = store.binary(0x0FF9); key && key->size() == 16)
            m_recordKey = *key;
        if (const auto subtree = store.binary(0x35E0); subtree && subtree->size() >= 24)
            m_ipmSubtree = static_cast<std::uint32_t>(readLe(reinterpret_cast<const std::uint8_t *>(subtree->constData()) + 20, 4));
    } catch (const Error &) {
        // A damaged store object loses the name and key, not the folders.
    }
    try {
        readNameMap();
    } catch (const Error &) {
        // Without the map, named properties read as unnamed.
        m_named.clear();
    }
}

std::shared_ptr<ndb::Budget> Store::newBudget() const {
    return std::make_shared<ndb::Budget>(4 * m_file->fileSize() + (std::uint64_t(1) << 20));
}

Properties Store::properties(std::uint32_t nid) const {
    const ndb::NodeEntry *node = m_file->node(nid);
    if (!node)
        throw ndb::Damage(QStringLiteral("item %1 is missing from the file").arg(nid), 0);
    ltp::NodeSource source = ltp::openNode(*m_file, node->dataBid, node->subnodeBid, newBudget());
    return Properties(std::make_unique<ltp::PropertyContext>(std::move(source)), m_codepage);
}

QString Store::folderName(std::uint32_t nid) const {
    try {
        return properties(nid).text(0x3001).value_or(QString());
    } catch (const Error &) {
        return {};
    }
}

std::vector<std::uint32_t> Store::children(std::uint32_t parent, std::uint32_t type) const {
    std::vector<std::uint32_t> out;
    const auto it = m_children.find(parent);
    if (it == m_children.end())
        return out;
    for (std::uint32_t nid : it->second) {
        if (nodeType(nid) == type)
            out.push_back(nid);
    }
    return out;
}

std::vector<std::uint32_t> Store::childFolders(std::uint32_t folder) const {
    std::vector<std::uint32_t> out = children(folder, kNodeTypeFolder);
    const ndb::NodeEntry *table = m_file->node((folder & ~0x1Fu) | kNodeTypeHierarchyTable);
    if (!table)
        return out;
    try {
        const ltp::TableContext tc(ltp::openNode(*m_file, table->dataBid, table->subnodeBid, newBudget()));
        for (std::size_t row = 0; row < tc.rowCount(); ++row) {
            const std::uint32_t nid = tc.rowId(row);
            const ndb::NodeEntry *node = m_file->node(nid);
            // A folder that lists itself is kept, so that opening it can
            // tell the damage; other children of the node tree are in already.
            if (nodeType(nid) != kNodeTypeFolder || !node || (nid != folder && node->parent == folder))
                continue;
            if (std::find(out.begin(), out.end(), nid) == out.end())
                out.push_back(nid);
        }
    } catch (const Error &) {
        // A damaged table adds nothing to the node tree's children.
    }
    return out;
}

std::vector<std::uint32_t> Store::folderMessages(std::uint32_t folder) const {
    std::vector<std::uint32_t> out = children(folder, kNodeTypeMessage);
    const ndb::NodeEntry *table = m_file->node((folder & ~0x1Fu) | kNodeTypeContentsTable);
    if (!table)
        return out;
    std::vector<std::uint32_t> listed;
    try {
        listed = ltp::tableRowIds(ltp::openNode(*m_file, table->dataBid, table->subnodeBid, newBudget()));
    } catch (const Error &) {
        // A damaged table adds nothing to the node tree's children.
        return out;
    }
    const std::size_t fromTree = out.size();
    for (std::uint32_t nid : listed) {
        if (nodeType(nid) != kNodeTypeMessage)
            continue;
        const ndb::NodeEntry *node = m_file->node(nid);
        if (!node || node->parent != folder)
            out.push_back(nid);
    }
    if (out.size() != fromTree) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
}

std::shared_ptr<const NamedProperty> Store::named(std::uint16_t id) const {
    const auto it = m_named.find(id);
    return it == m_named.end() ? nullptr : it->second;
}

void Store::readNameMap() {
    if (!m_file->node(kNameMapNode))
        return;
    const Properties map = properties(kNameMapNode);
    const QByteArray guids = map.binary(0x0002).value_or(QByteArray());
    const QByteArray entries = map.binary(0x0003).value_or(QByteArray());
    const QByteArray strings = map.binary(0x0004).value_or(QByteArray());
    static const QByteArray kMapi = QByteArray::fromHex("2803020000000000C000000000000046");
    static const QByteArray kPublicStrings = QByteArray::fromHex("2903020000000000C000000000000046");
    const auto *e = reinterpret_cast<const std::uint8_t *>(entries.constData());
    const auto *s = reinterpret_cast<const std::uint8_t *>(strings.constData());
    for (qsizetype at = 0; at + 8 <= entries.size(); at += 8) {
        auto property = std::make_shared<NamedProperty>();
        const std::uint32_t key = static_cast<std::uint32_t>(readLe(e + at, 4));
        const std::uint16_t guidField = static_cast<std::uint16_t>(readLe(e + at + 4, 2));
        const std::uint16_t index = static_cast<std::uint16_t>(readLe(e + at + 6, 2));
        const std::uint16_t guidIndex = guidField >> 1;
        if (guidIndex == 1)
            property->guid = kMapi;
        else if (guidIndex == 2)
            property->guid = kPublicStrings;
        else if (guidIndex >= 3 && (qsizetype(guidIndex) - 3) * 16 + 16 <= guids.size())
            property->guid = guids.mid((guidIndex - 3) * 16, 16);
        property->isString = (guidField & 1) != 0;
        if (property->isString) {
            if (qsizetype(key) + 4 > strings.size())
                continue;
            const std::uint32_t length = static_cast<std::uint32_t>(readLe(s + key, 4));
            if (qsizetype(key) + 4 + qsizetype(length) > strings.size())
                continue;
            property->name = decodeUtf16(s + key + 4, length);
        } else {
            property->lid = key;
        }
        m_named[static_cast<std::uint16_t>(0x8000 + index)] = std::move(property);
    }
}

// ---- messages ----

Message::Message(std::shared_ptr<const Store> store, std::uint32_t nid)
    : m_store(std::move(store)), m_props(nullptr, 0), m_nid(nid) {
    const ndb::NodeEntry *node = m_store->file().node(nid);
    if (!node)
        throw ndb::Damage(QStringLiteral("item %1 is missing from the file").arg(nid), 0);
    m_node = ltp::openNode(m_store->file(), node->dataBid, node->subnodeBid, m_store->newBudget());
    init(m_store->codepage());
}

Message::Message(std::shared_ptr<const Store> store, ltp::NodeSource node, int codepage)
    : m_store(std::move(store)), m_node(std::move(node)), m_props(nullptr, 0) {
    init(codepage);
}

void Message::init(int storeCodepage) {
    m_props = Properties(std::make_unique<ltp::PropertyContext>(m_node), storeCodepage);
    // The message's own code page for its 8-bit text, when it names one.
    if (const auto page = m_props.int32(0x3FFD); page && *page > 0 && *page < 65536)
        m_props.setCodepage(*page);
}

std::vector<std::uint32_t> Message::attachmentIds() const {
    std::vector<std::uint32_t> out;
    const ndb::Subnode *table = ndb::findSubnode(m_node.subnodes(), kAttachmentTableNode);
    if (!table)
        return out;
    ltp::NodeSource source = ltp::openNode(*m_node.file, table->dataBid, table->subnodeBid, m_node.budget);
    const ltp::TableContext tc(std::move(source));
    for (std::size_t row = 0; row < tc.rowCount(); ++row)
        out.push_back(tc.rowId(row));
    return out;
}

Attachment Message::attachment(std::uint32_t attachmentNid) const {
    const ndb::Subnode *sub = ndb::findSubnode(m_node.subnodes(), attachmentNid);
    if (!sub)
        throw ndb::Damage(QStringLiteral("attachment %1 is missing from the file").arg(attachmentNid), 0);
    return Attachment(m_store, ltp::openNode(*m_node.file, sub->dataBid, sub->subnodeBid, m_node.budget), attachmentNid,
                      m_props.codepage());
}

std::vector<Recipient> Message::recipients() const {
    std::vector<Recipient> out;
    const ndb::Subnode *table = ndb::findSubnode(m_node.subnodes(), kRecipientTableNode);
    if (!table)
        return out;
    const ltp::TableContext tc(ltp::openNode(*m_node.file, table->dataBid, table->subnodeBid, m_node.budget));
    const int codepage = m_props.codepage();
    const auto text = [&](std::size_t row, std::uint16_t id) {
        for (std::uint16_t type : {std::uint16_t(ltp::PtUnicode), std::uint16_t(ltp::PtString8)}) {
            if (const auto value = tc.cell(row, (std::uint32_t(id) << 16) | type))
                return textOf(*value, codepage).value_or(QString());
        }
        return QString();
    };
    for (std::size_t row = 0; row < tc.rowCount(); ++row) {
        Recipient r;
        r.name = text(row, 0x3001);
        r.address = text(row, 0x39FE);
        if (r.address.isEmpty())
            r.address = text(row, 0x3003);
        r.addressType = text(row, 0x3002);
        if (const auto type = tc.cell(row, 0x0C150003))
            r.type = int32Of(*type).value_or(1);
        out.push_back(r);
    }
    return out;
}

// ---- attachments ----

Attachment::Attachment(std::shared_ptr<const Store> store, ltp::NodeSource node, std::uint32_t nid, int codepage)
    : m_store(std::move(store)), m_props(std::make_unique<ltp::PropertyContext>(std::move(node)), codepage), m_nid(nid) {}

int Attachment::method() const {
    return m_props.int32(0x3705).value_or(0);
}

QString Attachment::longFileName() const {
    return m_props.text(0x3707).value_or(QString());
}

QString Attachment::fileName() const {
    return m_props.text(0x3704).value_or(QString());
}

QString Attachment::displayName() const {
    return m_props.text(0x3001).value_or(QString());
}

namespace {

// Where an attachment's data lies: a heap item (small data) or a subnode's
// data tree (any size).
struct DataPlace {
    bool present = false;
    std::uint32_t hid = 0;
    std::optional<ndb::DataTree> tree;
};

DataPlace placeOf(const ltp::PropertyContext &pc) {
    DataPlace place;
    const auto reference = pc.reference(0x3701);
    if (!reference || reference->first != ltp::PtBinary || reference->second == 0)
        return place;
    place.present = true;
    const std::uint32_t hnid = reference->second;
    if ((hnid & 0x1F) == 0) {
        place.hid = hnid;
        return place;
    }
    const ltp::NodeSource &node = pc.node();
    const ndb::Subnode *sub = ndb::findSubnode(node.subnodes(), hnid);
    if (!sub)
        throw ndb::Damage(QStringLiteral("damaged data at offset %1 (the attachment's data is missing)").arg(pc.heap().offsetOf(0)),
                          pc.heap().offsetOf(0));
    // Each read of the data is bounded by the file on its own: saving an
    // attachment again must not use up its message's budget.
    if (ndb::blockKey(sub->dataBid) != 0) {
        ndb::Budget budget(node.file->fileSize());
        place.tree = ndb::dataTree(*node.file, sub->dataBid, budget);
    }
    return place;
}

} // namespace

bool Attachment::streamData(std::size_t chunk, const std::function<bool(const std::uint8_t *, std::size_t)> &sink) const {
    const DataPlace place = placeOf(m_props.context());
    if (!place.present)
        return true;
    if (place.tree)
        return ndb::streamData(*m_props.context().node().file, *place.tree, chunk, sink);
    const auto [data, size] = m_props.context().heap().item(place.hid);
    return size == 0 || sink(data, size);
}

std::unique_ptr<Attachment::DataSource> Attachment::openData() const {
    const DataPlace place = placeOf(m_props.context());
    if (place.tree)
        return std::make_unique<DataSource>(DataSource{m_store, ndb::DataReader(*m_props.context().node().file, *place.tree)});
    std::vector<std::uint8_t> bytes;
    if (place.present) {
        const auto [data, size] = m_props.context().heap().item(place.hid);
        bytes.assign(data, data + size);
    }
    return std::make_unique<DataSource>(DataSource{m_store, ndb::DataReader(std::move(bytes))});
}

std::uint64_t Attachment::dataSize() const {
    const DataPlace place = placeOf(m_props.context());
    if (place.tree)
        return place.tree->size;
    return place.present ? m_props.context().heap().item(place.hid).second : 0;
}

QByteArray Attachment::data() const {
    return m_props.binary(0x3701).value_or(QByteArray());
}

std::unique_ptr<Message> Attachment::attachedMessage() const {
    const auto value = m_props.get(0x3701);
    if (!value || value->type != ltp::PtObject || value->bytes.size() < 4)
        throw ndb::Damage(QStringLiteral("the attached message is missing from the file"), 0);
    const std::uint32_t nid = static_cast<std::uint32_t>(readLe(value->bytes.data(), 4));
    const ltp::NodeSource &node = m_props.context().node();
    const ndb::Subnode *sub = ndb::findSubnode(node.subnodes(), nid);
    if (!sub)
        throw ndb::Damage(QStringLiteral("the attached message is missing from the file"), 0);
    return std::make_unique<Message>(m_store, ltp::openNode(*node.file, sub->dataBid, sub->subnodeBid, node.budget),
                                     m_props.codepage());
}

} // namespace pw::pst::messaging
