#pragma once
// Saving the files inside a winmail.dat wrapper in place of the wrapper,
// for both engines. Each engine keeps its own way of writing a file under a
// free name; this part decides what is written.
#include "core/error.h"
#include "platform/tnef/tnefreader.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

namespace pw {

// True for an attachment that may be a wrapper: of type
// application/ms-tnef, or named winmail.dat. Its content decides.
bool mayBeTnef(const QString &fileName, const QString &mimeType = QString());

// A wrapper that starts like one but cannot be read. Nothing inside it has
// been written when this is thrown.
class TnefUnreadable : public Error {
public:
    using Error::Error;
};

// Writes one file's content to the sink it is given.
using WriteContent = std::function<void(const tnef::Sink &)>;
// Writes `content` into a new file named `safeName` (or a numbered form of
// it) in the target folder.
using PlaceFile = std::function<void(const QString &safeName, const WriteContent &content)>;

// What unpacking a wrapper did.
struct TnefUnpacked {
    int found = 0;        // files inside that could be read
    int written = 0;      // of those, files written
    QString damage;       // what was wrong with the wrapper; empty when sound
    QString writeFailure; // the first file that could not be written, and why
    bool stopped = false; // asked to stop before every file was written
    // Whether every file inside is saved and nothing was wrong: only then
    // may the wrapper itself go.
    bool complete() const { return found > 0 && written == found && damage.isEmpty() && !stopped; }
};

// Writes every file inside the wrapper through `place`, under its safe name;
// an attached message becomes an .eml file. `found` is 0 when `wrapper`
// holds no TNEF data or no file, so the caller saves the wrapper itself.
// Damage the reader could read past is told in `damage`, and every file
// read before it is written. Throws TnefUnreadable for a damaged wrapper
// in which no file could be read, before writing anything. A file that
// cannot be written does not stop the others. `stop`, when given, is asked
// before each file; true ends the unpacking there.
TnefUnpacked unpackTnef(QIODevice &wrapper, const PlaceFile &place, const std::function<bool()> &stop = {});

// A new file in `folder` that has no name and vanishes when closed, for
// a wrapper to be read back from.
std::unique_ptr<QIODevice> unnamedFileIn(const QString &folder);

// The report for a wrapper that was saved as it is because it could not be
// read, because a file inside it could not be written, or because it was
// damaged after some files were read.
QString savedWrapperText(const QString &reason, const QString &path);
QString partlyUnpackedText(const QString &reason, const QString &path);
QString damagedWrapperText(const QString &reason, const QString &path);

} // namespace pw
