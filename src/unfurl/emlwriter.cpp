#include "unfurl/emlwriter.h"

#include "unfurl/emlfolder.h"
#include "unfurl/unfurlerror.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace unfurl {

namespace {

constexpr size_t kBufferSize = 64 * 1024;

// The one temporary file in progress, for the signal handler. Plain storage
// written before the file exists and cleared after it is gone.
std::atomic<int> g_unfinishedDir{-1};
char g_unfinishedName[64];

void rememberUnfinished(int dirFd, const std::string &name) {
    g_unfinishedDir.store(-1);
    std::strncpy(g_unfinishedName, name.c_str(), sizeof g_unfinishedName - 1);
    g_unfinishedName[sizeof g_unfinishedName - 1] = '\0';
    g_unfinishedDir.store(dirFd);
}

void forgetUnfinished() { g_unfinishedDir.store(-1); }

} // namespace

void removeUnfinishedOnSignal() noexcept {
    const int dirFd = g_unfinishedDir.load();
    if (dirFd >= 0)
        ::unlinkat(dirFd, g_unfinishedName, 0);
}

EmlWriter::EmlWriter(EmlFolder &folder) : m_folder(folder) {
    // A signal arriving between creating the file and remembering it would
    // leave it behind (creating can take a while on a busy disk).
    sigset_t terminating, previous;
    sigemptyset(&terminating);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&terminating, signalNumber);
    ::pthread_sigmask(SIG_BLOCK, &terminating, &previous);
    try {
        m_fd = m_folder.createTemporary(m_temporaryName);
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    rememberUnfinished(m_folder.descriptor(), m_temporaryName);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    m_buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
}

EmlWriter::~EmlWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_published) {
        m_folder.discard(m_temporaryName);
        forgetUnfinished();
    }
}

void EmlWriter::flush() {
    size_t done = 0;
    while (done < m_buffered) {
        const ssize_t put = ::write(m_fd, m_buffer.get() + done, m_buffered - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            throw WriteError(std::string("cannot write into ") + m_folder.path() + ": " +
                                 std::strerror(errno),
                             errno);
        }
        done += static_cast<size_t>(put);
    }
    m_buffered = 0;
}

void EmlWriter::write(const char *data, size_t length) {
    while (length > 0) {
        const size_t take = std::min(length, kBufferSize - m_buffered);
        std::memcpy(m_buffer.get() + m_buffered, data, take);
        m_buffered += take;
        data += take;
        length -= take;
        if (m_buffered == kBufferSize)
            flush();
    }
}

std::string EmlWriter::finish(const std::string &stem) {
    flush();
    const int fd = m_fd;
    m_fd = -1;
    // The folder closes the file, where delayed write errors surface.
    const std::string name = m_folder.publish(fd, m_temporaryName, stem);
    m_published = true;
    forgetUnfinished();
    return name;
}

} // namespace unfurl
