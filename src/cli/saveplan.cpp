#include "cli/saveplan.h"

#include "download/tnefsaving.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace pw::cli {

QStringList planNames(AttachmentSaver &saver, const Attachment &attachment, bool unpackWrappers) {
    if (!unpackWrappers || !mayBeTnef(attachment.name, attachment.mimeType))
        return {saver.plan(attachment.name, attachment.mimeType)};
    // The content decides what a wrapper holds; it is read where nobody
    // sees it, and gone when the plan is made.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/.parcelwise-plan-XXXXXX"));
    if (!scratch.isValid())
        throw Error(QStringLiteral("Cannot look inside \"%1\": no temporary folder (%2)")
                        .arg(attachment.name, scratch.errorString()));
    const QString copy = scratch.filePath(QStringLiteral("wrapper"));
    attachment.writeTo(copy);
    QFile wrapper(copy);
    if (!wrapper.open(QIODevice::ReadOnly))
        return {saver.plan(attachment.name, attachment.mimeType)};
    QStringList names;
    try {
        unpackTnef(wrapper, [&](const QString &safeName, const WriteContent &) { names.append(saver.plan(safeName, {})); });
    } catch (const TnefUnreadable &) {
        // The real run keeps such a wrapper as it is.
        return {saver.plan(attachment.name, attachment.mimeType)};
    }
    if (names.isEmpty())
        return {saver.plan(attachment.name, attachment.mimeType)};
    return names;
}

} // namespace pw::cli
