#include "unfurl/converter.h"

#include "unfurl/dbxlayout.h"
#include "unfurl/emlfolder.h"
#include "unfurl/emlwriter.h"
#include "unfurl/unfurlerror.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <ostream>

namespace unfurl {

namespace {

// Errors after which every further file would fail the same way.
bool outputIsGone(int err) {
    return err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO || err == ENOENT ||
           err == EACCES || err == EPERM;
}

std::string describeRecord(const MessageRecord &record) {
    if (record.number)
        return "message " + std::to_string(*record.number);
    return "the message at " + hexAddress(record.address);
}

} // namespace

Converter::Converter(std::ostream &report, bool verbose) : m_report(report), m_verbose(verbose) {}

std::string Converter::baseNameOf(const std::string &dbxPath) {
    std::string name = dbxPath;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    if (const auto slash = name.rfind('/'); slash != std::string::npos)
        name.erase(0, slash + 1);
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.erase(dot);
    // A leading dot would hide every file written, from listings and users
    // alike.
    name.erase(0, name.find_first_not_of('.'));
    if (name.size() > kMaxBaseNameBytes) {
        // Cut on a character boundary: back over UTF-8 continuation bytes.
        size_t cut = kMaxBaseNameBytes;
        for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80; ++back)
            --cut;
        name.erase(cut);
    }
    return name.empty() ? std::string("message") : name;
}

void Converter::say(Severity severity, const std::string &text) {
    if (severity == Severity::Note && !m_verbose)
        return;
    // One insertion per line: standard error writes each at once, so lines
    // never interleave with another program's.
    const char *label = severity == Severity::Warning ? "warning: " : "";
    m_report << (m_prefix + label + text + '\n');
}

int Converter::run(const std::string &dbxPath, const std::string &outputFolder) {
    m_totals = {};
    m_firstBlocks.clear();
    m_stem = baseNameOf(dbxPath);
    m_prefix = "unfurl: " + m_stem + ": ";
    // These texts name the path themselves.
    std::optional<DbxReader> reader;
    try {
        reader.emplace(dbxPath, [this](Severity s, const std::string &t) { say(s, t); });
    } catch (const BadInputError &e) {
        m_report << ("unfurl: " + std::string(e.what()) + '\n');
        return kExitBadInput;
    }
    std::optional<EmlFolder> folder;
    try {
        folder.emplace(outputFolder);
    } catch (const BadInputError &e) {
        m_report << ("unfurl: " + std::string(e.what()) + '\n');
        return kExitBadInput;
    }

    const DbxReader::WalkResult walk =
        reader->walk([&](uint32_t address) { convertRecord(*reader, *folder, address); });
    m_totals.lostSubtrees = walk.lostSubtrees;

    // A damaged part of the index loses messages only when they are found
    // nowhere else: with a believable count from the header, what is missing
    // is counted; without one, a damaged part may have held anything.
    const uint64_t missing =
        walk.recordsFound < reader->announcedCount() ? reader->announcedCount() - walk.recordsFound : 0;
    const bool unknownLoss = walk.lostSubtrees > 0 && reader->countIgnored();
    const bool complete = m_totals.notWritten == 0 && !m_totals.stoppedEarly && missing == 0 && !unknownLoss;
    if (m_verbose || !complete || walk.lostSubtrees > 0) {
        std::string summary = std::to_string(m_totals.written) +
                              (m_totals.written == 1 ? " message" : " messages") + " written to " +
                              outputFolder;
        if (m_totals.notWritten)
            summary += ", " + std::to_string(m_totals.notWritten) + " could not be written";
        if (m_totals.withoutText)
            summary += ", " + std::to_string(m_totals.withoutText) + " had no stored text";
        if (missing)
            summary += ", " + std::to_string(missing) + " could not be found";
        if (unknownLoss)
            summary += ", an unknown number could not be found in the damaged index";
        else if (walk.lostSubtrees > 0 && missing == 0)
            summary += "; every message the header announces was found, none is lost";
        say(!complete ? Severity::Error : walk.lostSubtrees > 0 ? Severity::Warning : Severity::Note, summary);
    }
    return complete ? kExitAllWritten : kExitSomeNotWritten;
}

void Converter::convertRecord(DbxReader &reader, EmlFolder &folder, uint32_t address) {
    MessageRecord record;
    try {
        record = reader.readRecord(address);
    } catch (const DamageError &e) {
        ++m_totals.notWritten;
        say(Severity::Error, std::string("a message could not be read: ") + e.what());
        return;
    }
    const std::string label = describeRecord(record);
    if (!record.number)
        say(Severity::Warning, label + " has no message number; named as number 0");

    if (!record.firstBlock || *record.firstBlock == 0) {
        if (record.flags && (*record.flags & layout::kFlagTextStored)) {
            ++m_totals.notWritten;
            say(Severity::Error, label + " is marked as downloaded but its text cannot be found");
        } else {
            ++m_totals.withoutText;
            say(Severity::Note, label + " has only its headers in the index (text never "
                                        "downloaded); nothing to write");
        }
        return;
    }
    if (m_totals.stoppedEarly) {
        // The walk goes on after the output failed for good only to count
        // what is left unwritten.
        ++m_totals.notWritten;
        return;
    }
    const uint32_t number = record.number.value_or(0);
    if (!m_firstBlocks.insert(*record.firstBlock)) {
        ++m_totals.notWritten;
        say(Severity::Error, label + " shares its text (the data block at " +
                                 hexAddress(*record.firstBlock) +
                                 ") with an earlier message; the damaged index lets it be written once only");
        return;
    }

    char stem[32];
    std::snprintf(stem, sizeof stem, "_%05u", number);
    try {
        EmlWriter writer(folder);
        uint64_t total = 0;
        try {
            total = reader.readText(*record.firstBlock,
                                    [&](const char *data, size_t length) { writer.write(data, length); });
        } catch (const DamageError &e) {
            ++m_totals.notWritten;
            say(Severity::Error, label + " not written: " + e.what());
            return;
        }
        if (total == 0) {
            ++m_totals.notWritten;
            say(Severity::Error, label + " not written: its stored text is empty");
            return;
        }
        if (record.size && *record.size != total)
            say(Severity::Note, label + ": the record gives its size as " +
                                    std::to_string(*record.size) + " bytes, its text holds " +
                                    std::to_string(total));
        const std::string name = writer.finish(m_stem + stem);
        ++m_totals.written;
        m_totals.bytesWritten += total;
        say(Severity::Note, "wrote " + name + " (" + std::to_string(total) + " bytes)");
    } catch (const WriteError &e) {
        ++m_totals.notWritten;
        if (outputIsGone(e.errorNumber())) {
            m_totals.stoppedEarly = true;
            say(Severity::Error, label + " not written: " + e.what() +
                                     "; stopped, the remaining messages were not written");
            return;
        }
        say(Severity::Error, label + " not written: " + e.what());
    }
}

} // namespace unfurl
