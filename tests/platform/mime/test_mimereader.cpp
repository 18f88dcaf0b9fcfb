// The reader's own rules and error paths, on small messages made here.
#include "core/error.h"
#include "platform/mime/mailtext.h"
#include "platform/mime/mimemessage.h"
#include "core/safefilewriter.h"
#include "platform/mime/uudecode.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <unistd.h>

using namespace pw;

namespace {

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString &path, const QByteArray &data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

class Reader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString at(const QString &name) const { return dir.filePath(name); }
    // Loads a message given with LF line ends, written with CR LF as mail is.
    void load(QByteArray text) {
        text.replace("\n", "\r\n");
        writeFile(at(QStringLiteral("m.eml")), text);
        message.load(at(QStringLiteral("m.eml")));
    }
    QStringList names() const {
        QStringList result;
        for (const MimeAttachment &a : message.attachments())
            result.append(a.fileName());
        return result;
    }
    QTemporaryDir dir;
    MimeMessage message;
};

TEST_F(Reader, AttachmentRuleOverTheTree) {
    load("From: a\nSubject: s\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b1\"\n\n"
         "--b1\nContent-Type: text/plain\n\nbody text\n"
         "--b1\nContent-Type: multipart/alternative; boundary=\"b2\"\n\n"
         "--b2\nContent-Type: text/html\n\n<p>x</p>\n"
         "--b2\nContent-Type: image/png; name=\"inline.png\"\nContent-Disposition: inline\n"
         "Content-Transfer-Encoding: base64\n\nAAEC\n--b2--\n"
         "--b1\nContent-Type: application/octet-stream\nContent-Disposition: attachment\n\nraw\n"
         "--b1\nContent-Type: text/calendar\n\nBEGIN:VCALENDAR\n"
         "--b1\nContent-Type: message/rfc822\n\nSubject: Inner / outer\nFrom: b\n\ninner body\n"
         "--b1--\n");
    EXPECT_EQ(names(), (QStringList{QStringLiteral("inline.png"), QString(), QStringLiteral("Inner _ outer.eml")}));
    const auto &list = message.attachments();
    list.at(0).saveToFile(at(QStringLiteral("png")));
    EXPECT_EQ(readAll(at(QStringLiteral("png"))), QByteArray("\x00\x01\x02", 3));
    list.at(1).saveToFile(at(QStringLiteral("raw")));
    EXPECT_EQ(readAll(at(QStringLiteral("raw"))), QByteArray("raw\r\n").chopped(2));
    // The attached message is saved as it stands, not re-encoded.
    list.at(2).saveToFile(at(QStringLiteral("msg")));
    EXPECT_EQ(readAll(at(QStringLiteral("msg"))), QByteArray("Subject: Inner / outer\r\nFrom: b\r\n\r\ninner body"));
}

TEST_F(Reader, TopPartOfASinglePartMessageFollowsTheLeafRule) {
    load("From: a\nContent-Type: application/pdf; name=\"one.pdf\"\n\n%PDF\n");
    EXPECT_EQ(names(), QStringList{QStringLiteral("one.pdf")});
    load("From: a\nContent-Type: message/rfc822\n\nSubject: x\n\nbody\n");
    EXPECT_EQ(message.attachmentCount(), 0);
    load("From: a\nContent-Type: text/plain\n\njust text\n");
    EXPECT_EQ(message.attachmentCount(), 0);
}

TEST_F(Reader, FileNamesAreDecoded) {
    load("Content-Type: multipart/mixed; boundary=b\n\n"
         "--b\nContent-Type: text/plain; name*=utf-8''%C3%A9t%C3%A9.txt\n\nx\n"
         "--b\nContent-Type: text/plain; name=\"=?UTF-8?B?0KHQv9C40YHQvtC6LmRvYw==?=\"\n\nx\n"
         "--b\nContent-Type: text/plain; name=\"type.txt\"\nContent-Disposition: attachment; filename=\"disp.txt\"\n\nx\n"
         "--b--\n");
    EXPECT_EQ(names(), (QStringList{QStringLiteral("été.txt"), QStringLiteral("Список.doc"), QStringLiteral("disp.txt")}));
}

TEST_F(Reader, UuencodedBlocksInTextCountAndSaveDecoded) {
    // "Cat" uuencoded, then a block without its end line.
    load("From: a\nSubject: uu\n\nHello\n\nbegin 644 cat.txt\n#0V%T\n`\nend\n\n"
         "begin 600 second.bin\n#0V%T\n");
    ASSERT_EQ(names(), (QStringList{QStringLiteral("cat.txt"), QStringLiteral("second.bin")}));
    EXPECT_TRUE(message.attachments().at(0).isUuencoded());
    message.attachments().at(0).saveToFile(at(QStringLiteral("1")));
    message.attachments().at(1).saveToFile(at(QStringLiteral("2")));
    EXPECT_EQ(readAll(at(QStringLiteral("1"))), QByteArray("Cat"));
    EXPECT_EQ(readAll(at(QStringLiteral("2"))), QByteArray("Cat"));
}

TEST_F(Reader, UuencodedTextInsideAnAttachmentIsNotCountedTwice) {
    load("Content-Type: multipart/mixed; boundary=b\n\n"
         "--b\nContent-Type: text/plain; name=\"notes.txt\"\n\nbegin 644 cat.txt\n#0V%T\nend\n"
         "--b--\n");
    EXPECT_EQ(names(), QStringList{QStringLiteral("notes.txt")});
}

TEST_F(Reader, UnreadableInputGivesAClearError) {
    EXPECT_THROW(message.load(at(QStringLiteral("missing.eml"))), Error);
    EXPECT_FALSE(message.isLoaded());
    EXPECT_THROW(message.load(dir.path()), Error);
    try {
        message.load(at(QStringLiteral("missing.eml")));
    } catch (const Error &e) {
        EXPECT_TRUE(e.text().contains(QStringLiteral("missing.eml"))) << e.what();
    }
}

TEST_F(Reader, EmptyAndGarbageFilesLoadWithoutAttachments) {
    writeFile(at(QStringLiteral("empty.eml")), QByteArray());
    message.load(at(QStringLiteral("empty.eml")));
    EXPECT_EQ(message.attachmentCount(), 0);
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(char((i * 7919) & 0xFF));
    writeFile(at(QStringLiteral("garbage.eml")), garbage);
    message.load(at(QStringLiteral("garbage.eml")));
    EXPECT_EQ(message.attachmentCount(), 0);
}

TEST_F(Reader, AttachmentOutlivesItsMessageAndItsFile) {
    load("Content-Type: application/octet-stream; name=\"a.bin\"\n\nabc\n");
    const MimeAttachment kept = message.attachments().at(0);
    message.clear();
    QFile::remove(at(QStringLiteral("m.eml")));
    kept.saveToFile(at(QStringLiteral("a.bin")));
    EXPECT_EQ(readAll(at(QStringLiteral("a.bin"))), QByteArray("abc\r\n"));
}

TEST_F(Reader, SaveNeverWritesOverAndLeavesNothingOnFailure) {
    load("Content-Type: application/octet-stream; name=\"a.bin\"\n\nnew content\n");
    const MimeAttachment a = message.attachments().at(0);
    writeFile(at(QStringLiteral("taken.bin")), "old");
    EXPECT_THROW(a.saveToFile(at(QStringLiteral("taken.bin"))), Error);
    EXPECT_EQ(readAll(at(QStringLiteral("taken.bin"))), QByteArray("old"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    EXPECT_THROW(a.saveToFile(at(QStringLiteral("folder"))), Error);
    EXPECT_THROW(a.saveToFile(at(QStringLiteral("nowhere/a.bin"))), Error);
    // Nothing but what the test made is left in the folder.
    const QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_EQ(left, (QStringList{QStringLiteral("folder"), QStringLiteral("m.eml"), QStringLiteral("taken.bin")}));
}

// A message cut short keeps what it has; the cut attachment, and only it,
// says so when saved (the window shows that as a failed step).
TEST_F(Reader, ACutAttachmentIsSavedAndReportedIncomplete) {
    const QByteArray head = "From: a\nSubject: s\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n"
                            "--b\nContent-Type: application/pdf; name=\"first.pdf\"\nContent-Transfer-Encoding: base64\n\n"
                            "QUJD\n";
    struct Case {
        const char *name;
        QByteArray text;
        QList<bool> complete;
    } cases[] = {
        {"closing boundary missing",
         head + "--b\nContent-Type: application/pdf; name=\"cut.pdf\"\nContent-Transfer-Encoding: base64\n\nREVGR0hJ\n",
         {true, false}},
        {"base64 ends mid-quantum", head + "--b\nContent-Type: application/pdf; name=\"cut.pdf\"\n"
                                           "Content-Transfer-Encoding: base64\n\nREVGR0h\n--b--\n",
         {true, false}},
        // Many encoders leave "end" out: not a cut by itself.
        {"uuencoded block without end", "From: a\nSubject: s\n\ntext\nbegin 644 cut.bin\n#86)C\n", {true}},
        {"cut inside the body text", head + "--b\nContent-Type: text/plain\n\nsome te", {true}},
        {"whole", head + "--b--\n", {true}},
    };
    for (const Case &c : cases) {
        load(c.text);
        ASSERT_EQ(message.attachmentCount(), c.complete.size()) << c.name;
        for (int i = 0; i < c.complete.size(); ++i) {
            const MimeAttachment &a = message.attachments().at(i);
            const QString path = at(QStringLiteral("%1-%2").arg(QString::fromLatin1(c.name)).arg(i));
            if (c.complete.at(i)) {
                EXPECT_NO_THROW(a.saveToFile(path)) << c.name;
            } else {
                EXPECT_THROW(a.saveToFile(path), IncompleteAttachmentError) << c.name;
                EXPECT_TRUE(QFile::exists(path)) << c.name << ": what there was is kept";
            }
        }
    }
    EXPECT_EQ(readAll(at(QStringLiteral("closing boundary missing-1"))), QByteArray("DEFGHI"));
}

TEST_F(Reader, HeadersAreReadAsMime) {
    // LF line ends, a folded encoded-word subject, a sender with a name.
    writeFile(at(QStringLiteral("h.eml")), "From: \"Doe, Jane\" <jane@example.org>\nSubject: =?utf-8?Q?caf=C3=A9?=\n"
                                           " =?utf-8?Q?_au_lait?=\nDate: Sat, 1 Jun 2024 23:30:00 -0130\n\nbody\n");
    message.load(at(QStringLiteral("h.eml")));
    EXPECT_EQ(message.subject(), QString::fromUtf8("café au lait"));
    EXPECT_EQ(message.senderName(), QStringLiteral("Doe, Jane"));
    EXPECT_EQ(message.senderAddress(), QStringLiteral("jane@example.org"));
    EXPECT_EQ(message.date().toString(Qt::ISODate), QStringLiteral("2024-06-02T01:00:00Z"));
    writeFile(at(QStringLiteral("n.eml")), "Subject: x\nDate: not a date at all\n\nbody\n");
    message.load(at(QStringLiteral("n.eml")));
    EXPECT_FALSE(message.date().isValid());
    EXPECT_TRUE(message.senderName().isEmpty());
}

TEST_F(Reader, ReadOnlyFolderIsAReportedFailure) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    load("Content-Type: application/octet-stream; name=\"a.bin\"\n\nx\n");
    const QString locked = at(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkdir(locked));
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_THROW(message.attachments().at(0).saveToFile(locked + QStringLiteral("/a.bin")), Error);
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_TRUE(QDir(locked).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(Reader, CutAndBitFlippedCorpusFilesNeverCrash) {
    const QDir corpus(QStringLiteral(PW_CORPUS_DIR "/eml"));
    const QStringList samples = corpus.entryList(QStringList{QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    if (samples.isEmpty())
        GTEST_SKIP() << "The shared corpus is not at " PW_CORPUS_DIR;
    int variant = 0;
    for (const QString &sample : samples) {
        const QByteArray original = readAll(corpus.filePath(sample));
        if (original.size() > 200 * 1024)
            continue; // the big ones add time, not cases
        QList<QByteArray> variants{original.left(original.size() / 3), original.left(original.size() * 2 / 3)};
        QByteArray flipped = original;
        for (qsizetype i = 7; i < flipped.size(); i += 97)
            flipped[i] = char(flipped[i] ^ 0x5A);
        variants.append(flipped);
        for (const QByteArray &bytes : variants) {
            const QString path = at(QStringLiteral("v%1.eml").arg(variant++));
            writeFile(path, bytes);
            message.load(path);
            int i = 0;
            for (const MimeAttachment &a : message.attachments()) {
                try {
                    a.saveToFile(at(QStringLiteral("out%1-%2").arg(variant).arg(i++)));
                } catch (const Error &) {
                    // A broken part may fail to save; it must say so, not crash.
                }
            }
        }
    }
    EXPECT_GT(variant, 0);
}

TEST(SafeFileWriterTest, UncommittedWriterLeavesNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        SafeFileWriter w(dir.filePath(QStringLiteral("x")));
        w.write("half", 4);
    }
    EXPECT_TRUE(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST(SafeFileWriterTest, FullDiskIsReportedAndLeavesNothing) {
    if (!QFile::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    // /dev/full's folder is not ours to write in; the writer must fail
    // cleanly at creation or at write, never claim success.
    EXPECT_THROW(
        {
            SafeFileWriter w(QStringLiteral("/dev/full/x"));
            w.write("x", 1);
            w.commit();
        },
        Error);
}

TEST(UuDecode, LinesAsTheClassicDecoderReadsThem) {
    EXPECT_EQ(uu::decodeLine("#0V%T"), QByteArray("Cat"));
    EXPECT_EQ(uu::decodeLine("`"), QByteArray());
    EXPECT_EQ(uu::decodeLine(""), QByteArray());
    // Short line: padded with zero bits.
    EXPECT_EQ(uu::decodeLine("#0V"), QByteArray("C`\0", 3));
    // Trailing garbage past the announced length: decoded cut to it.
    EXPECT_EQ(uu::decodeLine("#0V%Txyz!"), QByteArray("Cat"));
    // A character outside the alphabet inside the data cannot be decoded.
    EXPECT_FALSE(uu::decodeLine("#0\x01%T").has_value());
}

TEST(UuDecode, BeginAndEndLines) {
    const auto begin = uu::parseBeginLine("begin 644 my file.gif  ");
    ASSERT_TRUE(begin.has_value());
    EXPECT_EQ(begin->mode, QByteArray("644"));
    EXPECT_EQ(begin->name, QByteArray("my file.gif"));
    EXPECT_FALSE(uu::parseBeginLine("begin 644").has_value());
    EXPECT_FALSE(uu::parseBeginLine("begin 9x4 a").has_value());
    EXPECT_FALSE(uu::parseBeginLine("beginning 644 a").has_value());
    EXPECT_FALSE(uu::parseBeginLine(" begin 644 a").has_value());
    EXPECT_TRUE(uu::isEndLine(" end \t"));
    EXPECT_FALSE(uu::isEndLine("ending"));
}

TEST(MailText, Utf8WhereValidElseWindows1252) {
    EXPECT_EQ(decodeMailText("plain"), QStringLiteral("plain"));
    EXPECT_EQ(decodeMailText("caf\xc3\xa9"), QStringLiteral("café"));
    EXPECT_EQ(decodeMailText("caf\xe9"), QStringLiteral("café"));
    EXPECT_EQ(decodeMailText("\x80 \x93x\x94"), QStringLiteral("€ “x”"));
    EXPECT_EQ(decodeMailText("\x81"), QString(QChar(0x81)));
    EXPECT_EQ(decodeMailText("\xf0\x9f\x8e\x89!"), QStringLiteral("🎉!"));
    // Overlong and surrogate encodings are not valid UTF-8.
    EXPECT_EQ(decodeMailText("\xc0\xaf"), QStringLiteral("À¯"));
    EXPECT_EQ(decodeMailText("\xed\xa0\x80"), QStringLiteral("í") + QChar(0xA0) + QChar(0x20AC));
    EXPECT_EQ(decodeMailText(QByteArray("a\0b", 3)), QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
}

} // namespace
