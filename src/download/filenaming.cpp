#include "download/filenaming.h"

#include "app/core/error.h"

#include <QFile>
#include <QMimeDatabase>

#include <sys/stat.h>

namespace pw {

namespace {

constexpr int kMaxRenamingSteps = 10000;
// The longest name a Linux file system takes, in bytes.
constexpr qsizetype kMaxNameBytes = 255;

bool fitsFileSystem(const QString &name) {
    return QFile::encodeName(name).size() <= kMaxNameBytes;
}

// Shortens the part before the extension until the name fits, leaving
// `reserve` bytes free for a number still to be added; a name that cannot
// be saved at its full length is better saved a little shorter.
QString shortenedToFit(const QString &name, qsizetype reserve = 0) {
    const auto fitsFileSystem = [reserve](const QString &n) {
        return QFile::encodeName(n).size() + reserve <= kMaxNameBytes;
    };
    if (fitsFileSystem(name))
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool keepExtension = dot > 0 && name.size() - dot <= 16;
    QString stem = keepExtension ? name.left(dot) : name;
    const QString extension = keepExtension ? name.mid(dot) : QString();
    while (!stem.isEmpty() && !fitsFileSystem(stem + extension)) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + extension;
}

QString usualExtension(const QString &mimeType) {
    if (mimeType.isEmpty())
        return QString();
    const QMimeType type = QMimeDatabase().mimeTypeForName(mimeType.trimmed().toLower());
    if (!type.isValid() || type.preferredSuffix().isEmpty())
        return QString();
    return QLatin1Char('.') + type.preferredSuffix();
}

} // namespace

QString safeAttachmentName(const QString &name, const QString &mimeType) {
    const qsizetype cut = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    QString result = name.mid(cut + 1);
    for (QChar &c : result) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    if (result.isEmpty() || result == QLatin1String(".") || result == QLatin1String(".."))
        result = QStringLiteral("attachment") + usualExtension(mimeType);
    return shortenedToFit(result);
}

QString joinLocation(const QString &location, const QString &fileName) {
    if (location.isEmpty() || location.endsWith(QLatin1Char('/')))
        return location + fileName;
    return location + QLatin1Char('/') + fileName;
}

bool isOrdinaryFile(const QString &path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || native.contains('\0'))
        return false;
    const qsizetype slash = native.lastIndexOf('/');
    if (slash + 1 >= native.size() || native.at(slash + 1) == '.')
        return false;
    struct stat st {};
    return ::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode);
}

QString numberedName(const QString &fileName, int counter) {
    const QString suffix = QLatin1Char('_') + QString::number(counter);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return fileName + suffix;
    return fileName.left(dot) + suffix + fileName.mid(dot);
}

QString uniqueTargetPath(const QString &location, const QString &fileName,
                         const std::function<void()> &eachStep,
                         const std::function<bool(const QString &)> &taken) {
    QString name = fileName;
    QString candidate = joinLocation(location, name);
    // Accumulated suffixes grow by one per step; once the name would no
    // longer fit the file system, the counter goes onto the original name
    // instead (report_86.pdf), so the 86th copy of a name is saved too.
    bool accumulate = true;
    for (int counter = 1; taken(candidate); ++counter) {
        if (counter > kMaxRenamingSteps)
            throw Error(QStringLiteral("No free file name was found for \"%1\" in %2").arg(fileName, location));
        QString next = accumulate ? numberedName(name, counter) : QString();
        if (!accumulate || !fitsFileSystem(next)) {
            accumulate = false;
            const qsizetype suffixBytes = 1 + QString::number(counter).size();
            next = numberedName(shortenedToFit(fileName, suffixBytes), counter);
        }
        name = next;
        candidate = joinLocation(location, name);
        if (eachStep)
            eachStep();
    }
    return candidate;
}

} // namespace pw
