#include "platform/pst/pstattachment.h"

#include "core/error.h"
#include "platform/pst/atomicfile.h"
#include "platform/pst/emlwriter.h"
#include "platform/pst/messageproperties.h"

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <vector>

namespace pw::pst {

std::vector<pst_item_attach *> realAttachments(const pst_item &message) {
    std::vector<pst_item_attach *> out;
    for (pst_item_attach *a = message.attach; a; a = a->next) {
        if (a->method != 0 || a->i_id != 0 || a->data.data || a->filename1.str || a->filename2.str || a->mimetype.str)
            out.push_back(a);
    }
    // libpst lists the rows last to first.
    std::reverse(out.begin(), out.end());
    return out;
}

bool isAttachedMessage(const pst_item_attach &attachment) {
    return attachment.method == PST_ATTACH_EMBEDDED;
}

bool holdsNoFileData(const pst_item_attach &attachment) {
    const int method = attachment.method;
    return method == PST_ATTACH_BY_REF || method == PST_ATTACH_BY_REF_RESOLV || method == PST_ATTACH_BY_REF_ONLY
        || method == PST_ATTACH_OLE || method == 7;
}

QString attachmentFileName(PstFile &file, const pst_item_attach &attachment, int codepage, const QString &displayName) {
    if (isAttachedMessage(attachment)) {
        QString name = displayName;
        if (name.isEmpty()) try {
            const ParsedItem message = file.parseAttached(attachment);
            name = subjectOf(*message, codepage);
        } catch (const Error &) {
            // Named "message" below.
        }
        if (name.isEmpty())
            name = QStringLiteral("message");
        if (!name.endsWith(QLatin1String(".eml"), Qt::CaseInsensitive))
            name += QLatin1String(".eml");
        return name;
    }
    for (const pst_string *value : {&attachment.filename2, &attachment.filename1}) {
        if (auto name = textOf(*value, codepage); name && !name->isEmpty())
            return *name;
    }
    return displayName;
}

std::uint64_t writeAttachmentData(PstFile &file, pst_item_attach &attachment, int fd, const QString &shownTarget) {
    const QString what = QStringLiteral("Cannot save the attachment to %1").arg(shownTarget);
    std::uint64_t expected = 0;
    if (!attachment.data.data && attachment.i_id != 0 && attachment.i_id != std::uint64_t(-1)) {
        if (!pst_getID(file.handle(), attachment.i_id))
            throw Error(QStringLiteral("%1: its data is missing from the file.").arg(what));
        expected = file.checkDataTree(attachment.i_id, what);
    }
    const int copy = ::dup(fd);
    FILE *out = copy >= 0 ? ::fdopen(copy, "wb") : nullptr;
    if (!out) {
        const int error = errno;
        if (copy >= 0)
            ::close(copy);
        throw Error(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error))));
    }
    // libpst writes a block (up to 8 KiB) at a time; the stream's own 4 KiB
    // buffer would turn a large attachment into a write call per 4 KiB.
    // (glibc ignores the size unless it is given the buffer.)
    std::vector<char> buffer(std::size_t(1) << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    errno = 0;
    const std::size_t written = pst_attach_to_file(file.handle(), &attachment, out);
    const bool failed = std::ferror(out) != 0 || std::fflush(out) != 0;
    const int error = errno;
    std::fclose(out);
    if (failed)
        throw Error(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error ? error : EIO))));
    if (expected != 0 && written != expected)
        throw Error(QStringLiteral("%1: its data ends after %2 of %3 bytes; the mail file is damaged.").arg(what).arg(written).arg(expected));
    return written;
}

PstAttachment::PstAttachment(PstStorePtr store, std::shared_ptr<pst_item> message, pst_item_attach *attachment,
                             QString displayName)
    : m_store(std::move(store)), m_message(std::move(message)), m_attachment(attachment), m_displayName(std::move(displayName)) {}

QString PstAttachment::fileName() {
    m_store->ensureOpen();
    return attachmentFileName(m_store->file(), *m_attachment, codepageOf(*m_message, m_store->codepage()), m_displayName);
}

QString PstAttachment::contentId() {
    m_store->ensureOpen();
    QString id = textOf(m_attachment->content_id, codepageOf(*m_message, m_store->codepage())).value_or(QString()).trimmed();
    if (id.startsWith(QLatin1Char('<')) && id.endsWith(QLatin1Char('>')))
        id = id.mid(1, id.size() - 2);
    return id;
}

void PstAttachment::SaveAsFile(const QString &path) {
    m_store->ensureOpen();
    const QString shown = QDir::toNativeSeparators(path);
    if (isAttachedMessage(*m_attachment)) {
        writeAttachedMessage(m_store->file(), *m_attachment, codepageOf(*m_message, m_store->codepage()), path);
        return;
    }
    if (m_attachment->method == PST_ATTACH_OLE)
        throw Error(QStringLiteral("Cannot save the attachment \"%1\" to %2: it is an embedded OLE object and holds no file data.")
                        .arg(fileName(), shown));
    if (holdsNoFileData(*m_attachment))
        throw Error(QStringLiteral("Cannot save the attachment \"%1\" to %2: it is a link to a file elsewhere and holds no file data.")
                        .arg(fileName(), shown));
    saveData(path);
}

void PstAttachment::saveData(const QString &path) {
    AtomicFile file(path, QStringLiteral("the attachment"));
    file.open();
    writeAttachmentData(m_store->file(), *m_attachment, file.handle(), QDir::toNativeSeparators(path));
    file.commit();
}

PstAttachments::PstAttachments(PstStorePtr store, std::shared_ptr<pst_item> message, pst_desc_tree *node)
    : m_store(std::move(store)), m_message(std::move(message)), m_attachments(realAttachments(*m_message)), m_node(node) {}

int PstAttachments::count() {
    m_store->ensureOpen();
    return static_cast<int>(m_attachments.size());
}

outlook::AttachmentPtr PstAttachments::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Attachments: index %1 is out of range (1 to %2).").arg(index).arg(total));
    pst_item_attach *attachment = m_attachments[static_cast<std::size_t>(index - 1)];
    QString displayName;
    // Read only when the name needs it: the file names are the rule.
    const bool needsDisplayName = isAttachedMessage(*attachment) || (!attachment->filename1.str && !attachment->filename2.str);
    if (needsDisplayName) {
        if (!m_displayNames)
            m_displayNames = m_store->file().attachmentDisplayNames(m_node, codepageOf(*m_message, m_store->codepage()));
        // Only when every attachment is accounted for, so that none takes another's name.
        if (m_displayNames->size() == static_cast<qsizetype>(m_attachments.size()))
            displayName = m_displayNames->at(index - 1);
    }
    return std::make_shared<PstAttachment>(m_store, m_message, attachment, displayName);
}

} // namespace pw::pst
