#include "unfurl/pagedfile.h"

#include "unfurl/unfurlerror.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace unfurl {

PagedFile::PagedFile(const std::string &path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        throw BadInputError("cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        const int err = errno;
        ::close(m_fd);
        throw BadInputError("cannot read " + path + ": " + std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(m_fd);
        throw BadInputError(path + " is not a regular file");
    }
    m_size = static_cast<uint64_t>(st.st_size);
    m_pages.resize(kPageCount);
    // The walk goes forward through each area; let the kernel read ahead.
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

PagedFile::~PagedFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void PagedFile::readDirect(uint64_t offset, void *dst, size_t len) {
    auto *out = static_cast<unsigned char *>(dst);
    size_t done = 0;
    while (done < len) {
        const ssize_t got = ::pread(m_fd, out + done, len - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw ReadError("read error at offset " + std::to_string(offset + done) + ": " +
                            std::strerror(errno));
        }
        if (got == 0)
            throw ReadError("the file ended early at offset " + std::to_string(offset + done) +
                            " (was it changed while being read?)");
        done += static_cast<size_t>(got);
    }
}

PagedFile::Page *PagedFile::pageFor(uint64_t pageStart) {
    Page *victim = &m_pages.front();
    for (Page &page : m_pages) {
        if (page.valid && page.start == pageStart) {
            page.lastUse = ++m_useCounter;
            return &page;
        }
        if (!page.valid || page.lastUse < victim->lastUse)
            victim = &page;
    }
    if (victim->bytes.empty())
        victim->bytes.resize(kPageSize);
    victim->valid = false;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kPageSize, m_size - pageStart));
    try {
        readDirect(pageStart, victim->bytes.data(), length);
    } catch (const ReadError &) {
        // A bad spot somewhere in the page must not cost the readable
        // objects around it: the caller falls back to reading just its range.
        return nullptr;
    }
    victim->start = pageStart;
    victim->length = length;
    victim->valid = true;
    victim->lastUse = ++m_useCounter;
    return victim;
}

void PagedFile::read(uint64_t offset, void *dst, size_t len) {
    if (offset > m_size || len > m_size - offset)
        throw ReadError("read beyond the end of the file at offset " + std::to_string(offset));
    auto *out = static_cast<unsigned char *>(dst);
    while (len > 0) {
        const uint64_t pageStart = offset - offset % kPageSize;
        Page *page = pageFor(pageStart);
        if (!page) {
            readDirect(offset, out, len);
            return;
        }
        const size_t inPage = static_cast<size_t>(offset - pageStart);
        const size_t take = std::min(len, page->length - inPage);
        std::memcpy(out, page->bytes.data() + inPage, take);
        out += take;
        offset += take;
        len -= take;
    }
}

} // namespace unfurl
