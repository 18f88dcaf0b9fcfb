#include "core/codepage.h"

#include <QStringDecoder>

#include <array>
#include <cerrno>
#include <iconv.h>

namespace pw {

QString decodeCodepage(const QByteArray &bytes, int codepage) {
    if (bytes.isEmpty())
        return {};
    if (codepage == 65001 || codepage == 20127) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        return utf8(bytes);
    }
    QByteArray name;
    if (codepage >= 28591 && codepage <= 28605)
        name = "ISO-8859-" + QByteArray::number(codepage - 28590);
    else if (codepage == 20866)
        name = "KOI8-R";
    else if (codepage == 21866)
        name = "KOI8-U";
    else if (codepage == 50220 || codepage == 50221 || codepage == 50222)
        name = "ISO-2022-JP";
    else if (codepage == 51932)
        name = "EUC-JP";
    else if (codepage == 51949)
        name = "EUC-KR";
    else if (codepage == 936)
        name = "GBK";
    else if (codepage > 0)
        name = "CP" + QByteArray::number(codepage);
    iconv_t cd = name.isEmpty() ? reinterpret_cast<iconv_t>(-1) : iconv_open("UTF-8", name.constData());
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = iconv_open("UTF-8", "CP1252");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLatin1(bytes);
    QByteArray out;
    out.reserve(bytes.size() * 2);
    char *in = const_cast<char *>(bytes.constData());
    std::size_t inLeft = static_cast<std::size_t>(bytes.size());
    std::array<char, 4096> buffer{};
    while (inLeft > 0) {
        char *outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), static_cast<qsizetype>(outPtr - buffer.data()));
        if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A byte the code page leaves undefined: show it as U+FFFD and go on.
            out.append("\xEF\xBF\xBD");
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return QString::fromUtf8(out);
}

} // namespace pw
