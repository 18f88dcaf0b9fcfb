#include "platform/mime/mboxreader.h"

#include "core/error.h"

#include <QFile>

#include <gmime/gmime.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pw {

// In mimemessage.cpp: GMime set up once, as the message reader wants it.
void initialiseMimeReader();

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error ? error : EIO));
}

} // namespace

struct MboxReader::Private {
    QString path;
    int fd = -1;
    GMimeStream *stream = nullptr;
    GMimeParser *parser = nullptr;

    ~Private() {
        if (parser)
            g_object_unref(parser);
        if (stream)
            g_object_unref(stream); // closes fd
        else if (fd >= 0)
            ::close(fd);
    }
};

MboxReader::MboxReader(const QString &path) : d(std::make_unique<Private>()) {
    initialiseMimeReader();
    d->path = path;
    const QByteArray native = QFile::encodeName(path);
    d->fd = native.isEmpty() ? -1 : ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (d->fd < 0)
        throw Error(QStringLiteral("cannot open the mbox file: %1").arg(systemText(errno)));
    d->stream = g_mime_stream_fs_new(d->fd);
    // Parts refer to the file instead of being copied: only the bounds of
    // each message are wanted here.
    d->parser = g_mime_parser_new_with_stream(d->stream);
    g_mime_parser_set_format(d->parser, GMIME_FORMAT_MBOX);
    g_mime_parser_set_persist_stream(d->parser, TRUE);
}

MboxReader::~MboxReader() = default;

bool MboxReader::next(Entry &entry) {
    while (!g_mime_parser_eos(d->parser)) {
        GMimeMessage *message = g_mime_parser_construct_message(d->parser, nullptr);
        if (!message)
            return false; // no further "From " line
        g_object_unref(message);
        entry.markerOffset = g_mime_parser_get_mbox_marker_offset(d->parser);
        entry.begin = g_mime_parser_get_headers_begin(d->parser);
        entry.end = g_mime_parser_tell(d->parser);
        if (entry.begin < 0 || entry.end < entry.begin)
            continue;
        return true;
    }
    return false;
}

void MboxReader::copy(qint64 begin, qint64 end, const std::function<void(const char *, qint64)> &sink) const {
    constexpr qint64 kChunk = 256 * 1024;
    QByteArray buffer(static_cast<qsizetype>(std::min(kChunk, std::max<qint64>(end - begin, 1))), Qt::Uninitialized);
    qint64 at = begin;
    while (at < end) {
        const ssize_t n = ::pread(d->fd, buffer.data(), static_cast<size_t>(std::min<qint64>(buffer.size(), end - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Error(QStringLiteral("cannot read the mbox file: %1").arg(systemText(errno)));
        if (n == 0)
            throw Error(QStringLiteral("the mbox file ended early (it changed while being read)"));
        sink(buffer.constData(), n);
        at += n;
    }
}

bool MboxReader::looksLikeMbox(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(5) == "From ";
}

} // namespace pw
