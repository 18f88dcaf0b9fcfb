// libFuzzer target: any bytes as an .eml file, through the message reader's
// attachment walk, and each attachment saved (which runs the decoders).
#include "fuzzsupport.h"

#include "core/error.h"
#include "platform/mime/mimemessage.h"

#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = pwfuzz::scratchPath("message.eml");
    static const QString saveDir = QString::fromStdString(pwfuzz::scratchPath("saved"));
    static const bool made = QDir().mkpath(saveDir);
    if (!made)
        __builtin_trap();
    pwfuzz::writeFile(path, data, size);

    pw::MimeMessage message;
    try {
        message.load(QString::fromStdString(path));
    } catch (const pw::Error &) {
        return 0;
    }
    if (message.attachmentCount() != message.attachments().size())
        __builtin_trap();

    int index = 0;
    for (const pw::MimeAttachment &attachment : message.attachments()) {
        const QString name = attachment.fileName();
        const QString type = attachment.contentType();
        if (attachment.isUuencoded() && type != QLatin1String("application/octet-stream"))
            __builtin_trap();
        if (type != type.toLower())
            __builtin_trap();
        // Saving streams from the file; a few are enough to reach every decoder.
        if (index < 16) {
            const QString target = saveDir + QStringLiteral("/a%1").arg(index);
            try {
                attachment.saveToFile(target);
            } catch (const pw::Error &) {
                // A failed save must leave nothing behind.
                if (QFile::exists(target))
                    __builtin_trap();
            }
            QFile::remove(target);
        }
        ++index;
        (void)name;
    }
    message.clear();
    if (message.isLoaded() || message.attachmentCount() != 0)
        __builtin_trap();
    return 0;
}
