#pragma once
// Items (messages, contacts, appointments ...) of a folder in a mail file,
// and their collection.
#include "outlook/outlookmodel.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pststore.h"

#include <memory>
#include <vector>

namespace pw::pst {

class PstItem : public outlook::Item {
public:
    // Parses the item at once: a scan reads several members of each item.
    PstItem(PstStorePtr store, std::uint32_t node);
    // Parses the item when a member first needs it: a download reopens
    // every selected message by its EntryID before it reads any.
    struct Deferred {};
    PstItem(PstStorePtr store, std::uint32_t node, Deferred);

    int Class() override;
    outlook::AttachmentsPtr Attachments() override;
    QString SenderName() override;
    QString SenderEmailAddress() override;
    QString SenderEmailType() override;
    QDateTime ReceivedTime() override;
    QString Subject() override;
    QString Body() override;
    QString HTMLBody() override;
    QString EntryID() override;

private:
    const Message &message() const;
    template <typename Read>
    auto guarded(Read read) const -> decltype(read());

    PstStorePtr m_store;
    std::uint32_t m_nodeId;
    mutable std::shared_ptr<Message> m_message;
};

// Opens a message of the store; throws pw::Error naming the message when
// it is damaged.
std::shared_ptr<Message> openMessage(const PstStorePtr &store, std::uint32_t nodeId);
// The damage's text, naming the message it was found in.
QString damageInMessage(const ndb::Damage &damage, std::uint32_t nodeId);
QString damageInMessage(QString text, std::uint32_t nodeId);

class PstItems : public outlook::Items {
public:
    PstItems(PstStorePtr store, std::uint32_t folder)
        : m_store(std::move(store)), m_messages(m_store->file()->folderMessages(folder)) {}

    int count() override;
    outlook::ItemPtr Item(int index) override;

private:
    PstStorePtr m_store;
    std::vector<std::uint32_t> m_messages;
};

} // namespace pw::pst
