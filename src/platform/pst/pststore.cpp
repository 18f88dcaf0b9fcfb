#include "platform/pst/pststore.h"

#include "core/error.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace pw::pst {

PstStore::PstStore(const QString &path) : m_file(path) {
    const QFileInfo info(path);
    m_canonicalPath = info.canonicalFilePath();

    ParsedItem messageStore;
    try {
        messageStore = m_file.parse(m_file.node(kMessageStoreNode));
    } catch (const Error &) {
        // A damaged store object loses the name and key, not the folders.
    }
    if (messageStore) {
        if (messageStore->message_codepage > 0 && messageStore->message_codepage < 65536)
            m_codepage = messageStore->message_codepage;
        m_displayName = textOf(messageStore->file_as, m_codepage).value_or(QString());
        if (messageStore->record_key.data && messageStore->record_key.size == 16)
            m_storedKey = QByteArray(messageStore->record_key.data, 16);
    }
    if (m_displayName.isEmpty())
        m_displayName = info.completeBaseName();
    if (m_storedKey.size() != 16) {
        // No usable key: one made from the file's path still tells the
        // stores of one session apart.
        m_storedKey = QCryptographicHash::hash(QFile::encodeName(info.absoluteFilePath()), QCryptographicHash::Md5);
    }
    m_recordKey = m_storedKey;
    findRootFolder(messageStore.get());
}

QString PstStore::folderName(pst_desc_tree *folder) {
    try {
        const ParsedItem item = m_file.parse(folder);
        return textOf(item->file_as, m_codepage).value_or(QString());
    } catch (const Error &) {
        return {};
    }
}

pst_desc_tree *PstStore::childNamed(pst_desc_tree *folder, const QString &name) {
    for (pst_desc_tree *child : PstFile::children(folder, kNodeTypeFolder)) {
        if (folderName(child) == name)
            return child;
    }
    return nullptr;
}

void PstStore::findRootFolder(const pst_item *messageStore) {
    if (messageStore && messageStore->message_store && messageStore->message_store->top_of_personal_folder) {
        if (pst_desc_tree *root = m_file.node(messageStore->message_store->top_of_personal_folder->id)) {
            m_root = root;
            return;
        }
    }
    // Offline stores of newer Outlook versions lack the property; their
    // visible tree is Root - Mailbox / IPM_SUBTREE.
    pst_desc_tree *top = m_file.node(kRootFolderNode);
    if (!top)
        throw Error(QStringLiteral("Cannot find the folders of %1: the file is damaged or incomplete.")
                        .arg(QDir::toNativeSeparators(path())));
    pst_desc_tree *mailbox = childNamed(top, QStringLiteral("Root - Mailbox"));
    pst_desc_tree *subtree = mailbox ? childNamed(mailbox, QStringLiteral("IPM_SUBTREE")) : nullptr;
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
