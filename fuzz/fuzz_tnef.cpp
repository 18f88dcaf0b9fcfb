// libFuzzer target: the winmail.dat reader. Any bytes as a TNEF stream:
// read it as far as it can be read, then write out every file inside it the
// way saving does, bodies and attached messages included.
#include "fuzzsupport.h"

#include "core/error.h"
#include "platform/tnef/tnefreader.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

namespace {

// Everything the reader hands out lies inside the input, and copying a
// stretch yields exactly its size.
void writeAll(QBuffer &input, const pw::tnef::Message &message) {
    for (const pw::tnef::Attachment &a : message.attachments) {
        (void)a.name();
        if (a.message) {
            qint64 written = 0;
            pw::tnef::writeMessage(input, *a.message, [&](const char *, qint64 size) { written += size; });
            writeAll(input, *a.message);
        } else if (a.data.isValid()) {
            if (a.data.offset + a.data.size > input.size() || a.data.size < 0)
                __builtin_trap();
            qint64 copied = 0;
            pw::tnef::copySpan(input, a.data, [&](const char *, qint64 size) { copied += size; });
            if (copied != a.data.size)
                __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer input(&bytes);
    input.open(QIODevice::ReadOnly);
    try {
        if (!pw::tnef::hasSignature(input))
            return 0;
        const pw::tnef::Message message = pw::tnef::read(input);
        // Reading that stopped early always says why.
        if (message.cutShort && message.problems.isEmpty())
            __builtin_trap();
        if (message.attachments.size() > pw::tnef::kMaxAttachments)
            __builtin_trap();
        writeAll(input, message);
    } catch (const pw::Error &) {
        // A clear report is the expected answer to damaged input.
    }
    return 0;
}
