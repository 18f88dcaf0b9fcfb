#include "express/dbxfiles.h"

#include "core/error.h"
#include "express/storesearch.h"
#include "platform/registry/environmentstrings.h"
#include "platform/registry/wineprefix.h"
#include "winutil/modregistry.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <vector>

namespace pw {

namespace {

const QString IdentitiesKey = QStringLiteral("HKEY_CURRENT_USER\\Identities");
const QString OutlookExpressKey = QStringLiteral("Software\\Microsoft\\Outlook Express");
const QString StoreRootValue = QStringLiteral("Store Root");
const QString UserProfileReference = QStringLiteral("%UserProfile%");

// The expansion of "%UserProfile%", however long it is.
QString userProfilePath() {
    const QByteArray reference = UserProfileReference.toUtf8();
    std::vector<char> buffer(255);
    win::DWORD count = win::ExpandEnvironmentStringsA(reference.constData(), buffer.data(), win::DWORD(buffer.size()));
    if (count > buffer.size()) {
        buffer.resize(count);
        count = win::ExpandEnvironmentStringsA(reference.constData(), buffer.data(), win::DWORD(buffer.size()));
    }
    if (count == 0 || count > buffer.size())
        throw Error(QStringLiteral("The user's profile folder (%UserProfile%) could not be found."));
    return QString::fromUtf8(buffer.data(), qsizetype(count - 1));
}

} // namespace

QStringList DBXFiles::GetStoreFolder(Dialogs &dialogs) {
    QStringList keyPaths;
    const QStringList identities = modRegistry::GetSubkeyNames(IdentitiesKey, dialogs);
    for (const QString &identity : identities) {
        if (Express1::IsBlankName(identity))
            continue;
        keyPaths.append(IdentitiesKey + QLatin1Char('\\') + identity + QLatin1Char('\\') + OutlookExpressKey);
    }
    if (keyPaths.isEmpty())
        throw Error(QStringLiteral("No Outlook Express identity was found in the registry (%1).").arg(IdentitiesKey));

    // Outlook Express keeps its settings under a version subkey ("5.0");
    // the first one is the one in use.
    for (QString &keyPath : keyPaths) {
        const QStringList versions = modRegistry::GetSubkeyNames(keyPath, dialogs);
        if (versions.isEmpty())
            throw Error(QStringLiteral("The registry key %1 is missing or has no version key.").arg(keyPath));
        keyPath += QLatin1Char('\\') + versions.first();
    }

    QStringList folders;
    for (const QString &keyPath : std::as_const(keyPaths)) {
        const RegistryValues values = modRegistry::GetKeyValues(keyPath, dialogs);
        if (!values.contains(StoreRootValue))
            throw Error(QStringLiteral("The registry key %1 has no \"%2\" value.").arg(keyPath, StoreRootValue));
        folders.append(values.text(StoreRootValue));
    }

    const QString profile = userProfilePath();
    const WinePrefix prefix = WinePrefix::current();
    for (QString &folder : folders) {
        // Exact case only, as Outlook Express writes it.
        folder.replace(UserProfileReference, profile, Qt::CaseSensitive);
        folder = prefix.toLocalPath(folder);
    }
    return folders;
}

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
