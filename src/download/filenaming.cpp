#include "download/filenaming.h"

#include "app/core/error.h"

#include <QFile>
#include <QMimeDatabase>

#include <sys/stat.h>

namespace pw {

namespace {

constexpr int kMaxRenamingSteps = 10000;

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
    return result;
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
    for (int counter = 1; taken(candidate); ++counter) {
        if (counter > kMaxRenamingSteps)
            throw Error(QStringLiteral("No free file name was found for \"%1\" in %2").arg(fileName, location));
        name = numberedName(name, counter);
        candidate = joinLocation(location, name);
        if (eachStep)
            eachStep();
    }
    return candidate;
}

} // namespace pw
