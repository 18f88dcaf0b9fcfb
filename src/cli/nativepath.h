#pragma once
// File names as the file system holds them: bytes, which need not be UTF-8.
// The command line's arguments reach the option parser as text; a byte that
// is not part of a UTF-8 sequence travels in it as the lone surrogate
// U+DC80..U+DCFF (no valid text holds one), so that every name comes back
// to the exact bytes it was given as.
#include <QByteArray>
#include <QString>

namespace pw::cli {

QString argumentText(const QByteArray &bytes);
QByteArray argumentBytes(const QString &text);

// "/proc/self/fd/N": a name for an open file or folder that every reader
// of the program can open, whatever bytes the file's own name is made of.
QByteArray descriptorPath(int fd);

// Makes the folder and the folders above it that are missing ("mkdir -p");
// false with errno set when one cannot be made.
bool makeFolders(const QByteArray &path);

} // namespace pw::cli
