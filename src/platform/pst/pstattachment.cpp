#include "platform/pst/pstattachment.h"

#include "core/error.h"
#include "platform/pst/atomicfile.h"
#include "platform/pst/emlwriter.h"
#include "platform/pst/pstitem.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace pw::pst {

namespace {

// Attach methods (0x3705); 1, by value, is every other one.
constexpr int kMethodByReference = 2;
constexpr int kMethodByReferenceResolve = 3;
constexpr int kMethodByReferenceOnly = 4;
constexpr int kMethodAttachedMessage = 5;
constexpr int kMethodOle = 6;
constexpr int kMethodByWebReference = 7;

// Attachment data goes to disk in writes of at least this much where the
// blocks allow.
constexpr std::size_t kWriteChunk = std::size_t(1) << 20;

} // namespace

bool isAttachedMessage(const Attachment &attachment) {
    return attachment.method() == kMethodAttachedMessage;
}

bool holdsNoFileData(const Attachment &attachment) {
    const int method = attachment.method();
    return method == kMethodByReference || method == kMethodByReferenceResolve || method == kMethodByReferenceOnly
        || method == kMethodOle || method == kMethodByWebReference;
}

QString attachmentFileName(const Attachment &attachment) {
    const QString displayName = attachment.displayName();
    if (isAttachedMessage(attachment)) {
        QString name = displayName;
        if (name.isEmpty()) try {
            name = subjectOf(*attachment.attachedMessage());
        } catch (const Error &) {
            // Named "message" below.
        }
        if (name.isEmpty())
            name = QStringLiteral("message");
        if (!name.endsWith(QLatin1String(".eml"), Qt::CaseInsensitive))
            name += QLatin1String(".eml");
        return name;
    }
    if (QString name = attachment.longFileName(); !name.isEmpty())
        return name;
    if (QString name = attachment.fileName(); !name.isEmpty())
        return name;
    return displayName;
}

std::uint64_t writeAttachmentData(const Attachment &attachment, int fd, const QString &shownTarget,
                                  const outlook::Attachment::SaveProgress &progress) {
    const QString what = QStringLiteral("Cannot save the attachment to %1").arg(shownTarget);
    std::uint64_t written = 0;
    std::uint64_t total = 0;
    bool stopped = false;
    try {
        total = attachment.dataSize();
        if (progress && !progress(0, total))
            throw Stopped();
        const bool complete = attachment.streamData(kWriteChunk, [&](const std::uint8_t *data, std::size_t size) {
            std::size_t done = 0;
            while (done < size) {
                const ssize_t n = ::write(fd, data + done, size - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throw Error(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno))));
                done += static_cast<std::size_t>(n);
            }
            written += size;
            if (progress && !progress(written, total)) {
                stopped = true;
                return false;
            }
            return true;
        });
        if (!complete || stopped)
            throw Stopped();
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("%1: %2.").arg(what, damage.text()));
    }
    return written;
}

PstAttachment::PstAttachment(PstStorePtr store, std::shared_ptr<Message> message, std::shared_ptr<messaging::Attachment> attachment)
    : m_store(std::move(store)), m_message(std::move(message)), m_attachment(std::move(attachment)) {}

QString PstAttachment::fileName() {
    m_store->ensureOpen();
    try {
        return attachmentFileName(*m_attachment);
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("Cannot read the attachment's name: %1.").arg(damageInMessage(damage, m_message->nid())));
    }
}

QString PstAttachment::contentId() {
    m_store->ensureOpen();
    QString id;
    try {
        // 0x3712: how the message's HTML body names it ("cid:...").
        id = m_attachment->properties().text(0x3712).value_or(QString()).trimmed();
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("Cannot read the attachment's content id: %1.").arg(damageInMessage(damage, m_message->nid())));
    }
    if (id.startsWith(QLatin1Char('<')) && id.endsWith(QLatin1Char('>')))
        id = id.mid(1, id.size() - 2);
    return id;
}

void PstAttachment::SaveAsFile(const QString &path) {
    SaveAsFile(path, {});
}

void PstAttachment::SaveAsFile(const QString &path, const SaveProgress &progress) {
    m_store->ensureOpen();
    const QString shown = QDir::toNativeSeparators(path);
    if (isAttachedMessage(*m_attachment)) {
        writeAttachedMessage(*m_attachment, path, progress);
        return;
    }
    if (m_attachment->method() == kMethodOle)
        throw Error(QStringLiteral("Cannot save the attachment \"%1\" to %2: it is an embedded OLE object and holds no file data.")
                        .arg(fileName(), shown));
    if (holdsNoFileData(*m_attachment))
        throw Error(QStringLiteral("Cannot save the attachment \"%1\" to %2: it is a link to a file elsewhere and holds no file data.")
                        .arg(fileName(), shown));
    AtomicFile file(path, QStringLiteral("the attachment"));
    file.open();
    try {
        writeAttachmentData(*m_attachment, file.handle(), shown, progress);
    } catch (const Stopped &) {
        throw;
    } catch (const Error &error) {
        // Name the message the damage is in.
        throw Error(damageInMessage(error.text(), m_message->nid()));
    }
    file.commit();
}

PstAttachments::PstAttachments(PstStorePtr store, std::shared_ptr<Message> message)
    : m_store(std::move(store)), m_message(std::move(message)), m_ids(m_message->attachmentIds()) {}

int PstAttachments::count() {
    m_store->ensureOpen();
    return static_cast<int>(m_ids.size());
}

outlook::AttachmentPtr PstAttachments::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Attachments: index %1 is out of range (1 to %2).").arg(index).arg(total));
    try {
        auto attachment = std::make_shared<messaging::Attachment>(m_message->attachment(m_ids[static_cast<std::size_t>(index - 1)]));
        return std::make_shared<PstAttachment>(m_store, m_message, std::move(attachment));
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("Cannot read attachment %1 of message %2: %3.")
                        .arg(index)
                        .arg(m_message->nid())
                        .arg(damageInMessage(damage, m_message->nid())));
    }
}

} // namespace pw::pst
