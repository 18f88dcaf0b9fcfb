#pragma once
// Saves an attached message (attach method 5) as an RFC 822 .eml
// file built with GMime: the message's own transport headers when it has
// them, else headers made from its properties; its plain and HTML bodies;
// its own attachments as MIME parts, attached messages recursively.
#include "platform/pst/pstfile.h"

#include <QString>

namespace pw::pst {

// Writes through a temporary file beside `path` that is renamed onto it at
// the end; throws pw::Error, leaving nothing at `path`, on failure.
void writeAttachedMessage(PstFile &file, const pst_item_attach &attachment, int storeCodepage, const QString &path);

} // namespace pw::pst
