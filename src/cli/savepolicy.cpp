#include "cli/savepolicy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

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

QHash<QString, QList<SavePolicy::Known>> &SavePolicy::folderIndex(const QString &folder) {
    auto found = m_folders.find(folder);
    if (found != m_folders.end())
        return *found;
    QHash<QString, QList<Known>> index;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : files)
        index[unnumbered(file.fileName())].append({file.filePath(), file.size()});
    return *m_folders.insert(folder, index);
}

QByteArray SavePolicy::digestOf(const QString &path) {
    if (const auto cached = m_digests.constFind(path); cached != m_digests.constEnd())
        return *cached;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Blake2b_256);
    if (!hash.addData(&file))
        return QByteArray();
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
    if (m_skipExisting) {
        // The index holds the folder as it was before this file (read now
        // for a folder not seen before, so the file itself is left out).
        for (const Known &known : folderIndex(folder).value(unnumbered(info.fileName()))) {
            if (known.size == size && known.path != path && sameBytes(known.path, path)) {
                verdict = Verdict::AlreadyThere;
                break;
            }
        }
    }
    if (verdict == Verdict::Keep && m_dedupe) {
        for (const QString &saved : m_savedBySize.value(size)) {
            if (saved != path && sameBytes(saved, path)) {
                verdict = Verdict::Duplicate;
                break;
            }
        }
    }
    if (verdict != Verdict::Keep) {
        // Our own file, written a moment ago under a name nobody else had.
        QFile::remove(path);
        m_digests.remove(path);
        if (m_skipExisting) {
            QList<Known> &same = folderIndex(folder)[unnumbered(info.fileName())];
            same.removeIf([&](const Known &k) { return k.path == path; });
        }
        return verdict;
    }
    if (m_skipExisting) {
        QList<Known> &same = folderIndex(folder)[unnumbered(info.fileName())];
        if (std::none_of(same.cbegin(), same.cend(), [&](const Known &k) { return k.path == path; }))
            same.append({path, size});
    }
    if (m_dedupe)
        m_savedBySize[size].append(path);
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
        parts.append(safeFolderName(QFileInfo(message.source).completeBaseName()));
    for (const QString &name : message.folderNames)
        parts.append(safeFolderName(name));
    QString folder = root;
    for (const QString &part : parts)
        folder += QLatin1Char('/') + part;
    return folder;
}

} // namespace pw::cli
