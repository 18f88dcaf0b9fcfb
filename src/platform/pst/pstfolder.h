#pragma once
// Folders of a mail file and their collections.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

#include <vector>

namespace pw::pst {

class PstFolder : public outlook::Folder {
public:
    // `isRoot`: the store's root, named after the store.
    PstFolder(PstStorePtr store, std::uint32_t folder, bool isRoot);

    QString name() override;
    outlook::FoldersPtr Folders() override;
    outlook::ItemsPtr Items() override;

    const PstStorePtr &store() const { return m_store; }
    bool isRoot() const { return m_isRoot; }

private:
    PstStorePtr m_store;
    std::uint32_t m_folder;
    bool m_isRoot;
};

// The child folders of one folder.
class PstFolders : public outlook::Folders {
public:
    PstFolders(PstStorePtr store, std::uint32_t folder)
        : m_store(std::move(store)), m_children(m_store->file()->children(folder, messaging::kNodeTypeFolder)) {}

    int count() override;
    outlook::FolderPtr Item(int index) override;
    outlook::FolderPtr GetLast() override;

private:
    PstStorePtr m_store;
    std::vector<std::uint32_t> m_children;
};

} // namespace pw::pst
