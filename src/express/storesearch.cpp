#include "express/storesearch.h"

#include "express/dbxfiles.h"

#include <QDir>

namespace pw::Express1 {

QStringList StoreFolders;
QStringList FoundDbxFiles;

bool IsBlankName(const QString &name) {
    QString text = name;
    text.remove(QChar(0));
    // Only spaces are padding; any other character makes a real name.
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return begin == end;
}

void FindStoreFiles(Dialogs &dialogs) {
    DBXFiles finder;
    StoreFolders = finder.GetStoreFolder(dialogs);
    for (const QString &folder : std::as_const(StoreFolders)) {
        // A folder that did not map to a local one (another drive, a
        // network share, an empty value) holds nothing we could read; it
        // must not be listed relative to our working folder.
        if (!QDir::isAbsolutePath(folder))
            continue;
        // The store root may lack its trailing separator; without one the
        // pattern would name files beside the folder instead of in it.
        QString prefix = folder;
        if (!prefix.endsWith(QLatin1Char('/')))
            prefix += QLatin1Char('/');
        QStringList files;
        finder.GetDBXFilesInPath(prefix, files);
        FoundDbxFiles += files;
    }
}

} // namespace pw::Express1
