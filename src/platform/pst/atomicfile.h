#pragma once
// A file written under a temporary name beside its target and renamed onto
// the target only when complete, so a failure (disk full, no permission,
// damaged source) never leaves a partial file under the target's name.
// Unlike QSaveFile it does not force every file to disk: saving thousands
// of attachments must not wait on a disk flush for each one.
#include <QString>
#include <QTemporaryFile>

namespace pw::pst {

class AtomicFile {
public:
    // `what` names the content in error texts ("the attachment").
    AtomicFile(const QString &target, const QString &what);

    // Creates the temporary file; throws pw::Error saying why it cannot.
    void open();
    // Appends; throws on a short or failed write.
    void write(const char *data, qint64 size);
    // The temporary file's descriptor, for writers of their own.
    int handle() const { return m_temp.handle(); }
    // Puts the finished file in place; throws on failure.
    void commit();

    // Throws "Cannot save <what> to <target>: <reason>".
    [[noreturn]] void fail(const QString &reason) const;

private:
    QString m_target;
    QTemporaryFile m_temp;
    QString m_what;
};

} // namespace pw::pst
