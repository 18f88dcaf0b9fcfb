// libFuzzer target: the .eml list's two text routines on any bytes.
// ReadFileText reads the input as a file; GetHeaderValue looks for a header
// whose name comes from the input's first bytes, and for the ones the list
// itself asks for; ReadHeaderValues must agree with them.
#include "fuzzsupport.h"

#include "core/error.h"
#include "express/emllist.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Layout: one byte n, then n bytes of header name, then the message.
    std::size_t nameLength = size ? data[0] % 24 : 0;
    if (nameLength + 1 > size)
        nameLength = size ? size - 1 : 0;
    const QString name = QString::fromUtf8(reinterpret_cast<const char *>(data) + (size ? 1 : 0),
                                           qsizetype(nameLength));
    const std::size_t offset = size ? 1 + nameLength : 0;
    const std::uint8_t *message = data + offset;
    const std::size_t messageSize = size - offset;

    static const std::string path = pwfuzz::scratchPath("message.eml");
    pwfuzz::writeFile(path, message, messageSize);

    QString text;
    try {
        text = pw::Express1::ReadFileText(QString::fromStdString(path));
    } catch (const pw::Error &) {
        __builtin_trap();  // the file is there and readable
    }
    if (messageSize == 0 && text != QLatin1String("empty file"))
        __builtin_trap();
    // Every byte becomes at most one character.
    if (messageSize > 0 && text.size() > qsizetype(messageSize))
        __builtin_trap();

    // The listing's chunked reader finds what the whole text holds (an
    // overlong value cut at its cap).
    const QStringList listed{QStringLiteral("Date"), QStringLiteral("From"), QStringLiteral("To"),
                             QStringLiteral("Subject")};
    const QStringList streamed = pw::Express1::ReadHeaderValues(QString::fromStdString(path), listed);
    for (qsizetype i = 0; i < listed.size(); ++i) {
        const QString whole = pw::Express1::GetHeaderValue(text, listed.at(i));
        if (streamed.at(i) != whole &&
            !(whole.startsWith(streamed.at(i)) &&
              streamed.at(i).toUtf8().size() >= pw::Express1::kMaxHeaderValueBytes - 3))
            __builtin_trap();
    }

    for (const QString &header : {name, QStringLiteral("Date"), QStringLiteral("From"),
                                  QStringLiteral("To"), QStringLiteral("Subject")}) {
        const QString value = pw::Express1::GetHeaderValue(text, header);
        // The value is a piece of one line of the text.
        if (value.size() > text.size() || value.contains(QLatin1String("\r\n")))
            __builtin_trap();
        if (!value.isEmpty() && !text.contains(value))
            __builtin_trap();
    }
    return 0;
}
