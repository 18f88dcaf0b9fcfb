#include "platform/mime/mailtext.h"

namespace pw {

namespace {

// Windows-1252 for 0x80..0x9F; 0 marks the five undefined bytes.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t cp1252(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0 && kCp1252High[byte - 0x80] != 0)
        return kCp1252High[byte - 0x80];
    return byte;
}

// Length of the valid UTF-8 sequence at p (lead byte >= 0x80), or 0.
int utf8Sequence(const unsigned char *p, qsizetype left, char32_t *codePoint) {
    const unsigned char b0 = p[0];
    int length;
    char32_t cp;
    char32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2; cp = b0 & 0x1F; minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3; cp = b0 & 0x0F; minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4; cp = b0 & 0x07; minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *codePoint = cp;
    return length;
}

} // namespace

QString decodeMailText(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        qsizetype ascii = i;
        while (ascii < size && p[ascii] < 0x80)
            ++ascii;
        if (ascii > i) {
            text.append(QLatin1StringView(reinterpret_cast<const char *>(p + i), ascii - i));
            i = ascii;
            continue;
        }
        char32_t cp = 0;
        const int length = utf8Sequence(p + i, size - i, &cp);
        if (length > 0) {
            if (cp >= 0x10000) {
                text.append(QChar(QChar::highSurrogate(cp)));
                text.append(QChar(QChar::lowSurrogate(cp)));
            } else {
                text.append(QChar(char16_t(cp)));
            }
            i += length;
        } else {
            text.append(QChar(cp1252(p[i])));
            ++i;
        }
    }
    return text;
}

} // namespace pw
