#include "core/safefilewriter.h"

#include <QFile>
#include <QRandomGenerator>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pw {

namespace {

constexpr qint64 kCopyChunk = 256 * 1024;

QByteArray folderOf(const QByteArray &path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

// Answers that mean "this file system cannot do that", not "that failed".
bool unsupported(int error) {
    return error == EOPNOTSUPP || error == EINVAL || error == ENOSYS || error == EISDIR;
}

// linkat() of an unnamed file also needs /proc and hard links.
bool cannotLink(int error) {
    return unsupported(error) || error == EPERM || error == ENOENT || error == EMLINK || error == EXDEV;
}

bool writeAll(int fd, const char *data, qint64 size, int &error) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The first eight characters of the boot id: a file from before a restart
// has no living writer.
QByteArray bootTag() {
    static const QByteArray tag = [] {
        QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
        QByteArray id = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
        id = id.left(8);
        for (char c : id)
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return QByteArray("0");
        return id.isEmpty() ? QByteArray("0") : id;
    }();
    return tag;
}

// The start time of a process in clock ticks since boot, or empty when it
// is not running.
QByteArray startTime(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray stat = file.readAll();
    // The name in parentheses may hold anything: fields count from its end.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return QByteArray();
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Field 22 of the line is the 20th after the name.
    return fields.size() > 19 ? fields.at(19) : QByteArray();
}

// This process as the hidden files name it: the boot, the process id and
// its start time, so that a later process can tell whether the writer of
// such a file is still running (a process id alone is reused).
QByteArray processTag(pid_t pid) {
    const QByteArray started = startTime(pid);
    return bootTag() + '-' + QByteArray::number(pid) + '-' + (started.isEmpty() ? QByteArrayLiteral("0") : started);
}

} // namespace

bool SafeFileWriter::isStalePartName(const QByteArray &name) {
    // .parcelwise-BOOT-PID-START-RANDOM.part
    if (!name.startsWith(".parcelwise-") || !name.endsWith(".part"))
        return false;
    const QList<QByteArray> fields = name.mid(12, name.size() - 12 - 5).split('-');
    if (fields.size() != 4)
        return false;
    bool pidOk = false;
    const qlonglong pid = fields.at(1).toLongLong(&pidOk);
    bool startOk = false;
    fields.at(2).toULongLong(&startOk);
    if (!pidOk || !startOk || pid <= 0 || fields.at(0).isEmpty())
        return false;
    if (fields.at(0) != bootTag())
        return true;
    // Alive only if a process of that id runs and started when the writer did.
    return startTime(static_cast<pid_t>(pid)) != fields.at(2);
}

int SafeFileWriter::removeStaleParts(const QString &folder) {
    const QByteArray native = QFile::encodeName(folder);
    DIR *dir = ::opendir(native.constData());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (isStalePartName(name) && ::unlinkat(::dirfd(dir), name.constData(), 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

SafeFileWriter::SafeFileWriter(const QString &targetPath, const QString &what)
    : m_target(targetPath), m_what(what.isEmpty() ? QStringLiteral("the file") : what),
      m_nativeTarget(QFile::encodeName(targetPath)) {
    if (m_nativeTarget.isEmpty() || m_nativeTarget.contains('\0'))
        throw Error(QStringLiteral("Cannot save %1 to \"%2\": not a usable file name").arg(m_what, targetPath));
    if (m_nativeTarget.endsWith('/'))
        fail(EISDIR);
    m_folder = folderOf(m_nativeTarget);

    // An unnamed file vanishes by itself if the program dies mid-write.
    m_fd = ::open(m_folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (m_fd >= 0)
        return;
    if (!unsupported(errno))
        fail(errno);
    openHidden();
}

SafeFileWriter::~SafeFileWriter() {
    discard();
}

void SafeFileWriter::fail(int errorNumber) {
    discard();
    // The path the caller asked for: a temporary name means nothing to the
    // user.
    const QString head = QStringLiteral("Cannot save %1 to %2").arg(m_what, m_target);
    if (errorNumber == EEXIST)
        throw NameTakenError(head + QStringLiteral(": a file or folder of that name exists already"));
    throw Error(head + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errorNumber)));
}

// The fallback: the content goes to a hidden file; commit publishes it.
void SafeFileWriter::openHidden() {
    static const QByteArray tag = processTag(::getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = m_folder + "/.parcelwise-" + tag + '-'
                                     + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".part";
        m_fd = ::open(candidate.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_hiddenPath = candidate;
            return;
        }
        if (errno != EEXIST)
            fail(errno);
    }
    fail(EEXIST);
}

// Still our empty file under the target's name: not removed and replaced,
// and not written into by a program that opened the name meanwhile.
bool SafeFileWriter::reservationIsOurs() const {
    struct stat ours {};
    struct stat there {};
    return m_reservation >= 0 && ::fstat(m_reservation, &ours) == 0 && ours.st_size == 0
           && ::lstat(m_nativeTarget.constData(), &there) == 0 && ours.st_dev == there.st_dev
           && ours.st_ino == there.st_ino;
}

void SafeFileWriter::discard() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_committed) {
        if (!m_hiddenPath.isEmpty())
            ::unlink(m_hiddenPath.constData());
        // Only our own reservation is removed, never what replaced it.
        if (reservationIsOurs())
            ::unlink(m_nativeTarget.constData());
    }
    m_hiddenPath.clear();
    if (m_reservation >= 0) {
        ::close(m_reservation);
        m_reservation = -1;
    }
}

void SafeFileWriter::write(const char *data, qint64 size) {
    if (m_fd < 0 || m_committed)
        throw Error(QStringLiteral("Cannot save %1 to %2: the file is closed").arg(m_what, m_target));
    int error = 0;
    if (!writeAll(m_fd, data, size, error))
        fail(error);
}

// Linking was refused after the content was written: it moves to the
// fallback's hidden file instead of being lost.
void SafeFileWriter::copyIntoHidden(int from) {
    openHidden();
    QByteArray buffer(kCopyChunk, Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(from, buffer.data(), static_cast<size_t>(buffer.size()), offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        if (got == 0)
            return;
        int error = 0;
        if (!writeAll(m_fd, buffer.constData(), got, error))
            fail(error);
        offset += got;
    }
}

void SafeFileWriter::commitUnnamed() {
    // Linking fails with EEXIST when the name is taken: nothing is replaced.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_nativeTarget.constData(), AT_SYMLINK_FOLLOW) != 0) {
        const int error = errno;
        if (!cannotLink(error))
            fail(error);
        const int unnamed = m_fd;
        m_fd = -1;
        try {
            copyIntoHidden(unnamed);
        } catch (...) {
            ::close(unnamed);
            throw;
        }
        ::close(unnamed);
        commitHidden();
        return;
    }
    m_committed = true;
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        // A delayed write failed: the data may not all be there.
        const int error = errno;
        ::unlink(m_nativeTarget.constData());
        m_committed = false;
        fail(error);
    }
}

void SafeFileWriter::commitHidden() {
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        fail(errno);
    // A rename that refuses to replace.
    if (::renameat2(AT_FDCWD, m_hiddenPath.constData(), AT_FDCWD, m_nativeTarget.constData(), RENAME_NOREPLACE) == 0) {
        m_committed = true;
        discard();
        return;
    }
    if (!unsupported(errno) && errno != EPERM)
        fail(errno);
    // A link, which refuses a taken name too.
    if (::link(m_hiddenPath.constData(), m_nativeTarget.constData()) == 0) {
        m_committed = true;
        ::unlink(m_hiddenPath.constData());
        discard();
        return;
    }
    if (!cannotLink(errno))
        fail(errno);
    // Neither: the name is taken with an exclusive create (which cannot take
    // anybody else's file) and the hidden file moved onto it at once, so the
    // empty reservation shows for no longer than the two calls take.
    m_reservation = ::open(m_nativeTarget.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_reservation < 0)
        fail(errno);
    if (!reservationIsOurs())
        fail(EEXIST);
    if (std::rename(m_hiddenPath.constData(), m_nativeTarget.constData()) != 0)
        fail(errno);
    m_committed = true;
    discard();
}

void SafeFileWriter::commit() {
    if (m_fd < 0 || m_committed)
        throw Error(QStringLiteral("Cannot save %1 to %2: the file is closed").arg(m_what, m_target));
    if (m_hiddenPath.isEmpty())
        commitUnnamed();
    else
        commitHidden();
}

} // namespace pw
