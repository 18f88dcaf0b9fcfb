#pragma once
// The message properties the object model shows, with the fallbacks that
// Outlook applies, shared by items and by the .eml of attached messages.
#include "platform/pst/pffitem.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace pw::pst {

namespace tag {
inline constexpr std::uint32_t kMessageClass = 0x001A;
inline constexpr std::uint32_t kSubject = 0x0037;
inline constexpr std::uint32_t kSentRepresentingName = 0x0042;
inline constexpr std::uint32_t kSentRepresentingAddressType = 0x0064;
inline constexpr std::uint32_t kSentRepresentingAddress = 0x0065;
inline constexpr std::uint32_t kTransportHeaders = 0x007D;
inline constexpr std::uint32_t kRecipientType = 0x0C15;
inline constexpr std::uint32_t kSenderName = 0x0C1A;
inline constexpr std::uint32_t kSenderAddressType = 0x0C1E;
inline constexpr std::uint32_t kSenderAddress = 0x0C1F;
inline constexpr std::uint32_t kDisplayName = 0x3001;
inline constexpr std::uint32_t kEmailAddress = 0x3003;
inline constexpr std::uint32_t kAttachFileName = 0x3704;
inline constexpr std::uint32_t kAttachMethod = 0x3705;
inline constexpr std::uint32_t kAttachLongFileName = 0x3707;
inline constexpr std::uint32_t kAttachMimeTag = 0x370E;
inline constexpr std::uint32_t kSmtpAddress = 0x39FE;
inline constexpr std::uint32_t kMessageCodepage = 0x3FFD;
inline constexpr std::uint32_t kSenderSmtpAddress = 0x5D01;
} // namespace tag

// 0x0037 without the leading marker (U+0001 and a length character) that
// some files store before the subject.
QString stripSubjectMarker(const QString &subject);

QString messageClassOf(const PffItem &message);
QString subjectOf(const PffItem &message);
QString senderNameOf(const PffItem &message);
QString senderAddressOf(const PffItem &message);
QString senderTypeOf(const PffItem &message);
// 0x0E06, else 0x0039, else 0x3007, as local time to the second; Outlook's
// "no date" (4501-01-01 00:00) when all are absent.
QDateTime receivedTimeOf(const PffItem &message);
// The code page of the message's 8-bit text: its own, else the file's.
int codepageOf(const PffItem &message, int fileCodepage);
// 0x1000, else the text of the HTML body, else of the RTF body.
QString bodyOf(const PffItem &message, int fileCodepage);

// Outlook's "no date".
QDateTime noDate();

} // namespace pw::pst
