#pragma once
// The message properties the object model shows, with the fallbacks that
// Outlook applies, shared by items and by the .eml of attached messages.
#include "platform/pst/pstfile.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace pw::pst {

// 0x0037 without the leading marker (U+0001 and a length character) that
// some files store before the subject.
QString stripSubjectMarker(const QString &subject);

// The code page of the message's 8-bit text: its own, else the store's.
int codepageOf(const pst_item &message, int storeCodepage);

QString messageClassOf(const pst_item &message);
QString subjectOf(const pst_item &message, int storeCodepage);
QString senderNameOf(const pst_item &message, int storeCodepage);
QString senderAddressOf(const pst_item &message, int storeCodepage);
QString senderTypeOf(const pst_item &message, int storeCodepage);
// 0x0E06, else 0x0039, else 0x3007, as local time to the second; Outlook's
// "no date" (4501-01-01 00:00) when all are absent.
QDateTime receivedTimeOf(const pst_item &message);
// 0x0039, else 0x0E06, as FILETIME: the date an .eml carries.
std::optional<std::uint64_t> sentTimeOf(const pst_item &message);
// The bodies: plain as text; HTML and (decompressed) RTF as bytes.
std::optional<QString> plainBodyOf(const pst_item &message, int storeCodepage);
std::optional<QByteArray> htmlBodyOf(const pst_item &message);
std::optional<QByteArray> rtfBodyOf(const pst_item &message);
// 0x1000, else the text of the HTML body, else of the RTF body.
QString bodyOf(const pst_item &message, int storeCodepage);

// Outlook's "no date".
QDateTime noDate();

} // namespace pw::pst
