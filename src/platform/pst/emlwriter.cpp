#include "platform/pst/emlwriter.h"

#include "app/core/error.h"
#include "platform/pst/atomicfile.h"
#include "platform/pst/bodytext.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pstattachment.h"

#include <QDir>
#include <QTemporaryFile>

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
constexpr std::size_t kChunk = 64 * 1024;

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

PffItem attachedItem(const PffItem &attachment) {
    PffItem message;
    PffError error;
    if (libpff_attachment_get_item(attachment.get(), message.out(), error.out()) != 1)
        throwPff(QStringLiteral("Cannot read the attached message"), error);
    return message;
}

QByteArray utf8(const QString &text) {
    return text.toUtf8();
}

class EmlBuilder {
public:
    explicit EmlBuilder(int fileCodepage) : m_fileCodepage(fileCodepage) {}

    GMimeMessage *build(const PffItem &message, int depth);

private:
    GMimeMessage *headersFromTransport(const QString &headers);
    void headersFromProperties(GMimeMessage *mime, const PffItem &message);
    GMimeObject *bodyOf(const PffItem &message);
    GMimeObject *attachmentPart(const PffItem &attachment, int depth);
    GMimeStream *spool(const PffItem &attachment);

    int m_fileCodepage;
    // Attachment data waits in temporary files, not in memory, until written.
    std::vector<std::unique_ptr<QTemporaryFile>> m_spool;
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

void EmlBuilder::headersFromProperties(GMimeMessage *mime, const PffItem &message) {
    const QString name = senderNameOf(message);
    QString address = senderAddressOf(message);
    if (senderTypeOf(message).compare(QLatin1String("EX"), Qt::CaseInsensitive) == 0) {
        if (auto smtp = message.messageString(tag::kSenderSmtpAddress); smtp && !smtp->isEmpty())
            address = *smtp;
    }
    if (!name.isEmpty() || !address.isEmpty())
        g_mime_message_add_mailbox(mime, GMIME_ADDRESS_TYPE_FROM, utf8(name).constData(), utf8(address).constData());

    PffItem recipients;
    PffError error;
    if (libpff_message_get_recipients(message.get(), recipients.out(), error.out()) == 1) {
        int sets = 0;
        if (libpff_item_get_number_of_record_sets(recipients.get(), &sets, error.out()) == 1) {
            for (int i = 0; i < sets; ++i) {
                const std::uint32_t kind = recipients.int32(tag::kRecipientType, i).value_or(1);
                if (kind != 1 && kind != 2)
                    continue; // blind copies stay blind
                const QString recipientName = recipients.string(tag::kDisplayName, i).value_or(QString());
                QString recipientAddress = recipients.string(tag::kSmtpAddress, i).value_or(QString());
                if (recipientAddress.isEmpty())
                    recipientAddress = recipients.string(tag::kEmailAddress, i).value_or(QString());
                g_mime_message_add_mailbox(mime, kind == 1 ? GMIME_ADDRESS_TYPE_TO : GMIME_ADDRESS_TYPE_CC,
                                           utf8(recipientName).constData(), utf8(recipientAddress).constData());
            }
        }
    }

    const QString subject = subjectOf(message);
    if (!subject.isEmpty())
        g_mime_message_set_subject(mime, utf8(subject).constData(), "utf-8");

    auto when = message.submitTime();
    if (!when)
        when = message.deliveryTime();
    if (when) {
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

GMimeObject *EmlBuilder::bodyOf(const PffItem &message) {
    const int codepage = codepageOf(message, m_fileCodepage);
    auto plain = message.plainBody();
    const auto html = message.htmlBody();
    if (!plain && !html) {
        if (auto rtf = message.rtfBody())
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

GMimeStream *EmlBuilder::spool(const PffItem &attachment) {
    PffError error;
    size64_t size = 0;
    // 0 means the attachment stores no data at all: an empty part.
    const int hasData = libpff_attachment_get_data_size(attachment.get(), &size, error.out());
    if (hasData < 0)
        throwPff(QStringLiteral("Cannot read the data of an attachment inside the message"), error);
    if (hasData == 0)
        size = 0;
    auto file = std::make_unique<QTemporaryFile>(QDir(QDir::tempPath()).filePath(QStringLiteral("parcelwise-XXXXXX")));
    if (!file->open())
        throw Error(QStringLiteral("Cannot create a temporary file: %1").arg(file->errorString()));
    if (size > 0 && libpff_attachment_data_seek_offset(attachment.get(), 0, SEEK_SET, error.out()) < 0)
        throwPff(QStringLiteral("Cannot read the data of an attachment inside the message"), error);
    std::vector<std::uint8_t> buffer(kChunk);
    size64_t done = 0;
    while (done < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<size64_t>(kChunk, size - done));
        const ssize_t got = libpff_attachment_data_read_buffer(attachment.get(), buffer.data(), want, error.out());
        if (got < 0)
            throwPff(QStringLiteral("Cannot read the data of an attachment inside the message"), error);
        if (got == 0 || static_cast<std::size_t>(got) > want)
            throw Error(QStringLiteral("An attachment inside the message ends after %1 of %2 bytes; the mail file is damaged.")
                            .arg(done).arg(size));
        if (file->write(reinterpret_cast<const char *>(buffer.data()), got) != got)
            throw Error(QStringLiteral("Cannot write a temporary file: %1").arg(file->errorString()));
        done += static_cast<size64_t>(got);
    }
    if (!file->flush())
        throw Error(QStringLiteral("Cannot write a temporary file: %1").arg(file->errorString()));
    // The writing handle is not needed any more (the file stays until the
    // builder ends): an attached message with hundreds of attachments must
    // not run out of file handles.
    file->close();
    const int fd = ::open(QFile::encodeName(file->fileName()).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error(QStringLiteral("Cannot read a temporary file: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    m_spool.push_back(std::move(file));
    return g_mime_stream_fs_new(fd);
}

GMimeObject *EmlBuilder::attachmentPart(const PffItem &attachment, int depth) {
    int type = LIBPFF_ATTACHMENT_TYPE_UNDEFINED;
    PffError error;
    if (libpff_attachment_get_type(attachment.get(), &type, error.out()) != 1)
        throwPff(QStringLiteral("Cannot read the kind of an attachment inside the message"), error);
    const auto method = attachment.int32(tag::kAttachMethod);
    const QString name = attachmentFileName(attachment);

    if (type == LIBPFF_ATTACHMENT_TYPE_ITEM || (method && *method == 5)) {
        GRef<GMimeMessage> inner(build(attachedItem(attachment), depth + 1));
        GMimeMessagePart *part = g_mime_message_part_new_with_message("rfc822", inner.get());
        g_mime_object_set_disposition(GMIME_OBJECT(part), "attachment");
        if (!name.isEmpty())
            g_mime_object_set_content_disposition_parameter(GMIME_OBJECT(part), "filename", utf8(name).constData());
        return GMIME_OBJECT(part);
    }
    // Links (methods 2, 3, 4, 7) and OLE objects (6) carry no file data.
    if (type != LIBPFF_ATTACHMENT_TYPE_DATA || (method && *method >= 2 && *method <= 7 && *method != 5))
        return nullptr;

    QByteArray mediaType = attachment.string(tag::kAttachMimeTag).value_or(QString()).trimmed().toLower().toLatin1();
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

GMimeMessage *EmlBuilder::build(const PffItem &message, int depth) {
    if (depth > kMaxDepth)
        throw Error(QStringLiteral("Messages are attached inside each other more than %1 levels deep; the mail file is probably damaged.")
                        .arg(kMaxDepth));
    GMimeMessage *mime = nullptr;
    if (auto transport = message.messageString(tag::kTransportHeaders); transport && !transport->trimmed().isEmpty())
        mime = headersFromTransport(*transport);
    if (!mime) {
        mime = g_mime_message_new(TRUE);
        headersFromProperties(mime, message);
    }
    GRef<GMimeMessage> guard(mime);

    GRef<GMimeObject> body(bodyOf(message));
    int count = 0;
    PffError error;
    if (libpff_message_get_number_of_attachments(message.get(), &count, error.out()) != 1)
        throwPff(QStringLiteral("Cannot count the attachments of the attached message"), error);
    if (count <= 0) {
        g_mime_message_set_mime_part(mime, body.get());
        return guard.release();
    }
    GRef<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(mixed.get(), body.get());
    for (int i = 0; i < count; ++i) {
        PffItem attachment;
        if (libpff_message_get_attachment(message.get(), i, attachment.out(), error.out()) != 1)
            throwPff(QStringLiteral("Cannot read attachment %1 of the attached message").arg(i + 1), error);
        GRef<GMimeObject> part(attachmentPart(attachment, depth));
        if (part)
            g_mime_multipart_add(mixed.get(), part.get());
    }
    g_mime_message_set_mime_part(mime, GMIME_OBJECT(mixed.get()));
    return guard.release();
}

} // namespace

void writeAttachedMessage(const PffItem &attachment, int fileCodepage, const QString &path) {
    initGMime();
    EmlBuilder builder(fileCodepage);
    GRef<GMimeMessage> message(builder.build(attachedItem(attachment), 0));

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
