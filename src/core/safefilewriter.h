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
// files or no hard links (FAT, exFAT, some network shares), the target's
// name is reserved with an exclusive create, the content goes to a hidden
// file beside it, and commit moves that file onto the reservation, which is
// ours to replace. A writer destroyed before commit leaves nothing behind.
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

private:
    [[noreturn]] void fail(int errorNumber);
    void reserveAndOpenHidden();
    void copyIntoHidden(int from);
    bool reservationIsOurs() const;
    void commitUnnamed();
    void commitOntoReservation();
    void discard() noexcept;

    QString m_target;
    QString m_what;
    QByteArray m_nativeTarget;
    QByteArray m_folder;
    int m_fd = -1;
    QByteArray m_hiddenPath; // the fallback's file; empty for an unnamed one
    // Our empty file under the target's name, held open so that its identity
    // stays fixed on file systems that make inode numbers up (FAT).
    int m_reservation = -1;
    bool m_committed = false;
};

} // namespace pw
