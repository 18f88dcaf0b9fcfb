#pragma once
#include <QString>

namespace pw {

// Writes a new file without ever writing over one: the content goes to an
// unnamed (or hidden temporary) file in the target's folder and is given the
// target's name only at commit, and only when that name is still free. A
// writer destroyed before commit leaves nothing behind, so a failed save
// never leaves a partial file. Every failure throws pw::Error naming the
// file and the reason.
//
//   SafeFileWriter out(path);
//   out.write(data, size);   // as often as needed
//   out.commit();            // throws when `path` exists by now
class SafeFileWriter {
public:
    explicit SafeFileWriter(const QString &targetPath);
    ~SafeFileWriter();
    SafeFileWriter(const SafeFileWriter &) = delete;
    SafeFileWriter &operator=(const SafeFileWriter &) = delete;

    void write(const char *data, qint64 size);
    void commit();

    const QString &targetPath() const { return m_target; }

private:
    [[noreturn]] void fail(const QString &what, int errorNumber) const;
    void discard();

    QString m_target;
    QByteArray m_nativeTarget;
    QByteArray m_tempPath; // empty for an unnamed temporary file
    int m_fd = -1;
    bool m_committed = false;
};

} // namespace pw
