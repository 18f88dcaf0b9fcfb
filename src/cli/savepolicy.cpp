#include "cli/savepolicy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pw::cli {

QString SavePolicy::unnumbered(const QString &fileName) {
    static const QRegularExpression numbers(QStringLiteral("(?:_\\d+)+$"));
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString suffix = dot > 0 ? fileName.mid(dot) : QString();
    const QRegularExpressionMatch m = numbers.match(stem);
    // "_1" alone is a name of its own, not a number on an empty one.
    if (m.hasMatch() && m.capturedStart() > 0)
        stem.truncate(m.capturedStart());
    return stem + suffix;
}

QHash<QString, QList<SavePolicy::Known>> &SavePolicy::folderIndex(const QString &folder, const QString &leaveOut) {
    auto found = m_folders.find(folder);
    if (found != m_folders.end())
        return *found;
    QHash<QString, QList<Known>> index;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : files) {
        if (file.filePath() != leaveOut)
            index[unnumbered(file.fileName())].append({file.filePath(), file.size()});
    }
    return *m_folders.insert(folder, index);
}

QByteArray SavePolicy::digestOf(const QString &path) {
    if (const auto cached = m_digests.constFind(path); cached != m_digests.constEnd())
        return *cached;
    // Plain system calls: this runs once per file saved, and Qt's file
    // classes would add a few status calls to each.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Blake2b_256);
    static thread_local QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), static_cast<size_t>(buffer.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return QByteArray();
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), n));
    }
    ::close(fd);
    const QByteArray digest = hash.result();
    m_digests.insert(path, digest);
    return digest;
}

bool SavePolicy::sameBytes(const QString &a, const QString &b) {
    const QByteArray first = digestOf(a);
    return !first.isEmpty() && first == digestOf(b);
}

SavePolicy::Verdict SavePolicy::judge(const QString &path, qint64 size) {
    const QFileInfo info(path);
    const QString folder = info.path();
    Verdict verdict = Verdict::Keep;
    const QString key = m_skipExisting ? unnumbered(info.fileName()) : QString();
    if (m_skipExisting) {
        // The folder as it was before this file: read now for a folder not
        // seen before, the file itself left out.
        const auto &index = folderIndex(folder, path);
        if (const auto same = index.constFind(key); same != index.constEnd()) {
            for (const Known &known : *same) {
                if (known.size == size && sameBytes(known.path, path)) {
                    verdict = Verdict::AlreadyThere;
                    break;
                }
            }
        }
    }
    if (verdict == Verdict::Keep && m_dedupe) {
        // Contents are only read once two files share a size.
        const auto first = m_firstOfSize.constFind(size);
        if (first != m_firstOfSize.constEnd()) {
            if (!first->isEmpty()) {
                m_savedByDigest.insert(digestOf(*first), *first);
                m_firstOfSize[size].clear();
            }
            const QByteArray digest = digestOf(path);
            if (!digest.isEmpty() && m_savedByDigest.contains(digest))
                verdict = Verdict::Duplicate;
        }
    }
    if (verdict != Verdict::Keep) {
        // Our own file, written a moment ago under a name nobody else had.
        ::unlink(QFile::encodeName(path).constData());
        m_digests.remove(path);
        return verdict;
    }
    if (m_skipExisting)
        folderIndex(folder, path)[key].append({path, size});
    if (m_dedupe) {
        if (m_firstOfSize.contains(size))
            m_savedByDigest.insert(digestOf(path), path);
        else
            m_firstOfSize.insert(size, path);
    }
    return verdict;
}

QString safeFolderName(const QString &name) {
    QString safe;
    safe.reserve(name.size());
    for (const QChar c : name) {
        const bool control = c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0)
            || (c.unicode() >= 0x202a && c.unicode() <= 0x202e) || (c.unicode() >= 0x2066 && c.unicode() <= 0x2069);
        safe.append(control || c == QLatin1Char('/') || c == QLatin1Char('\\') ? QLatin1Char('_') : c);
    }
    if (safe.startsWith(QLatin1Char('.')))
        safe[0] = QLatin1Char('_');
    if (safe.trimmed().isEmpty())
        safe = QStringLiteral("_");
    while (safe.toUtf8().size() > 255) {
        safe.chop(1);
        if (!safe.isEmpty() && safe.back().isHighSurrogate())
            safe.chop(1);
    }
    return safe;
}

QString treeFolder(const QString &root, const Message &message) {
    QStringList parts;
    if (kindOf(message.source) == SourceKind::Store)
        parts.append(safeFolderName(QFileInfo(QString::fromUtf8(message.source)).completeBaseName()));
    for (const QString &name : message.folderPath)
        parts.append(safeFolderName(name));
    QString folder = root;
    for (const QString &part : parts)
        folder += QLatin1Char('/') + part;
    return folder;
}

} // namespace pw::cli
