// The winmail.dat reader on streams built here from the format notes
// ([MS-OXTNEF]): what it reads, how far it reads past damage, and that
// hostile input never crashes, hangs or allocates without bound.
#include "platform/tnef/tnefbuilder.h"
#include "platform/tnef/tnefreader.h"

#include "core/error.h"

#include <QBuffer>

#include <gtest/gtest.h>

using namespace tnefbuild;
using pw::tnef::Message;

namespace {

Message readBytes(QByteArray bytes) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return pw::tnef::read(buffer);
}

QByteArray dataOf(const QByteArray &bytes, pw::tnef::Span span) {
    return span.isValid() ? bytes.mid(span.offset, span.size) : QByteArray("<none>");
}

QString problems(const Message &m) {
    return m.problems.join(QLatin1Char('\n'));
}

QByteArray nested(int levels) {
    QByteArray s = stream(fileAttachment("deep.txt", "x"));
    for (int i = 0; i < levels; ++i)
        s = stream(messageAttachment(QStringLiteral("level %1").arg(i), s));
    return s;
}

// An attachment whose property block is `props` (after its data).
QByteArray attachmentWith(const QByteArray &data, const Props &props, const QString &title = QString()) {
    QByteArray out = rendering();
    if (!title.isEmpty())
        out += attribute(kAttachment, 0x00018010, title.toLatin1() + '\0');
    if (!data.isNull())
        out += attribute(kAttachment, 0x0006800F, data);
    return out + attribute(kAttachment, 0x00069005, props.bytes());
}

} // namespace

TEST(TnefReader, NamesComeFromTheLongNameAndAttachedMessagesFromTheirDisplayName) {
    const auto message = readBytes(stream(fileAttachment("Quarterly report.xlsx", "data", "QUARTE~1.XLS") +
                                          messageAttachment("Re: plans/ideas", stream(QByteArray()))));
    EXPECT_TRUE(message.problems.isEmpty()) << problems(message).toStdString();
    ASSERT_EQ(message.attachments.size(), 2);
    EXPECT_EQ(message.attachments[0].name(), QStringLiteral("Quarterly report.xlsx"));
    EXPECT_EQ(message.attachments[0].data.size, 4);
    EXPECT_EQ(message.attachments[1].name(), QStringLiteral("Re: plans_ideas.eml"));
    ASSERT_NE(message.attachments[1].message, nullptr);
}

TEST(TnefReader, AFileWithoutANameIsNamedFromItsOtherProperties) {
    struct Case {
        const char *what;
        Props props;
        QString title;
        QString name;
    };
    const Case cases[] = {
        {"display name", Props().string(0x3001, "Shown name.doc"), {}, "Shown name.doc"},
        {"short name", Props().string(0x3704, "SHORT.TXT"), {}, "SHORT.TXT"},
        {"title before short name", Props().string(0x3704, "SHORT.TXT"), "TITLE.TXT", "TITLE.TXT"},
        {"extension with dot", Props().string(0x3703, ".pdf"), {}, "attachment.pdf"},
        {"extension without dot", Props().string(0x3703, "csv"), {}, "attachment.csv"},
        // The MIME type is left to the saving, which adds its extension.
        {"only a type", Props().string(0x370E, " Image/PNG "), {}, ""},
        {"nothing", Props().int32(0x3705, 1), {}, ""},
    };
    for (const Case &c : cases) {
        const Message m = readBytes(stream(attachmentWith("bytes", c.props, c.title)));
        ASSERT_EQ(m.attachments.size(), 1) << c.what;
        EXPECT_EQ(m.attachments[0].name(), c.name) << c.what;
        EXPECT_TRUE(m.attachments[0].isSaveable()) << c.what;
    }
    EXPECT_EQ(readBytes(stream(attachmentWith("b", Props().string(0x370E, " Image/PNG ")))).attachments[0].mimeType,
              QStringLiteral("image/png"));
}

TEST(TnefReader, PropertyTypesAreReadOrSkippedByTheirSize) {
    const QByteArray guid = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    // Before the long name: a named property of each kind, multi-valued
    // ones of fixed and variable size, the other fixed-size types, a server
    // id and a type of no known kind; each must be stepped over exactly.
    Props props;
    props.raw(0x0003, 0x8001, guid + le32(0) + le32(0x8123) + le32(7))                        // named by number
        .raw(0x001F, 0x8002, guid + le32(1) + le32(10) + padded(QByteArray("n\0a\0m\0e\0\0\0", 10)) + le32(1) + le32(2) +
                                 padded(QByteArray("x\0", 2)))                                  // named by string
        .raw(0x1003, 0x6000, le32(3) + le32(1) + le32(2) + le32(3))                            // multi 32-bit
        .raw(0x1002, 0x6001, le32(2) + le32(1) + le32(2))                                      // multi 16-bit, padded
        .raw(0x101E, 0x6002, le32(2) + le32(3) + padded(QByteArray("ab\0", 3)) + le32(5) + padded(QByteArray("cdef\0", 5)))  // multi strings
        .raw(0x1102, 0x6003, le32(1) + le32(6) + padded("binary"))                             // multi binary
        .raw(0x0014, 0x6004, QByteArray(8, 'i'))                                               // 64-bit
        .raw(0x0005, 0x6005, QByteArray(8, 'f'))                                               // double
        .raw(0x000B, 0x6006, le32(1))                                                          // boolean
        .raw(0x0048, 0x6007, guid)                                                             // GUID
        .raw(0x00FB, 0x6008, le32(1) + le32(3) + padded("sid"))                                // server id
        .raw(0x0999, 0x6009, le32(1) + le32(9) + padded("mystery!!"))                          // unknown type
        .string(0x3707, QStringLiteral("Long name \u00e9.txt"), true)
        .raw(0x0002, 0x3705, le32(1))                                                          // method as 16-bit
        .raw(0x0040, 0x6010, le32(0) + le32(0));                                               // a time
    const Message m = readBytes(stream(attachmentWith("payload", props)));
    EXPECT_TRUE(m.problems.isEmpty()) << problems(m).toStdString();
    ASSERT_EQ(m.attachments.size(), 1);
    EXPECT_EQ(m.attachments[0].name(), QStringLiteral("Long name \u00e9.txt"));
    EXPECT_EQ(m.attachments[0].method, 1u);
}

TEST(TnefReader, MessagePropertiesCodePagesAndRecipients) {
    // 2026-01-02 03:04:05 UTC as a FILETIME.
    const quint64 ticks = (quint64(1767323045) + 11644473600ULL) * 10000000ULL;
    const QByteArray cyrillic = QByteArray::fromHex("cff0e8e2e5f2"); // "Привет" in windows-1251
    Props recipient;
    recipient.string(0x3001, "Ann").string(0x3003, "/O=EXCHANGE/CN=ANN").string(0x39FE, "ann@example.org").int32(0x0C15, 2);
    const QByteArray recipients = le32(1) + recipient.bytes();
    const QByteArray attrs =
        attribute(kMessage, 0x00069007, le32(1251) + le32(0)) + attribute(kMessage, 0x00018004, cyrillic + '\0') +
        attribute(kMessage, 0x00069004, recipients) +
        attribute(kMessage, 0x00069003,
                  Props()
                      .string(0x0C1A, "Bob")
                      .string(0x0C1F, "/O=EXCHANGE/CN=BOB")
                      .string(0x5D01, "bob@example.org")
                      .raw(0x0040, 0x0039, le32(quint32(ticks)) + le32(quint32(ticks >> 32)))
                      .binary(0x1013, "<p>hi</p>")
                      .bytes());
    // The code page attribute of the builder's stream says 1252; this one
    // comes later and wins.
    const Message m = readBytes(stream(attrs));
    EXPECT_TRUE(m.problems.isEmpty()) << problems(m).toStdString();
    EXPECT_EQ(m.codepage, 1251);
    EXPECT_EQ(m.subject, QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442"));
    EXPECT_EQ(m.senderName, QStringLiteral("Bob"));
    EXPECT_EQ(m.senderAddress, QStringLiteral("bob@example.org"));
    EXPECT_EQ(m.sent, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
    ASSERT_EQ(m.recipients.size(), 1);
    EXPECT_EQ(m.recipients[0].name, QStringLiteral("Ann"));
    EXPECT_EQ(m.recipients[0].address, QStringLiteral("ann@example.org"));
    EXPECT_EQ(m.recipients[0].type, 2);
    EXPECT_EQ(m.htmlBody.size, 9);
}

TEST(TnefReader, AnOleObjectIsSavedWithoutItsInterfaceId) {
    const QByteArray iidStorage = QByteArray::fromHex("0b030200000000000c00000000000046");
    const QByteArray stream_ = stream(attachmentWith(
        QByteArray(), Props().int32(0x3705, 6).string(0x3707, "picture.bin").binary(0x3701, iidStorage + "OLEDATA", 0x000D)));
    const Message m = readBytes(stream_);
    ASSERT_EQ(m.attachments.size(), 1);
    EXPECT_EQ(dataOf(stream_, m.attachments[0].data), QByteArray("OLEDATA"));
}

TEST(TnefReader, BytesAfterTheLastAttributeAreIgnored) {
    const QByteArray whole = stream(fileAttachment("a.txt", "alpha"));
    const QByteArray tails[] = {QByteArray(1, 'x'), QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8),
                                QByteArray(4096, '\0')};
    for (const QByteArray &tail : tails) {
        const Message m = readBytes(whole + tail);
        EXPECT_TRUE(m.problems.isEmpty()) << tail.size() << ": " << problems(m).toStdString();
        ASSERT_EQ(m.attachments.size(), 1);
        EXPECT_EQ(dataOf(whole + tail, m.attachments[0].data), QByteArray("alpha"));
    }
    // Something longer that is no attribute and no padding may hide more:
    // it is reported, and what came before is kept.
    const Message m = readBytes(whole + QByteArray(1, 9) + QByteArray(40, 'z'));
    EXPECT_TRUE(problems(m).contains(QLatin1String("unknown attribute level 9"))) << problems(m).toStdString();
    EXPECT_EQ(m.attachments.size(), 1);
}

TEST(TnefReader, ABadChecksumIsReportedAndTheDataUsed) {
    const QByteArray bytes = stream(rendering() + attribute(kAttachment, 0x0006800F, "data", 1) +
                                    attribute(kAttachment, 0x00069005, Props().string(0x3707, "named.txt").bytes()));
    const Message m = readBytes(bytes);
    EXPECT_TRUE(problems(m).contains(QLatin1String("checksum of attribute 0x0006800f"))) << problems(m).toStdString();
    EXPECT_FALSE(m.cutShort);
    ASSERT_EQ(m.attachments.size(), 1);
    EXPECT_EQ(m.attachments[0].name(), QStringLiteral("named.txt"));
    EXPECT_EQ(dataOf(bytes, m.attachments[0].data), QByteArray("data"));
}

TEST(TnefReader, AStreamCutAnywhereKeepsTheAttachmentsReadBeforeTheCut) {
    const QByteArray first = fileAttachment("a.txt", "alpha");
    const QByteArray whole = stream(first + fileAttachment("b.txt", "bravo") + messageAttachment("m", nested(2)));
    const qsizetype firstEnd = whole.indexOf(first) + first.size();
    for (qsizetype cut = 6; cut < whole.size(); ++cut) {
        const QByteArray part = whole.left(cut);
        Message m;
        ASSERT_NO_THROW(m = readBytes(part)) << cut;
        if (cut < firstEnd)
            continue;
        ASSERT_GE(m.attachments.size(), 1) << cut;
        EXPECT_EQ(m.attachments[0].name(), QStringLiteral("a.txt")) << cut;
        EXPECT_EQ(dataOf(part, m.attachments[0].data), QByteArray("alpha")) << cut;
        // Whatever else is kept is whole: its data, or a message.
        for (qsizetype i = 1; i < m.attachments.size(); ++i) {
            const auto &a = m.attachments[i];
            if (a.data.isValid()) {
                EXPECT_EQ(dataOf(part, a.data), QByteArray("bravo")) << cut;
            }
        }
        // A cut inside an attribute is damage; on a boundary it is not.
        if (m.cutShort) {
            EXPECT_TRUE(problems(m).contains(QLatin1String("ends early"))) << cut << problems(m).toStdString();
        }
    }
    const Message m = readBytes(whole);
    EXPECT_TRUE(m.problems.isEmpty());
    EXPECT_EQ(m.attachments.size(), 3);
}

TEST(TnefReader, DamageInsideOneAttributeLosesOnlyItsRest) {
    struct Case {
        const char *what;
        QByteArray props;
        const char *problem;
    };
    const Case cases[] = {
        {"a property count of four billion", le32(0xFFFFFFFF) + le32(0), "cannot fit"},
        {"a value that claims two gigabytes", le32(1) + le16(0x0102) + le16(0x3701) + le32(1) + le32(0x7FFFFFFF), "ends early"},
        {"a named property of an unknown kind", le32(1) + le16(0x0003) + le16(0x8001) + QByteArray(16, 'g') + le32(2) + le32(0),
         "unknown property name kind 2"},
        {"an unknown type whose values do not fit", le32(1) + le16(0x0999) + le16(0x6000) + le32(1) + le32(1000), "ends early"},
    };
    for (const Case &c : cases) {
        // The damaged block comes after the data; the next attachment is
        // read as usual.
        const QByteArray bytes = stream(rendering() + attribute(kAttachment, 0x0006800F, "kept") +
                                        attribute(kAttachment, 0x00069005, c.props) + fileAttachment("next.txt", "next"));
        const Message m = readBytes(bytes);
        EXPECT_TRUE(problems(m).contains(QLatin1String(c.problem))) << c.what << ": " << problems(m).toStdString();
        ASSERT_EQ(m.attachments.size(), 2) << c.what;
        EXPECT_EQ(dataOf(bytes, m.attachments[0].data), QByteArray("kept")) << c.what;
        EXPECT_EQ(m.attachments[1].name(), QStringLiteral("next.txt")) << c.what;
    }
}

TEST(TnefReader, LimitsStopTheReadingAndKeepWhatCameBefore) {
    // An attribute longer than the stream.
    const Message longer = readBytes(le32(0x223E9F78) + le16(1) + QByteArray(1, 2) + le32(0x0006800F) + le32(0xFFFFFFF0));
    EXPECT_TRUE(problems(longer).contains(QLatin1String("ends early")));
    EXPECT_TRUE(longer.attachments.isEmpty());

    const Message deepest = readBytes(nested(pw::tnef::kMaxDepth));
    EXPECT_TRUE(deepest.problems.isEmpty()) << problems(deepest).toStdString();
    const QByteArray deep = nested(pw::tnef::kMaxDepth + 1);
    const Message past = readBytes(deep);
    EXPECT_TRUE(problems(past).contains(QLatin1String("levels deep"))) << problems(past).toStdString();

    // More attachments than any mail carries: the first ones are kept.
    const Message many = readBytes(stream(fileAttachment("f.txt", "f").repeated(pw::tnef::kMaxAttachments + 1)));
    EXPECT_TRUE(problems(many).contains(QLatin1String("more than"))) << problems(many).toStdString();
    EXPECT_EQ(many.attachments.size(), pw::tnef::kMaxAttachments);

    // Thousands of bad checksums make a short report.
    const Message noisy = readBytes(stream(attribute(kMessage, 0x00018004, "s", 1).repeated(5000)));
    EXPECT_LE(noisy.problems.size(), 21);
    EXPECT_TRUE(noisy.problems.last().contains(QLatin1String("more faults")));
}

TEST(TnefReader, WhatIsNoTnefStreamIsRefused) {
    for (const QByteArray &bytes : {QByteArray("PK\3\4 not tnef"), QByteArray("\x78\x9f"), QByteArray()}) {
        EXPECT_THROW(readBytes(bytes), pw::Error);
    }
    const Message bare = readBytes(le32(0x223E9F78));
    EXPECT_TRUE(bare.cutShort);
}
