// libFuzzer target: the engine's HTML and RTF body readers, which turn the
// bodies a store keeps into the text the search looks at. First byte: bit 0
// picks RTF or HTML, the rest picks the store's code page; then the body.
#include "fuzzsupport.h"

#include "platform/pst/bodytext.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    static const int codepages[] = {1252, 65001, 932, 936, 949, 950, 1251, 20127, 28591, 0, -1, 65000};
    const int codepage = codepages[(data[0] >> 1) % (sizeof codepages / sizeof *codepages)];
    const QByteArray body(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    QString text;
    if (data[0] & 1) {
        text = pw::pst::rtfToText(body, codepage);
    } else {
        text = pw::pst::htmlToText(body, codepage);
        // The text overload is what the byte one ends in; run it on its own too.
        (void)pw::pst::htmlToText(QString::fromLatin1(body));
    }
    // Markup is dropped, never multiplied: each input byte yields at most a
    // few characters (an entity or \u escape can stand for a surrogate pair).
    if (text.size() > 2 * body.size() + 16)
        __builtin_trap();
    return 0;
}
