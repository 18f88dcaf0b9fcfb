#pragma once
// Saves an attached message (attach method 5) as an RFC 822 .eml
// file built with GMime: the message's own transport headers when it has
// them, else headers made from its properties; its plain and HTML bodies;
// its own attachments as MIME parts, attached messages recursively.
#include "outlook/outlookmodel.h"
#include "platform/pst/messaging/messaging.h"

#include <QString>

namespace pw::pst {

// Writes through a temporary file beside `path` that is renamed onto it at
// the end; throws pw::Error, leaving nothing at `path`, on failure.
// `progress` is told before and after the write; answering false stops
// with pw::Stopped, leaving nothing at `path`.
void writeAttachedMessage(const messaging::Attachment &attachment, const QString &path,
                          const outlook::Attachment::SaveProgress &progress = {});

} // namespace pw::pst
