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

// Writes every file inside the wrapper through `place`, under its safe name;
// an attached message becomes an .eml file. Answers how many files there
// were: 0 when `wrapper` holds no TNEF data or no file, so the caller saves
// the wrapper itself. Throws TnefUnreadable for a damaged wrapper, before
// writing anything; a file that cannot be written does not stop the others,
// and the first such failure is thrown at the end.
int unpackTnef(QIODevice &wrapper, const PlaceFile &place);

// A new file in `folder` that has no name and vanishes when closed, for
// a wrapper to be read back from.
std::unique_ptr<QIODevice> unnamedFileIn(const QString &folder);

// The report for a wrapper that was saved as it is because it could not be
// read, or because a file inside it could not be written.
QString savedWrapperText(const QString &reason, const QString &path);
QString partlyUnpackedText(const QString &reason, const QString &path);

} // namespace pw
