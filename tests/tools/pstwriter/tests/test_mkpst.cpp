// mkpst: JSON descriptions become stores that libpff reads as described.
#include "pffreader.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

struct Outcome {
    int exitCode;
    QString errors;
};

class Mkpst : public ::testing::Test {
protected:
    std::string path(const QString &name) const { return m_dir.filePath(name).toStdString(); }

    Outcome run(const QByteArray &json, const QString &out) {
        QFile f(m_dir.filePath(QStringLiteral("description.json")));
        f.open(QIODevice::WriteOnly);
        f.write(json);
        f.close();
        QProcess p;
        p.start(QStringLiteral(PW_BIN_DIR "/mkpst"), {f.fileName(), m_dir.filePath(out)});
        p.waitForFinished(60000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
    }

    QTemporaryDir m_dir;
};

// Once as a PST, once as an offline store with compressed blocks.
TEST_F(Mkpst, BuildsTheDescribedStore) {
    for (const char *layout : {"", R"("format": "ost4k", "compressBlocks": true,)"}) {
        SCOPED_TRACE(layout);
        const QByteArray json = QByteArray("{") + layout + R"(
          "name": "Described",
          "recordKey": "00112233445566778899aabbccddeeff",
          "deletedItems": false,
          "folders": [
            { "name": "Inbox", "messages": [
                { "repeat": 3, "subject": "Copy {n}", "senderName": "Ann", "senderAddress": "ann@example.org",
                  "senderAddressType": "SMTP", "deliveryTime": "2024-03-01T09:30:00Z", "body": "Body {n}",
                  "attachments": [ { "name": "file{n}.txt", "text": "text {n}" },
                                   { "name": "gen.bin", "size": 10000, "seed": 3 },
                                   { "displayName": "inner", "message": { "subject": "Inner {n}" } },
                                   { "name": "link", "link": "/srv/x" } ] } ],
              "folders": [ { "repeat": 2, "name": "Sub {n}" } ] },
            { "name": "Calendar", "containerClass": "IPF.Appointment",
              "messages": [ { "class": "IPM.Appointment", "subject": "Lunch" } ] }
          ] })";
        const Outcome r = run(json, QStringLiteral("out.pst"));
        ASSERT_EQ(r.exitCode, 0) << r.errors.toStdString();

        pffreader::File pff(path(QStringLiteral("out.pst")));
        std::ifstream written(path(QStringLiteral("out.pst")), std::ios::binary);
        char header[12] = {};
        written.read(header, sizeof header);
        EXPECT_EQ(header[10], *layout ? 36 : 23);  // the header's version
        EXPECT_EQ(pff.messageStore().text(0x3001), "Described");
        EXPECT_EQ(pff.messageStore().binary(0x0FF9),
                  std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff", 16));
        const pffreader::Item top = pff.ipmSubtree();
        const auto folders = top.subFolders();
        ASSERT_EQ(folders.size(), 2u);
        EXPECT_EQ(folders[0].folderName(), "Inbox");
        EXPECT_EQ(folders[1].folderName(), "Calendar");
        EXPECT_EQ(folders[1].text(0x3613), "IPF.Appointment");
        const auto subs = folders[0].subFolders();
        ASSERT_EQ(subs.size(), 2u);
        EXPECT_EQ(subs[0].folderName(), "Sub 1");
        EXPECT_EQ(subs[1].folderName(), "Sub 2");

        ASSERT_EQ(folders[0].messageCount(), 3);
        for (int i = 0; i < 3; ++i) {
            const pffreader::Item m = folders[0].message(i);
            const std::string n = std::to_string(i + 1);
            EXPECT_EQ(m.text(0x0037), "Copy " + n);
            EXPECT_EQ(m.text(0x1000), "Body " + n);
            EXPECT_EQ(m.filetime(0x0E06), 1709285400ull * 10000000ull + 116444736000000000ull);
            const auto atts = m.attachments();
            ASSERT_EQ(atts.size(), 4u);
            EXPECT_EQ(atts[0].text(0x3707), "file" + n + ".txt");
            EXPECT_EQ(atts[0].attachmentData(), "text " + n);
            EXPECT_EQ(atts[1].attachmentSize(), 10000u);
            EXPECT_EQ(atts[2].embeddedMessage().text(0x0037), "Inner " + n);
            EXPECT_EQ(atts[3].attachmentType(), LIBPFF_ATTACHMENT_TYPE_REFERENCE);
        }
        EXPECT_EQ(folders[1].message(0).text(0x001A), "IPM.Appointment");
    }
}

TEST_F(Mkpst, RejectsBadDescriptionsWithoutWritingAFile) {
    Outcome r = run("{ not json", QStringLiteral("a.pst"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.startsWith(QStringLiteral("mkpst: "))) << r.errors.toStdString();

    r = run(R"({ "name": "x", "folders": [ { "name": "I", "messages": [ { "deliveryTime": "yesterday" } ] } ] })",
            QStringLiteral("b.pst"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.contains(QStringLiteral("deliveryTime"))) << r.errors.toStdString();

    r = run(R"({ "name": "x", "folders": [ { "name": "I", "messages": [ { "attachments": [ { "file": "/no/such/file" } ] } ] } ] })",
            QStringLiteral("c.pst"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.contains(QStringLiteral("/no/such/file"))) << r.errors.toStdString();

    r = run(R"({ "name": "x", "encryption": "high" })", QStringLiteral("d.pst"));
    EXPECT_EQ(r.exitCode, 1);

    r = run(R"({ "name": "x", "format": "ost" })", QStringLiteral("e.pst"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.contains(QStringLiteral("unknown format"))) << r.errors.toStdString();

    r = run(R"({ "name": "x", "compressBlocks": true })", QStringLiteral("f.pst"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.contains(QStringLiteral("4 KiB-page layout"))) << r.errors.toStdString();
    for (const char *name : {"a.pst", "b.pst", "c.pst", "d.pst", "e.pst", "f.pst"})
        EXPECT_FALSE(std::filesystem::exists(path(QString::fromLatin1(name)))) << name;
}

}  // namespace
