#pragma once
// Items (messages, contacts, appointments ...) of a folder in a mail file,
// and their collection.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

#include <memory>
#include <vector>

namespace pw::pst {

class PstItem : public outlook::Item {
public:
    // Parses the item at once: a scan reads several members of each item.
    PstItem(PstStorePtr store, pst_desc_tree *node);
    // Parses the item when a member first needs it: a download reopens
    // every selected message by its EntryID before it reads any.
    struct Deferred {};
    PstItem(PstStorePtr store, pst_desc_tree *node, Deferred);

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
    const pst_item &message() const;

    PstStorePtr m_store;
    std::uint64_t m_nodeId;
    mutable std::shared_ptr<pst_item> m_message;
};

class PstItems : public outlook::Items {
public:
    PstItems(PstStorePtr store, pst_desc_tree *folder)
        : m_store(std::move(store)), m_messages(PstFile::children(folder, kNodeTypeMessage)) {}

    int count() override;
    outlook::ItemPtr Item(int index) override;

private:
    PstStorePtr m_store;
    std::vector<pst_desc_tree *> m_messages;
};

} // namespace pw::pst
