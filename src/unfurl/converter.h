#pragma once
// Converts one message .dbx file into .eml files, one per stored message,
// named <dbx base name>_<message number, 5 digits>.eml. Reports go to the
// given stream, each line prefixed "unfurl: <file name>: ".

#include "unfurl/addressset.h"
#include "unfurl/dbxreader.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace unfurl {

class EmlFolder;

// Exit statuses of the program.
enum ExitStatus : int {
    kExitAllWritten = 0,
    kExitSomeNotWritten = 1,
    kExitBadInput = 2,
};

class Converter {
public:
    struct Totals {
        uint64_t written = 0;
        uint64_t notWritten = 0;      // damaged, empty, or the output failed
        uint64_t withoutText = 0;     // headers only, nothing stored to write
        uint64_t lostSubtrees = 0;    // index parts that could not be read
        uint64_t bytesWritten = 0;
        bool stoppedEarly = false;    // the output failed for good (disk full ...)
    };

    Converter(std::ostream &report, bool verbose);

    // Returns kExitAllWritten, kExitSomeNotWritten or kExitBadInput.
    int run(const std::string &dbxPath, const std::string &outputFolder);
    const Totals &totals() const { return m_totals; }

    // "Inbox" for ".../Inbox.dbx": the part before the last dot of the
    // file's own name, without leading dots, and short enough that every
    // name made from it fits a file system's 255 bytes.
    static std::string baseNameOf(const std::string &dbxPath);
    // Room for "_<number>" (up to 10 digits), "_<n>" for a taken name (up to
    // 6 digits) and ".eml".
    static constexpr size_t kMaxBaseNameBytes = 255 - 11 - 7 - 4;

private:
    void say(Severity severity, const std::string &text);
    void convertRecord(DbxReader &reader, EmlFolder &folder, uint32_t address);

    std::ostream &m_report;
    bool m_verbose;
    std::string m_prefix;
    std::string m_stem;
    Totals m_totals;
    // First data blocks seen, to catch two records sharing one text.
    AddressSet m_firstBlocks;
};

} // namespace unfurl
