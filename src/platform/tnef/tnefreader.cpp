#include "platform/tnef/tnefreader.h"

#include "core/codepage.h"

#include "core/error.h"


#include <cstring>

namespace pw::tnef {

namespace {

constexpr qint64 kChunk = 64 * 1024;
// Names, addresses and subjects longer than this are cut: nothing a file
// system or a header takes is that long, and memory stays bounded.
constexpr qint64 kMaxTextBytes = 64 * 1024;

constexpr quint8 kLevelMessage = 1;
constexpr quint8 kLevelAttachment = 2;

// Attribute identifiers (type in the high word, id in the low word).
constexpr quint32 attSubject = 0x00018004;
constexpr quint32 attDateSent = 0x00038005;
constexpr quint32 attMessageClass = 0x00078008;
constexpr quint32 attBody = 0x0002800C;
constexpr quint32 attOemCodepage = 0x00069007;
constexpr quint32 attMsgProps = 0x00069003;
constexpr quint32 attRecipTable = 0x00069004;
constexpr quint32 attAttachRendData = 0x00069002;
constexpr quint32 attAttachTitle = 0x00018010;
constexpr quint32 attAttachData = 0x0006800F;
constexpr quint32 attAttachment = 0x00069005;

// Property identifiers.
constexpr quint16 prMessageClass = 0x001A;
constexpr quint16 prSubject = 0x0037;
constexpr quint16 prClientSubmitTime = 0x0039;
constexpr quint16 prSentRepresentingName = 0x0042;
constexpr quint16 prSentRepresentingAddress = 0x0065;
constexpr quint16 prRecipientType = 0x0C15;
constexpr quint16 prSenderName = 0x0C1A;
constexpr quint16 prSenderAddress = 0x0C1F;
constexpr quint16 prMessageDeliveryTime = 0x0E06;
constexpr quint16 prBody = 0x1000;
constexpr quint16 prHtml = 0x1013;
constexpr quint16 prDisplayName = 0x3001;
constexpr quint16 prEmailAddress = 0x3003;
constexpr quint16 prAttachDataObj = 0x3701;
constexpr quint16 prAttachExtension = 0x3703;
constexpr quint16 prAttachFilename = 0x3704;
constexpr quint16 prAttachMethod = 0x3705;
constexpr quint16 prAttachLongFilename = 0x3707;
constexpr quint16 prAttachMimeTag = 0x370E;
constexpr quint16 prAttachContentId = 0x3712;
constexpr quint16 prSmtpAddress = 0x39FE;
constexpr quint16 prSenderSmtpAddress = 0x5D01;

// Property types.
constexpr quint16 ptInteger16 = 0x0002;
constexpr quint16 ptInteger32 = 0x0003;
constexpr quint16 ptObject = 0x000D;
constexpr quint16 ptString8 = 0x001E;
constexpr quint16 ptUnicode = 0x001F;
constexpr quint16 ptTime = 0x0040;
constexpr quint16 ptBinary = 0x0102;
constexpr quint16 kMultiValued = 0x1000;

// IID_IMessage {00020307-0000-0000-C000-000000000046} as stored.
const QByteArray kIidMessage = QByteArray::fromHex("0703020000000000c000000000000046");

// Problems recorded for one wrapper: a damaged one can repeat the same
// fault thousands of times.
constexpr int kMaxProblems = 20;
// An attribute's head: level, id and length.
constexpr qint64 kAttributeHead = 1 + 4 + 4;

// Bytes a fixed-size value takes; 0 for a variable-size type, -1 for a type
// the format does not know.
int fixedSize(quint16 baseType) {
    switch (baseType) {
    case 0x0002: // 16-bit integer, padded
    case 0x0003:
    case 0x0004:
    case 0x000A:
    case 0x000B: // boolean, padded
        return 4;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case 0x0040:
        return 8;
    case 0x0048:
        return 16;
    case 0x000D:
    case 0x001E:
    case 0x001F:
    case 0x00FB: // server id
    case 0x0102:
        return 0;
    default:
        return -1;
    }
}

qint64 padded(qint64 size) {
    return (size + 3) & ~qint64(3);
}


// A window [pos, end) onto the device, every read checked against it.
class Cursor {
public:
    Cursor(QIODevice &device, qint64 pos, qint64 end) : m_device(device), m_pos(pos), m_end(end) {}

    qint64 pos() const { return m_pos; }
    qint64 end() const { return m_end; }
    qint64 remaining() const { return m_end - m_pos; }

    void need(qint64 size, const char *what) const {
        if (size < 0 || size > remaining())
            throw Error(QStringLiteral("The winmail.dat data ends early: %1 at byte %2 needs %3 bytes, %4 remain.")
                            .arg(QLatin1String(what))
                            .arg(m_pos)
                            .arg(size)
                            .arg(remaining()));
    }

    QByteArray bytes(qint64 size, const char *what) {
        need(size, what);
        QByteArray out(size, Qt::Uninitialized);
        if (!m_device.seek(m_pos) || m_device.read(out.data(), size) != size)
            throw Error(QStringLiteral("Cannot read the winmail.dat data at byte %1: %2").arg(m_pos).arg(m_device.errorString()));
        m_pos += size;
        return out;
    }
    quint8 u8(const char *what) { return static_cast<quint8>(bytes(1, what).at(0)); }
    quint16 u16(const char *what) {
        const QByteArray b = bytes(2, what);
        return static_cast<quint16>(static_cast<quint8>(b[0]) | static_cast<quint8>(b[1]) << 8);
    }
    quint32 u32(const char *what) {
        const QByteArray b = bytes(4, what);
        return static_cast<quint32>(static_cast<quint8>(b[0])) | static_cast<quint32>(static_cast<quint8>(b[1])) << 8 |
               static_cast<quint32>(static_cast<quint8>(b[2])) << 16 | static_cast<quint32>(static_cast<quint8>(b[3])) << 24;
    }
    void skip(qint64 size, const char *what) {
        need(size, what);
        m_pos += size;
    }
    // Skips the padding after a value; a stream that ends right after its
    // last value without the padding is accepted.
    void skipPadding(qint64 valueSize) {
        m_pos += std::min(padded(valueSize) - valueSize, remaining());
    }

private:
    QIODevice &m_device;
    qint64 m_pos;
    qint64 m_end;
};

quint32 le32(const QByteArray &b, int at = 0) {
    if (b.size() < at + 4)
        return 0;
    return static_cast<quint32>(static_cast<quint8>(b[at])) | static_cast<quint32>(static_cast<quint8>(b[at + 1])) << 8 |
           static_cast<quint32>(static_cast<quint8>(b[at + 2])) << 16 | static_cast<quint32>(static_cast<quint8>(b[at + 3])) << 24;
}

quint64 le64(const QByteArray &b) {
    return static_cast<quint64>(le32(b, 0)) | static_cast<quint64>(le32(b, 4)) << 32;
}

// One property value as the block holds it.
struct Property {
    quint16 id = 0;
    quint16 type = 0; // base type, without the multi-valued flag
    bool named = false;
    QByteArray fixed; // a fixed-size single value
    Span value;       // the first value of a variable-size property
};

class Parser {
public:
    Parser(QIODevice &device) : m_device(device) {}

    Message stream(qint64 begin, qint64 end, int depth, int codepage);
    QStringList problems() const;

private:
    void problem(const QString &text);
    bool checksumMatches(qint64 begin, qint64 size, quint16 expected);
    void attribute(Message &message, Attachment *&current, quint8 level, quint32 id, Span data, int depth);
    // Reads one property block; answers where it ends.
    template <class Handler> qint64 properties(qint64 begin, qint64 end, Handler &&handler);
    QString text(const Property &p, int codepage);
    QString text8(Span span, int codepage, bool utf16);
    void messageProperty(Message &message, const Property &p);
    void attachmentProperty(Attachment &attachment, const Property &p, int codepage, int depth);
    void recipients(Message &message, qint64 begin, qint64 end);

    QIODevice &m_device;
    int m_attachments = 0;
    QStringList m_problems;
    int m_moreProblems = 0;
};

void Parser::problem(const QString &text) {
    if (m_problems.size() < kMaxProblems)
        m_problems.append(text);
    else
        ++m_moreProblems;
}

QStringList Parser::problems() const {
    QStringList out = m_problems;
    if (m_moreProblems > 0)
        out.append(QStringLiteral("The winmail.dat data has %1 more faults like these.").arg(m_moreProblems));
    return out;
}

bool Parser::checksumMatches(qint64 begin, qint64 size, quint16 expected) {
    quint32 sum = 0;
    QByteArray buffer;
    for (qint64 done = 0; done < size;) {
        const qint64 want = std::min(kChunk, size - done);
        buffer.resize(want);
        if (!m_device.seek(begin + done) || m_device.read(buffer.data(), want) != want)
            throw Error(QStringLiteral("Cannot read the winmail.dat data at byte %1: %2").arg(begin + done).arg(m_device.errorString()));
        for (char c : std::as_const(buffer))
            sum += static_cast<quint8>(c);
        done += want;
    }
    return static_cast<quint16>(sum) == expected;
}

template <class Handler> qint64 Parser::properties(qint64 begin, qint64 end, Handler &&handler) {
    Cursor c(m_device, begin, end);
    const quint32 count = c.u32("the property count");
    // Every property takes at least 8 bytes: a count past that is a lie.
    if (count > static_cast<quint64>(c.remaining()) / 8)
        throw Error(QStringLiteral("The winmail.dat data is damaged: %1 properties announced at byte %2 cannot fit in %3 bytes.")
                        .arg(count)
                        .arg(begin)
                        .arg(c.remaining()));
    for (quint32 i = 0; i < count; ++i) {
        Property p;
        const quint16 fullType = c.u16("a property type");
        p.id = c.u16("a property id");
        p.type = fullType & ~kMultiValued;
        const bool multi = fullType & kMultiValued;
        if (p.id >= 0x8000) {
            p.named = true;
            c.skip(16, "a property name's GUID");
            const quint32 kind = c.u32("a property name's kind");
            if (kind == 0) {
                c.skip(4, "a property name's number");
            } else if (kind == 1) {
                const quint32 length = c.u32("a property name's length");
                c.skip(length, "a property name");
                c.skipPadding(length);
            } else {
                throw Error(QStringLiteral("The winmail.dat data is damaged: unknown property name kind %1 at byte %2.")
                                .arg(kind)
                                .arg(c.pos() - 4));
            }
        }
        // A type this reader does not know is taken as the variable-size
        // kind (a count, then sized values) and skipped: every value it
        // declares must fit, or the block is damaged.
        const int known = fixedSize(p.type);
        const int size = std::max(known, 0);
        if (size > 0 && !multi) {
            p.fixed = c.bytes(size, "a property value");
        } else {
            const quint32 values = c.u32("a property's value count");
            if (values > static_cast<quint64>(c.remaining()) / 4)
                throw Error(QStringLiteral("The winmail.dat data is damaged: %1 values announced at byte %2 cannot fit.")
                                .arg(values)
                                .arg(c.pos() - 4));
            for (quint32 v = 0; v < values; ++v) {
                if (size > 0) {
                    c.skip(size, "a property value");
                    continue;
                }
                const quint32 length = c.u32("a property value's length");
                c.need(length, "a property value");
                if (v == 0)
                    p.value = Span{c.pos(), length};
                c.skip(length, "a property value");
                c.skipPadding(length);
            }
            if (multi || known < 0)
                continue; // nothing we read is multi-valued
        }
        handler(p);
    }
    return c.pos();
}

QString Parser::text8(Span span, int codepage, bool utf16) {
    if (!span.isValid())
        return {};
    Cursor c(m_device, span.offset, span.offset + span.size);
    QByteArray raw = c.bytes(std::min(span.size, kMaxTextBytes), "a text value");
    QString result;
    if (utf16) {
        raw.truncate(raw.size() & ~qsizetype(1));
        result = QString::fromUtf16(reinterpret_cast<const char16_t *>(raw.constData()), raw.size() / 2);
    } else {
        result = decodeCodepage(raw, codepage);
    }
    const qsizetype nul = result.indexOf(QChar(0));
    if (nul >= 0)
        result.truncate(nul);
    return result;
}

QString Parser::text(const Property &p, int codepage) {
    if (p.type != ptString8 && p.type != ptUnicode)
        return {};
    return text8(p.value, codepage, p.type == ptUnicode);
}

QDateTime fromFiletime(const QByteArray &value) {
    const quint64 ticks = le64(value);
    // 100 ns since 1601; 11644473600 s lie between 1601 and 1970.
    const qint64 seconds = static_cast<qint64>(ticks / 10000000ULL) - 11644473600LL;
    if (ticks == 0 || seconds < 0 || seconds > 253402300799LL)
        return {};
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

void Parser::messageProperty(Message &message, const Property &p) {
    if (p.named)
        return;
    switch (p.id) {
    case prMessageClass:
        message.messageClass = text(p, message.codepage);
        break;
    case prSubject:
        message.subject = text(p, message.codepage);
        break;
    case prSenderName:
        message.senderName = text(p, message.codepage);
        break;
    case prSentRepresentingName:
        if (message.senderName.isEmpty())
            message.senderName = text(p, message.codepage);
        break;
    case prSenderSmtpAddress:
        if (const QString a = text(p, message.codepage); a.contains(QLatin1Char('@')))
            message.senderAddress = a;
        break;
    case prSenderAddress:
    case prSentRepresentingAddress:
        // Exchange addresses ("/O=...") are no mail addresses.
        if (const QString a = text(p, message.codepage); message.senderAddress.isEmpty() && a.contains(QLatin1Char('@')))
            message.senderAddress = a;
        break;
    case prClientSubmitTime:
    case prMessageDeliveryTime:
        if (p.type == ptTime && !message.sent.isValid())
            message.sent = fromFiletime(p.fixed);
        break;
    case prBody:
        if (p.type == ptString8 || p.type == ptUnicode)
            message.plainBody = Body{p.value, p.type == ptUnicode};
        break;
    case prHtml:
        if (p.type == ptBinary || p.type == ptString8)
            message.htmlBody = p.value;
        break;
    default:
        break;
    }
}

void Parser::attachmentProperty(Attachment &attachment, const Property &p, int codepage, int depth) {
    if (p.named)
        return;
    switch (p.id) {
    case prAttachLongFilename:
        attachment.longFileName = text(p, codepage);
        break;
    case prAttachFilename:
        attachment.fileName = text(p, codepage);
        break;
    case prAttachExtension:
        attachment.extension = text(p, codepage).trimmed();
        break;
    case prDisplayName:
        attachment.displayName = text(p, codepage);
        break;
    case prAttachMimeTag:
        attachment.mimeType = text(p, codepage).trimmed().toLower();
        break;
    case prAttachContentId:
        attachment.contentId = text(p, codepage);
        break;
    case prAttachMethod:
        if (p.type == ptInteger32 || p.type == ptInteger16)
            attachment.method = le32(p.fixed);
        break;
    case prAttachDataObj:
        if (p.type == ptBinary) {
            attachment.data = p.value;
        } else if (p.type == ptObject && p.value.size >= 16) {
            Cursor c(m_device, p.value.offset, p.value.offset + p.value.size);
            const QByteArray iid = c.bytes(16, "an object's interface id");
            if (iid == kIidMessage) {
                if (depth + 1 > kMaxDepth)
                    throw Error(QStringLiteral("The winmail.dat data holds messages attached inside each other more than "
                                               "%1 levels deep; it is probably damaged.")
                                    .arg(kMaxDepth));
                attachment.message = std::make_shared<const Message>(stream(c.pos(), c.end(), depth + 1, codepage));
                attachment.data = Span{};
            } else {
                // An OLE object's storage: saved as it is.
                attachment.data = Span{c.pos(), c.remaining()};
            }
        }
        break;
    default:
        break;
    }
}

void Parser::recipients(Message &message, qint64 begin, qint64 end) {
    Cursor c(m_device, begin, end);
    const quint32 rows = c.u32("the recipient count");
    if (rows > static_cast<quint64>(c.remaining()) / 4)
        throw Error(QStringLiteral("The winmail.dat data is damaged: %1 recipients announced at byte %2 cannot fit.")
                        .arg(rows)
                        .arg(begin));
    qint64 pos = c.pos();
    for (quint32 r = 0; r < rows; ++r) {
        Recipient recipient;
        QString smtp;
        pos = properties(pos, end, [&](const Property &p) {
            if (p.named)
                return;
            if (p.id == prDisplayName)
                recipient.name = text(p, message.codepage);
            else if (p.id == prEmailAddress)
                recipient.address = text(p, message.codepage);
            else if (p.id == prSmtpAddress)
                smtp = text(p, message.codepage);
            else if (p.id == prRecipientType && p.type == ptInteger32)
                recipient.type = static_cast<int>(le32(p.fixed));
        });
        if (!smtp.isEmpty())
            recipient.address = smtp;
        if (!recipient.address.contains(QLatin1Char('@')))
            recipient.address.clear();
        if (!recipient.name.isEmpty() || !recipient.address.isEmpty())
            message.recipients.append(recipient);
    }
}

void Parser::attribute(Message &message, Attachment *&current, quint8 level, quint32 id, Span data, int depth) {
    const qint64 dataBegin = data.offset;
    const qint64 length = data.size;
    if (level == kLevelMessage) {
        switch (id) {
        case attOemCodepage:
            if (length >= 4) {
                Cursor v(m_device, dataBegin, dataBegin + length);
                if (const quint32 cp = v.u32("the code page"); cp > 0 && cp < 65536)
                    message.codepage = static_cast<int>(cp);
            }
            break;
        case attMessageClass:
            message.messageClass = text8(data, message.codepage, false);
            break;
        case attSubject:
            message.subject = text8(data, message.codepage, false);
            break;
        case attBody:
            message.plainBody = Body{data, false};
            break;
        case attDateSent:
            if (length >= 12 && !message.sent.isValid()) {
                Cursor v(m_device, dataBegin, dataBegin + length);
                const int y = v.u16("a date"), mo = v.u16("a date"), d = v.u16("a date");
                const int h = v.u16("a date"), mi = v.u16("a date"), s = v.u16("a date");
                const QDateTime when(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
                if (when.isValid())
                    message.sent = when;
            }
            break;
        case attMsgProps:
            properties(dataBegin, dataBegin + length, [&](const Property &p) { messageProperty(message, p); });
            break;
        case attRecipTable:
            recipients(message, dataBegin, dataBegin + length);
            break;
        default:
            break;
        }
        return;
    }
    switch (id) {
    case attAttachTitle:
        current->title = text8(data, message.codepage, false);
        break;
    case attAttachData:
        if (!current->data.isValid())
            current->data = data;
        break;
    case attAttachment:
        properties(dataBegin, dataBegin + length,
                   [&](const Property &p) { attachmentProperty(*current, p, message.codepage, depth); });
        break;
    default:
        break;
    }
}

Message Parser::stream(qint64 begin, qint64 end, int depth, int codepage) {
    Cursor c(m_device, begin, end);
    if (c.remaining() < 4 || c.u32("the signature") != kSignature)
        throw Error(QStringLiteral("This is no winmail.dat data: it does not start with the TNEF signature."));

    Message message;
    message.codepage = codepage;
    if (c.remaining() < 2) {
        problem(QStringLiteral("The winmail.dat data ends right after its signature."));
        message.cutShort = true;
        return message;
    }
    c.skip(2, "the key");

    Attachment *current = nullptr;
    // Whether the attachment under way has had its property block, the
    // last of an attachment's attributes.
    bool currentComplete = true;
    const auto stop = [&](const QString &why) {
        problem(why);
        message.cutShort = true;
        if (current && !currentComplete)
            message.attachments.removeLast(); // read only in part
    };
    while (c.remaining() > 0) {
        // Fewer bytes than an attribute's head: stray bytes after the last.
        if (c.remaining() < kAttributeHead)
            break;
        const qint64 attributeStart = c.pos();
        const quint8 level = c.u8("an attribute's level");
        const quint32 id = c.u32("an attribute's id");
        const quint32 length = c.u32("an attribute's length");
        const qint64 dataBegin = c.pos();
        if (level != kLevelMessage && level != kLevelAttachment) {
            // No attribute starts here. Padding after the last one is
            // common; anything else may hide attributes we cannot find.
            const QByteArray rest = Cursor(m_device, attributeStart, std::min(end, attributeStart + kChunk))
                                        .bytes(std::min(end - attributeStart, kChunk), "the bytes after the last attribute");
            if (rest.count('\0') != rest.size())
                stop(QStringLiteral("The winmail.dat data is damaged: unknown attribute level %1 at byte %2; the "
                                    "%3 bytes from there on were not read.")
                         .arg(level)
                         .arg(attributeStart)
                         .arg(end - attributeStart));
            break;
        }
        if (qint64(length) + 2 > c.remaining()) {
            stop(QStringLiteral("The winmail.dat data ends early: attribute 0x%1 at byte %2 needs %3 bytes, %4 remain.")
                     .arg(id, 8, 16, QLatin1Char('0'))
                     .arg(attributeStart)
                     .arg(qint64(length) + 2)
                     .arg(c.remaining()));
            break;
        }
        c.skip(length, "an attribute's data");
        const quint16 checksum = c.u16("an attribute's checksum");
        if (!checksumMatches(dataBegin, length, checksum))
            problem(QStringLiteral("The winmail.dat data is damaged: the checksum of attribute 0x%1 at byte %2 does not "
                                   "match; its data was used as it is.")
                        .arg(id, 8, 16, QLatin1Char('0'))
                        .arg(attributeStart));

        if (level == kLevelAttachment && (id == attAttachRendData || !current)) {
            if (m_attachments + 1 > kMaxAttachments) {
                stop(QStringLiteral("The winmail.dat data holds more than %1 attachments; the rest were not read.")
                         .arg(kMaxAttachments));
                break;
            }
            ++m_attachments;
            message.attachments.append(Attachment{});
            current = &message.attachments.last();
            currentComplete = false;
        }
        try {
            attribute(message, current, level, id, Span{dataBegin, length}, depth);
        } catch (const Error &e) {
            // The attribute's own frame is sound: only its rest is lost.
            problem(e.text());
        }
        if (level == kLevelAttachment && id == attAttachment)
            currentComplete = true;
    }
    return message;
}

} // namespace

QString Attachment::name() const {
    if (message) {
        QString base = displayName;
        if (base.isEmpty())
            base = message->subject;
        if (base.isEmpty())
            base = longFileName;
        if (base.isEmpty())
            base = QStringLiteral("message");
        // A "/" in a subject is no folder.
        base.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
        return base.endsWith(QLatin1String(".eml"), Qt::CaseInsensitive) ? base : base + QStringLiteral(".eml");
    }
    for (const QString *candidate : {&longFileName, &title, &fileName, &displayName}) {
        if (!candidate->trimmed().isEmpty())
            return *candidate;
    }
    if (!extension.isEmpty())
        return QStringLiteral("attachment") + (extension.startsWith(QLatin1Char('.')) ? QString() : QStringLiteral(".")) +
               extension;
    return {};
}

bool hasSignature(QIODevice &device) {
    char head[4];
    const bool ok = device.seek(0) && device.read(head, 4) == 4 &&
                    le32(QByteArray::fromRawData(head, 4)) == kSignature;
    device.seek(0);
    return ok;
}

Message read(QIODevice &device) {
    Parser parser(device);
    Message message = parser.stream(0, device.size(), 0, 1252);
    message.problems = parser.problems();
    return message;
}

void copySpan(QIODevice &device, Span span, const Sink &sink) {
    if (!span.isValid() || span.offset + span.size > device.size())
        throw Error(QStringLiteral("The attachment's data lies outside the winmail.dat data."));
    QByteArray buffer;
    for (qint64 done = 0; done < span.size;) {
        const qint64 want = std::min(kChunk, span.size - done);
        buffer.resize(want);
        if (!device.seek(span.offset + done) || device.read(buffer.data(), want) != want)
            throw Error(QStringLiteral("Cannot read the winmail.dat data at byte %1: %2")
                            .arg(span.offset + done)
                            .arg(device.errorString()));
        sink(buffer.constData(), want);
        done += want;
    }
}

} // namespace pw::tnef
