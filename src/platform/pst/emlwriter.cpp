#include "platform/pst/emlwriter.h"

#include "core/error.h"
#include "platform/pst/atomicfile.h"
#include "platform/pst/bodytext.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pstattachment.h"

#include <QDir>
#include <QFile>

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

QByteArray utf8(const QString &text) {
    return text.toUtf8();
}

class EmlBuilder {
public:
    EmlBuilder(PstFile &file, int storeCodepage) : m_file(file), m_storeCodepage(storeCodepage) {}

    GMimeMessage *build(const pst_item &message, int depth);

private:
    GMimeMessage *headersFromTransport(const QString &headers);
    void headersFromProperties(GMimeMessage *mime, const pst_item &message);
    GMimeObject *bodyOf(const pst_item &message);
    GMimeObject *attachmentPart(pst_item_attach &attachment, int codepage, int depth);
    GMimeStream *spool(pst_item_attach &attachment);

    PstFile &m_file;
    int m_storeCodepage;
    // Attachment data waits in unnamed temporary files, not in memory, until
    // written.
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

void EmlBuilder::headersFromProperties(GMimeMessage *mime, const pst_item &message) {
    const QString name = senderNameOf(message, m_storeCodepage);
    const QString address = senderAddressOf(message, m_storeCodepage);
    if (!name.isEmpty() || !address.isEmpty())
        g_mime_message_add_mailbox(mime, GMIME_ADDRESS_TYPE_FROM, utf8(name).constData(), utf8(address).constData());

    // libpst keeps the recipients as the display lines Outlook shows.
    if (message.email) {
        const int codepage = codepageOf(message, m_storeCodepage);
        const struct {
            const pst_string *line;
            GMimeAddressType type;
        } lines[] = {{&message.email->sentto_address, GMIME_ADDRESS_TYPE_TO}, {&message.email->cc_address, GMIME_ADDRESS_TYPE_CC}};
        for (const auto &line : lines) {
            const QString text = textOf(*line.line, codepage).value_or(QString());
            for (const QString &recipient : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                if (!recipient.trimmed().isEmpty())
                    g_mime_message_add_mailbox(mime, line.type, utf8(recipient.trimmed()).constData(), "");
            }
        }
    }

    const QString subject = subjectOf(message, m_storeCodepage);
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

GMimeObject *EmlBuilder::bodyOf(const pst_item &message) {
    const int codepage = codepageOf(message, m_storeCodepage);
    auto plain = plainBodyOf(message, m_storeCodepage);
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

GMimeStream *EmlBuilder::spool(pst_item_attach &attachment) {
    // The spool has no name from the moment it exists: a run that is killed
    // or stopped leaves nothing in the temporary folder.
    QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/.parcelwise-spool-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw Error(QStringLiteral("Cannot create a temporary file: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    ::unlink(pattern.constData());
    try {
        writeAttachmentData(m_file, attachment, fd, QStringLiteral("the attached message"));
    } catch (...) {
        ::close(fd);
        throw;
    }
    // The stream reads from where the descriptor stands.
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        const int error = errno;
        ::close(fd);
        throw Error(QStringLiteral("Cannot read a temporary file: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    return g_mime_stream_fs_new(fd);
}

GMimeObject *EmlBuilder::attachmentPart(pst_item_attach &attachment, int codepage, int depth) {
    const QString name = attachmentFileName(m_file, attachment, codepage);

    if (isAttachedMessage(attachment)) {
        const ParsedItem message = m_file.parseAttached(attachment);
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

    QByteArray mediaType = textOf(attachment.mimetype, codepage).value_or(QString()).trimmed().toLower().toLatin1();
    const qsizetype slash = mediaType.indexOf('/');
    if (slash <= 0 || slash == mediaType.size() - 1 || mediaType.contains(' ') || mediaType.contains(';'))
        mediaType = "application/octet-stream";
    GMimePart *part = g_mime_part_new_with_type(mediaType.left(mediaType.indexOf('/')).constData(),
                                                mediaType.mid(mediaType.indexOf('/') + 1).constData());
    GRef<GMimePart> guard(part);
    GRef<GMimeStream> data(spool(attachment));
    GRef<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(data.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, wrapper.get());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_object_set_disposition(GMIME_OBJECT(part), "attachment");
    if (!name.isEmpty())
        g_mime_part_set_filename(part, utf8(name).constData());
    return GMIME_OBJECT(guard.release());
}

GMimeMessage *EmlBuilder::build(const pst_item &message, int depth) {
    if (depth > kMaxDepth)
        throw Error(QStringLiteral("Messages are attached inside each other more than %1 levels deep; the mail file is probably damaged.")
                        .arg(kMaxDepth));
    const int codepage = codepageOf(message, m_storeCodepage);
    GMimeMessage *mime = nullptr;
    if (message.email) {
        if (auto transport = textOf(message.email->header, codepage); transport && !transport->trimmed().isEmpty())
            mime = headersFromTransport(*transport);
    }
    if (!mime) {
        mime = g_mime_message_new(TRUE);
        headersFromProperties(mime, message);
    }
    GRef<GMimeMessage> guard(mime);

    GRef<GMimeObject> body(bodyOf(message));
    const std::vector<pst_item_attach *> attachments = realAttachments(message);
    if (attachments.empty()) {
        g_mime_message_set_mime_part(mime, body.get());
        return guard.release();
    }
    GRef<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(mixed.get(), body.get());
    for (pst_item_attach *attachment : attachments) {
        GRef<GMimeObject> part(attachmentPart(*attachment, codepage, depth));
        if (part)
            g_mime_multipart_add(mixed.get(), part.get());
    }
    g_mime_message_set_mime_part(mime, GMIME_OBJECT(mixed.get()));
    return guard.release();
}

} // namespace

void writeAttachedMessage(PstFile &store, const pst_item_attach &attachment, int storeCodepage, const QString &path) {
    initGMime();
    EmlBuilder builder(store, storeCodepage);
    const ParsedItem attached = store.parseAttached(attachment);
    GRef<GMimeMessage> message(builder.build(*attached, 0));

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
    if (written < 0 || !flushed)
        file.fail(QString::fromLocal8Bit(std::strerror(writeErrno ? writeErrno : EIO)));
    file.commit();
}

} // namespace pw::pst
