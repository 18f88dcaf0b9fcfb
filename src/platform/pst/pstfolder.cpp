#include "platform/pst/pstfolder.h"

#include "core/error.h"

#include <QDir>

#include <algorithm>
#include "platform/pst/pstitem.h"

namespace pw::pst {

PstFolder::PstFolder(PstStorePtr store, std::uint32_t folder, bool isRoot, std::vector<std::uint32_t> ancestors)
    : m_store(std::move(store)), m_folder(folder), m_isRoot(isRoot), m_ancestors(std::move(ancestors)) {}

QString PstFolder::name() {
    m_store->ensureOpen();
    if (m_isRoot)
        return m_store->displayName();
    try {
        return m_store->file()->properties(m_folder).text(0x3001).value_or(QString());
    } catch (const ndb::Damage &damage) {
        throw Error(QStringLiteral("Cannot read folder %1 of %2: %3.")
                        .arg(m_folder)
                        .arg(QDir::toNativeSeparators(m_store->path()), damage.text()));
    }
}

outlook::FoldersPtr PstFolder::Folders() {
    m_store->ensureOpen();
    std::vector<std::uint32_t> path = m_ancestors;
    path.push_back(m_folder);
    return std::make_shared<PstFolders>(m_store, std::move(path));
}

outlook::ItemsPtr PstFolder::Items() {
    m_store->ensureOpen();
    return std::make_shared<PstItems>(m_store, m_folder);
}

int PstFolders::count() {
    m_store->ensureOpen();
    return static_cast<int>(m_children.size());
}

outlook::FolderPtr PstFolders::Item(int index) {
    const int total = count();
    if (index < 1 || index > total)
        throw Error(QStringLiteral("Folders: index %1 is out of range (1 to %2).").arg(index).arg(total));
    const std::uint32_t child = m_children[static_cast<std::size_t>(index - 1)];
    if (std::find(m_path.begin(), m_path.end(), child) != m_path.end())
        throw Error(QStringLiteral("Cannot open folder %1 of %2: damaged data in folder %3 (it lists folder %1, which holds it, as its subfolder).")
                        .arg(child)
                        .arg(QDir::toNativeSeparators(m_store->path()))
                        .arg(m_path.back()));
    return std::make_shared<PstFolder>(m_store, child, false, m_path);
}

outlook::FolderPtr PstFolders::GetLast() {
    const int total = count();
    if (total == 0)
        throw Error(QStringLiteral("Folders: the folder has no subfolders."));
    return Item(total);
}

} // namespace pw::pst
