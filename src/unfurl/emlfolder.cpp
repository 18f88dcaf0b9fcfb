#include "unfurl/emlfolder.h"

#include "unfurl/unfurlerror.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace unfurl {

namespace {

std::string errorText(int err) { return std::strerror(err); }

// Without RENAME_NOREPLACE support the file system is asked in other ways.
bool noReplaceUnsupported(int err) { return err == EINVAL || err == ENOSYS || err == ENOTSUP; }

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
    // root); creating a file does.
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
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char text[64];
        std::snprintf(text, sizeof text, ".unfurl-%ld-%u.part", m_pid, m_counter++);
        const int fd = ::openat(m_dirFd, text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            name = text;
            return fd;
        }
        if (errno != EEXIST)
            throw WriteError("cannot create a file in " + m_path + ": " + errorText(errno), errno);
    }
    throw WriteError("cannot find a free temporary name in " + m_path, EEXIST);
}

bool EmlFolder::claimName(const std::string &temporaryName, const std::string &name) {
    const char *from = temporaryName.c_str();
    const char *to = name.c_str();
    if (::renameat2(m_dirFd, from, m_dirFd, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (!noReplaceUnsupported(errno))
        throw WriteError("cannot name " + name + " in " + m_path + ": " + errorText(errno), errno);
    // A hard link also fails on an existing name.
    if (::linkat(m_dirFd, from, m_dirFd, to, 0) == 0) {
        ::unlinkat(m_dirFd, from, 0);
        return true;
    }
    if (errno == EEXIST)
        return false;
    // File systems without either (some network and FAT mounts): look, then
    // rename. Only a writer racing us in the same instant could be replaced.
    struct stat st {};
    if (::fstatat(m_dirFd, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return false;
    if (::renameat(m_dirFd, from, m_dirFd, to) == 0)
        return true;
    throw WriteError("cannot name " + name + " in " + m_path + ": " + errorText(errno), errno);
}

std::string EmlFolder::publish(const std::string &temporaryName, const std::string &stem) {
    for (unsigned suffix = 1; suffix < 1000000; ++suffix) {
        const std::string name =
            suffix == 1 ? stem + ".eml" : stem + "_" + std::to_string(suffix) + ".eml";
        if (claimName(temporaryName, name))
            return name;
    }
    throw WriteError("every name for " + stem + ".eml is taken in " + m_path, EEXIST);
}

void EmlFolder::discard(const std::string &temporaryName) noexcept {
    if (!temporaryName.empty())
        ::unlinkat(m_dirFd, temporaryName.c_str(), 0);
}

} // namespace unfurl
