#pragma once
// Attachments of a message in a mail file, and their collection.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

namespace pw::pst {

class PstAttachment : public outlook::Attachment {
public:
    PstAttachment(PstStorePtr store, std::shared_ptr<PffItem> message, PffItem attachment);

    QString fileName() override;
    void SaveAsFile(const QString &path) override;

private:
    int type() const;
    std::optional<std::uint32_t> method() const;
    void saveData(const QString &path);

    // The store first: members go in reverse order, items before their file.
    PstStorePtr m_store;
    std::shared_ptr<PffItem> m_message;
    PffItem m_attachment;
};

class PstAttachments : public outlook::Attachments {
public:
    PstAttachments(PstStorePtr store, std::shared_ptr<PffItem> message)
        : m_store(std::move(store)), m_message(std::move(message)) {}

    int count() override;
    outlook::AttachmentPtr Item(int index) override;

private:
    PstStorePtr m_store;
    std::shared_ptr<PffItem> m_message;
};

// The attachment's file name as Outlook gives it: 0x3707, else 0x3704, else
// the display name; for an attached message its display name (else its
// subject, else "message") with ".eml".
QString attachmentFileName(const PffItem &attachment);

} // namespace pw::pst
