// The .eml message list: header lines, file reading, and the listing.
#include "express/emllist.h"

#include "core/error.h"
#include "platform/mime/mailtext.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <unistd.h>

using namespace pw;
using pw::Express1::GetHeaderValue;
using pw::Express1::ListEmlMessages;
using pw::Express1::ReadFileText;
using pw::Express1::ReadHeaderValues;

namespace {

const QByteArray kAttachmentPart = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                                   "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
                                   "--B\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\n\r\n%PDF\r\n--B--\r\n";

void writeFile(const QString &path, const QByteArray &data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

TEST(GetHeaderValueTest, ExactLinesOnlyFirstMatchWins) {
    const QString text = QStringLiteral("From: Ann\r\nTo: Bob\r\nSubject:  Hello  \r\n"
                                        "Date: Tue, 1 Apr 2008 10:00:00 +0200\r\n\r\nDate: later\r\nX-Tab:\tv\t \r\n");
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("From")), QStringLiteral("Ann"));
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("Subject")), QStringLiteral("Hello"));
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("Date")), QStringLiteral("Tue, 1 Apr 2008 10:00:00 +0200"));
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("X-Tab")), QStringLiteral("\tv\t"));
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("Cc")), QString());
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("from")), QString());
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("Fro")), QString());
}

TEST(GetHeaderValueTest, CaseSpacingFoldingAndBody) {
    EXPECT_EQ(GetHeaderValue(QStringLiteral("FROM: Ann\r\nFrom : x\r\n"), QStringLiteral("From")), QString());
    EXPECT_EQ(GetHeaderValue(QStringLiteral("Subject: first\r\n line two\r\n"), QStringLiteral("Subject")),
              QStringLiteral("first"));
    // A body line counts when no header line came first.
    EXPECT_EQ(GetHeaderValue(QStringLiteral("From: a\r\n\r\nDate: in the body\r\n"), QStringLiteral("Date")),
              QStringLiteral("in the body"));
    EXPECT_EQ(GetHeaderValue(QStringLiteral("Date:"), QStringLiteral("Date")), QString());
    EXPECT_EQ(GetHeaderValue(QString(), QStringLiteral("Date")), QString());
}

TEST(GetHeaderValueTest, LoneLineFeedsDoNotSplit) {
    const QString text = QStringLiteral("From: Ann\nTo: Bob\nDate: x\n");
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("From")), QStringLiteral("Ann\nTo: Bob\nDate: x\n"));
    EXPECT_EQ(GetHeaderValue(text, QStringLiteral("Date")), QString());
    EXPECT_EQ(GetHeaderValue(QStringLiteral("A: 1\rB: 2"), QStringLiteral("B")), QString());
}

class EmlFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        list.setColumns({QStringLiteral("From"), QStringLiteral("To"), QStringLiteral("Subject"),
                         QStringLiteral("Date Received")},
                        {1500, 1500, 2000, 1500});
    }
    QString at(const QString &name) const { return dir.filePath(name); }
    QStringList row(int r) const {
        QStringList texts;
        for (int c = 0; c < 4; ++c)
            texts.append(list.text(r, c));
        return texts;
    }
    QTemporaryDir dir;
    MessageListModel list;
    QStringList names;
};

TEST_F(EmlFolder, ReadFileTextCases) {
    EXPECT_EQ(ReadFileText(at(QStringLiteral("missing.eml"))), QString());
    writeFile(at(QStringLiteral("empty.eml")), QByteArray());
    EXPECT_EQ(ReadFileText(at(QStringLiteral("empty.eml"))), QStringLiteral("empty file"));
    writeFile(at(QStringLiteral("bom.eml")), QByteArray("\xff\xfeH\0i\0", 6));
    EXPECT_EQ(ReadFileText(at(QStringLiteral("bom.eml"))),
              QStringLiteral("ÿþH") + QChar(0) + QStringLiteral("i") + QChar(0));
    writeFile(at(QStringLiteral("mixed.eml")), "Subject: caf\xc3\xa9 and caf\xe9\r\n");
    EXPECT_EQ(ReadFileText(at(QStringLiteral("mixed.eml"))), QStringLiteral("Subject: café and café\r\n"));
    EXPECT_THROW(ReadFileText(dir.path()), Error);
}

TEST_F(EmlFolder, HeaderValuesReadInChunksMatchTheWholeText) {
    // Lines that straddle the reader's 64 KiB chunks, with the CR LF split
    // between two chunks, and every oddity GetHeaderValue has to keep.
    const QByteArray pad = "X-Pad: " + QByteArray(65536 - 7 - 1, 'p');
    const QList<QByteArray> texts{
        "From: Ann\r\nTo: Bob\r\nSubject:  Hello  \r\nDate: Tue, 1 Apr 2008\r\n\r\nDate: later\r\n",
        "FROM: Ann\r\nFrom : x\r\nSubject: first\r\n line two\r\n\r\nDate: in the body\r\nFrom: body",
        "Date: Mon\nFrom: Ann\nTo: Bob\n",
        "A: 1\rDate: 2\r\nTo:\r\nSubject:\r",
        pad + "\r\nDate: after a split CR LF\r\nTo: t\r\n",
        pad + "x\r\nDate: starts a chunk\r\n",
        pad + "\nDate: lone LF at the boundary\r\n",
        "Subject: caf\xc3\xa9 and caf\xe9\r\nDate: \xff\xfe\r\n",
        "Date: no line break at the end  ",
        "\r\n\r\nDate:\r\nDate: second\r\n",
        "empty file",
        QByteArray()};
    const QStringList headerNames{QStringLiteral("Date"), QStringLiteral("To"), QStringLiteral("From"),
                                  QStringLiteral("Subject")};
    int i = 0;
    for (const QByteArray &text : texts) {
        const QString path = at(QStringLiteral("h%1.eml").arg(i++));
        writeFile(path, text);
        const QString whole = ReadFileText(path);
        QStringList expected;
        for (const QString &name : headerNames)
            expected.append(GetHeaderValue(whole, name));
        EXPECT_EQ(ReadHeaderValues(path, headerNames), expected) << text.left(60).toStdString();
    }
    EXPECT_EQ(ReadHeaderValues(at(QStringLiteral("missing.eml")), headerNames), QStringList(4));
    EXPECT_THROW(ReadHeaderValues(dir.path(), headerNames), Error);
}

TEST_F(EmlFolder, OverlongHeaderValueIsCutOnACharacterBoundary) {
    // Lone LFs make the whole text one line; its value is kept up to the cap.
    const qsizetype cap = Express1::kMaxHeaderValueBytes;
    QByteArray body;
    while (body.size() < 3 * cap)
        body += "more text\n";
    writeFile(at(QStringLiteral("lf.eml")), "Date: Mon\n" + body);
    const QString date = ReadHeaderValues(at(QStringLiteral("lf.eml")), {QStringLiteral("Date")}).value(0);
    EXPECT_EQ(date.size(), cap);
    EXPECT_EQ(date, QString::fromLatin1(("Mon\n" + body).left(cap)));

    // A two-byte character across the cap is left out whole, not shown as
    // two stray characters.
    writeFile(at(QStringLiteral("utf8.eml")), "Subject: " + QByteArray(cap - 1, 'a') + "\xc3\xa9 tail\r\n");
    EXPECT_EQ(ReadHeaderValues(at(QStringLiteral("utf8.eml")), {QStringLiteral("Subject")}).value(0),
              QString(cap - 1, QLatin1Char('a')));
}

TEST_F(EmlFolder, RowsInStepWithNames) {
    writeFile(at(QStringLiteral("a.eml")), "From: Ann\r\nTo: Bob\r\nSubject:  Hello  \r\nDate: Tue, 1 Apr 2008 10:00:00 +0200\r\n"
                                               + kAttachmentPart);
    writeFile(at(QStringLiteral("b.eml")), "From: Cy\r\nDate: Wed, 2 Apr 2008\r\n\r\nno attachment\r\n");
    writeFile(at(QStringLiteral("c.eml")), "FROM: Dee\r\nDate: Thu, 3 Apr 2008\r\n" + kAttachmentPart);
    writeFile(at(QStringLiteral("d.eml")), "From: Eve\r\nSubject: no date\r\n" + kAttachmentPart);
    writeFile(at(QStringLiteral(".hidden.eml")), "From: Hid\r\nDate: x\r\n" + kAttachmentPart);
    writeFile(at(QStringLiteral("e.txt")), "From: Txt\r\nDate: x\r\n" + kAttachmentPart);
    writeFile(at(QStringLiteral("f.eml")), QByteArray());
    ListEmlMessages(dir.path(), list, names);
    EXPECT_EQ(names, (QStringList{QStringLiteral("a.eml"), QStringLiteral("c.eml")}));
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(row(0), (QStringList{QStringLiteral("Ann"), QStringLiteral("Bob"), QStringLiteral("Hello"),
                                   QStringLiteral("Tue, 1 Apr 2008 10:00:00 +0200")}));
    // "FROM:" is not "From:": the column stays empty, the row is listed.
    EXPECT_EQ(row(1), (QStringList{QString(), QString(), QString(), QStringLiteral("Thu, 3 Apr 2008")}));
    EXPECT_FALSE(list.isChecked(0));

    // Listing again adds nothing that is listed already.
    writeFile(at(QStringLiteral("g.eml")), "From: Gus\r\nDate: Fri\r\n" + kAttachmentPart);
    ListEmlMessages(dir.path(), list, names);
    EXPECT_EQ(names, (QStringList{QStringLiteral("a.eml"), QStringLiteral("c.eml"), QStringLiteral("g.eml")}));
    EXPECT_EQ(list.count(), 3);
}

TEST_F(EmlFolder, LoneLineFeedFileListsOnlyItsFirstHeader) {
    // Lines ending in a lone LF make one line: "Date" at the very start is
    // found and runs to the end of the text.
    QByteArray text = "Date: Mon\nFrom: Ann\n" + kAttachmentPart;
    writeFile(at(QStringLiteral("lf.eml")), text);
    ListEmlMessages(dir.path(), list, names);
    ASSERT_EQ(list.count(), 1);
    EXPECT_TRUE(list.text(0, 3).startsWith(QStringLiteral("Mon\nFrom: Ann\n")));
    EXPECT_EQ(list.text(0, 0), QString());
}

TEST_F(EmlFolder, UnreadableFileEndsTheListingKeepingEarlierRows) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files without read permission";
    writeFile(at(QStringLiteral("a.eml")), "From: A\r\nDate: 1\r\n" + kAttachmentPart);
    writeFile(at(QStringLiteral("b.eml")), "From: B\r\nDate: 2\r\n" + kAttachmentPart);
    writeFile(at(QStringLiteral("c.eml")), "From: C\r\nDate: 3\r\n" + kAttachmentPart);
    QFile::setPermissions(at(QStringLiteral("b.eml")), QFileDevice::Permissions());
    EXPECT_THROW(ListEmlMessages(dir.path(), list, names), Error);
    EXPECT_EQ(names, QStringList{QStringLiteral("a.eml")});
    EXPECT_EQ(list.count(), 1);
}

TEST_F(EmlFolder, MissingFolderListsNothing) {
    ListEmlMessages(at(QStringLiteral("nope")), list, names);
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(names.isEmpty());
}

// The header values of every corpus sample. The manifest shows each byte
// as one Latin-1 character; we read mail bytes as UTF-8 where valid, else
// Windows-1252, so the expectation is the manifest's bytes read our way.
TEST(EmlCorpusHeaders, ValuesMatchTheManifests) {
    const QDir eml(QStringLiteral(PW_CORPUS_DIR "/eml"));
    const QStringList samples = eml.entryList(QStringList{QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    if (samples.isEmpty())
        GTEST_SKIP() << "The shared corpus is not at " PW_CORPUS_DIR;
    for (const QString &sample : samples) {
        SCOPED_TRACE(sample.toStdString());
        QFile mf(QStringLiteral(PW_CORPUS_DIR "/expected/eml__") + sample + QStringLiteral(".json"));
        ASSERT_TRUE(mf.open(QIODevice::ReadOnly));
        const QJsonObject headers = QJsonDocument::fromJson(mf.readAll()).object().value(QStringLiteral("headers")).toObject();
        const QString text = ReadFileText(eml.filePath(sample));
        const QStringList headerNames{QStringLiteral("From"), QStringLiteral("To"), QStringLiteral("Subject"),
                                      QStringLiteral("Date")};
        const QStringList streamed = ReadHeaderValues(eml.filePath(sample), headerNames);
        for (const QString &name : headerNames) {
            const QString manifestValue = headers.value(name).toString();
            const QString expected = decodeMailText(manifestValue.toLatin1());
            const QString got = GetHeaderValue(text, name);
            EXPECT_EQ(got.size(), expected.size()) << name.toStdString();
            EXPECT_TRUE(got == expected) << name.toStdString() << ": " << got.left(80).toStdString();
            // The same value, but for the cut of an overlong one (an LF-only
            // file is one line).
            const QString &value = streamed.at(headerNames.indexOf(name));
            EXPECT_TRUE(value == got || (got.startsWith(value) && value.toUtf8().size() >= Express1::kMaxHeaderValueBytes - 3))
                << name.toStdString();
        }
    }
}

TEST(EmlCorpusHeaders, Utf8SubjectReadsAsItsCharacters) {
    const QString path = QStringLiteral(PW_CORPUS_DIR "/eml/attachment_pdf.eml");
    if (!QFile::exists(path))
        GTEST_SKIP() << "The shared corpus is not at " PW_CORPUS_DIR;
    EXPECT_TRUE(GetHeaderValue(ReadFileText(path), QStringLiteral("Subject")).contains(QStringLiteral("🎉")));
}

} // namespace
