#include "download/tnefsaving.h"

#include "download/filenaming.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pw {

namespace {

QString systemError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

void collect(const tnef::Message &message, QList<const tnef::Attachment *> &files) {
    for (const tnef::Attachment &a : message.attachments) {
        if (a.isSaveable())
            files.append(&a);
    }
}

} // namespace

bool mayBeTnef(const QString &fileName, const QString &mimeType) {
    return mimeType.trimmed().compare(QLatin1String("application/ms-tnef"), Qt::CaseInsensitive) == 0 ||
           fileName.trimmed().compare(QLatin1String("winmail.dat"), Qt::CaseInsensitive) == 0;
}

TnefUnpacked unpackTnef(QIODevice &wrapper, const PlaceFile &place, const std::function<bool()> &stop) {
    TnefUnpacked result;
    if (!tnef::hasSignature(wrapper))
        return result;
    tnef::Message message;
    try {
        message = tnef::read(wrapper);
    } catch (const Error &e) {
        throw TnefUnreadable(e.text());
    }
    if (!message.problems.isEmpty()) {
        result.damage = message.problems.first();
        if (message.problems.size() > 1)
            result.damage += QStringLiteral(" (%1 more faults)").arg(message.problems.size() - 1);
    }
    QList<const tnef::Attachment *> files;
    collect(message, files);
    result.found = static_cast<int>(files.size());
    if (files.isEmpty() && !result.damage.isEmpty())
        throw TnefUnreadable(result.damage);
    for (const tnef::Attachment *file : std::as_const(files)) {
        if (stop && stop()) {
            result.stopped = true;
            break;
        }
        const QString type = file->message ? QStringLiteral("message/rfc822") : file->mimeType;
        try {
            place(safeAttachmentName(file->name(), type), [&](const tnef::Sink &sink) {
                if (file->message)
                    tnef::writeMessage(wrapper, *file->message, sink);
                else
                    tnef::copySpan(wrapper, file->data, sink);
            });
            ++result.written;
        } catch (const Stopped &) {
            result.stopped = true;
            break;
        } catch (const std::exception &e) {
            if (result.writeFailure.isEmpty())
                result.writeFailure = QString::fromUtf8(e.what());
        }
    }
    return result;
}

std::unique_ptr<QIODevice> unnamedFileIn(const QString &folder) {
    const QByteArray native = QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder);
    int fd = ::open(native.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // File systems without unnamed files: a hidden name, dropped at once.
        QByteArray pattern = native + "/.parcelwise-XXXXXX";
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(pattern.constData());
    }
    if (fd < 0)
        throw Error(QStringLiteral("Cannot write into the folder \"%1\": %2").arg(folder, systemError(errno)));
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw Error(QStringLiteral("Cannot write into the folder \"%1\": %2").arg(folder, file->errorString()));
    }
    return file;
}

QString savedWrapperText(const QString &reason, const QString &path) {
    return QStringLiteral("The files inside \"%1\" could not be unpacked, so it was saved as it is. %2").arg(path, reason);
}

QString damagedWrapperText(const QString &reason, const QString &path) {
    return QStringLiteral("\"%1\" is damaged: the files that could be read from it were saved, and it was saved as it is "
                          "beside them. %2")
        .arg(path, reason);
}

QString partlyUnpackedText(const QString &reason, const QString &path) {
    return QStringLiteral("Not every file inside \"%1\" could be saved, so it was saved as it is too. %2").arg(path, reason);
}

} // namespace pw
