#pragma once
#include <QString>
#include <QStringList>

namespace pw {

// Finds the Outlook Express store folders and the .dbx files in them that
// hold messages. Stateless: one instance per search.
class DBXFiles {
public:
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
