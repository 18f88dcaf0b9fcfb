#include "express/converterlookup.h"

#include "core/error.h"

#include <QDir>
#include <QFileInfo>

#ifndef PARCELWISE_LIBEXEC_FROM_BIN
#define PARCELWISE_LIBEXEC_FROM_BIN "../libexec/parcelwise"
#endif

namespace pw {

namespace {

const QLatin1String kConverterName("unfurl");

} // namespace

QStringList converterFolders(const QString &applicationFolder, const QString &path) {
    QStringList folders;
    const auto add = [&](const QString &folder) {
        if (folder.isEmpty())
            return;
        const QString clean = QDir::cleanPath(folder);
        if (!folders.contains(clean))
            folders.append(clean);
    };
    add(applicationFolder);
    const QString libexec = QStringLiteral(PARCELWISE_LIBEXEC_FROM_BIN);
    if (!applicationFolder.isEmpty())
        add(QDir::isAbsolutePath(libexec) ? libexec : applicationFolder + QLatin1Char('/') + libexec);
    // An empty entry of PATH means the current folder to a shell; a program
    // started from a file manager has no meaningful one, so it is skipped.
    for (const QString &folder : path.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        add(folder);
    return folders;
}

QString findConverter(const QString &applicationFolder, const QString &path) {
    const QStringList folders = converterFolders(applicationFolder, path);
    for (const QString &folder : folders) {
        const QFileInfo candidate(folder + QLatin1Char('/') + kConverterName);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.filePath();
    }
    // The program's own places by name; PATH by its name alone.
    QStringList places = converterFolders(applicationFolder, QString());
    if (folders.size() > places.size())
        places.append(QStringLiteral("PATH"));
    throw Error(QStringLiteral("The converter \"%1\" for .dbx files was not found (looked in %2). Reinstall "
                               "Parcelwise, or put unfurl next to parcelwise.")
                    .arg(kConverterName, places.join(QStringLiteral(", "))));
}

QString findConverter(const QString &applicationFolder) {
    return findConverter(applicationFolder, QString::fromLocal8Bit(qgetenv("PATH")));
}

} // namespace pw
