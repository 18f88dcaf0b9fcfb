#include "platform/pst/emlwriter.h"

#include "core/error.h"
#include "platform/pst/atomicfile.h"
#include "platform/pst/bodytext.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pstattachment.h"
#include "platform/pst/pstitem.h"

#include <QDir>
#include <QStringList>

#include <gmime/gmime.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace pw::pst {

namespace {

constexpr int kMaxDepth = 16;

// Owns one GObject reference.
template <class T>
class GRef {
public:
    explicit GRef(T *object = nullptr) : m_object(object) {}
    ~GRef() {
        if (m_object)
            g_object_unref(m_object);
    }
    GRef(const GRef &) = delete;
    GRef &operator=(const GRef &) = delete;
    T *get() const { return m_object; }
    T *release() { return std::exchange(m_object, nullptr); }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T *m_object;
};

void initGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// An attachment's data as a GMime stream, read from the mail file while the
// message is written: no spool file and no descriptor per attachment. A
// read that meets damage fails the stream and keeps the reason.
struct PwDataStream {
    GMimeStream parent;
    Attachment::DataSource *source;
    std::string *error;
};

struct PwDataStreamClass {
    GMimeStreamClass parent_class;
};

GType pw_data_stream_get_type();
G_DEFINE_TYPE(PwDataStream, pw_data_stream, GMIME_TYPE_STREAM)

PwDataStream *asData(GMimeStream *stream) {
    return reinterpret_cast<PwDataStream *>(stream);
}

ssize_t dataRead(GMimeStream *stream, char *buffer, size_t size) {
    PwDataStream *data = asData(stream);
    if (!data->error->empty())
        return -1;
    try {
        const std::size_t n = data->source->reader.read(reinterpret_cast<std::uint8_t *>(buffer), size);
        stream->position += static_cast<gint64>(n);
        return static_cast<ssize_t>(n);
    } catch (const std::exception &failure) {
        *data->error = failure.what();
        return -1;
    }
}

ssize_t dataWrite(GMimeStream *, const char *, size_t) {
    return -1;
}

int dataNothing(GMimeStream *) {
    return 0;
}

gboolean dataEos(GMimeStream *stream) {
    return asData(stream)->source->reader.atEnd();
}

int dataReset(GMimeStream *stream) {
    asData(stream)->source->reader.rewind();
    return 0;
}

gint64 dataSeek(GMimeStream *stream, gint64 offset, GMimeSeekWhence whence) {
    // Only back to the start or staying in place: the writer reads straight through.
    if ((whence == GMIME_STREAM_SEEK_SET && offset == 0) || (whence == GMIME_STREAM_SEEK_CUR && offset == 0 && stream->position == 0)) {
        dataReset(stream);
        stream->position = 0;
        return 0;
    }
    if (whence == GMIME_STREAM_SEEK_SET && offset == stream->position)
        return offset;
    return -1;
}

gint64 dataTell(GMimeStream *stream) {
    return stream->position;
}

gint64 dataLength(GMimeStream *stream) {
    return static_cast<gint64>(asData(stream)->source->reader.size());
}

GMimeStream *dataSubstream(GMimeStream *, gint64, gint64) {
    return nullptr;
}

void dataFinalize(GObject *object) {
    PwDataStream *data = reinterpret_cast<PwDataStream *>(object);
    delete data->source;
    delete data->error;
    G_OBJECT_CLASS(pw_data_stream_parent_class)->finalize(object);
}

void pw_data_stream_class_init(PwDataStreamClass *klass) {
    GMimeStreamClass *stream = GMIME_STREAM_CLASS(klass);
    G_OBJECT_CLASS(klass)->finalize = dataFinalize;
    stream->read = dataRead;
    stream->write = dataWrite;
    stream->flush = dataNothing;
    stream->close = dataNothing;
    stream->eos = dataEos;
    stream->reset = dataReset;
    stream->seek = dataSeek;
    stream->tell = dataTell;
    stream->length = dataLength;
    stream->substream = dataSubstream;
}

void pw_data_stream_init(PwDataStream *stream) {
    stream->source = nullptr;
    stream->error = new std::string;
}

// Streams made while a message is built, to ask them for failures after
// it is written.
thread_local std::vector<PwDataStream *> *tl_streams = nullptr;

GMimeStream *attachmentStream(const Attachment &attachment) {
    auto source = attachment.openData();
    auto *stream = static_cast<PwDataStream *>(g_object_new(pw_data_stream_get_type(), nullptr));
    stream->source = source.release();
    g_mime_stream_construct(GMIME_STREAM(stream), 0, static_cast<gint64>(stream->source->reader.size()));
    if (tl_streams)
        tl_streams->push_back(stream);
    return GMIME_STREAM(stream);
}

QByteArray utf8(const QString &text) {
    return text.toUtf8();
}

class EmlBuilder {
public:
    GMimeMessage *build(const Message &message, int depth);
    // What was left out, one line each, in the order met.
    const QStringList &unreadable() const { return m_unreadable; }

private:
    GMimeObject *readablePart(const Message &message, std::uint32_t id, int depth);
    GMimeMessage *headersFromTransport(const QString &headers);
    void headersFromProperties(GMimeMessage *mime, const Message &message);
    GMimeObject *bodyOf(const Message &message);
    GMimeObject *attachmentPart(const Attachment &attachment, const QString &name, int depth);

    QStringList m_unreadable;
};

GMimeMessage *EmlBuilder::headersFromTransport(const QString &headers) {
    QByteArray text = utf8(headers);
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    text.append("\r\n\r\n");
    GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.constData(), static_cast<size_t>(text.size())));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GMimeMessage *mime = g_mime_parser_construct_message(parser.get(), nullptr);
    if (!mime)
        return nullptr;
    // The body is built anew, so the original's content headers would lie.
    GMimeHeaderList *list = g_mime_object_get_header_list(GMIME_OBJECT(mime));
    for (int i = g_mime_header_list_get_count(list) - 1; i >= 0; --i) {
        const char *name = g_mime_header_get_name(g_mime_header_list_get_header_at(list, i));
        if (name && (g_ascii_strncasecmp(name, "Content-", 8) == 0 || g_ascii_strcasecmp(name, "MIME-Version") == 0))
            g_mime_header_list_remove_at(list, i);
    }
    return mime;
}

void EmlBuilder::headersFromProperties(GMimeMessage *mime, const Message &message) {
    const QString name = senderNameOf(message);
    const QString address = senderAddressOf(message);
    if (!name.isEmpty() || !address.isEmpty())
        g_mime_message_add_mailbox(mime, GMIME_ADDRESS_TYPE_FROM, utf8(name).constData(), utf8(address).constData());

    // The recipients as the display lines Outlook shows (0x0E04, 0x0E03).
    {
        const struct {
            std::uint16_t line;
            GMimeAddressType type;
        } lines[] = {{0x0E04, GMIME_ADDRESS_TYPE_TO}, {0x0E03, GMIME_ADDRESS_TYPE_CC}};
        for (const auto &line : lines) {
            const QString text = message.properties().text(line.line).value_or(QString());
            for (const QString &recipient : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                if (!recipient.trimmed().isEmpty())
                    g_mime_message_add_mailbox(mime, line.type, utf8(recipient.trimmed()).constData(), "");
            }
        }
    }

    const QString subject = subjectOf(message);
    if (!subject.isEmpty())
        g_mime_message_set_subject(mime, utf8(subject).constData(), "utf-8");

    if (const auto when = sentTimeOf(message)) {
        GDateTime *date = g_date_time_new_from_unix_utc(filetimeToMsecs(*when) / 1000);
        if (date) {
            g_mime_message_set_date(mime, date);
            g_date_time_unref(date);
        }
    }
}

GMimeObject *textPart(const char *subtype, const QString &text) {
    GMimeTextPart *part = g_mime_text_part_new_with_subtype(subtype);
    g_mime_text_part_set_text(part, utf8(text).constData());
    g_mime_part_set_content_encoding(GMIME_PART(part),
                                     g_mime_part_get_best_content_encoding(GMIME_PART(part), GMIME_ENCODING_CONSTRAINT_7BIT));
    return GMIME_OBJECT(part);
}

GMimeObject *EmlBuilder::bodyOf(const Message &message) {
    const int codepage = message.properties().codepage();
    auto plain = plainBodyOf(message);
    const auto html = htmlBodyOf(message);
    if (!plain && !html) {
        if (auto rtf = rtfBodyOf(message))
            plain = rtfToText(*rtf, codepage);
    }
    if (plain && html) {
        GMimeMultipart *alternative = g_mime_multipart_new_with_subtype("alternative");
        GRef<GMimeObject> first(textPart("plain", *plain));
        GRef<GMimeObject> second(textPart("html", decodeHtml(*html, codepage)));
        g_mime_multipart_add(alternative, first.get());
        g_mime_multipart_add(alternative, second.get());
        return GMIME_OBJECT(alternative);
    }
    if (html)
        return textPart("html", decodeHtml(*html, codepage));
    return textPart("plain", plain.value_or(QString()));
}

GMimeObject *EmlBuilder::readablePart(const Message &message, std::uint32_t id, int depth) {
    // An attachment that cannot be read (a damaged message inside, messages
    // nested past reason) is left out with a note in its place; the rest of
    // the message is still worth having, and the save says what is missing.
    QString name;
    try {
        const Attachment attachment = message.attachment(id);
        name = attachmentFileName(attachment);
        return attachmentPart(attachment, name, depth);
    } catch (const Stopped &) {
        throw;
    } catch (const Error &error) {
        const QString what = name.isEmpty() ? QStringLiteral("an attachment") : QStringLiteral("\"%1\"").arg(name);
        const QString why = message.nid() ? damageInMessage(error.text(), message.nid()) : error.text();
        m_unreadable.append(QStringLiteral("%1 could not be read (%2)").arg(what, why));
        return textPart("plain", QStringLiteral("[%1 could not be read from the mail file and is left out: %2]").arg(what, why));
    }
}

GMimeObject *EmlBuilder::attachmentPart(const Attachment &attachment, const QString &name, int depth) {

    if (isAttachedMessage(attachment)) {
        const std::unique_ptr<Message> message = attachment.attachedMessage();
        GRef<GMimeMessage> inner(build(*message, depth + 1));
        GMimeMessagePart *part = g_mime_message_part_new_with_message("rfc822", inner.get());
        g_mime_object_set_disposition(GMIME_OBJECT(part), "attachment");
        if (!name.isEmpty())
            g_mime_object_set_content_disposition_parameter(GMIME_OBJECT(part), "filename", utf8(name).constData());
        return GMIME_OBJECT(part);
    }
    // Links and OLE objects carry no file data.
    if (holdsNoFileData(attachment))
        return nullptr;

    QByteArray mediaType = attachment.properties().text(0x370E).value_or(QString()).trimmed().toLower().toLatin1();
    const qsizetype slash = mediaType.indexOf('/');
    if (slash <= 0 || slash == mediaType.size() - 1 || mediaType.contains(' ') || mediaType.contains(';'))
        mediaType = "application/octet-stream";
    GMimePart *part = g_mime_part_new_with_type(mediaType.left(mediaType.indexOf('/')).constData(),
                                                mediaType.mid(mediaType.indexOf('/') + 1).constData());
    GRef<GMimePart> guard(part);
    GRef<GMimeStream> data(attachmentStream(attachment));
    GRef<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(data.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, wrapper.get());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_object_set_disposition(GMIME_OBJECT(part), "attachment");
    if (!name.isEmpty())
        g_mime_part_set_filename(part, utf8(name).constData());
    return GMIME_OBJECT(guard.release());
}

GMimeMessage *EmlBuilder::build(const Message &message, int depth) {
    if (depth > kMaxDepth)
        throw Error(QStringLiteral("Messages are attached inside each other more than %1 levels deep; the mail file is probably damaged.")
                        .arg(kMaxDepth));
    GMimeMessage *mime = nullptr;
    if (auto transport = message.properties().text(0x007D); transport && !transport->trimmed().isEmpty())
        mime = headersFromTransport(*transport);
    if (!mime) {
        mime = g_mime_message_new(TRUE);
        headersFromProperties(mime, message);
    }
    GRef<GMimeMessage> guard(mime);

    GRef<GMimeObject> body(bodyOf(message));
    const std::vector<std::uint32_t> attachments = message.attachmentIds();
    if (attachments.empty()) {
        g_mime_message_set_mime_part(mime, body.get());
        return guard.release();
    }
    GRef<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(mixed.get(), body.get());
    for (std::uint32_t id : attachments) {
        GRef<GMimeObject> part(readablePart(message, id, depth));
        if (part)
            g_mime_multipart_add(mixed.get(), part.get());
    }
    g_mime_message_set_mime_part(mime, GMIME_OBJECT(mixed.get()));
    return guard.release();
}

} // namespace

void writeAttachedMessage(const Attachment &attachment, const QString &path, const outlook::Attachment::SaveProgress &progress) {
    initGMime();
    EmlBuilder builder;
    std::vector<PwDataStream *> streams;
    struct Collect {
        explicit Collect(std::vector<PwDataStream *> *into) { tl_streams = into; }
        ~Collect() { tl_streams = nullptr; }
    };
    GMimeMessage *built = nullptr;
    {
        const Collect collect(&streams);
        try {
            const std::unique_ptr<Message> attached = attachment.attachedMessage();
            built = builder.build(*attached, 0);
        } catch (const ndb::Damage &damage) {
            throw Error(QStringLiteral("Cannot read the attached message: %1.").arg(damage.text()));
        }
    }
    GRef<GMimeMessage> message(built);
    if (progress && !progress(0, 0))
        throw Stopped();

    AtomicFile file(path, QStringLiteral("the attached message"));
    file.open();
    const int fd = ::dup(file.handle());
    if (fd < 0)
        file.fail(QString::fromLocal8Bit(std::strerror(errno)));
    GRef<GMimeStream> stream(g_mime_stream_fs_new(fd));
    GMimeFormatOptions *options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    errno = 0;
    const ssize_t written = g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), options, stream.get());
    const int writeErrno = errno;
    g_mime_format_options_free(options);
    const bool flushed = g_mime_stream_flush(stream.get()) == 0;
    // The message holds its streams, so they are alive to ask.
    for (PwDataStream *data : streams) {
        if (!data->error->empty())
            throw Error(QStringLiteral("Cannot read the attached message: %1.").arg(QString::fromStdString(*data->error)));
    }
    if (written < 0 || !flushed)
        file.fail(QString::fromLocal8Bit(std::strerror(writeErrno ? writeErrno : EIO)));
    if (progress && !progress(static_cast<std::uint64_t>(written), static_cast<std::uint64_t>(written)))
        throw Stopped();
    file.commit();
    if (!builder.unreadable().isEmpty())
        throw IncompleteAttachmentError(QStringLiteral("The attached message \"%1\" is incomplete: %2. What could be read is saved as \"%3\".")
                                            .arg(attachmentFileName(attachment), builder.unreadable().join(QStringLiteral("; ")),
                                                 QDir::toNativeSeparators(path)));
}

} // namespace pw::pst
