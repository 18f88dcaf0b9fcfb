#pragma once
// What a dry run shows: the paths a real run would write, the files inside
// a winmail.dat wrapper included, without writing anything into the target.
#include "cli/mailsources.h"
#include "download/attachmentsaver.h"

#include <QStringList>

namespace pw::cli {

// The paths, in the saver's terms, that saving `attachment` would write;
// later plans see them as taken. With `unpackWrappers`, a wrapper is read (in a
// private temporary folder, removed at once) to name the files inside it.
QStringList planNames(AttachmentSaver &saver, const Attachment &attachment, bool unpackWrappers);

} // namespace pw::cli
