#include "platform/pst/pststore.h"

#include "core/error.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace pw::pst {

PstStore::PstStore(const QString &path) : m_file(messaging::Store::open(path)) {
    const QFileInfo info(path);
    m_canonicalPath = info.canonicalFilePath();
    m_codepage = m_file->codepage();
    m_displayName = m_file->displayName();
    m_storedKey = m_file->recordKey();
    if (m_displayName.isEmpty())
        m_displayName = info.completeBaseName();
    if (m_storedKey.size() != 16) {
        // No usable key: one made from the file's path still tells the
        // stores of one session apart.
        m_storedKey = QCryptographicHash::hash(QFile::encodeName(info.absoluteFilePath()), QCryptographicHash::Md5);
    }
    m_recordKey = m_storedKey;
    findRootFolder();
}

QString PstStore::folderName(std::uint32_t folder) const {
    return m_file->folderName(folder);
}

std::uint32_t PstStore::childNamed(std::uint32_t folder, const QString &name) const {
    for (std::uint32_t child : m_file->children(folder, messaging::kNodeTypeFolder)) {
        if (folderName(child) == name)
            return child;
    }
    return 0;
}

void PstStore::findRootFolder() {
    if (const std::uint32_t subtree = m_file->ipmSubtree(); subtree && m_file->file().node(subtree)) {
        m_root = subtree;
        return;
    }
    // Offline stores of newer Outlook versions lack the property; their
    // visible tree is Root - Mailbox / IPM_SUBTREE.
    const std::uint32_t top = messaging::kRootFolderNode;
    if (!m_file->file().node(top))
        throw Error(QStringLiteral("Cannot find the folders of %1: the file is damaged or incomplete.")
                        .arg(QDir::toNativeSeparators(path())));
    const std::uint32_t mailbox = childNamed(top, QStringLiteral("Root - Mailbox"));
    std::uint32_t subtree = mailbox ? childNamed(mailbox, QStringLiteral("IPM_SUBTREE")) : 0;
    if (!subtree)
        subtree = childNamed(top, QStringLiteral("IPM_SUBTREE"));
    // No visible tree at all: show the file's own root rather than nothing.
    m_root = subtree ? subtree : top;
}

void PstStore::ensureOpen() const {
    if (!m_open)
        throw Error(QStringLiteral("The mail store \"%1\" has been closed.").arg(m_displayName));
}

QString PstStore::entryId(std::uint64_t nodeId) const {
    QByteArray id(4, '\0');
    id.append(m_recordKey);
    for (int shift = 0; shift < 32; shift += 8)
        id.append(static_cast<char>((nodeId >> shift) & 0xFF));
    return QString::fromLatin1(id.toHex().toUpper());
}

} // namespace pw::pst
