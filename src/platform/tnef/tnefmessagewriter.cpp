// Writes a message attached inside a winmail.dat as an RFC 822 message,
// streaming its bodies and attachments out of the wrapper.
#include "platform/tnef/tnefreader.h"

#include "core/error.h"

#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <cctype>

namespace pw::tnef {

namespace {

constexpr qint64 kLineBytes = 57; // 76 base64 characters a line
constexpr qint64 kTailBlock = 64 * 1024;

// The MIME charset name of a Windows code page.
QByteArray charsetOf(int codepage) {
    switch (codepage) {
    case 65001:
        return "utf-8";
    case 20127:
        return "us-ascii";
    case 932:
        return "shift_jis";
    case 936:
        return "gb2312";
    case 949:
        return "ks_c_5601-1987";
    case 950:
        return "big5";
    case 20866:
        return "koi8-r";
    case 21866:
        return "koi8-u";
    case 50220:
        return "iso-2022-jp";
    case 51932:
        return "euc-jp";
    default:
        break;
    }
    if (codepage >= 28591 && codepage <= 28605)
        return "iso-8859-" + QByteArray::number(codepage - 28590);
    if (codepage >= 874 && codepage <= 1258)
        return "windows-" + QByteArray::number(codepage);
    return "windows-1252";
}

class Writer {
public:
    Writer(QIODevice &device, const Sink &sink) : m_device(device), m_sink(sink) {}

    void message(const Message &message, int depth);

private:
    void put(const QByteArray &text) { m_sink(text.constData(), text.size()); }
    void line(const QByteArray &text) { put(text + "\r\n"); }
    QByteArray boundary();
    void base64Span(Span span);
    void base64Bytes(const QByteArray &bytes);
    void body(const Message &message);
    void plainPart(const Message &message);
    void htmlPart(const Message &message);
    void attachmentPart(const Attachment &attachment, int depth);
    Span withoutTrailingNul(Span span, int width);

    QIODevice &m_device;
    const Sink &m_sink;
    int m_boundaries = 0;
};

bool isPlainAscii(const QString &text) {
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

// A header text as it may stand in a header: itself when plain ASCII, else
// RFC 2047 encoded words of a few characters each.
QByteArray headerText(const QString &text) {
    if (isPlainAscii(text))
        return text.toLatin1();
    QByteArray out;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype take = std::min<qsizetype>(20, text.size() - at);
        if (at + take < text.size() && text.at(at + take - 1).isHighSurrogate())
            --take;
        if (take <= 0)
            take = 1;
        if (!out.isEmpty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + text.mid(at, take).toUtf8().toBase64() + "?=";
        at += take;
    }
    return out;
}

QByteArray mailbox(const QString &name, const QString &address) {
    QString cleanName = name;
    cleanName.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    QString cleanAddress = address.trimmed();
    cleanAddress.remove(QLatin1Char('<')).remove(QLatin1Char('>')).remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    QByteArray displayed;
    if (!cleanName.isEmpty()) {
        if (isPlainAscii(cleanName)) {
            QString quoted = cleanName;
            quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
            displayed = '"' + quoted.toLatin1() + '"';
        } else {
            displayed = headerText(cleanName);
        }
    }
    if (cleanAddress.isEmpty())
        return displayed + (displayed.isEmpty() ? "" : " ") + "<>";
    const QByteArray addr = isPlainAscii(cleanAddress) ? cleanAddress.toLatin1() : cleanAddress.toUtf8();
    return displayed.isEmpty() ? "<" + addr + ">" : displayed + " <" + addr + ">";
}

// A parameter "name=value", quoted, or in RFC 2231 form when not ASCII.
QByteArray parameter(const char *name, const QString &value) {
    if (isPlainAscii(value)) {
        QString quoted = value;
        quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
        return QByteArray(name) + "=\"" + quoted.toLatin1() + '"';
    }
    return QByteArray(name) + "*=UTF-8''" + value.toUtf8().toPercentEncoding();
}

// A MIME type as the part's header may carry it; anything that is not a
// plain "type/subtype" becomes application/octet-stream.
QByteArray mediaType(const QString &type) {
    const QByteArray t = type.trimmed().toLower().toLatin1();
    const qsizetype slash = t.indexOf('/');
    if (slash <= 0 || slash == t.size() - 1 || t.indexOf('/', slash + 1) >= 0)
        return "application/octet-stream";
    for (char c : t) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '+' || c == '.' || c == '_'))
            return "application/octet-stream";
    }
    return t;
}

QByteArray Writer::boundary() {
    return "=_parcelwise_" + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + "_" +
           QByteArray::number(++m_boundaries);
}

void Writer::base64Bytes(const QByteArray &bytes) {
    for (qsizetype at = 0; at < bytes.size(); at += kLineBytes)
        line(bytes.mid(at, kLineBytes).toBase64());
}

void Writer::base64Span(Span span) {
    if (!span.isValid())
        return;
    QByteArray pending;
    copySpan(m_device, span, [&](const char *data, qint64 size) {
        pending.append(data, size);
        const qsizetype whole = pending.size() - pending.size() % kLineBytes;
        base64Bytes(pending.left(whole));
        pending.remove(0, whole);
    });
    base64Bytes(pending);
}

// Text values count their terminating NUL; the part does not carry it.
// Some senders pad a body with many more: the tail is read a block at a
// time, so a megabyte of NULs costs a few reads, not one per byte.
Span Writer::withoutTrailingNul(Span span, int width) {
    if (!span.isValid())
        return span;
    QByteArray block;
    while (span.size >= width) {
        const qint64 want = std::min<qint64>(kTailBlock, span.size - span.size % width);
        block.resize(want);
        if (!m_device.seek(span.offset + span.size - want) || m_device.read(block.data(), want) != want)
            break;
        // Whole characters of NUL at the end of the block.
        qint64 nul = 0;
        while (nul + width <= want) {
            bool zero = true;
            for (int i = 1; i <= width && zero; ++i)
                zero = block.at(want - nul - i) == '\0';
            if (!zero)
                break;
            nul += width;
        }
        span.size -= nul;
        if (nul < want)
            break;
    }
    return span;
}

void Writer::plainPart(const Message &message) {
    const Body &b = message.plainBody;
    if (b.utf16) {
        line("Content-Type: text/plain; charset=utf-8");
        line("Content-Transfer-Encoding: base64");
        line("");
        QStringDecoder fromUtf16(QStringDecoder::Utf16LE);
        QByteArray pending;
        copySpan(m_device, withoutTrailingNul(b.span, 2), [&](const char *data, qint64 size) {
            pending += QString(fromUtf16(QByteArrayView(data, size))).toUtf8();
            const qsizetype whole = pending.size() - pending.size() % kLineBytes;
            base64Bytes(pending.left(whole));
            pending.remove(0, whole);
        });
        base64Bytes(pending);
        return;
    }
    line("Content-Type: text/plain; charset=" + charsetOf(message.codepage));
    line("Content-Transfer-Encoding: base64");
    line("");
    base64Span(withoutTrailingNul(b.span, 1));
}

void Writer::htmlPart(const Message &message) {
    line("Content-Type: text/html");
    line("Content-Transfer-Encoding: base64");
    line("");
    base64Span(withoutTrailingNul(message.htmlBody, 1));
}

void Writer::body(const Message &message) {
    const bool plain = message.plainBody.span.isValid();
    const bool html = message.htmlBody.isValid();
    if (plain && html) {
        const QByteArray b = boundary();
        line("Content-Type: multipart/alternative; boundary=\"" + b + "\"");
        line("");
        line("--" + b);
        plainPart(message);
        line("--" + b);
        htmlPart(message);
        line("--" + b + "--");
    } else if (html) {
        htmlPart(message);
    } else if (plain) {
        plainPart(message);
    } else {
        line("Content-Type: text/plain; charset=utf-8");
        line("");
    }
}

void Writer::attachmentPart(const Attachment &attachment, int depth) {
    const QString name = attachment.name();
    if (attachment.message) {
        line("Content-Type: message/rfc822");
        line("Content-Disposition: attachment" + (name.isEmpty() ? QByteArray() : "; " + parameter("filename", name)));
        line("");
        message(*attachment.message, depth + 1);
        return;
    }
    // Without a type of its own, the part's type follows its name's extension.
    QString type = attachment.mimeType;
    if (type.isEmpty() && !name.isEmpty())
        type = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension).name();
    line("Content-Type: " + mediaType(type) +
         (name.isEmpty() || !isPlainAscii(name) ? QByteArray() : "; " + parameter("name", name)));
    line("Content-Disposition: attachment" + (name.isEmpty() ? QByteArray() : "; " + parameter("filename", name)));
    if (!attachment.contentId.isEmpty() && isPlainAscii(attachment.contentId))
        line("Content-ID: <" + attachment.contentId.toLatin1().replace('<', "").replace('>', "") + ">");
    line("Content-Transfer-Encoding: base64");
    line("");
    base64Span(attachment.data);
}

void Writer::message(const Message &message, int depth) {
    if (depth > kMaxDepth)
        throw Error(QStringLiteral("Messages are attached inside each other more than %1 levels deep.").arg(kMaxDepth));
    if (!message.senderName.isEmpty() || !message.senderAddress.isEmpty())
        line("From: " + mailbox(message.senderName, message.senderAddress));
    for (int type : {1, 2}) {
        QByteArrayList boxes;
        for (const Recipient &r : message.recipients) {
            if (r.type == type)
                boxes << mailbox(r.name, r.address);
        }
        if (!boxes.isEmpty())
            line((type == 1 ? "To: " : "Cc: ") + boxes.join(",\r\n "));
    }
    QString subject = message.subject;
    subject.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    if (!subject.isEmpty())
        line("Subject: " + headerText(subject));
    if (message.sent.isValid())
        line("Date: " + message.sent.toString(Qt::RFC2822Date).toLatin1());
    line("MIME-Version: 1.0");

    QList<const Attachment *> parts;
    for (const Attachment &a : message.attachments) {
        if (a.isSaveable())
            parts.append(&a);
    }
    if (parts.isEmpty()) {
        body(message);
        return;
    }
    const QByteArray b = boundary();
    line("Content-Type: multipart/mixed; boundary=\"" + b + "\"");
    line("");
    line("--" + b);
    body(message);
    for (const Attachment *a : parts) {
        line("--" + b);
        attachmentPart(*a, depth);
    }
    line("--" + b + "--");
}

} // namespace

void writeMessage(QIODevice &device, const Message &message, const Sink &sink) {
    Writer writer(device, sink);
    writer.message(message, 0);
}

} // namespace pw::tnef
