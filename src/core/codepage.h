#pragma once
// 8-bit text of mail files in a Windows code page, as Unicode.
#include <QByteArray>
#include <QString>

namespace pw {

// Unknown pages read as Windows-1252; a byte the page leaves undefined
// shows as U+FFFD.
QString decodeCodepage(const QByteArray &bytes, int codepage);

} // namespace pw
