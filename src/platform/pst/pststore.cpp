#include "platform/pst/pststore.h"

#include "app/core/error.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace pw::pst {

namespace {

constexpr std::uint32_t kDisplayName = 0x3001;
constexpr std::uint32_t kRecordKey = 0x0FF9;
constexpr std::uint32_t kIpmSubtreeEntryId = 0x35E0;

QString folderName(const PffItem &folder) {
    try {
        return folder.string(kDisplayName).value_or(QString());
    } catch (const Error &) {
        return {};
    }
}

// The child of `folder` with exactly that name.
PffItem childNamed(const PffItem &folder, const QString &name) {
    PffError error;
    int count = 0;
    if (libpff_folder_get_number_of_sub_folders(folder.get(), &count, error.out()) != 1)
        return {};
    for (int i = 0; i < count; ++i) {
        PffItem child;
        if (libpff_folder_get_sub_folder(folder.get(), i, child.out(), error.out()) != 1)
            continue;
        if (folderName(child) == name)
            return child;
    }
    return {};
}

} // namespace

PstStore::PstStore(const QString &path) : m_path(path) {
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists())
        throw Error(QStringLiteral("Cannot open the mail file %1: the file does not exist.").arg(shown));
    if (info.isDir())
        throw Error(QStringLiteral("Cannot open the mail file %1: it is a folder.").arg(shown));
    if (!info.isReadable())
        throw Error(QStringLiteral("Cannot open the mail file %1: permission denied.").arg(shown));
    m_canonicalPath = info.canonicalFilePath();

    PffError error;
    const QByteArray encoded = QFile::encodeName(path);
    const int signature = libpff_check_file_signature(encoded.constData(), error.out());
    if (signature < 0)
        throwPff(QStringLiteral("Cannot open the mail file %1").arg(shown), error);
    if (signature == 0)
        throw Error(QStringLiteral("Cannot open the mail file %1: it is not an Outlook data file (.pst or .ost).").arg(shown));
    if (libpff_file_initialize(&m_file, error.out()) != 1)
        throwPff(QStringLiteral("Cannot open the mail file %1").arg(shown), error);
    try {
        if (libpff_file_open(m_file, encoded.constData(), LIBPFF_OPEN_READ, error.out()) != 1) {
            libpff_file_free(&m_file, nullptr);
            m_file = nullptr;
            throwPff(QStringLiteral("Cannot open the mail file %1").arg(shown), error);
        }
        libpff_file_get_ascii_codepage(m_file, &m_codepage, nullptr);

        PffItem messageStore;
        const int hasStore = libpff_file_get_message_store(m_file, messageStore.out(), error.out());
        if (hasStore < 0)
            throwPff(QStringLiteral("Cannot read the message store of %1").arg(shown), error);
        if (hasStore == 1) {
            // A damaged name or key is replaced below rather than losing the store.
            try {
                m_displayName = messageStore.string(kDisplayName).value_or(QString());
            } catch (const Error &) {
            }
            try {
                m_recordKey = messageStore.binary(kRecordKey, 64).value_or(QByteArray());
            } catch (const Error &) {
            }
        }
        if (m_displayName.isEmpty())
            m_displayName = info.completeBaseName();
        if (m_recordKey.size() != 16) {
            // No usable key: one made from the file's path still tells the
            // stores of one session apart.
            m_recordKey = QCryptographicHash::hash(QFile::encodeName(info.absoluteFilePath()), QCryptographicHash::Md5);
        }
        findRootFolder(messageStore);
    } catch (...) {
        if (m_file) {
            m_root.reset();
            libpff_file_close(m_file, nullptr);
            libpff_file_free(&m_file, nullptr);
        }
        throw;
    }
}

PstStore::~PstStore() {
    // Items must go before the file they were read from.
    m_root.reset();
    m_indexFolders.clear();
    if (m_file) {
        libpff_file_close(m_file, nullptr);
        libpff_file_free(&m_file, nullptr);
    }
}

void PstStore::findRootFolder(const PffItem &messageStore) {
    const QString shown = QDir::toNativeSeparators(m_path);
    if (messageStore) {
        std::optional<QByteArray> subtree;
        try {
            subtree = messageStore.binary(kIpmSubtreeEntryId, 1024);
        } catch (const Error &) {
            // Looked for by name below.
        }
        if (subtree && subtree->size() >= 4) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(subtree->constData() + subtree->size() - 4);
            const std::uint32_t nodeId = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t(bytes[3]) << 24);
            PffError error;
            auto root = std::make_shared<PffItem>();
            if (libpff_file_get_item_by_identifier(m_file, nodeId, root->out(), error.out()) == 1) {
                m_root = std::move(root);
                return;
            }
        }
    }
    // Offline stores of newer Outlook versions lack the property; their
    // visible tree is Root - Mailbox / IPM_SUBTREE.
    PffItem top;
    PffError error;
    const int hasTop = libpff_file_get_root_folder(m_file, top.out(), error.out());
    if (hasTop < 0)
        throwPff(QStringLiteral("Cannot find the folders of %1").arg(shown), error);
    if (hasTop == 0)
        throw Error(QStringLiteral("Cannot find the folders of %1: the file is damaged or incomplete.").arg(shown));
    PffItem mailbox = childNamed(top, QStringLiteral("Root - Mailbox"));
    PffItem subtree = mailbox ? childNamed(mailbox, QStringLiteral("IPM_SUBTREE")) : PffItem();
    if (!subtree)
        subtree = childNamed(top, QStringLiteral("IPM_SUBTREE"));
    if (subtree) {
        m_root = std::make_shared<PffItem>(std::move(subtree));
        return;
    }
    // No visible tree at all: show the file's own root rather than nothing.
    m_root = std::make_shared<PffItem>(std::move(top));
}

void PstStore::ensureOpen() const {
    if (!m_open)
        throw Error(QStringLiteral("The mail store \"%1\" has been closed.").arg(m_displayName));
}

QString PstStore::entryId(std::uint32_t nodeId) const {
    QByteArray id(4, '\0');
    id.append(m_recordKey);
    for (int shift = 0; shift < 32; shift += 8)
        id.append(static_cast<char>((nodeId >> shift) & 0xFF));
    return QString::fromLatin1(id.toHex().toUpper());
}

PffItem PstStore::itemByIdentifier(std::uint32_t nodeId) const {
    PffItem item;
    PffError error;
    const int found = libpff_file_get_item_by_identifier(m_file, nodeId, item.out(), error.out());
    if (found < 0)
        throwPff(QStringLiteral("Cannot read item %1 of \"%2\"").arg(nodeId).arg(m_displayName), error);
    return item; // empty when there is no such item
}

PffItem PstStore::messageByIdentifier(std::uint32_t nodeId) {
    // About the cost of indexing a large store, in single lookups.
    constexpr int kLookupsBeforeIndex = 200;
    if (!m_indexed && ++m_lookups > kLookupsBeforeIndex)
        buildMessageIndex();
    if (m_indexed) {
        const auto it = m_messageIndex.find(nodeId);
        if (it != m_messageIndex.end()) {
            PffItem message;
            PffError error;
            const auto &folder = m_indexFolders[it->second.folder];
            if (libpff_folder_get_sub_message(folder->get(), it->second.position, message.out(), error.out()) == 1) {
                std::uint32_t found = 0;
                if (libpff_item_get_identifier(message.get(), &found, nullptr) == 1 && found == nodeId)
                    return message;
            }
        }
        // Not in a folder's contents (or the index is off): ask libpff.
    }
    return itemByIdentifier(nodeId);
}

void PstStore::buildMessageIndex() {
    m_indexed = true;
    PffItem top;
    if (libpff_file_get_root_folder(m_file, top.out(), nullptr) != 1)
        return;
    indexFolder(std::make_shared<PffItem>(std::move(top)), 0);
}

void PstStore::indexFolder(const std::shared_ptr<PffItem> &folder, int depth) {
    // Damaged trees may loop; real ones are far shallower.
    if (depth > 64)
        return;
    const auto slot = static_cast<std::uint32_t>(m_indexFolders.size());
    m_indexFolders.push_back(folder);
    int messages = 0;
    if (libpff_folder_get_number_of_sub_messages(folder->get(), &messages, nullptr) == 1) {
        for (int i = 0; i < messages; ++i) {
            PffItem message;
            std::uint32_t id = 0;
            if (libpff_folder_get_sub_message(folder->get(), i, message.out(), nullptr) == 1
                && libpff_item_get_identifier(message.get(), &id, nullptr) == 1)
                m_messageIndex.emplace(id, Place{slot, i});
        }
    }
    int folders = 0;
    if (libpff_folder_get_number_of_sub_folders(folder->get(), &folders, nullptr) == 1) {
        for (int i = 0; i < folders; ++i) {
            auto child = std::make_shared<PffItem>();
            if (libpff_folder_get_sub_folder(folder->get(), i, child->out(), nullptr) == 1)
                indexFolder(child, depth + 1);
        }
    }
}

} // namespace pw::pst
