#include "platform/pst/pstsession.h"

#include "core/error.h"
#include "platform/pst/pstfolder.h"
#include "platform/pst/pstitem.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>

namespace pw::pst {

Q_LOGGING_CATEGORY(lcPst, "parcelwise.pst")

void PstSession::add(const PstStorePtr &store) {
    // A copy or backup of a file keeps its original's record key; every open
    // store must answer to its own, or one row's EntryID would find another
    // store's message. The later one takes a key derived from the key and
    // its file, so it stays the same for that file in every session.
    auto taken = [this](const QByteArray &key) {
        return std::any_of(stores.begin(), stores.end(), [&](const PstStorePtr &open) { return open->recordKey() == key; });
    };
    QByteArray key = store->storedRecordKey();
    for (int round = 0; taken(key); ++round) {
        QCryptographicHash hash(QCryptographicHash::Md5);
        hash.addData(store->storedRecordKey());
        hash.addData(QFile::encodeName(store->canonicalPath().isEmpty() ? store->path() : store->canonicalPath()));
        hash.addData(QByteArray::number(round));
        key = hash.result();
    }
    store->setRecordKey(key);
    stores.push_back(store);
}

PstApplication::PstApplication(const QStringList &storePaths)
    : m_storePaths(storePaths), m_session(std::make_shared<PstSession>()) {}

void PstApplication::openProfile() {
    m_profileOpened = true;
    for (const QString &path : std::as_const(m_storePaths)) {
        try {
            m_session->add(std::make_shared<PstStore>(path));
        } catch (const std::exception &failure) {
            qCWarning(lcPst).noquote() << "Mail file left out of the profile:" << failure.what();
            // The scan tells the user; the cause names the file in most cases.
            const QString cause = QString::fromUtf8(failure.what());
            m_session->profileFailures.append(cause.contains(path) ? cause : path + QStringLiteral(": ") + cause);
        }
    }
}

QString PstApplication::Version() {
    // Callers read addresses from major version 10 on.
    return QStringLiteral("16.0");
}

outlook::NamespacePtr PstApplication::GetNamespace(const QString &type) {
    if (type.compare(QLatin1String("MAPI"), Qt::CaseInsensitive) != 0)
        throw Error(QStringLiteral("GetNamespace: \"%1\" is not a known namespace type; only \"MAPI\" is.").arg(type));
    if (!m_profileOpened)
        openProfile();
    return std::make_shared<PstNamespace>(m_session);
}

outlook::FoldersPtr PstNamespace::Folders() {
    return std::make_shared<PstRootFolders>(m_session);
}

void PstNamespace::AddStore(const QString &path) {
    // Opened again when it is open already: the new store is then always the
    // last one, and closing it leaves the other open.
    m_session->add(std::make_shared<PstStore>(path));
}

void PstNamespace::RemoveStore(const outlook::FolderPtr &root) {
    auto *folder = dynamic_cast<PstFolder *>(root.get());
    if (!folder || !folder->isRoot())
        throw Error(QStringLiteral("RemoveStore: the folder given is not the root folder of a store."));
    auto &stores = m_session->stores;
    for (auto it = stores.begin(); it != stores.end(); ++it) {
        if (*it == folder->store()) {
            (*it)->markClosed();
            stores.erase(it);
            return;
        }
    }
    throw Error(QStringLiteral("RemoveStore: the store \"%1\" is not open in this session.").arg(folder->store()->displayName()));
}

outlook::FolderPtr PstNamespace::StoreRootOf(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return nullptr;
    // The most recently opened one, should the file be open twice.
    const auto &stores = m_session->stores;
    for (auto it = stores.rbegin(); it != stores.rend(); ++it) {
        if ((*it)->canonicalPath() == canonical)
            return std::make_shared<PstFolder>(*it, (*it)->rootFolder(), true);
    }
    return nullptr;
}

outlook::ItemPtr PstNamespace::GetItemFromID(const QString &entryId) {
    const QByteArray hex = entryId.toLatin1();
    const QByteArray id = QByteArray::fromHex(hex);
    const bool isHex = std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    if (entryId.size() != 48 || !isHex || id.size() != 24)
        throw Error(QStringLiteral("The message could not be found again: the list's reference to it (\"%1\") is not one this program made.")
                        .arg(entryId.left(100)));
    const QByteArray key = id.mid(4, 16);
    const auto *tail = reinterpret_cast<const unsigned char *>(id.constData() + 20);
    const std::uint32_t nodeId = tail[0] | (tail[1] << 8) | (tail[2] << 16) | (std::uint32_t(tail[3]) << 24);

    for (const PstStorePtr &store : m_session->stores) {
        if (store->recordKey() != key)
            continue;
        store->ensureOpen();
        // Message nodes carry node type 4 (normal) or 8 (associated).
        const std::uint32_t nodeType = nodeId & 0x1F;
        const ndb::NdbFile &file = store->file()->file();
        const ndb::NodeEntry *node = (nodeType == messaging::kNodeTypeMessage || nodeType == messaging::kNodeTypeAssociated) ? file.node(nodeId) : nullptr;
        if (!node)
            throw Error(QStringLiteral("The message is no longer in the mail file \"%1\"; it may have been moved or deleted since the list was made.")
                            .arg(store->displayName()));
        if (!file.block(node->dataBid))
            throw Error(QStringLiteral("The message's contents are missing from the mail file \"%1\"; the file may be damaged.")
                            .arg(store->displayName()));
        // Parsed when first read, so that reopening many items stays a lookup.
        return std::make_shared<PstItem>(store, nodeId, PstItem::Deferred{});
    }
    throw Error(QStringLiteral("The mail file this message was listed from is no longer open. List the messages again, then save."));
}

int PstRootFolders::count() {
    return static_cast<int>(m_session->stores.size());
}

outlook::FolderPtr PstRootFolders::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Folders: index %1 is out of range (1 to %2).").arg(index).arg(total));
    const PstStorePtr &store = m_session->stores[static_cast<std::size_t>(index - 1)];
    return std::make_shared<PstFolder>(store, store->rootFolder(), true);
}

outlook::FolderPtr PstRootFolders::GetLast() {
    if (m_session->stores.empty())
        throw Error(QStringLiteral("No mail file is open."));
    return Item(count());
}

} // namespace pw::pst
