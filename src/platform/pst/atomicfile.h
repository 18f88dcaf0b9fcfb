#pragma once
// A file that shows under its target's name only when complete, and never
// in place of another file: a failure (disk full, no permission, damaged
// source) leaves nothing, and a taken name is refused with
// pw::NameTakenError. Unlike QSaveFile it does not force every file to disk:
// saving thousands of attachments must not wait on a disk flush for each one.
#include <QString>

#include <memory>

namespace pw {
class SafeFileWriter;
}

namespace pw::pst {

class AtomicFile {
public:
    // `what` names the content in error texts ("the attachment").
    AtomicFile(const QString &target, const QString &what);
    ~AtomicFile();

    // Creates the file, not yet visible; throws pw::Error saying why it cannot.
    void open();
    // Appends; throws on a short or failed write.
    void write(const char *data, qint64 size);
    // The open file's descriptor, for writers of their own.
    int handle() const;
    // Puts the finished file in place; throws on failure.
    void commit();

    // Throws "Cannot save <what> to <target>: <reason>".
    [[noreturn]] void fail(const QString &reason) const;

private:
    QString m_target;
    QString m_what;
    std::unique_ptr<SafeFileWriter> m_file;
};

} // namespace pw::pst
