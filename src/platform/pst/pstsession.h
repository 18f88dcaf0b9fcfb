#pragma once
// A session of the engine: what "Outlook.Application" gives. It owns the
// list of open stores; the application, its namespace and the root-folder
// collection share it.
#include "outlook/outlookmodel.h"
#include "platform/pst/pststore.h"

#include <QStringList>

#include <vector>

namespace pw::pst {

struct PstSession {
    // Opens as the last store, under a record key no other open store has.
    void add(const PstStorePtr &store);

    std::vector<PstStorePtr> stores;
    // The profile's files that could not be opened, each with its cause.
    QStringList profileFailures;
};

class PstApplication : public outlook::Application {
public:
    // The files of `storePaths` open when the namespace is first asked for,
    // so a mere presence test opens nothing. One that cannot be opened is
    // left out (with a line in the log) and does not stop the others.
    explicit PstApplication(const QStringList &storePaths);

    QString Version() override;
    outlook::NamespacePtr GetNamespace(const QString &type) override;
    int ProfileFileCount() override { return static_cast<int>(m_storePaths.size()); }

private:
    void openProfile();

    QStringList m_storePaths;
    bool m_profileOpened = false;
    std::shared_ptr<PstSession> m_session;
};

class PstNamespace : public outlook::Namespace {
public:
    explicit PstNamespace(std::shared_ptr<PstSession> session) : m_session(std::move(session)) {}

    outlook::FoldersPtr Folders() override;
    void AddStore(const QString &path) override;
    void RemoveStore(const outlook::FolderPtr &root) override;
    outlook::FolderPtr StoreRootOf(const QString &path) override;
    outlook::ItemPtr GetItemFromID(const QString &entryId) override;
    QStringList ProfileFailures() override { return m_session->profileFailures; }

private:
    std::shared_ptr<PstSession> m_session;
};

// The root folders of the session's stores, in order.
class PstRootFolders : public outlook::Folders {
public:
    explicit PstRootFolders(std::shared_ptr<PstSession> session) : m_session(std::move(session)) {}

    int count() override;
    outlook::FolderPtr Item(int index) override;
    outlook::FolderPtr GetLast() override;

private:
    std::shared_ptr<PstSession> m_session;
};

} // namespace pw::pst
