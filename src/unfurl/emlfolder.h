#pragma once
// The folder the .eml files go to. Files are written under a temporary name
// and only then given their final name, which never replaces an existing
// file: when the name is taken, "_2", "_3" ... are tried in turn.

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

    // Creates a new empty temporary file (a name that no .eml listing
    // matches), returns its descriptor and stores its name. Throws WriteError.
    int createTemporary(std::string &name);
    // Gives the temporary file the first free name among stem.eml,
    // stem_2.eml, ... and returns that name. Throws WriteError.
    std::string publish(const std::string &temporaryName, const std::string &stem);
    // Removes a temporary file; failures are ignored (nothing to save).
    void discard(const std::string &temporaryName) noexcept;

private:
    bool claimName(const std::string &temporaryName, const std::string &name);

    std::string m_path;
    int m_dirFd = -1;
    long m_pid;  // in temporary names, so two runs never pick the same one
    unsigned m_counter = 0;
};

} // namespace unfurl
