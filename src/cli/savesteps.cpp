#include "cli/savesteps.h"

#include "core/error.h"
#include "download/filenaming.h"
#include "download/tnefsaving.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace pw::cli {

SaveSteps::SaveSteps(QString root, const MoreOptions &options, bool keepTnef, bool dryRun,
                     std::function<void(const QString &)> note)
    : m_root(std::move(root)), m_options(options), m_keepTnef(keepTnef), m_dryRun(dryRun), m_note(std::move(note)),
      m_policy(options.skipExisting, options.dedupe) {}

bool SaveSteps::wanted(const Message &message, const Attachment &attachment) {
    const AttachmentChoice &choice = m_options.attachments;
    // A wrapper is judged by the files inside it, once they are out.
    const bool wrapper = !m_keepTnef && mayBeTnef(attachment.name, attachment.mimeType);
    if (!wrapper && !choice.acceptsName(safeAttachmentName(attachment.name, attachment.mimeType))) {
        m_note(QStringLiteral("%1: left out \"%2\": its name is not chosen").arg(QString::fromUtf8(message.source), attachment.name));
        return false;
    }
    if (choice.skipInline && message.htmlBody && shownInline(attachment, message.htmlBody())) {
        m_note(QStringLiteral("%1: left out \"%2\": the message shows it inline").arg(QString::fromUtf8(message.source), attachment.name));
        return false;
    }
    return true;
}

AttachmentSaver &SaveSteps::saverFor(const Message &message, AttachmentSaver &flat) {
    if (!m_options.tree)
        return flat;
    const QString folder = treeFolder(m_root, message);
    auto found = m_treeSavers.find(folder);
    if (found == m_treeSavers.end()) {
        if (!m_dryRun && !QFileInfo(folder).isDir() && !QDir().mkpath(folder))
            throw Error(QStringLiteral("cannot make the folder %1").arg(folder));
        auto saver = std::make_shared<AttachmentSaver>(folder);
        saver->setUnpackTnef(!m_keepTnef);
        found = m_treeSavers.insert(folder, saver);
    }
    return **found;
}

bool SaveSteps::keep(const Attachment &attachment, const AttachmentSaver::Saved &saved) {
    const AttachmentChoice &choice = m_options.attachments;
    // Files out of a wrapper (or a wrapper that could not be opened) were
    // not judged by name before.
    const bool fromWrapper = !m_keepTnef && mayBeTnef(attachment.name, attachment.mimeType);
    const QString name = QFileInfo(saved.path).fileName();
    QString why;
    if (fromWrapper && !choice.acceptsName(SavePolicy::unnumbered(name)) && !choice.acceptsName(name))
        why = QStringLiteral("its name is not chosen");
    else if (!choice.acceptsSize(saved.size))
        why = QStringLiteral("its size is not chosen");
    if (!why.isEmpty()) {
        QFile::remove(saved.path);
    } else {
        switch (m_policy.judge(saved.path, saved.size)) {
        case SavePolicy::Verdict::Keep:
            return true;
        case SavePolicy::Verdict::AlreadyThere:
            ++m_alreadyThere;
            why = QStringLiteral("the folder holds it already");
            break;
        case SavePolicy::Verdict::Duplicate:
            ++m_duplicates;
            why = QStringLiteral("saved before in this run");
            break;
        }
    }
    m_note(QStringLiteral("left out %1: %2").arg(saved.path, why));
    return false;
}

QString SaveSteps::summary() const {
    QString text;
    if (m_options.skipExisting)
        text += QStringLiteral(", %1 already in the folder").arg(m_alreadyThere);
    if (m_options.dedupe)
        text += QStringLiteral(", %1 duplicates not saved").arg(m_duplicates);
    return text;
}

} // namespace pw::cli
