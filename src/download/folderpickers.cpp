#include "download/folderpickers.h"

namespace pw {

QString BrowseDirectory(Dialogs &dialogs) {
    const QString path = dialogs.pickFolder(QStringLiteral("Choose directory"));
    if (path.isEmpty())
        return {};
    // The separator is added whatever the path ends with: callers rely on it.
    return path + QLatin1Char('/');
}

QString AddFolder(Dialogs &dialogs, quintptr hWndOwner, const QString &strTitle) {
    (void)hWndOwner;
    return dialogs.pickFolder(strTitle);
}

} // namespace pw
