#include "express/dbxfiles.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace pw {

void DBXFiles::GetDBXFilesInPath(const QString &strPath, QStringList &arrFiles) {
    arrFiles.clear();
    // strPath + "*.dbx" as a wildcard: everything up to the last separator
    // names the folder, the rest must begin the file name.
    const int slash = strPath.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : strPath.left(slash));
    const QString namePrefix = strPath.mid(slash + 1);
    // Found paths are built from the folder part, so a prefix that is not a
    // folder still gives the paths of real files.
    const QString folderPrefix = strPath.left(slash + 1);
    const QString extension = QStringLiteral(".dbx");

    QDir dir(folder);
    if (!dir.exists())
        return;
    // Plain files only: no folders, no hidden files, no dangling links.
    QStringList names = dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    // Windows lists a folder in name order, ignoring case; do the same so
    // the order does not depend on the file system.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    for (const QString &name : std::as_const(names)) {
        // Windows wildcards ignore letter case, so "INBOX.DBX" matches too.
        if (name.size() < namePrefix.size() + extension.size())
            continue;
        if (!name.startsWith(namePrefix, Qt::CaseInsensitive) || !name.endsWith(extension, Qt::CaseInsensitive))
            continue;
        if (IsExcludedDbx(name))
            continue;
        arrFiles.append(folderPrefix + name);
    }
}

bool DBXFiles::IsExcludedDbx(const QString &fileName) const {
    const QString lower = fileName.toLower();
    return lower == QLatin1String("folders.dbx") || lower == QLatin1String("pop3uidl.dbx");
}

} // namespace pw
