#include "platform/pst/pstitem.h"

#include "core/error.h"
#include "platform/pst/pstattachment.h"

#include <QDir>

namespace pw::pst {

std::shared_ptr<Message> openMessage(const PstStorePtr &store, std::uint32_t nodeId) {
    try {
        return std::make_shared<Message>(store->file(), nodeId);
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("Cannot read item %1 of %2: %3.")
                        .arg(nodeId)
                        .arg(QDir::toNativeSeparators(store->path()), damageInMessage(damage, nodeId)));
    }
}

QString damageInMessage(const ndb::Damage &damage, std::uint32_t nodeId) {
    return damageInMessage(damage.text(), nodeId);
}

QString damageInMessage(QString text, std::uint32_t nodeId) {
    text.replace(QLatin1String("damaged data at offset"), QStringLiteral("damaged data in message %1 at offset").arg(nodeId));
    text.replace(QLatin1String("damaged data:"), QStringLiteral("damaged data in message %1:").arg(nodeId));
    return text;
}

PstItem::PstItem(PstStorePtr store, std::uint32_t node)
    : m_store(std::move(store)), m_nodeId(node), m_message(openMessage(m_store, node)) {}

PstItem::PstItem(PstStorePtr store, std::uint32_t node, Deferred) : m_store(std::move(store)), m_nodeId(node) {}

const Message &PstItem::message() const {
    m_store->ensureOpen();
    if (!m_message)
        m_message = openMessage(m_store, m_nodeId);
    return *m_message;
}

// Reads through `read`, turning damage found on the way into an error
// that names the message.
template <typename Read>
auto PstItem::guarded(Read read) const -> decltype(read()) {
    try {
        return read();
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("Cannot read item %1 of %2: %3.")
                        .arg(m_nodeId)
                        .arg(QDir::toNativeSeparators(m_store->path()), damageInMessage(damage, m_nodeId)));
    }
}

int PstItem::Class() {
    return outlook::objectClassFor(guarded([&] { return messageClassOf(message()); }));
}

outlook::AttachmentsPtr PstItem::Attachments() {
    message();
    return guarded([&] { return std::make_shared<PstAttachments>(m_store, m_message); });
}

QString PstItem::SenderName() {
    return guarded([&] { return senderNameOf(message()); });
}

QString PstItem::SenderEmailAddress() {
    return guarded([&] { return senderAddressOf(message()); });
}

QString PstItem::SenderEmailType() {
    return guarded([&] { return senderTypeOf(message()); });
}

QDateTime PstItem::ReceivedTime() {
    return guarded([&] { return receivedTimeOf(message()); });
}

QString PstItem::Subject() {
    return guarded([&] { return subjectOf(message()); });
}

QString PstItem::Body() {
    return guarded([&] { return bodyOf(message()); });
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
