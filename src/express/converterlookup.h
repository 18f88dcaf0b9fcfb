#pragma once
// Where the window finds the .dbx converter (unfurl) on an installed system.
#include <QString>
#include <QStringList>

namespace pw {

// The folders the converter is looked for in, in this order: the folder of
// the running program, the program's own libexec folder (the install
// layout's libexec/parcelwise, found relative to the program's folder) and
// each folder of PATH. `path` is PATH's value.
QStringList converterFolders(const QString &applicationFolder, const QString &path);

// The first "unfurl" in those folders that is an executable file. Throws
// pw::Error naming the places looked in when there is none, so a missing
// converter is reported rather than read as "no messages".
QString findConverter(const QString &applicationFolder);
QString findConverter(const QString &applicationFolder, const QString &path);

} // namespace pw
