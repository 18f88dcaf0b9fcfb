#pragma once
// Attachments of a message in a mail file, and their collection.
#include "outlook/outlookmodel.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pststore.h"

#include <memory>
#include <optional>
#include <vector>

namespace pw::pst {

using messaging::Attachment;

class PstAttachment : public outlook::Attachment {
public:
    // `attachment` belongs to `message`, which the attachment keeps alive.
    PstAttachment(PstStorePtr store, std::shared_ptr<Message> message, std::shared_ptr<messaging::Attachment> attachment);

    QString fileName() override;
    QString contentId() override;
    void SaveAsFile(const QString &path) override;
    void SaveAsFile(const QString &path, const SaveProgress &progress) override;

private:
    // The store first: members go in reverse order, items before their file.
    PstStorePtr m_store;
    std::shared_ptr<Message> m_message;
    std::shared_ptr<messaging::Attachment> m_attachment;
};

class PstAttachments : public outlook::Attachments {
public:
    PstAttachments(PstStorePtr store, std::shared_ptr<Message> message);

    int count() override;
    outlook::AttachmentPtr Item(int index) override;

private:
    PstStorePtr m_store;
    std::shared_ptr<Message> m_message;
    std::vector<std::uint32_t> m_ids;
};

bool isAttachedMessage(const Attachment &attachment);
// Attach methods that leave no file data in the store: links and OLE objects.
bool holdsNoFileData(const Attachment &attachment);

// The attachment's file name as Outlook gives it: 0x3707, else 0x3704, else
// the display name 0x3001; for an attached message its display name (else
// its subject, else "message") with ".eml".
QString attachmentFileName(const Attachment &attachment);

// Streams a data attachment into `fd` in large writes, telling `progress`
// (when given) between reads; throws pw::Error when its data is damaged or
// cannot be written, pw::Stopped when progress answers false. Answers the
// number of bytes written.
std::uint64_t writeAttachmentData(const Attachment &attachment, int fd, const QString &shownTarget,
                                  const outlook::Attachment::SaveProgress &progress = {});

} // namespace pw::pst
