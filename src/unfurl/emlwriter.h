#pragma once
// One .eml file being written: bytes are buffered and written to a temporary
// file; finish() makes it visible under its final name. An unfinished writer
// removes its temporary file, so a failed message leaves nothing behind.

#include <memory>
#include <string>

namespace unfurl {

class EmlFolder;

class EmlWriter {
public:
    explicit EmlWriter(EmlFolder &folder);  // throws WriteError
    ~EmlWriter();
    EmlWriter(const EmlWriter &) = delete;
    EmlWriter &operator=(const EmlWriter &) = delete;

    void write(const char *data, size_t length);  // throws WriteError
    // Flushes, closes and publishes the file; returns the name it got.
    std::string finish(const std::string &stem);  // throws WriteError

private:
    void flush();

    EmlFolder &m_folder;
    std::string m_temporaryName;
    int m_fd = -1;
    bool m_published = false;
    std::unique_ptr<char[]> m_buffer;  // not zero-filled: one per message adds up
    size_t m_buffered = 0;
};

// Removes the temporary file of a writer interrupted by a signal. Only
// async-signal-safe calls; for the program's signal handler.
void removeUnfinishedOnSignal() noexcept;

} // namespace unfurl
