#include "core/fileroutines.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace pw {

bool FileExists(const QString &strPathName) {
    if (strPathName.isEmpty())
        return false;
    struct stat st {};
    const QByteArray native = QFile::encodeName(strPathName);
    if (native.contains('\0'))
        return false;
    return ::stat(native.constData(), &st) == 0;
}

void DeleteMatchingFiles(const QString &pattern) {
    try {
        const int slash = pattern.lastIndexOf(QLatin1Char('/'));
        const QString folder = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : pattern.left(slash));
        const QString mask = pattern.mid(slash + 1);
        if (mask.isEmpty())
            return;
        QDir dir(folder);
        // Hidden files match too, as a wildcard delete would take them.
        const QStringList names = dir.entryList(QStringList{mask}, QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : names)
            QFile::remove(dir.filePath(name));
    } catch (...) {
        // Deleting is best effort by design: leftovers are harmless.
    }
}

QString applicationFolder() {
    QString dir = QCoreApplication::applicationDirPath();
    if (dir.isEmpty())
        dir = QDir::currentPath();
    return dir;
}

} // namespace pw
