#include "platform/mime/uudecode.h"

namespace pw::uu {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

QByteArrayView trimmed(QByteArrayView v) {
    while (!v.isEmpty() && isBlank(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && isBlank(v.back()))
        v.chop(1);
    return v;
}

// Strict decoding of one line, as the classic binascii routine does: the
// characters after the announced length may only be padding.
std::optional<QByteArray> decodeStrict(QByteArrayView line) {
    if (line.isEmpty())
        return QByteArray();
    const auto *p = reinterpret_cast<const unsigned char *>(line.data());
    qsizetype left = line.size() - 1;
    ++p;
    qsizetype wanted = (line.front() - ' ') & 077;
    QByteArray out;
    out.reserve(wanted);
    unsigned int bits = 0;
    int bitCount = 0;
    for (; wanted > 0; --left, ++p) {
        unsigned int value;
        if (left <= 0 || *p == '\n' || *p == '\r') {
            value = 0; // a short line is padded with zero bits
        } else {
            if (*p < ' ' || *p > ' ' + 64)
                return std::nullopt;
            value = (*p - ' ') & 077;
        }
        bits = (bits << 6) | value;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out.append(char((bits >> bitCount) & 0xFF));
            bits &= (1u << bitCount) - 1;
            --wanted;
        }
    }
    for (; left > 0; --left, ++p) {
        if (*p != ' ' && *p != ' ' + 64 && *p != '\n' && *p != '\r')
            return std::nullopt;
    }
    return out;
}

} // namespace

std::optional<BeginLine> parseBeginLine(QByteArrayView line) {
    if (!line.startsWith("begin"))
        return std::nullopt;
    QByteArrayView rest = line.sliced(5);
    if (rest.isEmpty() || !(rest.front() == ' ' || rest.front() == '\t'))
        return std::nullopt;
    rest = trimmed(rest);
    qsizetype digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '7')
        ++digits;
    if (digits == 0 || digits == rest.size() || !(rest[digits] == ' ' || rest[digits] == '\t'))
        return std::nullopt;
    const QByteArrayView name = trimmed(rest.sliced(digits));
    if (name.isEmpty())
        return std::nullopt;
    return BeginLine{rest.first(digits).toByteArray(), name.toByteArray()};
}

bool isEndLine(QByteArrayView line) {
    return trimmed(line) == "end";
}

std::optional<QByteArray> decodeLine(QByteArrayView line) {
    if (auto strict = decodeStrict(line))
        return strict;
    // Encoders that pad lines oddly leave stray characters past the
    // announced length; decoding only what was announced recovers them.
    const qsizetype announced = (((line.front() - ' ') & 077) * 4 + 5) / 3;
    if (announced < line.size())
        return decodeStrict(line.first(announced));
    return std::nullopt;
}

} // namespace pw::uu
