#include "platform/mime/mimemessage.h"

#include "core/error.h"
#include "platform/mime/mailtext.h"
#include "core/safefilewriter.h"
#include "platform/mime/uudecode.h"

#include <QFile>

#include <gmime/gmime.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
// GCC says __SANITIZE_ADDRESS__; clang before 16 only answers __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define PW_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PW_LEAK_CHECKED 1
#endif
#endif
#if defined(PW_LEAK_CHECKED)
#include <sanitizer/lsan_interface.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

namespace pw {

namespace {

constexpr gsize kChunk = 64 * 1024;

void initialiseGMime() {
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(PW_LEAK_CHECKED)
        // Replacing a registered type drops GMime's old table entry without
        // freeing it: a few bytes, once per process, not ours to free.
        __lsan::ScopedDisabler keepOutOfLeakReport;
#endif
        g_mime_init();
        // An attached message is one attachment, never opened: have the
        // parser keep it as a plain leaf whose content is the message's
        // text as it stands in the file.
        g_mime_object_register_type("message", "rfc822", GMIME_TYPE_PART);
        g_mime_object_register_type("message", "global", GMIME_TYPE_PART);
    });
}

} // namespace

void initialiseMimeReader() {
    initialiseGMime();
}

namespace {

// Owns one GObject reference.
template <class T> struct Ref {
    T *p = nullptr;
    Ref() = default;
    explicit Ref(T *adopted) : p(adopted) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { reset(); }
    void reset(T *adopted = nullptr) {
        if (p)
            g_object_unref(p);
        p = adopted;
    }
    T *get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

QString readError(const QString &path) {
    return QStringLiteral("Cannot read the message file \"%1\": %2")
        .arg(path, QString::fromLocal8Bit(std::strerror(errno ? errno : EIO)));
}

// The parser ends a part's content before the LF of the line break that
// precedes the next boundary, but keeps that break's CR. The CR belongs to
// the boundary line, not to the content: frame the content without it.
// Returns a new reference.
GMimeStream *withoutBoundaryLineBreak(GMimeStream *raw) {
    if (GMIME_IS_STREAM_FS(raw) && raw->bound_end > raw->bound_start) {
        const int fd = GMIME_STREAM_FS(raw)->fd;
        char tail[2] = {0, 0};
        if (::pread(fd, tail, 2, raw->bound_end - 1) == 2 && tail[0] == '\r' && tail[1] == '\n')
            return g_mime_stream_substream(raw, raw->bound_start, raw->bound_end - 1);
    }
    g_object_ref(raw);
    return raw;
}

// The decoded content of a leaf part, as a stream of its own: base64,
// quoted-printable and uuencoding are undone; an unknown encoding is
// passed through as it stands.
GMimeStream *openDecoded(GMimePart *part) {
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    if (!content)
        return g_mime_stream_mem_new();
    GMimeStream *raw = g_mime_data_wrapper_get_stream(content);
    if (!raw)
        return g_mime_stream_mem_new();
    Ref<GMimeStream> framed(withoutBoundaryLineBreak(raw));
    g_mime_stream_reset(framed.get());
    GMimeStream *filtered = g_mime_stream_filter_new(framed.get());
    switch (g_mime_data_wrapper_get_encoding(content)) {
    case GMIME_CONTENT_ENCODING_BASE64:
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
    case GMIME_CONTENT_ENCODING_UUENCODE: {
        GMimeFilter *decoder = g_mime_filter_basic_new(g_mime_data_wrapper_get_encoding(content), FALSE);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), decoder);
        g_object_unref(decoder);
        break;
    }
    default:
        break;
    }
    return filtered;
}

// Lines of a stream, split at LF with a CR before it dropped; lines of any
// length, read a chunk at a time.
class LineReader {
public:
    explicit LineReader(GMimeStream *stream) : m_stream(stream) {}

    bool next(QByteArray &line) {
        for (;;) {
            const qsizetype lf = m_buffer.indexOf('\n', m_pos);
            if (lf >= 0) {
                line = m_buffer.mid(m_pos, lf - m_pos);
                m_pos = lf + 1;
                if (line.endsWith('\r'))
                    line.chop(1);
                return true;
            }
            if (m_eof) {
                if (m_pos >= m_buffer.size())
                    return false;
                line = m_buffer.mid(m_pos);
                m_pos = m_buffer.size();
                if (line.endsWith('\r'))
                    line.chop(1);
                return true;
            }
            m_buffer.remove(0, m_pos);
            m_pos = 0;
            const qsizetype old = m_buffer.size();
            m_buffer.resize(old + kChunk);
            const ssize_t n = g_mime_stream_read(m_stream, m_buffer.data() + old, kChunk);
            if (n < 0)
                throw Error(QStringLiteral("Cannot read a part of the message: %1")
                                .arg(QString::fromLocal8Bit(std::strerror(errno ? errno : EIO))));
            m_buffer.resize(old + n);
            if (n == 0)
                m_eof = true;
        }
    }

private:
    GMimeStream *m_stream;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
};

QString lowerMimeType(GMimeObject *object) {
    GMimeContentType *type = g_mime_object_get_content_type(object);
    if (!type)
        return QStringLiteral("text/plain");
    char *mime = g_mime_content_type_get_mime_type(type);
    const QString result = QString::fromUtf8(mime).toLower();
    g_free(mime);
    return result;
}

bool isAttachedMessage(const QString &mimeType) {
    return mimeType == QLatin1String("message/rfc822") || mimeType == QLatin1String("message/global");
}

// The decoded subject of an attached message, from its header block alone.
QString attachedMessageSubject(GMimePart *part) {
    Ref<GMimeStream> decoded(openDecoded(part));
    LineReader lines(decoded.get());
    QByteArray header;
    QByteArray line;
    while (header.size() < 256 * 1024 && lines.next(line) && !line.isEmpty())
        header += line + '\n';
    header += '\n';
    Ref<GMimeStream> memory(g_mime_stream_mem_new_with_buffer(header.constData(), header.size()));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(memory.get()));
    Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return QString();
    return QString::fromUtf8(g_mime_message_get_subject(message.get())).trimmed();
}

// Decodes base64 content a chunk at a time, counting the characters of the
// encoding on the way: content that does not fill its last group of four
// was cut short. Answers false then; the sink has had all there was.
bool writeBase64(GMimeStream *raw, const std::function<void(const char *data, qint64 size)> &sink) {
    Ref<GMimeStream> framed(withoutBoundaryLineBreak(raw));
    g_mime_stream_reset(framed.get());
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, GMIME_CONTENT_ENCODING_BASE64);
    QByteArray in(kChunk, Qt::Uninitialized);
    QByteArray out(static_cast<qsizetype>(g_mime_encoding_outlen(&state, kChunk)) + 16, Qt::Uninitialized);
    quint64 symbols = 0;
    // A bounded stream answers its end with -1, not 0: ask it first.
    while (!g_mime_stream_eos(framed.get())) {
        const ssize_t n = g_mime_stream_read(framed.get(), in.data(), kChunk);
        if (n < 0 && g_mime_stream_eos(framed.get()))
            break;
        if (n < 0)
            throw Error(QStringLiteral("Cannot read a part of the message: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno ? errno : EIO))));
        if (n == 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = in.at(i);
            if (g_ascii_isalnum(c) || c == '+' || c == '/' || c == '=')
                ++symbols;
        }
        const size_t got = g_mime_encoding_step(&state, in.constData(), static_cast<size_t>(n), out.data());
        if (got > 0)
            sink(out.constData(), static_cast<qint64>(got));
    }
    return symbols % 4 == 0;
}

} // namespace

struct MimeAttachment::Data {
    ~Data() {
        if (part)
            g_object_unref(part);
    }
    GMimePart *part = nullptr; // one reference held
    int uuBlock = -1;          // which block of the part, or -1 for the part itself
    bool cut = false;          // the message ends inside the part
    QString fileName;
    QString contentType;
    QString contentId;
    QString contentLocation;
};

MimeAttachment::MimeAttachment(std::shared_ptr<const Data> data) : m_data(std::move(data)) {}

QString MimeAttachment::fileName() const {
    return m_data->fileName;
}

QString MimeAttachment::contentType() const {
    return m_data->contentType;
}

QString MimeAttachment::contentId() const {
    return m_data->contentId;
}

QString MimeAttachment::contentLocation() const {
    return m_data->contentLocation;
}

bool MimeAttachment::isUuencoded() const {
    return m_data->uuBlock >= 0;
}

void MimeAttachment::saveToFile(const QString &path) const {
    SafeFileWriter out(path, QStringLiteral("the attachment"));
    const bool complete = writeTo([&](const char *data, qint64 size) { out.write(data, size); });
    // What there is stays: it may be all the user will ever get of it.
    out.commit();
    if (!complete)
        throw IncompleteAttachmentError(incompleteText(path));
}

QString MimeAttachment::incompleteText(const QString &path) const {
    return QStringLiteral("The attachment \"%1\" is incomplete: its message ends before it does. What there was "
                          "is saved as \"%2\".")
        .arg(m_data->fileName, path);
}

bool MimeAttachment::writeTo(const std::function<void(const char *data, qint64 size)> &sink) const {
    GMimeDataWrapper *content = g_mime_part_get_content(m_data->part);
    if (m_data->uuBlock < 0 && content && g_mime_data_wrapper_get_stream(content)
        && g_mime_data_wrapper_get_encoding(content) == GMIME_CONTENT_ENCODING_BASE64)
        return writeBase64(g_mime_data_wrapper_get_stream(content), sink) && !m_data->cut;
    Ref<GMimeStream> decoded(openDecoded(m_data->part));
    if (m_data->uuBlock < 0) {
        QByteArray buffer(kChunk, Qt::Uninitialized);
        for (;;) {
            const ssize_t n = g_mime_stream_read(decoded.get(), buffer.data(), kChunk);
            if (n < 0)
                throw Error(QStringLiteral("Cannot read the attachment \"%1\" from its message: %2")
                                .arg(m_data->fileName, QString::fromLocal8Bit(std::strerror(errno ? errno : EIO))));
            if (n == 0)
                break;
            sink(buffer.constData(), n);
        }
    } else {
        LineReader lines(decoded.get());
        QByteArray line;
        int block = -1;
        bool inBlock = false;
        while (lines.next(line)) {
            if (!inBlock) {
                if (uu::parseBeginLine(line) && ++block == m_data->uuBlock)
                    inBlock = true;
                continue;
            }
            if (uu::isEndLine(line))
                break;
            if (line.trimmed().isEmpty())
                continue;
            if (const auto bytes = uu::decodeLine(line))
                sink(bytes->constData(), bytes->size());
            // A line that cannot be decoded is dropped; the rest of the
            // block is still worth having.
        }
        if (!inBlock)
            throw Error(QStringLiteral("The uuencoded attachment \"%1\" is no longer in its message").arg(m_data->fileName));
        // Many encoders leave the "end" line out: a block without it is cut
        // only when the message is.
    }
    return !m_data->cut;
}

struct MimeMessage::Private {
    Ref<GMimeMessage> message;
    QList<MimeAttachment> attachments;
    QList<GMimePart *> htmlParts; // not referenced: the message holds them
    // The leaf part read last, in file order: the one a message cut short
    // ends inside of.
    GMimePart *lastLeaf = nullptr;
    std::shared_ptr<MimeAttachment::Data> lastAdded;

    void add(GMimePart *part, int uuBlock, QString fileName, QString contentType) {
        auto data = std::make_shared<MimeAttachment::Data>();
        lastAdded = data;
        g_object_ref(part);
        data->part = part;
        data->uuBlock = uuBlock;
        data->fileName = std::move(fileName);
        data->contentType = std::move(contentType);
        if (uuBlock < 0) {
            data->contentId = QString::fromUtf8(g_mime_object_get_content_id(GMIME_OBJECT(part))).trimmed();
            data->contentLocation = QString::fromUtf8(g_mime_part_get_content_location(part)).trimmed();
        }
        attachments.append(MimeAttachment(std::move(data)));
    }

    void scanUuBlocks(GMimePart *part) {
        Ref<GMimeStream> decoded(openDecoded(part));
        LineReader lines(decoded.get());
        QByteArray line;
        int block = 0;
        bool inBlock = false;
        while (lines.next(line)) {
            if (inBlock) {
                if (uu::isEndLine(line))
                    inBlock = false;
                continue;
            }
            if (const auto begin = uu::parseBeginLine(line)) {
                add(part, block++, decodeMailText(begin->name), QStringLiteral("application/octet-stream"));
                inBlock = true;
            }
        }
    }

    // `top`: the body of a message that is not multipart, which is judged
    // by the leaf rule even when it is itself a message.
    void walk(GMimeObject *object, bool top) {
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart *multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            for (int i = 0; i < count; ++i)
                walk(g_mime_multipart_get_part(multipart, i), false);
            return;
        }
        if (!GMIME_IS_PART(object))
            return; // only reached for kinds the reader never builds
        GMimePart *part = GMIME_PART(object);
        lastLeaf = part;
        const QString mimeType = lowerMimeType(object);
        const char *disposition = g_mime_object_get_disposition(object);
        const char *name = g_mime_part_get_filename(part);
        const bool attachedMessage = isAttachedMessage(mimeType);
        if ((attachedMessage && !top) || name || (disposition && g_ascii_strcasecmp(disposition, "attachment") == 0)) {
            QString fileName = QString::fromUtf8(name);
            if (!name && attachedMessage) {
                // Named after its subject; a "/" in a subject is not a folder.
                const QString subject = attachedMessageSubject(part);
                if (!subject.isEmpty()) {
                    fileName = subject + QStringLiteral(".eml");
                    fileName.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
                }
            }
            add(part, -1, fileName, mimeType);
            return;
        }
        if (mimeType == QLatin1String("text/plain"))
            scanUuBlocks(part);
        else if (mimeType == QLatin1String("text/html"))
            htmlParts.append(part);
    }
};

MimeMessage::MimeMessage() : d(std::make_unique<Private>()) {
    initialiseGMime();
}

MimeMessage::~MimeMessage() = default;

void MimeMessage::clear() {
    d->attachments.clear();
    d->htmlParts.clear();
    d->lastLeaf = nullptr;
    d->lastAdded.reset();
    d->message.reset();
}

QString MimeMessage::subject() const {
    if (!d->message)
        return QString();
    return QString::fromUtf8(g_mime_message_get_subject(d->message.get()));
}

namespace {
InternetAddress *firstSender(GMimeMessage *message) {
    InternetAddressList *from = message ? g_mime_message_get_from(message) : nullptr;
    if (!from || internet_address_list_length(from) < 1)
        return nullptr;
    return internet_address_list_get_address(from, 0);
}

QString addressOf(InternetAddress *address) {
    if (!address || !INTERNET_ADDRESS_IS_MAILBOX(address))
        return QString();
    return QString::fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
}
} // namespace

QString MimeMessage::senderName() const {
    InternetAddress *sender = firstSender(d->message.get());
    if (!sender)
        return QString();
    const QString name = QString::fromUtf8(internet_address_get_name(sender)).trimmed();
    return name.isEmpty() ? addressOf(sender) : name;
}

QString MimeMessage::senderAddress() const {
    return addressOf(firstSender(d->message.get()));
}

QDateTime MimeMessage::date() const {
    GDateTime *when = d->message ? g_mime_message_get_date(d->message.get()) : nullptr;
    if (!when)
        return QDateTime();
    return QDateTime::fromSecsSinceEpoch(g_date_time_to_unix(when), Qt::UTC);
}

bool MimeMessage::isLoaded() const {
    return static_cast<bool>(d->message);
}

QString MimeMessage::bodyText() const {
    if (!d->message)
        return QString();
    GMimeObject *body = g_mime_message_get_body(d->message.get());
    if (!body || !GMIME_IS_TEXT_PART(body))
        return QString();
    char *text = g_mime_text_part_get_text(GMIME_TEXT_PART(body));
    const QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

QString MimeMessage::htmlText() const {
    QString result;
    for (GMimePart *part : d->htmlParts) {
        if (!GMIME_IS_TEXT_PART(part))
            continue;
        char *text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
        result += QString::fromUtf8(text);
        g_free(text);
    }
    return result;
}

int MimeMessage::attachmentCount() const {
    return static_cast<int>(d->attachments.size());
}

const QList<MimeAttachment> &MimeMessage::attachments() const {
    return d->attachments;
}

void MimeMessage::load(const QString &path) {
    clear();
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || native.contains('\0'))
        throw Error(QStringLiteral("Cannot read the message file \"%1\": not a usable file name").arg(path));
    errno = 0;
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error(readError(path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = error;
        throw Error(readError(path));
    }
    // The parser keeps parts as windows onto the file, which stays open
    // for as long as the message or one of its attachments lives.
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    // The parser tells when the file ends before a multipart's closing
    // boundary: the part read last is then cut short.
    bool truncated = false;
    GMimeParserOptions *options = g_mime_parser_options_new();
    g_mime_parser_options_set_warning_callback(
        options,
        [](gint64, GMimeParserWarning code, const gchar *, gpointer flag) {
            if (code == GMIME_WARN_TRUNCATED_MESSAGE)
                *static_cast<bool *>(flag) = true;
        },
        &truncated);
    Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options));
    g_mime_parser_options_free(options);
    if (!message) {
        // Nothing in the file reads as a message (an empty file, or no
        // header at all): like any lenient reader, take it as a message
        // without attachments rather than as a failure.
        d->message.reset(g_mime_message_new(FALSE));
        return;
    }
    try {
        if (GMimeObject *body = g_mime_message_get_mime_part(message.get()))
            d->walk(body, !GMIME_IS_MULTIPART(body));
        // Only an attachment that is the last part read can have been cut.
        if (truncated && d->lastAdded && d->lastAdded->part == d->lastLeaf)
            d->lastAdded->cut = true;
    } catch (...) {
        clear();
        throw;
    }
    d->message.reset(message.p);
    message.p = nullptr;
}

} // namespace pw
