#pragma once
#include <QByteArrayView>
#include <QString>

namespace pw {

// Text of bytes read from a mail file: UTF-8 where the bytes are valid
// UTF-8, and every other byte as its Windows-1252 character (bytes that
// code page leaves undefined keep their own value), so no byte is lost.
QString decodeMailText(QByteArrayView bytes);

} // namespace pw
