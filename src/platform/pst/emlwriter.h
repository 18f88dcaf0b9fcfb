#pragma once
// Saves an attached message (a libpff item attachment) as an RFC 822 .eml
// file built with GMime: the message's own transport headers when it has
// them, else headers made from its properties; its plain and HTML bodies;
// its own attachments as MIME parts, attached messages recursively.
#include "platform/pst/pffitem.h"

#include <QString>

namespace pw::pst {

// Writes through a temporary file beside `path` that is renamed onto it at
// the end; throws pw::Error, leaving nothing at `path`, on failure.
void writeAttachedMessage(const PffItem &attachment, int fileCodepage, const QString &path);

} // namespace pw::pst
