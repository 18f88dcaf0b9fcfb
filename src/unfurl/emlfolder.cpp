#include "unfurl/emlfolder.h"

#include "unfurl/unfurlerror.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace unfurl {

namespace {

constexpr unsigned kMaxSuffix = 1000000;
constexpr size_t kCopyChunk = 256 * 1024;

std::string errorText(int err) { return std::strerror(err); }

// Answers that mean "this file system cannot do that", not "that failed".
bool unsupported(int err) { return err == EOPNOTSUPP || err == EINVAL || err == ENOSYS || err == EISDIR; }

// Linking an unnamed file also needs /proc and hard links.
bool cannotLink(int err) {
    return unsupported(err) || err == EPERM || err == ENOENT || err == EMLINK || err == EXDEV;
}

std::string candidateName(const std::string &stem, unsigned suffix) {
    return suffix == 1 ? stem + ".eml" : stem + "_" + std::to_string(suffix) + ".eml";
}

bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// Holds back SIGINT, SIGTERM and SIGHUP for its lifetime.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t terminating;
        sigemptyset(&terminating);
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&terminating, signalNumber);
        ::pthread_sigmask(SIG_BLOCK, &terminating, &m_previous);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t m_previous;
};

} // namespace

EmlFolder::EmlFolder(const std::string &path) : m_path(path), m_pid(static_cast<long>(::getpid())) {
    m_dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0) {
        const int err = errno;
        if (err == ENOTDIR)
            throw BadInputError("the output folder " + path + " is not a folder");
        throw BadInputError("cannot open the output folder " + path + ": " + errorText(err));
    }
    // Permission bits do not tell the whole story (read-only mounts, ACLs,
    // root); creating a file does. A run ended meanwhile must not leave the
    // probe behind.
    const SignalsHeld held;
    std::string probe;
    try {
        const int fd = createTemporary(probe);
        ::close(fd);
    } catch (const WriteError &e) {
        ::close(m_dirFd);
        m_dirFd = -1;
        throw BadInputError("cannot write into the output folder " + path + ": " +
                            errorText(e.errorNumber()));
    }
    discard(probe);
}

EmlFolder::~EmlFolder() {
    if (m_dirFd >= 0)
        ::close(m_dirFd);
}

int EmlFolder::createTemporary(std::string &name) {
    name.clear();
    if (m_unnamedWorks) {
        // An unnamed file vanishes by itself if the program dies mid-write.
        const int fd = ::openat(m_dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (!unsupported(errno))
            throw WriteError("cannot create a file in " + m_path + ": " + errorText(errno), errno);
        m_unnamedWorks = false;
    }
    return createHidden(name);
}

int EmlFolder::createHidden(std::string &name) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char text[64];
        std::snprintf(text, sizeof text, ".unfurl-%ld-%u.part", m_pid, m_counter++);
        const int fd = ::openat(m_dirFd, text, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            name = text;
            return fd;
        }
        if (errno != EEXIST)
            throw WriteError("cannot create a file in " + m_path + ": " + errorText(errno), errno);
    }
    throw WriteError("cannot find a free temporary name in " + m_path, EEXIST);
}

void EmlFolder::failNaming(const std::string &name, int err) const {
    throw WriteError("cannot save " + name + " in " + m_path + ": " + errorText(err), err);
}

// The name is reserved with an exclusive create, which cannot take anybody
// else's file; the finished file then replaces that reservation.
bool EmlFolder::moveOntoReservation(const std::string &temporaryName, const std::string &name) {
    const int reservation = ::openat(m_dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (reservation < 0) {
        if (errno == EEXIST)
            return false;
        failNaming(name, errno);
    }
    struct stat ours {};
    struct stat there {};
    const bool stillOurs = ::fstat(reservation, &ours) == 0 && ours.st_size == 0 &&
                           ::fstatat(m_dirFd, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                           ours.st_dev == there.st_dev && ours.st_ino == there.st_ino;
    if (!stillOurs) {
        ::close(reservation);
        return false; // somebody else's now: left alone
    }
    if (::renameat(m_dirFd, temporaryName.c_str(), m_dirFd, name.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(m_dirFd, name.c_str(), 0);
        ::close(reservation);
        failNaming(name, err);
    }
    ::close(reservation);
    return true;
}

std::string EmlFolder::linkUnnamed(int fd, std::string &temporaryName, const std::string &stem) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    for (unsigned suffix = 1; suffix < kMaxSuffix; ++suffix) {
        const std::string name = candidateName(stem, suffix);
        if (::linkat(AT_FDCWD, self, m_dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            if (::close(fd) != 0 && errno != EINTR) {
                // A delayed write failed: the file may not be complete.
                const int err = errno;
                ::unlinkat(m_dirFd, name.c_str(), 0);
                throw WriteError("cannot write into " + m_path + ": " + errorText(err), err);
            }
            return name;
        }
        if (errno == EEXIST)
            continue;
        const int err = errno;
        if (!cannotLink(err)) {
            ::close(fd);
            failNaming(name, err);
        }
        // No hard links here after all: the content moves to a hidden file.
        // Nothing knows that file's name if the run ends now, so a
        // terminating signal waits until it is published or removed.
        m_unnamedWorks = false;
        const SignalsHeld held;
        try {
            copyToHidden(fd, temporaryName);
        } catch (...) {
            ::close(fd);
            discard(temporaryName);
            temporaryName.clear();
            throw;
        }
        ::close(fd);
        try {
            return publishHidden(temporaryName, stem);
        } catch (...) {
            discard(temporaryName);
            temporaryName.clear();
            throw;
        }
    }
    ::close(fd);
    throw WriteError("every name for " + stem + ".eml is taken in " + m_path, EEXIST);
}

std::string EmlFolder::publish(int fd, std::string &temporaryName, const std::string &stem) {
    if (temporaryName.empty())
        return linkUnnamed(fd, temporaryName, stem);
    // Delayed write errors (network file systems, quotas) surface at close.
    if (::close(fd) != 0 && errno != EINTR)
        throw WriteError("cannot write into " + m_path + ": " + errorText(errno), errno);
    return publishHidden(temporaryName, stem);
}

std::string EmlFolder::publishHidden(const std::string &temporaryName, const std::string &stem) {
    for (unsigned suffix = 1; suffix < kMaxSuffix; ++suffix) {
        const std::string name = candidateName(stem, suffix);
        // Ended between reserving and moving, the run would leave an empty
        // .eml behind: a terminating signal waits the two calls out.
        const SignalsHeld held;
        if (moveOntoReservation(temporaryName, name))
            return name;
    }
    throw WriteError("every name for " + stem + ".eml is taken in " + m_path, EEXIST);
}

void EmlFolder::copyToHidden(int from, std::string &temporaryName) {
    const int hidden = createHidden(temporaryName);
    const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kCopyChunk);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(from, buffer.get(), kCopyChunk, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (got > 0 && !writeAll(hidden, buffer.get(), static_cast<size_t>(got)))) {
            const int err = errno;
            ::close(hidden);
            throw WriteError("cannot write into " + m_path + ": " + errorText(err), err);
        }
        if (got == 0)
            break;
        offset += got;
    }
    if (::close(hidden) != 0 && errno != EINTR)
        throw WriteError("cannot write into " + m_path + ": " + errorText(errno), errno);
}

void EmlFolder::discard(const std::string &temporaryName) noexcept {
    if (!temporaryName.empty())
        ::unlinkat(m_dirFd, temporaryName.c_str(), 0);
}

} // namespace unfurl
