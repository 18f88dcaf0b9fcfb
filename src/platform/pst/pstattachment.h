#pragma once
// Attachments of a message in a mail file, and their collection.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

#include <memory>
#include <optional>
#include <vector>

namespace pw::pst {

class PstAttachment : public outlook::Attachment {
public:
    // `attachment` lives in `message`, which the attachment keeps alive.
    // `displayName`: its 0x3001, the last resort for its file name.
    PstAttachment(PstStorePtr store, std::shared_ptr<pst_item> message, pst_item_attach *attachment, QString displayName);

    QString fileName() override;
    QString contentId() override;
    void SaveAsFile(const QString &path) override;

private:
    void saveData(const QString &path);

    // The store first: members go in reverse order, items before their file.
    PstStorePtr m_store;
    std::shared_ptr<pst_item> m_message;
    pst_item_attach *m_attachment;
    QString m_displayName;
};

class PstAttachments : public outlook::Attachments {
public:
    // `node`: the message's node, for its attachments' display names.
    PstAttachments(PstStorePtr store, std::shared_ptr<pst_item> message, pst_desc_tree *node);

    int count() override;
    outlook::AttachmentPtr Item(int index) override;

private:
    PstStorePtr m_store;
    std::shared_ptr<pst_item> m_message;
    std::vector<pst_item_attach *> m_attachments;
    pst_desc_tree *m_node;
    std::optional<QStringList> m_displayNames;
};

// The attachments of a parsed message, in the order of its attachment
// table. libpst also lists the rows of the recipient table as attachments;
// they carry none of an attachment's own properties and are left out.
std::vector<pst_item_attach *> realAttachments(const pst_item &message);

bool isAttachedMessage(const pst_item_attach &attachment);
// Attach methods that leave no file data in the store: links and OLE objects.
bool holdsNoFileData(const pst_item_attach &attachment);

// The attachment's file name as Outlook gives it: 0x3707, else 0x3704, else
// the display name; for an attached message its display name (else its
// subject, else "message") with ".eml".
QString attachmentFileName(PstFile &file, const pst_item_attach &attachment, int codepage, const QString &displayName = QString());

// Streams a data attachment into `out`; throws when its data is damaged or
// cannot be written. Answers the number of bytes written.
std::uint64_t writeAttachmentData(PstFile &file, pst_item_attach &attachment, int fd, const QString &shownTarget);

} // namespace pw::pst
