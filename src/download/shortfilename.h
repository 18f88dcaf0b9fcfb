#pragma once
#include <QString>

namespace modShortFilename {

// There are no short (8.3) names on Linux: the short form of an existing
// path is the path itself, of a missing one empty text.
QString ShortFileName(const QString &strLongName);

} // namespace modShortFilename
