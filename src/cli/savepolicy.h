#pragma once
// What a save keeps of what it has written: with --skip-existing a file
// whose bytes the folder already held under its name (or a numbered form
// of it) goes again, with --dedupe one whose bytes this run saved before;
// and where --tree puts a message's attachments.
#include "cli/mailsources.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace pw::cli {

class SavePolicy {
public:
    SavePolicy(bool skipExisting, bool dedupe) : m_skipExisting(skipExisting), m_dedupe(dedupe) {}

    enum class Verdict { Keep, AlreadyThere, Duplicate };

    // Judges the file this run has just written at `path` (`size` bytes),
    // and removes it unless it is kept. Files kept are remembered, for
    // both rules.
    Verdict judge(const QString &path, qint64 size);

    // The name `fileName` stands for once the numbers a taken name gets
    // are taken off: "report_1_2.pdf" and "report_7.pdf" -> "report.pdf".
    static QString unnumbered(const QString &fileName);

private:
    struct Known {
        QString path;
        qint64 size = 0;
    };
    // The files of one folder, by unnumbered name; read when first needed,
    // `leaveOut` (the file being judged) left out.
    QHash<QString, QList<Known>> &folderIndex(const QString &folder, const QString &leaveOut);
    QByteArray digestOf(const QString &path);
    bool sameBytes(const QString &a, const QString &b);

    bool m_skipExisting;
    bool m_dedupe;
    QHash<QString, QHash<QString, QList<Known>>> m_folders;
    // This run's kept files: the first of each size, unread, until
    // another of that size comes; from then on all of them by digest
    // (a 256-bit hash of the bytes, size included in what it covers).
    QHash<qint64, QString> m_firstOfSize;
    QHash<QByteArray, QString> m_savedByDigest;
    QHash<QString, QByteArray> m_digests;
};

// The folder below `root` a message's attachments go to with --tree: the
// store's name, then its folder path; each name made safe to be one folder
// name. Sources that lie in no store (.eml, a bare wrapper, standard
// input) go to `root` itself; an mbox file or .dbx folder is one folder.
QString treeFolder(const QString &root, const Message &message);

// A folder name as it may stand in a path: "/", "\" and control
// characters become "_", a leading "." too (no hidden folders), "" and
// ".." become "_"; cut to 255 bytes.
QString safeFolderName(const QString &name);

} // namespace pw::cli
