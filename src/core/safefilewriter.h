#pragma once
#include "core/error.h"

#include <QByteArray>
#include <QString>

namespace pw {

// The name a new file was to get is taken (by a file, a folder or anything
// else): nothing was written, and another name may be tried.
class NameTakenError : public Error {
public:
    using Error::Error;
};

// Writes a new file without ever writing over one, and without ever showing
// it partly written. The content goes to an unnamed file in the target's
// folder (O_TMPFILE) that is linked under the target's name at commit, and
// only when that name is still free. Where the file system has no unnamed
// files or no hard links (FAT, exFAT, some network shares), the content goes
// to a hidden ".parcelwise-*.part" file beside the target, and commit
// publishes it with the safest rename the file system offers: one that
// refuses to replace, else a link, else a rename onto an exclusive
// reservation of the name made just before. A writer destroyed before commit
// leaves nothing behind; a writer killed leaves at most its hidden file,
// whose name says which process wrote it, so that the next writer into that
// folder can remove it once that process is gone (removeStaleParts).
//
// Failures throw pw::Error naming the file and its folder (never a
// temporary name) and the reason; a taken name throws NameTakenError.
//
//   SafeFileWriter out(path, QStringLiteral("the attachment"));
//   out.write(data, size);   // as often as needed
//   out.commit();
class SafeFileWriter {
public:
    // `what` names the content in error texts ("the attachment"); empty
    // means "the file".
    explicit SafeFileWriter(const QString &targetPath, const QString &what = QString());
    ~SafeFileWriter();
    SafeFileWriter(const SafeFileWriter &) = delete;
    SafeFileWriter &operator=(const SafeFileWriter &) = delete;

    void write(const char *data, qint64 size);
    // The open file's descriptor, for writers of their own; valid until
    // commit.
    int handle() const { return m_fd; }
    void commit();

    const QString &targetPath() const { return m_target; }

    // Removes the hidden files in `folder` that writers killed before their
    // commit left behind: those whose process has ended (or whose machine
    // has restarted since). Files of live writers stay. Answers how many
    // were removed.
    static int removeStaleParts(const QString &folder);
    // Whether a hidden file's name is one of ours whose writer is gone.
    static bool isStalePartName(const QByteArray &name);

private:
    [[noreturn]] void fail(int errorNumber);
    void openHidden();
    void copyIntoHidden(int from);
    bool reservationIsOurs() const;
    void commitUnnamed();
    void commitHidden();
    void discard() noexcept;

    QString m_target;
    QString m_what;
    QByteArray m_nativeTarget;
    QByteArray m_folder;
    int m_fd = -1;
    QByteArray m_hiddenPath; // the fallback's file; empty for an unnamed one
    // Our empty file under the target's name while the hidden file is moved
    // onto it, held open so that its identity stays fixed on file systems
    // that make inode numbers up (FAT).
    int m_reservation = -1;
    bool m_committed = false;
};

} // namespace pw
