#pragma once
// Folders of a mail file and their collections.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

#include <vector>

namespace pw::pst {

class PstFolder : public outlook::Folder {
public:
    // `isRoot`: the store's root, named after the store. `ancestors`: the
    // folders above it on the way from the root, to tell a cycle.
    PstFolder(PstStorePtr store, std::uint32_t folder, bool isRoot, std::vector<std::uint32_t> ancestors = {});

    QString name() override;
    outlook::FoldersPtr Folders() override;
    outlook::ItemsPtr Items() override;
    QString StoreFilePath() override { return m_store->path(); }

    const PstStorePtr &store() const { return m_store; }
    bool isRoot() const { return m_isRoot; }

private:
    PstStorePtr m_store;
    std::uint32_t m_folder;
    bool m_isRoot;
    std::vector<std::uint32_t> m_ancestors;
};

// The child folders of one folder. A child that is also the folder itself
// or one above it (a damaged file's cycle) is listed, but opening it is an
// error, so every folder is walked once.
class PstFolders : public outlook::Folders {
public:
    // `path`: the folders from the root down to the parent, inclusive.
    PstFolders(PstStorePtr store, std::vector<std::uint32_t> path)
        : m_store(std::move(store)), m_path(std::move(path)), m_children(m_store->file()->childFolders(m_path.back())) {}

    int count() override;
    outlook::FolderPtr Item(int index) override;
    outlook::FolderPtr GetLast() override;

private:
    PstStorePtr m_store;
    std::vector<std::uint32_t> m_path;
    std::vector<std::uint32_t> m_children;
};

} // namespace pw::pst
