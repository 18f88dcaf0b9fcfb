#pragma once
// Shared bits of the fuzz targets: most parsers here read from a path, so
// each input goes through one scratch file per fuzzing process.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace pwfuzz {

// A private folder under $TMPDIR (or /tmp), made on first use and removed
// when the process exits normally.
const std::string &scratchDir();

// The path `scratchDir()/name`.
std::string scratchPath(const char *name);

// Writes the bytes to path, replacing its content; aborts on failure, since
// a fuzz run that cannot write its input tests nothing.
void writeFile(const std::string &path, const std::uint8_t *data, std::size_t size);

// Silences Qt, GLib and GMime chatter, which would otherwise dominate the
// cost of each run.
void quietLogging();

} // namespace pwfuzz
