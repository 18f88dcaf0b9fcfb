#pragma once
#include <QString>

namespace pw {

// True when the file system can tell the path's last change time: an
// existing file or folder. Every failure answers false.
bool FileExists(const QString &strPathName);

// Deletes every file matching `pattern`, whose last component may hold the
// wildcards * and ?. Never fails; folders are never deleted.
void DeleteMatchingFiles(const QString &pattern);

// The folder of the running executable, without a trailing separator.
QString applicationFolder();

} // namespace pw
