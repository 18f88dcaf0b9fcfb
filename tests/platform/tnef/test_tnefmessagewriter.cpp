// The writer of messages attached inside a winmail.dat, read back with
// GMime as an independent reader: headers, bodies, attachments and attached
// messages come out as the wrapper holds them.
#include "platform/tnef/tnefbuilder.h"
#include "platform/tnef/tnefreader.h"

#include <QBuffer>
#include <QMap>

#include <gmime/gmime.h>
#include <gtest/gtest.h>

using namespace tnefbuild;

namespace {

// What GMime reads in a message.
struct Parsed {
    QString subject, from, to, cc, plain, html;
    bool dated = false;
    QMap<QString, QByteArray> files;  // attachment name -> decoded bytes
    QList<Parsed> messages;           // attached messages
};

QByteArray contentOf(GMimePart *part) {
    GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    GMimeStream *out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(wrapper, out);
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    QByteArray result(reinterpret_cast<const char *>(bytes->data), qsizetype(bytes->len));
    g_object_unref(out);
    return result;
}

QString addresses(InternetAddressList *list) {
    if (!list)
        return {};
    char *text = internet_address_list_to_string(list, nullptr, FALSE);
    const QString result = QString::fromUtf8(text ? text : "");
    g_free(text);
    return result;
}

Parsed parse(GMimeMessage *message);

void walk(GMimeObject *object, Parsed &into) {
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multi = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multi); ++i)
            walk(g_mime_multipart_get_part(multi, i), into);
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        into.messages.append(parse(g_mime_message_part_get_message(GMIME_MESSAGE_PART(object))));
    } else if (GMIME_IS_PART(object)) {
        GMimePart *part = GMIME_PART(object);
        if (const char *name = g_mime_part_get_filename(part)) {
            into.files.insert(QString::fromUtf8(name), contentOf(part));
        } else if (GMIME_IS_TEXT_PART(object)) {
            char *text = g_mime_text_part_get_text(GMIME_TEXT_PART(object));
            const QString decoded = QString::fromUtf8(text ? text : "");
            g_free(text);
            GMimeContentType *type = g_mime_object_get_content_type(object);
            (g_mime_content_type_is_type(type, "text", "html") ? into.html : into.plain) = decoded;
        }
    }
}

Parsed parse(GMimeMessage *message) {
    Parsed p;
    if (const char *subject = g_mime_message_get_subject(message))
        p.subject = QString::fromUtf8(subject);
    p.from = addresses(g_mime_message_get_from(message));
    p.to = addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_TO));
    p.cc = addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_CC));
    p.dated = g_mime_message_get_date(message) != nullptr;
    if (GMimeObject *body = g_mime_message_get_mime_part(message))
        walk(body, p);
    return p;
}

Parsed parseBytes(const QByteArray &eml) {
    static const bool ready = [] {
        g_mime_init();
        return true;
    }();
    (void)ready;
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(eml.constData(), size_t(eml.size()));
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    Parsed p;
    if (message) {
        p = parse(message);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return p;
}

// A device that counts the reads made of it.
class CountingBuffer : public QBuffer {
public:
    using QBuffer::QBuffer;
    int reads = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        ++reads;
        return QBuffer::readData(data, maxSize);
    }
};

// The wrapper's first attachment is an attached message; writes it.
QByteArray writeFirstMessage(QByteArray &wrapper, int *reads = nullptr) {
    CountingBuffer device(&wrapper);
    device.open(QIODevice::ReadOnly);
    const pw::tnef::Message outer = pw::tnef::read(device);
    EXPECT_TRUE(outer.problems.isEmpty()) << outer.problems.join(' ').toStdString();
    if (outer.attachments.isEmpty() || !outer.attachments[0].message)
        return {};
    device.reads = 0;
    QByteArray out;
    pw::tnef::writeMessage(device, *outer.attachments[0].message, [&](const char *data, qint64 size) { out.append(data, size); });
    if (reads)
        *reads = device.reads;
    return out;
}

} // namespace

TEST(TnefMessageWriter, HeadersBodiesAttachmentsAndAttachedMessagesReadBack) {
    Props recipients1, recipients2;
    recipients1.string(0x3001, "Ann Example").string(0x39FE, "ann@example.org").int32(0x0C15, 1);
    recipients2.string(0x3001, QStringLiteral("Zo\u00eb"), true).string(0x3003, "zoe@example.org").int32(0x0C15, 2);
    const QByteArray deepest = stream(attribute(kMessage, 0x00018004, "Deepest\0") + fileAttachment("deep.txt", "deep data"));
    const QByteArray inner = stream(
        attribute(kMessage, 0x00018004, "Caf\xe9 \"plans\"\0") + attribute(kMessage, 0x00069004, le32(2) + recipients1.bytes() + recipients2.bytes()) +
        attribute(kMessage, 0x00069003,
                  Props()
                      .string(0x0C1A, "Bob")
                      .string(0x5D01, "bob@example.org")
                      .raw(0x001E, 0x1000, le32(1) + le32(12) + padded(QByteArray("Hello there\0", 12)))
                      .binary(0x1013, QByteArray("<p>Hello</p>") + QByteArray(3, '\0'))
                      .raw(0x0040, 0x0039, le32(0xD53E8000) + le32(0x01D8B0F1))
                      .bytes()) +
        fileAttachment(QStringLiteral("r\u00e9sum\u00e9.pdf"), QByteArray("%PDF-1.4\0\x01\xff", 11)) +
        messageAttachment("Forwarded", deepest));
    QByteArray wrapper = stream(messageAttachment("Outer", inner));
    const Parsed p = parseBytes(writeFirstMessage(wrapper));
    EXPECT_EQ(p.subject, QStringLiteral("Caf\u00e9 \"plans\""));
    EXPECT_TRUE(p.from.contains(QLatin1String("bob@example.org"))) << p.from.toStdString();
    EXPECT_TRUE(p.to.contains(QLatin1String("ann@example.org")) && p.to.contains(QLatin1String("Ann Example")));
    EXPECT_TRUE(p.cc.contains(QLatin1String("zoe@example.org")) && p.cc.contains(QStringLiteral("Zo\u00eb"))) << p.cc.toStdString();
    EXPECT_TRUE(p.dated);
    EXPECT_EQ(p.plain, QStringLiteral("Hello there"));
    EXPECT_EQ(p.html, QStringLiteral("<p>Hello</p>"));
    ASSERT_EQ(p.files.size(), 1);
    EXPECT_EQ(p.files.value(QStringLiteral("r\u00e9sum\u00e9.pdf")), QByteArray("%PDF-1.4\0\x01\xff", 11));
    ASSERT_EQ(p.messages.size(), 1);
    EXPECT_EQ(p.messages[0].subject, QStringLiteral("Deepest"));
    EXPECT_EQ(p.messages[0].files.value(QStringLiteral("deep.txt")), QByteArray("deep data"));
}

TEST(TnefMessageWriter, BodiesPaddedWithNulsLoseThePaddingInAFewReads) {
    struct Case {
        quint16 type;
        QByteArray text;
        int nuls;
    };
    const QString hello = QStringLiteral("Gr\u00fc\u00dfe");
    const QByteArray utf16(reinterpret_cast<const char *>(hello.utf16()), hello.size() * 2);
    const Case cases[] = {
        {0x001E, "Gr\xfc\xdf" "e", 1},
        {0x001E, "Gr\xfc\xdf" "e", 4 << 20},
        {0x001F, utf16, 2},
        {0x001F, utf16, 1 << 20},
    };
    for (const Case &c : cases) {
        const QByteArray value = c.text + QByteArray(c.nuls, '\0');
        const QByteArray inner = stream(attribute(
            kMessage, 0x00069003, Props().raw(c.type, 0x1000, le32(1) + le32(quint32(value.size())) + padded(value)).bytes()));
        QByteArray wrapper = stream(messageAttachment("Padded", inner));
        int reads = 0;
        const Parsed p = parseBytes(writeFirstMessage(wrapper, &reads));
        EXPECT_EQ(p.plain, hello) << c.nuls;
        // The body's bytes are copied in 64 KB chunks; the NULs after it
        // are looked at in blocks as large, not one by one.
        EXPECT_LT(reads, 2 * (value.size() / (64 * 1024)) + 20) << c.nuls;
    }
}
