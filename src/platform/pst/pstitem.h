#pragma once
// Items (messages, contacts, appointments ...) of a folder in a mail file,
// and their collection.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

namespace pw::pst {

class PstItem : public outlook::Item {
public:
    PstItem(PstStorePtr store, PffItem message);

    int Class() override;
    outlook::AttachmentsPtr Attachments() override;
    QString SenderName() override;
    QString SenderEmailAddress() override;
    QString SenderEmailType() override;
    QDateTime ReceivedTime() override;
    QString Subject() override;
    QString Body() override;
    QString EntryID() override;

private:
    const PffItem &message() const;

    PstStorePtr m_store;
    std::shared_ptr<PffItem> m_message;
};

class PstItems : public outlook::Items {
public:
    PstItems(PstStorePtr store, std::shared_ptr<PffItem> folder)
        : m_store(std::move(store)), m_folder(std::move(folder)) {}

    int count() override;
    outlook::ItemPtr Item(int index) override;

private:
    PstStorePtr m_store;
    std::shared_ptr<PffItem> m_folder;
};

} // namespace pw::pst
