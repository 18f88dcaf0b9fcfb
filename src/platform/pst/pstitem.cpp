#include "platform/pst/pstitem.h"

#include "core/error.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pstattachment.h"

namespace pw::pst {

PstItem::PstItem(PstStorePtr store, pst_desc_tree *node)
    : m_store(std::move(store)), m_nodeId(node->d_id),
      m_message(m_store->file().parse(node).release(), [](pst_item *item) { pst_freeItem(item); }) {}

PstItem::PstItem(PstStorePtr store, pst_desc_tree *node, Deferred) : m_store(std::move(store)), m_nodeId(node->d_id) {}

const pst_item &PstItem::message() const {
    m_store->ensureOpen();
    if (!m_message) {
        // Looked up again: the node tree is the file's, the item only knows its id.
        m_message.reset(m_store->file().parse(m_store->file().node(m_nodeId)).release(),
                        [](pst_item *item) { pst_freeItem(item); });
    }
    return *m_message;
}

int PstItem::Class() {
    return outlook::objectClassFor(messageClassOf(message()));
}

outlook::AttachmentsPtr PstItem::Attachments() {
    message();
    return std::make_shared<PstAttachments>(m_store, m_message, m_store->file().node(m_nodeId));
}

QString PstItem::SenderName() {
    return senderNameOf(message(), m_store->codepage());
}

QString PstItem::SenderEmailAddress() {
    return senderAddressOf(message(), m_store->codepage());
}

QString PstItem::SenderEmailType() {
    return senderTypeOf(message(), m_store->codepage());
}

QDateTime PstItem::ReceivedTime() {
    return receivedTimeOf(message());
}

QString PstItem::Subject() {
    return subjectOf(message(), m_store->codepage());
}

QString PstItem::Body() {
    return bodyOf(message(), m_store->codepage());
}

QString PstItem::HTMLBody() {
    // Read as the bytes stand: what is looked for in it ("cid:" references)
    // is plain ASCII in every charset a body is stored in.
    const auto html = htmlBodyOf(message());
    return html ? QString::fromUtf8(*html) : QString();
}

QString PstItem::EntryID() {
    m_store->ensureOpen();
    return m_store->entryId(m_nodeId);
}

int PstItems::count() {
    m_store->ensureOpen();
    return static_cast<int>(m_messages.size());
}

outlook::ItemPtr PstItems::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Items: index %1 is out of range (1 to %2).").arg(index).arg(total));
    return std::make_shared<PstItem>(m_store, m_messages[static_cast<std::size_t>(index - 1)]);
}

} // namespace pw::pst
