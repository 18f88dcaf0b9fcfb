#pragma once
// The uuencoding of Outlook Express era messages: attachments written into
// the body text as "begin 644 name" ... "end" blocks.
#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace pw::uu {

struct BeginLine {
    QByteArray mode; // octal digits as written
    QByteArray name; // raw bytes of the name
};

// A block's first line: "begin", an octal mode and a name, separated by
// blanks. Anything else gives nothing.
std::optional<BeginLine> parseBeginLine(QByteArrayView line);

// A block's last line: "end", blanks around it allowed.
bool isEndLine(QByteArrayView line);

// Decodes one body line. The first character gives the byte count; a line
// with stray characters after its announced length is decoded again cut to
// that length. Gives nothing when the line cannot be decoded either way.
std::optional<QByteArray> decodeLine(QByteArrayView line);

} // namespace pw::uu
