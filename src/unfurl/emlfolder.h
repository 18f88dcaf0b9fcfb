#pragma once
// The folder the .eml files go to. A file is written unnamed (O_TMPFILE)
// and linked under its final name only when complete; the name never
// replaces an existing file: when it is taken, "_2", "_3" ... are tried in
// turn. Where the file system has no unnamed files or no hard links (FAT,
// exFAT, some network shares), the file is written under a hidden name, the
// final name is reserved with an exclusive create, and the file is moved
// onto that reservation.

#include <string>

namespace unfurl {

class EmlFolder {
public:
    // Opens the folder and proves it writable by creating and removing a
    // probe file. Throws BadInputError when it is missing, not a folder, or
    // cannot be written.
    explicit EmlFolder(const std::string &path);
    ~EmlFolder();
    EmlFolder(const EmlFolder &) = delete;
    EmlFolder &operator=(const EmlFolder &) = delete;

    const std::string &path() const { return m_path; }
    int descriptor() const { return m_dirFd; }

    // Creates a new empty file to write a message into and returns its
    // descriptor. `name` is left empty for an unnamed file, else it is set
    // to the hidden name (one no .eml listing matches). Throws WriteError.
    int createTemporary(std::string &name);
    // Closes `fd` (from createTemporary) and gives its file the first free
    // name among stem.eml, stem_2.eml, ...; returns that name. On failure
    // the file is gone; a hidden one is left for discard(). Throws WriteError.
    std::string publish(int fd, std::string &temporaryName, const std::string &stem);
    // Removes a hidden file; failures are ignored (nothing to save).
    void discard(const std::string &temporaryName) noexcept;

private:
    int createHidden(std::string &name);
    std::string linkUnnamed(int fd, std::string &temporaryName, const std::string &stem);
    std::string publishHidden(const std::string &temporaryName, const std::string &stem);
    void copyToHidden(int from, std::string &temporaryName);
    bool moveOntoReservation(const std::string &temporaryName, const std::string &name);
    [[noreturn]] void failNaming(const std::string &name, int err) const;

    std::string m_path;
    int m_dirFd = -1;
    bool m_unnamedWorks = true; // cleared the first time the file system refuses
    long m_pid;  // in hidden names, so two runs never pick the same one
    unsigned m_counter = 0;
};

} // namespace unfurl
