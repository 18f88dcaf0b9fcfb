#pragma once
// Read-only random access to a large file through a few fixed-size pages.
// Tree nodes, records and data blocks are small and mostly sequential within
// their own area, so a handful of pages keeps system calls few while memory
// stays fixed whatever the size of the file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace unfurl {

class PagedFile {
public:
    // Opens path read-only. Throws BadInputError when it cannot be opened or
    // is not a regular file.
    explicit PagedFile(const std::string &path);
    ~PagedFile();
    PagedFile(const PagedFile &) = delete;
    PagedFile &operator=(const PagedFile &) = delete;

    uint64_t size() const { return m_size; }

    // Copies len bytes at offset into dst. The range must lie inside the
    // file (callers check their bounds first and word the error themselves);
    // throws ReadError when the system read fails or comes up short.
    void read(uint64_t offset, void *dst, size_t len);

    static constexpr size_t kPageSize = 256 * 1024;
    static constexpr size_t kPageCount = 4;

private:
    struct Page {
        uint64_t start = 0;
        size_t length = 0;
        uint64_t lastUse = 0;
        bool valid = false;
        std::vector<unsigned char> bytes;
    };

    Page *pageFor(uint64_t pageStart);
    void readDirect(uint64_t offset, void *dst, size_t len);

    int m_fd = -1;
    uint64_t m_size = 0;
    uint64_t m_useCounter = 0;
    std::vector<Page> m_pages;
};

} // namespace unfurl
