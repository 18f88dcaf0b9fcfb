#pragma once
#include <QString>
#include <QStringList>

namespace pw {

class Dialogs;

// Finds the Outlook Express store folders and the .dbx files in them that
// hold messages. Stateless: one instance per search.
class DBXFiles {
public:
    // The store folder of every usable Outlook Express identity of the
    // Wine prefix's user, in the registry's order, as local paths. Throws
    // pw::Error, with no partial list, when there is no usable identity or
    // one of them lacks its Outlook Express key, version key or "Store Root".
    QStringList GetStoreFolder(Dialogs &dialogs);

    // Fills arrFiles with the paths of the .dbx files matching strPath +
    // "*.dbx": strPath is a plain prefix, so a folder needs its trailing
    // separator. Bookkeeping stores are left out; arrFiles holds exactly
    // these files afterwards (none when nothing matches).
    void GetDBXFilesInPath(const QString &strPath, QStringList &arrFiles);

private:
    // Outlook Express' own bookkeeping files, which hold no messages.
    bool IsExcludedDbx(const QString &fileName) const;
};

} // namespace pw
