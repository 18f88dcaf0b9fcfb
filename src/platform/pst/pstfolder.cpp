#include "platform/pst/pstfolder.h"

#include "app/core/error.h"
#include "platform/pst/pstitem.h"

namespace pw::pst {

PstFolder::PstFolder(PstStorePtr store, std::shared_ptr<PffItem> folder, bool isRoot)
    : m_store(std::move(store)), m_folder(std::move(folder)), m_isRoot(isRoot) {}

QString PstFolder::name() {
    m_store->ensureOpen();
    if (m_isRoot)
        return m_store->displayName();
    return m_folder->string(0x3001).value_or(QString());
}

outlook::FoldersPtr PstFolder::Folders() {
    m_store->ensureOpen();
    return std::make_shared<PstFolders>(m_store, m_folder);
}

outlook::ItemsPtr PstFolder::Items() {
    m_store->ensureOpen();
    return std::make_shared<PstItems>(m_store, m_folder);
}

int PstFolders::count() {
    m_store->ensureOpen();
    int count = 0;
    PffError error;
    if (libpff_folder_get_number_of_sub_folders(m_folder->get(), &count, error.out()) != 1)
        throwPff(QStringLiteral("Cannot count the subfolders of a folder"), error);
    return count < 0 ? 0 : count;
}

outlook::FolderPtr PstFolders::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Folders: index %1 is out of range (1 to %2).").arg(index).arg(total));
    auto child = std::make_shared<PffItem>();
    PffError error;
    if (libpff_folder_get_sub_folder(m_folder->get(), index - 1, child->out(), error.out()) != 1)
        throwPff(QStringLiteral("Cannot read subfolder %1 of a folder").arg(index), error);
    return std::make_shared<PstFolder>(m_store, std::move(child), false);
}

outlook::FolderPtr PstFolders::GetLast() {
    const int total = count();
    if (total == 0)
        throw Error(QStringLiteral("Folders: the folder has no subfolders."));
    return Item(total);
}

} // namespace pw::pst
