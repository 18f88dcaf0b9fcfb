// The winmail.dat reader on streams built here: damaged and hostile input
// gives a clear error, never a crash, a hang or a huge allocation.
#include "platform/tnef/tnefbuilder.h"
#include "platform/tnef/tnefreader.h"

#include "core/error.h"

#include <QBuffer>

#include <gtest/gtest.h>

using namespace tnefbuild;

namespace {

pw::tnef::Message readBytes(QByteArray bytes) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return pw::tnef::read(buffer);
}

QString errorOf(const QByteArray &bytes) {
    try {
        readBytes(bytes);
    } catch (const pw::Error &e) {
        return e.text();
    }
    return QStringLiteral("<no error>");
}

QByteArray nested(int levels) {
    QByteArray s = stream(fileAttachment("deep.txt", "x"));
    for (int i = 0; i < levels; ++i)
        s = stream(messageAttachment(QStringLiteral("level %1").arg(i), s));
    return s;
}

} // namespace

TEST(TnefReader, NamesComeFromTheLongNameAndAttachedMessagesFromTheirDisplayName) {
    const auto message = readBytes(stream(fileAttachment("Quarterly report.xlsx", "data", "QUARTE~1.XLS") +
                                          messageAttachment("Re: plans/ideas", stream(QByteArray()))));
    ASSERT_EQ(message.attachments.size(), 2);
    EXPECT_EQ(message.attachments[0].name(), QStringLiteral("Quarterly report.xlsx"));
    EXPECT_EQ(message.attachments[0].data.size, 4);
    EXPECT_EQ(message.attachments[1].name(), QStringLiteral("Re: plans_ideas.eml"));
    ASSERT_NE(message.attachments[1].message, nullptr);
}

TEST(TnefReader, EveryCutShortStreamIsReportedOrReadUpToTheCut) {
    const QByteArray last = messageAttachment("m", nested(2));
    const QByteArray whole = stream(fileAttachment("a.txt", "alpha") + last);
    // The attached message's property block is the last attribute.
    const qsizetype lastStart = whole.size() - last.size() + last.lastIndexOf(QByteArray::fromHex("0205900600"), 64);
    for (qsizetype cut = 0; cut < whole.size(); ++cut) {
        const QString error = errorOf(whole.left(cut));
        if (cut > lastStart) {
            EXPECT_TRUE(error.contains(QLatin1String("ends early")) || error.contains(QLatin1String("checksum")))
                << cut << ": " << error.toStdString();
        }
    }
    EXPECT_EQ(errorOf(whole), QStringLiteral("<no error>"));
}

TEST(TnefReader, ChecksumErrorsAndUnknownLevelsAreReported) {
    EXPECT_TRUE(errorOf(stream(rendering() + attribute(kAttachment, 0x0006800F, "data", 1)))
                    .contains(QLatin1String("checksum of attribute 0x0006800f")));
    EXPECT_TRUE(errorOf(stream(attribute(7, 0x00018004, "x"))).contains(QLatin1String("unknown attribute level 7")));
    EXPECT_TRUE(errorOf(QByteArray("PK\3\4 not tnef")).contains(QLatin1String("signature")));
}

TEST(TnefReader, HostileCountsAndDepthsAreRefusedQuickly) {
    // A property count of four billion in a block of a few bytes.
    EXPECT_TRUE(errorOf(stream(rendering() + attribute(kAttachment, 0x00069005, le32(0xFFFFFFFF) + le32(0))))
                    .contains(QLatin1String("cannot fit")));
    // A value that claims two gigabytes.
    EXPECT_TRUE(errorOf(stream(rendering() + attribute(kAttachment, 0x00069005,
                                                       le32(1) + le16(0x0102) + le16(0x3701) + le32(1) + le32(0x7FFFFFFF))))
                    .contains(QLatin1String("ends early")));
    // An attribute longer than the stream.
    EXPECT_TRUE(errorOf(le32(0x223E9F78) + le16(1) + QByteArray(1, 2) + le32(0x0006800F) + le32(0xFFFFFFF0))
                    .contains(QLatin1String("ends early")));
    EXPECT_EQ(errorOf(nested(pw::tnef::kMaxDepth)), QStringLiteral("<no error>"));
    EXPECT_TRUE(errorOf(nested(pw::tnef::kMaxDepth + 1)).contains(QLatin1String("levels deep")));
    // More attachments than any mail carries.
    EXPECT_TRUE(errorOf(stream(rendering().repeated(pw::tnef::kMaxAttachments + 1))).contains(QLatin1String("more than")));
}
