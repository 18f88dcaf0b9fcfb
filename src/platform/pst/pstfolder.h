#pragma once
// Folders of a mail file and their collections.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

#include <vector>

namespace pw::pst {

class PstFolder : public outlook::Folder {
public:
    // `isRoot`: the store's root, named after the store.
    PstFolder(PstStorePtr store, pst_desc_tree *folder, bool isRoot);

    QString name() override;
    outlook::FoldersPtr Folders() override;
    outlook::ItemsPtr Items() override;
    QString StoreFilePath() override { return m_store->path(); }

    const PstStorePtr &store() const { return m_store; }
    bool isRoot() const { return m_isRoot; }

private:
    PstStorePtr m_store;
    pst_desc_tree *m_folder;
    bool m_isRoot;
};

// The child folders of one folder.
class PstFolders : public outlook::Folders {
public:
    PstFolders(PstStorePtr store, pst_desc_tree *folder)
        : m_store(std::move(store)), m_children(PstFile::children(folder, kNodeTypeFolder)) {}

    int count() override;
    outlook::FolderPtr Item(int index) override;
    outlook::FolderPtr GetLast() override;

private:
    PstStorePtr m_store;
    std::vector<pst_desc_tree *> m_children;
};

} // namespace pw::pst
