#pragma once
// The sources besides stores, .dbx and .eml files: mbox files, a bare
// winmail.dat wrapper, and one message on standard input.
#include "cli/mailsources.h"

#include <optional>

namespace pw::cli {

// The kind a file's name alone says: "*.mbox", "*.mbx" or a file named
// "mbox" (as Apple Mail exports hold them); "winmail.dat" or "*.tnef".
std::optional<SourceKind> namedKindOf(const QByteArray &path);
// For a file named on the command line whatever its name: an mbox file
// starts with a "From " line (Thunderbird's have no extension), a
// wrapper with the TNEF signature.
std::optional<SourceKind> contentKindOf(const QByteArray &path);

// Each message of the mbox file, streaming; its id is the file's name and
// the byte offset of its "From " line ("Inbox:20417"), which finds it
// again. Throws pw::Error when the file cannot be read.
void readMbox(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks);
// The wrapper as one message with the wrapper as its attachment; saving
// unpacks it as it unpacks a wrapper attached to a message.
void readTnef(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks);
// One message read from standard input (source and id "-").
void readStandardInput(const selection::Filter &filter, const ReadCallbacks &callbacks);

// The message at `readPath` through the message reader, as an .eml file is
// read; `message` holds what the caller knows of it already.
void passMimeMessage(const QByteArray &readPath, Message message, const selection::Filter &filter,
                     const ReadCallbacks &callbacks);

} // namespace pw::cli
