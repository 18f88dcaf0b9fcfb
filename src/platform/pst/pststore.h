#pragma once
// One open mail file (.pst or .ost): the file, the store's record key and
// display name, and its root folder (the IPM subtree). Objects of the store
// hold it through shared_ptr, so the file stays open as long as any of them
// lives; closing a store (RemoveStore) only marks it closed, after which its
// objects refuse every call.
#include "platform/pst/messaging/messaging.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace pw::pst {

class PstStore {
public:
    // Opens the file; throws pw::Error saying why it cannot be used.
    explicit PstStore(const QString &path);

    const QString &path() const { return m_file->file().path(); }
    // The file's path with links resolved, to know it however it is written.
    const QString &canonicalPath() const { return m_canonicalPath; }
    // The root folder's name: the store's display name, else the file's base name.
    const QString &displayName() const { return m_displayName; }
    // The store's own 16-byte record key, as the file has it.
    const QByteArray &storedRecordKey() const { return m_storedKey; }
    // The key EntryIDs carry: the stored one, unless another open store of
    // the session answers to it already (a copy or backup of the same file).
    const QByteArray &recordKey() const { return m_recordKey; }
    void setRecordKey(const QByteArray &key) { m_recordKey = key; }

    const std::shared_ptr<messaging::Store> &file() const { return m_file; }
    std::uint32_t rootFolder() const { return m_root; }
    // Code page of 8-bit text in items that name none.
    int codepage() const { return m_codepage; }

    bool isOpen() const { return m_open; }
    void markClosed() { m_open = false; }
    // Throws when the store was closed; every member of its objects calls it.
    void ensureOpen() const;

    // Upper-case hex EntryID of the item with that node id.
    QString entryId(std::uint64_t nodeId) const;

    // The name of a folder node ("" when it cannot be read).
    QString folderName(std::uint32_t folder) const;

private:
    void findRootFolder();
    std::uint32_t childNamed(std::uint32_t folder, const QString &name) const;

    std::shared_ptr<messaging::Store> m_file;
    QString m_canonicalPath;
    QString m_displayName;
    QByteArray m_storedKey;
    QByteArray m_recordKey;
    std::uint32_t m_root = 0;
    int m_codepage = 1252;
    bool m_open = true;
};

using PstStorePtr = std::shared_ptr<PstStore>;

} // namespace pw::pst
