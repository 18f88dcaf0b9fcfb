#include "platform/pst/pstattachment.h"

#include "app/core/error.h"
#include "platform/pst/atomicfile.h"
#include "platform/pst/emlwriter.h"
#include "platform/pst/messageproperties.h"

#include <QDir>

#include <cstdio>
#include <vector>

namespace pw::pst {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Attach methods (0x3705) that leave no data in the store.
bool isLinkMethod(std::uint32_t method) {
    return method == 2 || method == 3 || method == 4 || method == 7;
}

int attachmentType(const PffItem &attachment) {
    int type = LIBPFF_ATTACHMENT_TYPE_UNDEFINED;
    PffError error;
    if (libpff_attachment_get_type(attachment.get(), &type, error.out()) != 1)
        throwPff(QStringLiteral("Cannot read the kind of an attachment"), error);
    return type;
}

QString firstNonEmpty(const PffItem &item, std::initializer_list<std::uint32_t> tags) {
    for (std::uint32_t tag : tags) {
        if (auto value = item.string(tag); value && !value->isEmpty())
            return *value;
    }
    return {};
}

} // namespace

QString attachmentFileName(const PffItem &attachment) {
    if (attachmentType(attachment) == LIBPFF_ATTACHMENT_TYPE_ITEM) {
        QString name = firstNonEmpty(attachment, {tag::kDisplayName});
        if (name.isEmpty()) {
            PffItem message;
            PffError error;
            if (libpff_attachment_get_item(attachment.get(), message.out(), error.out()) == 1)
                name = subjectOf(message);
        }
        if (name.isEmpty())
            name = QStringLiteral("message");
        if (!name.endsWith(QLatin1String(".eml"), Qt::CaseInsensitive))
            name += QLatin1String(".eml");
        return name;
    }
    return firstNonEmpty(attachment, {tag::kAttachLongFileName, tag::kAttachFileName, tag::kDisplayName});
}

PstAttachment::PstAttachment(PstStorePtr store, std::shared_ptr<PffItem> message, PffItem attachment)
    : m_store(std::move(store)), m_message(std::move(message)), m_attachment(std::move(attachment)) {}

int PstAttachment::type() const {
    return attachmentType(m_attachment);
}

std::optional<std::uint32_t> PstAttachment::method() const {
    return m_attachment.int32(tag::kAttachMethod);
}

QString PstAttachment::fileName() {
    m_store->ensureOpen();
    return attachmentFileName(m_attachment);
}

void PstAttachment::SaveAsFile(const QString &path) {
    m_store->ensureOpen();
    const QString shown = QDir::toNativeSeparators(path);
    const int kind = type();
    const auto how = method();
    if (kind == LIBPFF_ATTACHMENT_TYPE_ITEM || (how && *how == 5)) {
        writeAttachedMessage(m_attachment, m_store->codepage(), path);
        return;
    }
    if (kind == LIBPFF_ATTACHMENT_TYPE_REFERENCE || (how && isLinkMethod(*how)))
        throw Error(QStringLiteral("Cannot save the attachment \"%1\" to %2: it is a link to a file elsewhere and holds no file data.")
                        .arg(attachmentFileName(m_attachment), shown));
    if (how && *how == 6)
        throw Error(QStringLiteral("Cannot save the attachment \"%1\" to %2: it is an embedded OLE object and holds no file data.")
                        .arg(attachmentFileName(m_attachment), shown));
    saveData(path);
}

void PstAttachment::saveData(const QString &path) {
    const QString shown = QDir::toNativeSeparators(path);
    PffError error;
    size64_t size = 0;
    // 0 means the attachment stores no data at all: an empty file.
    const int hasData = libpff_attachment_get_data_size(m_attachment.get(), &size, error.out());
    if (hasData < 0)
        throwPff(QStringLiteral("Cannot save the attachment to %1: its data cannot be read").arg(shown), error);
    if (hasData == 0)
        size = 0;

    AtomicFile file(path, QStringLiteral("the attachment"));
    file.open();
    if (size > 0 && libpff_attachment_data_seek_offset(m_attachment.get(), 0, SEEK_SET, error.out()) < 0)
        throwPff(QStringLiteral("Cannot save the attachment to %1: its data cannot be read").arg(shown), error);
    std::vector<std::uint8_t> buffer(kChunk);
    size64_t written = 0;
    while (written < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<size64_t>(kChunk, size - written));
        const ssize_t got = libpff_attachment_data_read_buffer(m_attachment.get(), buffer.data(), want, error.out());
        if (got < 0)
            throwPff(QStringLiteral("Cannot save the attachment to %1: its data cannot be read").arg(shown), error);
        if (got == 0 || static_cast<std::size_t>(got) > want)
            file.fail(QStringLiteral("its data ends after %1 of %2 bytes; the mail file is damaged.").arg(written).arg(size));
        file.write(reinterpret_cast<const char *>(buffer.data()), got);
        written += static_cast<size64_t>(got);
    }
    file.commit();
}

int PstAttachments::count() {
    m_store->ensureOpen();
    int count = 0;
    PffError error;
    if (libpff_message_get_number_of_attachments(m_message->get(), &count, error.out()) != 1)
        throwPff(QStringLiteral("Cannot count the attachments"), error);
    return count < 0 ? 0 : count;
}

outlook::AttachmentPtr PstAttachments::Item(int index) {
    m_store->ensureOpen();
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Attachments: index %1 is out of range (1 to %2).").arg(index).arg(total));
    PffItem attachment;
    PffError error;
    if (libpff_message_get_attachment(m_message->get(), index - 1, attachment.out(), error.out()) != 1)
        throwPff(QStringLiteral("Cannot read attachment %1").arg(index), error);
    return std::make_shared<PstAttachment>(m_store, m_message, std::move(attachment));
}

} // namespace pw::pst
