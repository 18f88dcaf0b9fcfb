#pragma once
// One open mail file (.pst or .ost): the libpff file, the store's record
// key and display name, and its root folder (the IPM subtree). Objects of
// the store hold it through shared_ptr, so the file stays open as long as
// any of them lives; closing a store (RemoveStore) only marks it closed,
// after which its objects refuse every call.
#include "platform/pst/pffitem.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <unordered_map>
#include <vector>

namespace pw::pst {

class PstStore {
public:
    // Opens the file; throws pw::Error saying why it cannot be used.
    explicit PstStore(const QString &path);
    ~PstStore();
    PstStore(const PstStore &) = delete;
    PstStore &operator=(const PstStore &) = delete;

    const QString &path() const { return m_path; }
    // The file's path with links resolved, to know it however it is written.
    const QString &canonicalPath() const { return m_canonicalPath; }
    // The root folder's name: the store's display name, else the file's base name.
    const QString &displayName() const { return m_displayName; }
    // 16 bytes; EntryIDs carry it to find the store again.
    const QByteArray &recordKey() const { return m_recordKey; }
    libpff_file_t *file() const { return m_file; }
    const std::shared_ptr<PffItem> &rootFolder() const { return m_root; }
    int codepage() const { return m_codepage; }

    bool isOpen() const { return m_open; }
    void markClosed() { m_open = false; }
    // Throws when the store was closed; every member of its objects calls it.
    void ensureOpen() const;

    // Upper-case hex EntryID of the item with that node id.
    QString entryId(std::uint32_t nodeId) const;

    // Any item of the file by node id; empty when there is none.
    PffItem itemByIdentifier(std::uint32_t nodeId) const;
    // A message by node id, for GetItemFromID. libpff searches its whole
    // item tree for each id, so after a number of lookups the store indexes
    // where every message sits once and answers from that.
    PffItem messageByIdentifier(std::uint32_t nodeId);

private:
    void findRootFolder(const PffItem &messageStore);
    void buildMessageIndex();
    void indexFolder(const std::shared_ptr<PffItem> &folder, int depth);

    struct Place {
        std::uint32_t folder; // index into m_indexFolders
        int position;         // sub-message index in that folder
    };

    QString m_path;
    QString m_canonicalPath;
    libpff_file_t *m_file = nullptr;
    QString m_displayName;
    QByteArray m_recordKey;
    std::shared_ptr<PffItem> m_root;
    int m_codepage = 1252;
    bool m_open = true;
    int m_lookups = 0;
    bool m_indexed = false;
    std::vector<std::shared_ptr<PffItem>> m_indexFolders;
    std::unordered_map<std::uint32_t, Place> m_messageIndex;
};

using PstStorePtr = std::shared_ptr<PstStore>;

} // namespace pw::pst
