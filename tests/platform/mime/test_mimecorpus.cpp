// The reader against every .eml of the shared corpus and its manifest. Where
// the manifest's own reader made a choice another careful reader may make
// differently, the expectation below says which way we go and why.
#include "platform/mime/mimemessage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;

namespace {

QString corpusEmlDir() {
    return QStringLiteral(PW_CORPUS_DIR "/eml");
}

QStringList corpusSamples() {
    QStringList samples = QDir(corpusEmlDir()).entryList(QStringList{QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    if (samples.isEmpty())
        samples.append(QString()); // one instance that skips, so the suite says why
    return samples;
}

QString sha256(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

struct Expected {
    QString name;
    bool nameFromSubject = false; // an attached message the manifest leaves unnamed
    qint64 size = -1;
    QString sha256;
};

struct Got {
    QString name;
    QByteArray data;
};

QList<Expected> fromManifestList(const QJsonArray &list, const char *nameKey) {
    QList<Expected> result;
    for (const auto &value : list) {
        const QJsonObject o = value.toObject();
        Expected e;
        e.name = o.value(QLatin1String(nameKey)).toString();
        e.nameFromSubject = o.value(QLatin1String(nameKey)).isNull()
                            && o.value(QStringLiteral("content_type")).toString() == QLatin1String("message/rfc822");
        e.size = o.value(QStringLiteral("size")).toInteger();
        e.sha256 = o.value(QStringLiteral("sha256")).toString();
        if (o.contains(QStringLiteral("decoded_sha256"))) {
            // An attached message sent base64-encoded: we save it decoded,
            // as a message file the user can open.
            e.size = o.value(QStringLiteral("decoded_size")).toInteger();
            e.sha256 = o.value(QStringLiteral("decoded_sha256")).toString();
        }
        result.append(e);
    }
    return result;
}

class EmlCorpus : public ::testing::TestWithParam<QString> {
protected:
    void SetUp() override {
        if (GetParam().isEmpty())
            GTEST_SKIP() << "The shared corpus is not at " PW_CORPUS_DIR;
        ASSERT_TRUE(out.isValid());
        QFile file(QStringLiteral(PW_CORPUS_DIR "/expected/eml__") + GetParam() + QStringLiteral(".json"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "no manifest for " << GetParam().toStdString();
        manifest = QJsonDocument::fromJson(file.readAll()).object();
        expected = fromManifestList(manifest.value(QStringLiteral("attachments")).toArray(), "filename");
        expected += fromManifestList(manifest.value(QStringLiteral("uuencoded")).toArray(), "name");

        MimeMessage message;
        message.load(corpusEmlDir() + QLatin1Char('/') + GetParam());
        int i = 0;
        for (const MimeAttachment &a : message.attachments()) {
            const QString path = out.filePath(QString::number(i++));
            try {
                a.saveToFile(path);
            } catch (const IncompleteAttachmentError &) {
                // Saved as far as it goes; only a file the independent
                // reader also found broken may be called cut.
                const QString defects = QJsonDocument(manifest.value(QStringLiteral("parse_defects")).toArray()).toJson()
                                        + QJsonDocument(manifest.value(QStringLiteral("decode_defects")).toArray()).toJson();
                EXPECT_TRUE(defects.contains(QLatin1String("BoundaryNotFound"))
                            || defects.contains(QLatin1String("InvalidBase64Padding")))
                    << GetParam().toStdString() << ": " << a.fileName().toStdString();
            }
            QFile saved(path);
            ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
            got.append({a.fileName(), saved.readAll()});
        }
    }

    // Compares attachment `i` with the manifest entry of the same place.
    void expectSame(int i) {
        SCOPED_TRACE("attachment " + std::to_string(i));
        ASSERT_LT(i, got.size());
        const Expected &e = expected.at(i);
        if (e.nameFromSubject) {
            // Named after the attached message's subject; a subjectless one
            // stays unnamed and the saving engine names it.
            EXPECT_TRUE(got[i].name.isEmpty() || got[i].name.endsWith(QLatin1String(".eml"))) << got[i].name.toStdString();
            EXPECT_FALSE(got[i].name.contains(QLatin1Char('/')));
        } else {
            EXPECT_EQ(got[i].name, e.name);
        }
        EXPECT_EQ(got[i].data.size(), e.size);
        EXPECT_EQ(sha256(got[i].data), e.sha256);
    }

    QJsonObject manifest;
    QList<Expected> expected;
    QList<Got> got;
    QTemporaryDir out;
};

TEST_P(EmlCorpus, AttachmentsMatchTheManifest) {
    const QString sample = GetParam();
    if (sample == QLatin1String("m0028.eml")) {
        // Ten parts declared base64 whose bodies are the plain text "This is
        // an attachment". Skipping the blanks leaves 18 base64 characters:
        // four whole groups (12 bytes) and two characters that make no whole
        // group. We drop that incomplete group; the manifest's decoder turns
        // it into a 13th byte. Names and the count are as the manifest says.
        ASSERT_EQ(got.size(), expected.size());
        const QByteArray wholeGroups = QByteArray::fromBase64("Thisisanattachment").left(12);
        for (int i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].name, expected[i].name);
            EXPECT_EQ(got[i].data, wholeGroups);
            EXPECT_EQ(expected[i].size, 13);
        }
        return;
    }
    if (sample == QLatin1String("msg_15.eml")) {
        // The inner multipart reuses the outer boundary. The manifest's
        // reader leaves it unsplit and finds nothing; ours splits it at the
        // shared boundary and finds the named attachment the sender meant.
        // Finding more than nothing loses nothing. Its body is the text
        // "Some removed base64 encoded chars.", decoded in whole groups.
        ASSERT_TRUE(expected.isEmpty());
        ASSERT_EQ(got.size(), 1);
        EXPECT_EQ(got[0].name, QStringLiteral("xx.gif"));
        EXPECT_EQ(got[0].data, QByteArray::fromBase64("Someremovedbase64encodedchar"));
        return;
    }
    if (sample == QLatin1String("multi-badnames.eml")) {
        // The boundary parameter is folded over two lines. Headers are
        // unfolded before they are read, so the message splits into its
        // three named parts: the manifest's alternative reading.
        ASSERT_TRUE(expected.isEmpty());
        const QJsonObject alternative = manifest.value(QStringLiteral("alternative_reading")).toObject();
        expected = fromManifestList(alternative.value(QStringLiteral("attachments")).toArray(), "filename");
        ASSERT_EQ(expected.size(), 3);
    }
    if (sample == QLatin1String("multi-2evil.eml")) {
        // "=?ISO-8859-1?Q?=63?=om=?US-ASCII*EN?Q?pr?=ess" holds two valid
        // encoded words, the second with an RFC 2231 language tag: decoded,
        // they spell "compress".
        ASSERT_GE(expected.size(), 1);
        expected[0].name = QStringLiteral("/evil/because:ofpath3d-compress.gif");
    }
    if (sample == QLatin1String("russian.eml")) {
        // name==?koi8-r?B?...?= is an unquoted encoded word; decoding it,
        // as lenient readers do, gives the name the sender meant.
        ASSERT_EQ(expected.size(), 1);
        expected[0].name = QStringLiteral("Список.doc");
    }
    if (sample == QLatin1String("jt-0498.eml")) {
        // The closing boundary is missing, so the attached message runs to
        // the end of the file. We keep the file's last line break; the
        // manifest drops it. The bytes before it are the same.
        ASSERT_EQ(got.size(), 1);
        ASSERT_TRUE(got[0].data.endsWith('\n'));
        EXPECT_EQ(got[0].data.size(), expected[0].size + 1);
        EXPECT_EQ(sha256(got[0].data.chopped(1)), expected[0].sha256);
        return;
    }
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(got.size(), manifest.value(QStringLiteral("attachment_count")).toInt(-1) + (sample == QLatin1String("multi-badnames.eml") ? 3 : 0));
    for (int i = 0; i < got.size(); ++i)
        expectSame(i);
}

INSTANTIATE_TEST_SUITE_P(Samples, EmlCorpus, ::testing::ValuesIn(corpusSamples()), [](const auto &info) {
    QString name = info.param.isEmpty() ? QStringLiteral("absent") : info.param;
    for (QChar &c : name) {
        if (!c.isLetterOrNumber())
            c = QLatin1Char('_');
    }
    return name.toStdString();
});

TEST(EmlCorpusNames, AttachedMessagesAreNamedAfterTheirSubject) {
    const QString path = corpusEmlDir() + QStringLiteral("/bounce.eml");
    if (!QFile::exists(path))
        GTEST_SKIP() << "The shared corpus is not at " PW_CORPUS_DIR;
    MimeMessage message;
    message.load(path);
    ASSERT_EQ(message.attachmentCount(), 1);
    EXPECT_EQ(message.attachments().at(0).fileName(), QStringLiteral("Proovikiri.eml"));
    EXPECT_EQ(message.attachments().at(0).contentType(), QStringLiteral("message/rfc822"));
}

} // namespace
