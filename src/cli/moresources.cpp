#include "cli/moresources.h"

#include "cli/nativepath.h"

#include "core/error.h"
#include "core/safefilewriter.h"
#include "platform/mime/mboxreader.h"
#include "platform/tnef/tnefreader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

namespace pw::cli {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error ? error : EIO));
}

// A message's bytes held in memory under a path the message reader can
// open; gone when the holder goes.
class MemoryCopy {
public:
    MemoryCopy() {
        m_fd = ::memfd_create("message", MFD_CLOEXEC);
        if (m_fd < 0)
            throw Error(QStringLiteral("cannot hold the message in memory: %1").arg(systemError(errno)));
    }
    ~MemoryCopy() { ::close(m_fd); }
    MemoryCopy(const MemoryCopy &) = delete;
    MemoryCopy &operator=(const MemoryCopy &) = delete;

    void append(const char *data, qint64 size) {
        while (size > 0) {
            const ssize_t n = ::write(m_fd, data, static_cast<size_t>(size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Error(QStringLiteral("cannot hold the message in memory: %1").arg(systemError(errno)));
            data += n;
            size -= n;
        }
    }
    QByteArray path() const { return descriptorPath(m_fd); }

private:
    int m_fd = -1;
};

// The folder an mbox file stands for: its name without ".mbox"; for an
// Apple Mail export ("Inbox.mbox/mbox") the name of the folder holding it.
QString mboxFolderName(const QString &path) {
    const QFileInfo info(path);
    QString name = info.fileName();
    if (name == QLatin1String("mbox") && !info.dir().dirName().isEmpty() && info.dir().dirName() != QLatin1String("."))
        name = info.dir().dirName();
    for (const QLatin1String suffix : {QLatin1String(".mbox"), QLatin1String(".mbx")}) {
        if (name.endsWith(suffix, Qt::CaseInsensitive) && name.size() > suffix.size())
            name.chop(suffix.size());
    }
    return name;
}

// A source file open for reading under a name every reader can open
// ("/proc/self/fd/N"), whatever bytes its own name is made of.
class OpenSource {
public:
    explicit OpenSource(const QByteArray &path) : m_fd(::open(path.constData(), O_RDONLY | O_CLOEXEC)) {
        if (m_fd < 0)
            throw Error(systemError(errno));
    }
    ~OpenSource() { ::close(m_fd); }
    OpenSource(const OpenSource &) = delete;
    OpenSource &operator=(const OpenSource &) = delete;
    QString readerPath() const { return QString::fromLatin1(descriptorPath(m_fd)); }

private:
    int m_fd = -1;
};

} // namespace

std::optional<SourceKind> namedKindOf(const QByteArray &bytes) {
    const QFileInfo info(QString::fromUtf8(bytes));
    const QString name = info.fileName().toLower();
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("mbox") || suffix == QLatin1String("mbx") || name == QLatin1String("mbox"))
        return SourceKind::Mbox;
    if (name == QLatin1String("winmail.dat") || suffix == QLatin1String("tnef"))
        return SourceKind::Tnef;
    return std::nullopt;
}

std::optional<SourceKind> contentKindOf(const QByteArray &bytes) {
    struct stat st {};
    if (::stat(bytes.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::optional<OpenSource> source;
    try {
        source.emplace(bytes);
    } catch (const Error &) {
        return std::nullopt;
    }
    QFile file(source->readerPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(5);
    if (head == "From ")
        return SourceKind::Mbox;
    file.seek(0);
    if (tnef::hasSignature(file))
        return SourceKind::Tnef;
    return std::nullopt;
}

void readMbox(const QByteArray &bytes, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    const OpenSource source(bytes);
    const QString path = QString::fromUtf8(bytes);
    MboxReader reader(source.readerPath());
    const QString folder = mboxFolderName(path);
    const QString idPrefix = QFileInfo(path).fileName() + QLatin1Char(':');
    MboxReader::Entry entry;
    while (reader.next(entry)) {
        if (callbacks.stop && callbacks.stop())
            throw WriteAbandoned();
        const QString id = idPrefix + QString::number(entry.markerOffset);
        try {
            MemoryCopy copy;
            reader.copy(entry.begin, entry.end, [&](const char *data, qint64 size) { copy.append(data, size); });
            Message message;
            message.source = bytes;
            message.folderPath = QStringList{folder};
            message.folder = folder;
            message.id = id;
            passMimeMessage(copy.path(), std::move(message), filter, callbacks);
        } catch (const Error &e) {
            callbacks.onFailure(QStringLiteral("message %1").arg(id), e.text());
        }
    }
}

void readTnef(const QByteArray &bytes, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    // The wrapper stays open while its message may be saved.
    const auto source = std::make_shared<OpenSource>(bytes);
    const QString path = source->readerPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(file.errorString());
    Message message;
    message.source = bytes;
    message.id = QFileInfo(QString::fromUtf8(bytes)).fileName();
    QString body;
    try {
        const tnef::Message wrapped = tnef::read(file);
        message.subject = wrapped.subject;
        message.sender = wrapped.senderName;
        message.date = wrapped.sent;
        for (const tnef::Attachment &a : wrapped.attachments)
            message.attachmentCount += a.isSaveable() ? 1 : 0;
        if (wrapped.htmlBody.isValid() && wrapped.htmlBody.size < 16 * 1024 * 1024) {
            QByteArray html;
            tnef::copySpan(file, wrapped.htmlBody, [&](const char *data, qint64 size) { html.append(data, size); });
            body = QString::fromUtf8(html);
        }
    } catch (const Error &) {
        // Saving reports what is wrong with it, and keeps it as it is.
        message.attachmentCount = 1;
    }
    file.close();
    if (filter.withAttachmentsOnly && message.attachmentCount == 0)
        return;
    // A bare wrapper lies in no folder and has no body to search.
    if (filter.folderMode || filter.searchMode)
        return;
    const std::function<bool()> abandon = callbacks.abandonWrite;
    message.attachments = [source, path, name = message.id, abandon] {
        const auto writeTo = [source, path, abandon](const QString &target) {
            QFile in(path);
            if (!in.open(QIODevice::ReadOnly))
                throw Error(in.errorString());
            SafeFileWriter out(target, QStringLiteral("the attachment"));
            QByteArray buffer(256 * 1024, Qt::Uninitialized);
            for (;;) {
                if (abandon && abandon())
                    throw WriteAbandoned();
                const qint64 n = in.read(buffer.data(), buffer.size());
                if (n < 0)
                    throw Error(in.errorString());
                if (n == 0)
                    break;
                out.write(buffer.constData(), n);
            }
            out.commit();
        };
        return QList<Attachment>{{name, QStringLiteral("application/ms-tnef"), QString(), QString(), writeTo}};
    };
    message.htmlBody = [body] { return body; };
    callbacks.onMessage(message);
}

void readStandardInput(const selection::Filter &filter, const ReadCallbacks &callbacks) {
    MemoryCopy copy;
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), static_cast<size_t>(buffer.size()));
        if (n < 0 && errno == EINTR) {
            if (callbacks.stop && callbacks.stop())
                throw WriteAbandoned();
            continue;
        }
        if (n < 0)
            throw Error(QStringLiteral("cannot read standard input: %1").arg(systemError(errno)));
        if (n == 0)
            break;
        copy.append(buffer.constData(), n);
    }
    Message message;
    message.source = "-";
    message.id = QStringLiteral("-");
    passMimeMessage(copy.path(), std::move(message), filter, callbacks);
}

} // namespace pw::cli
