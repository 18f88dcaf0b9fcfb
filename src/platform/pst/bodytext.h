#pragma once
// Plain text of the other two body forms a message may carry instead of a
// plain one, for the Body member: HTML (tags dropped, entities decoded)
// and RTF (control words dropped).
#include <QByteArray>
#include <QString>

namespace pw::pst {

// `codepage` decodes bytes that are not UTF-8 and carry no charset.
QString htmlToText(const QByteArray &html, int codepage);
QString htmlToText(const QString &html);

// Decompressed RTF. `codepage` applies until the document names its own.
QString rtfToText(const QByteArray &rtf, int codepage);

// HTML bytes as text: UTF-8 when valid, else the charset the document
// declares, else `codepage`.
QString decodeHtml(const QByteArray &html, int codepage);

} // namespace pw::pst
