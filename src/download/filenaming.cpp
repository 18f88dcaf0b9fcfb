#include "download/filenaming.h"

#include "core/error.h"

#include <QFile>
#include <QMimeDatabase>

#include <sys/stat.h>

#include <algorithm>

namespace pw {

namespace {

// Enough for any folder a run can fill; only a folder that answers "taken"
// to every name ends here.
constexpr qint64 kMaxRenamingSteps = 1000000;
// The longest name a Linux file system takes, in bytes.
constexpr qsizetype kMaxNameBytes = 255;
// A longer tail after the last dot is not an extension worth keeping.
constexpr qsizetype kMaxExtensionChars = 16;

bool fitsFileSystem(const QString &name) {
    return QFile::encodeName(name).size() <= kMaxNameBytes;
}

bool isUtf8Continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The name cut to fit the file system with `reserve` bytes to spare for a
// number still to be added, keeping its extension. One encoding and one cut
// on a character boundary: a name of megabytes costs no more than reading
// it once.
QString shortenedToFit(const QString &name, qsizetype reserve = 0) {
    QByteArray encoded = QFile::encodeName(name);
    const qsizetype room = kMaxNameBytes - reserve;
    if (encoded.size() <= room)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool keepExtension = dot > 0 && name.size() - dot <= kMaxExtensionChars;
    const QByteArray extension = keepExtension ? QFile::encodeName(name.mid(dot)) : QByteArray();
    qsizetype cut = std::max<qsizetype>(0, room - extension.size());
    while (cut > 0 && isUtf8Continuation(encoded.at(cut)))
        --cut;
    encoded.truncate(cut);
    return QFile::decodeName(encoded + extension);
}

// Bidirectional controls change the order a name is shown in, so a name can
// pretend to end in something it does not.
bool isBidiControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Characters that show as nothing (zero-width space, byte order mark) or
// break the line (line and paragraph separators) hide what a name really
// is. The joiners that shape many scripts and emoji stay.
bool isInvisible(QChar c) {
    switch (c.category()) {
    case QChar::Other_Format:
        return c.unicode() != 0x200C && c.unicode() != 0x200D;
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
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
        if (c.category() == QChar::Other_Control || isBidiControl(c.unicode()) || isInvisible(c))
            c = QLatin1Char('_');
    }
    // A leading dot hides the file; a name of only dots and spaces names
    // nothing (and "." and ".." name folders).
    qsizetype firstShown = 0;
    while (firstShown < result.size() && result.at(firstShown) == QLatin1Char('.'))
        ++firstShown;
    result.remove(0, firstShown);
    const bool blank = std::all_of(result.cbegin(), result.cend(),
                                   [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('.'); });
    if (blank)
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

QString numberedName(const QString &fileName, qint64 counter) {
    const QString suffix = QLatin1Char('_') + QString::number(counter);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return fileName + suffix;
    return fileName.left(dot) + suffix + fileName.mid(dot);
}

QString TargetNamer::uniqueTargetPath(const QString &location, const QString &fileName,
                                      const std::function<void()> &eachStep,
                                      const std::function<bool(const QString &)> &taken) {
    Chain &chain = m_chains[joinLocation(location, fileName)];
    if (chain.name.isEmpty())
        chain.name = fileName;
    // The chain's last name is tried again first: its save may have failed.
    QString candidate = joinLocation(location, chain.name);
    for (qint64 steps = 1; taken(candidate); ++steps) {
        if (steps > kMaxRenamingSteps)
            throw Error(QStringLiteral("No free file name was found for \"%1\" in %2").arg(fileName, location));
        const qint64 counter = chain.counter++;
        QString next;
        if (chain.accumulate) {
            next = numberedName(chain.name, counter);
            chain.accumulate = fitsFileSystem(next);
        }
        if (!chain.accumulate) {
            const qsizetype suffixBytes = 1 + QString::number(counter).size();
            next = numberedName(shortenedToFit(fileName, suffixBytes), counter);
        }
        chain.name = next;
        candidate = joinLocation(location, next);
        if (eachStep)
            eachStep();
    }
    return candidate;
}

QString uniqueTargetPath(const QString &location, const QString &fileName,
                         const std::function<void()> &eachStep,
                         const std::function<bool(const QString &)> &taken) {
    return TargetNamer().uniqueTargetPath(location, fileName, eachStep, taken);
}

} // namespace pw
