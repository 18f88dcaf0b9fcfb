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

int unpackTnef(QIODevice &wrapper, const PlaceFile &place) {
    if (!tnef::hasSignature(wrapper))
        return 0;
    tnef::Message message;
    try {
        message = tnef::read(wrapper);
    } catch (const Error &e) {
        throw TnefUnreadable(e.text());
    }
    QList<const tnef::Attachment *> files;
    collect(message, files);
    std::exception_ptr firstFailure;
    for (const tnef::Attachment *file : std::as_const(files)) {
        const QString type = file->message ? QStringLiteral("message/rfc822") : file->mimeType;
        try {
            place(safeAttachmentName(file->name(), type), [&](const tnef::Sink &sink) {
                if (file->message)
                    tnef::writeMessage(wrapper, *file->message, sink);
                else
                    tnef::copySpan(wrapper, file->data, sink);
            });
        } catch (...) {
            if (!firstFailure)
                firstFailure = std::current_exception();
        }
    }
    if (firstFailure)
        std::rethrow_exception(firstFailure);
    return static_cast<int>(files.size());
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

QString partlyUnpackedText(const QString &reason, const QString &path) {
    return QStringLiteral("Not every file inside \"%1\" could be saved, so it was saved as it is too. %2").arg(path, reason);
}

} // namespace pw
