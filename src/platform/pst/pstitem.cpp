#include "platform/pst/pstitem.h"

#include "app/core/error.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pstattachment.h"

namespace pw::pst {

PstItem::PstItem(PstStorePtr store, PffItem message)
    : m_store(std::move(store)), m_message(std::make_shared<PffItem>(std::move(message))) {}

const PffItem &PstItem::message() const {
    m_store->ensureOpen();
    return *m_message;
}

int PstItem::Class() {
    return outlook::objectClassFor(messageClassOf(message()));
}

outlook::AttachmentsPtr PstItem::Attachments() {
    message();
    return std::make_shared<PstAttachments>(m_store, m_message);
}

QString PstItem::SenderName() {
    return senderNameOf(message());
}

QString PstItem::SenderEmailAddress() {
    return senderAddressOf(message());
}

QString PstItem::SenderEmailType() {
    return senderTypeOf(message());
}

QDateTime PstItem::ReceivedTime() {
    return receivedTimeOf(message());
}

QString PstItem::Subject() {
    return subjectOf(message());
}

QString PstItem::Body() {
    return bodyOf(message(), m_store->codepage());
}

QString PstItem::EntryID() {
    return m_store->entryId(message().identifier());
}

int PstItems::count() {
    m_store->ensureOpen();
    int count = 0;
    PffError error;
    if (libpff_folder_get_number_of_sub_messages(m_folder->get(), &count, error.out()) != 1)
        throwPff(QStringLiteral("Cannot count the items of a folder"), error);
    return count < 0 ? 0 : count;
}

outlook::ItemPtr PstItems::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Items: index %1 is out of range (1 to %2).").arg(index).arg(total));
    PffItem message;
    PffError error;
    if (libpff_folder_get_sub_message(m_folder->get(), index - 1, message.out(), error.out()) != 1)
        throwPff(QStringLiteral("Cannot read item %1 of a folder").arg(index), error);
    return std::make_shared<PstItem>(m_store, std::move(message));
}

} // namespace pw::pst
