#include "download/shortfilename.h"

#include "core/fileroutines.h"

namespace modShortFilename {

QString ShortFileName(const QString &strLongName) {
    return pw::FileExists(strLongName) ? strLongName : QString();
}

} // namespace modShortFilename
