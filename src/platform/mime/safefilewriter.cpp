#include "platform/mime/safefilewriter.h"

#include "app/core/error.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pw {

namespace {

QByteArray folderOf(const QByteArray &path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

QString errorText(int errorNumber) {
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

} // namespace

SafeFileWriter::SafeFileWriter(const QString &targetPath)
    : m_target(targetPath), m_nativeTarget(QFile::encodeName(targetPath)) {
    if (m_nativeTarget.isEmpty() || m_nativeTarget.contains('\0'))
        throw Error(QStringLiteral("Cannot save \"%1\": not a usable file name").arg(targetPath));
    if (m_nativeTarget.endsWith('/'))
        fail(QStringLiteral("Cannot save"), EISDIR);
    const QByteArray folder = folderOf(m_nativeTarget);

    // An unnamed file vanishes by itself if the program dies mid-write.
    m_fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (m_fd >= 0)
        return;
    const int unnamedError = errno;
    if (unnamedError != EOPNOTSUPP && unnamedError != EISDIR && unnamedError != EINVAL)
        fail(QStringLiteral("Cannot save"), unnamedError);

    // File systems without unnamed files get a hidden temporary name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = folder + "/.parcelwise-"
                                     + QByteArray::number(QRandomGenerator::global()->generate64(), 36)
                                     + ".part";
        m_fd = ::open(candidate.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_tempPath = candidate;
            return;
        }
        if (errno != EEXIST)
            fail(QStringLiteral("Cannot save"), errno);
    }
    fail(QStringLiteral("Cannot save"), EEXIST);
}

SafeFileWriter::~SafeFileWriter() {
    discard();
}

void SafeFileWriter::discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_committed && !m_tempPath.isEmpty()) {
        ::unlink(m_tempPath.constData());
        m_tempPath.clear();
    }
}

void SafeFileWriter::fail(const QString &what, int errorNumber) const {
    if (errorNumber == EEXIST)
        throw Error(QStringLiteral("%1 \"%2\": a file or folder of that name exists already").arg(what, m_target));
    throw Error(QStringLiteral("%1 \"%2\": %3").arg(what, m_target, errorText(errorNumber)));
}

void SafeFileWriter::write(const char *data, qint64 size) {
    if (m_fd < 0)
        throw Error(QStringLiteral("Cannot write \"%1\": the file is closed").arg(m_target));
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            discard();
            fail(QStringLiteral("Cannot write"), error);
        }
        data += written;
        size -= written;
    }
}

void SafeFileWriter::commit() {
    if (m_fd < 0 || m_committed)
        throw Error(QStringLiteral("Cannot save \"%1\": the file is closed").arg(m_target));
    if (m_tempPath.isEmpty()) {
        // Linking an unnamed file fails with EEXIST when the name is taken.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_nativeTarget.constData(), AT_SYMLINK_FOLLOW) != 0) {
            const int error = errno;
            discard();
            fail(QStringLiteral("Cannot save"), error);
        }
        m_committed = true;
        if (::close(m_fd) != 0) {
            // The data may not have reached the disk: take the name back.
            const int error = errno;
            m_fd = -1;
            ::unlink(m_nativeTarget.constData());
            fail(QStringLiteral("Cannot write"), error);
        }
        m_fd = -1;
        return;
    }

    if (::close(m_fd) != 0) {
        const int error = errno;
        m_fd = -1;
        discard();
        fail(QStringLiteral("Cannot write"), error);
    }
    m_fd = -1;
    if (::link(m_tempPath.constData(), m_nativeTarget.constData()) == 0) {
        m_committed = true;
        ::unlink(m_tempPath.constData());
        m_tempPath.clear();
        return;
    }
    int error = errno;
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS) {
        // No hard links here (e.g. FAT): a rename that refuses to replace.
        if (::renameat2(AT_FDCWD, m_tempPath.constData(), AT_FDCWD, m_nativeTarget.constData(),
                        RENAME_NOREPLACE) == 0) {
            m_committed = true;
            m_tempPath.clear();
            return;
        }
        error = errno;
    }
    discard();
    fail(QStringLiteral("Cannot save"), error);
}

} // namespace pw
