#pragma once
// The message properties the object model shows, with the fallbacks that
// Outlook applies, shared by items and by the .eml of attached messages.
#include "platform/pst/messaging/messaging.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace pw::pst {

using messaging::Message;

// Largest body the engine reads; anything larger is taken for damage.
inline constexpr std::size_t kMaxPropertySize = ltp::kMaxValueSize;

// Microsoft's FILETIME (100 ns since 1601, UTC) as milliseconds since 1970.
std::int64_t filetimeToMsecs(std::uint64_t filetime);

// 0x0037 without the leading marker (U+0001 and a length character) that
// some files store before the subject.
QString stripSubjectMarker(const QString &subject);

QString messageClassOf(const Message &message);
QString subjectOf(const Message &message);
QString senderNameOf(const Message &message);
QString senderAddressOf(const Message &message);
QString senderTypeOf(const Message &message);
// 0x0E06, else 0x0039, else 0x3007, as local time to the second; Outlook's
// "no date" (4501-01-01 00:00) when all are absent.
QDateTime receivedTimeOf(const Message &message);
// 0x0039, else 0x0E06, as FILETIME: the date an .eml carries.
std::optional<std::uint64_t> sentTimeOf(const Message &message);
// The bodies: plain as text; HTML and (decompressed) RTF as bytes.
std::optional<QString> plainBodyOf(const Message &message);
std::optional<QByteArray> htmlBodyOf(const Message &message);
std::optional<QByteArray> rtfBodyOf(const Message &message);
// 0x1000, else the text of the HTML body, else of the RTF body.
QString bodyOf(const Message &message);

// Decompresses compressed RTF (0x1009); nullopt when it is damaged.
std::optional<QByteArray> decompressRtf(const QByteArray &compressed);

// Outlook's "no date".
QDateTime noDate();

} // namespace pw::pst
