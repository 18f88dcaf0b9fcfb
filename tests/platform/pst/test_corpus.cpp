// The engine against every sample mail file and the manifest that two
// independent readers wrote for it: store and folder names, the folder
// tree, every item with its EntryID, class, sender, date and attachments,
// and the saved attachments byte for byte.
#include "corpus.h"

#include "core/error.h"
#include "outlook/outlookmodel.h"
#include "platform/pst/pstengine.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <gmime/gmime.h>

using namespace pw::outlook;
using namespace pw::pst;
using namespace pw::pst::test;

namespace {

QString text(const QJsonValue &value) {
    return value.isString() ? value.toString() : QString();
}

QString sha256(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString fileSha256(const QString &path, qint64 *size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    *size = file.size();
    return QString::fromLatin1(hash.result().toHex());
}

// The name Outlook gives an attachment, from the properties in the manifest.
QString expectedFileName(const QJsonObject &attachment) {
    if (attachment[QLatin1String("type")].toString() == QLatin1String("item")) {
        QString name = text(attachment[QLatin1String("display_name")]);
        if (name.isEmpty())
            name = text(attachment[QLatin1String("embedded")].toObject()[QLatin1String("subject")]);
        if (name.isEmpty())
            name = QStringLiteral("message");
        return name.endsWith(QLatin1String(".eml"), Qt::CaseInsensitive) ? name : name + QLatin1String(".eml");
    }
    for (const char *key : {"long_filename", "filename", "display_name"}) {
        const QString name = text(attachment[QLatin1String(key)]);
        if (!name.isEmpty())
            return name;
    }
    return {};
}

// Bytes of a GMime leaf part after transfer decoding.
QByteArray partContent(GMimePart *part) {
    GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    GMimeStream *memory = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(wrapper, memory);
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
    QByteArray bytes(reinterpret_cast<const char *>(array->data), static_cast<qsizetype>(array->len));
    g_object_unref(memory);
    return bytes;
}

// The attachments of a saved .eml against the attached message's manifest,
// nested messages included.
void compareEml(GMimeMessage *message, const QJsonObject &embedded) {
    const char *subject = g_mime_message_get_subject(message);
    EXPECT_EQ(QString::fromUtf8(subject ? subject : ""), text(embedded[QLatin1String("subject")]));
    std::vector<GMimeObject *> parts;
    GMimeObject *top = g_mime_message_get_mime_part(message);
    if (GMIME_IS_MULTIPART(top) && QByteArray(g_mime_content_type_get_media_subtype(g_mime_object_get_content_type(top))) == "mixed") {
        const int count = g_mime_multipart_get_count(GMIME_MULTIPART(top));
        for (int i = 1; i < count; ++i)
            parts.push_back(g_mime_multipart_get_part(GMIME_MULTIPART(top), i));
    }
    const QJsonArray expected = embedded[QLatin1String("attachments")].toArray();
    ASSERT_EQ(parts.size(), static_cast<size_t>(expected.size()));
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const QJsonObject attachment = expected[i].toObject();
        GMimeObject *part = parts[static_cast<size_t>(i)];
        if (attachment[QLatin1String("type")].toString() == QLatin1String("item")) {
            ASSERT_TRUE(GMIME_IS_MESSAGE_PART(part));
            compareEml(g_mime_message_part_get_message(GMIME_MESSAGE_PART(part)),
                       attachment[QLatin1String("embedded")].toObject());
        } else {
            ASSERT_TRUE(GMIME_IS_PART(part));
            const QByteArray content = partContent(GMIME_PART(part));
            EXPECT_EQ(content.size(), attachment[QLatin1String("size")].toInteger());
            EXPECT_EQ(sha256(content), attachment[QLatin1String("sha256")].toString());
            EXPECT_EQ(QString::fromUtf8(g_mime_part_get_filename(GMIME_PART(part))), expectedFileName(attachment));
        }
    }
}

void checkSavedEml(const QString &path, const QJsonObject &embedded) {
    static const bool initialised = (g_mime_init(), true);
    (void)initialised;
    GMimeStream *stream = g_mime_stream_file_open(QFile::encodeName(path).constData(), "rb", nullptr);
    ASSERT_NE(stream, nullptr) << path.toStdString();
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(message, nullptr) << "the saved .eml does not parse";
    compareEml(message, embedded);
    g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
}

struct Walked {
    QStringList path;
    FolderPtr folder;
};

void walk(const FolderPtr &folder, QStringList path, std::vector<Walked> &out) {
    out.push_back({path, folder});
    auto children = folder->Folders();
    const int count = children->count();
    for (int i = 1; i <= count; ++i) {
        auto child = children->Item(i);
        QStringList childPath = path;
        childPath.append(child->name());
        walk(child, childPath, out);
    }
}

struct Totals {
    int messages = 0;
    int savedFiles = 0;
    int savedMessages = 0;
};

void compareWithManifest(const QString &file, const QJsonObject &expected, const QString &rootName, Totals &totals) {
    ASSERT_FALSE(expected.isEmpty()) << "no manifest";
    auto application = createPstApplication({file});
    EXPECT_EQ(application->Version(), QStringLiteral("16.0"));
    auto ns = application->GetNamespace(QStringLiteral("MAPI"));
    auto roots = ns->Folders();
    ASSERT_EQ(roots->count(), 1) << "the file did not open";
    auto root = roots->Item(1);
    EXPECT_EQ(root->name(), rootName);

    std::vector<Walked> folders;
    walk(root, {}, folders);
    const QJsonArray expectedFolders = expected[QLatin1String("folders")].toArray();
    ASSERT_EQ(folders.size(), static_cast<size_t>(expectedFolders.size()));

    QTemporaryDir out;
    int fileIndex = 0;
    for (size_t f = 0; f < folders.size(); ++f) {
        const QJsonObject expectedFolder = expectedFolders[static_cast<qsizetype>(f)].toObject();
        QStringList expectedPath;
        for (const auto &part : expectedFolder[QLatin1String("path")].toArray())
            expectedPath.append(part.toString());
        EXPECT_EQ(folders[f].path, expectedPath);
        SCOPED_TRACE(expectedPath.join(QLatin1Char('/')).toStdString());

        auto items = folders[f].folder->Items();
        const QJsonArray messages = expectedFolder[QLatin1String("messages")].toArray();
        ASSERT_EQ(items->count(), messages.size());
        for (int m = 1; m <= items->count(); ++m) {
            const QJsonObject expectedItem = messages[m - 1].toObject();
            SCOPED_TRACE("item " + std::to_string(m));
            auto item = items->Item(m);
            ++totals.messages;
            const QString entryId = item->EntryID();
            EXPECT_EQ(entryId, expectedItem[QLatin1String("entry_id")].toString());
            EXPECT_EQ(item->Class(), objectClassFor(text(expectedItem[QLatin1String("message_class")])));
            EXPECT_EQ(item->Subject(), text(expectedItem[QLatin1String("subject")]));
            EXPECT_EQ(item->SenderName(), text(expectedItem[QLatin1String("sender_name")]));
            EXPECT_EQ(item->SenderEmailAddress(), text(expectedItem[QLatin1String("sender_email_address")]));
            EXPECT_EQ(item->SenderEmailType(), text(expectedItem[QLatin1String("sender_addrtype")]));
            QJsonValue filetime = expectedItem[QLatin1String("delivery_time_filetime")];
            if (filetime.isNull())
                filetime = expectedItem[QLatin1String("client_submit_time_filetime")];
            const QDateTime received = item->ReceivedTime();
            EXPECT_EQ(received.timeSpec(), Qt::LocalTime);
            if (!filetime.isNull()) {
                // Whole seconds; the manifest truncates the same way.
                const qint64 seconds = (filetime.toInteger() - 116444736000000000LL) / 10000000LL;
                EXPECT_EQ(received.toSecsSinceEpoch(), seconds);
            } else {
                EXPECT_TRUE(received.isValid()); // from the creation time, which the manifest lacks
            }
            EXPECT_NO_THROW(item->Body());

            // The EntryID finds the same item again, in any letter case.
            auto again = ns->GetItemFromID(entryId.toLower());
            EXPECT_EQ(again->EntryID(), entryId);
            EXPECT_EQ(again->Subject(), item->Subject());

            auto attachments = item->Attachments();
            const QJsonArray expectedAttachments = expectedItem[QLatin1String("attachments")].toArray();
            ASSERT_EQ(attachments->count(), expectedAttachments.size());
            for (int a = 1; a <= attachments->count(); ++a) {
                const QJsonObject expectedAttachment = expectedAttachments[a - 1].toObject();
                auto attachment = attachments->Item(a);
                EXPECT_EQ(attachment->fileName(), expectedFileName(expectedAttachment));
                const QString type = expectedAttachment[QLatin1String("type")].toString();
                const QString target = out.filePath(QString::number(++fileIndex));
                if (type == QLatin1String("data")) {
                    attachment->SaveAsFile(target);
                    qint64 size = -1;
                    EXPECT_EQ(fileSha256(target, &size), expectedAttachment[QLatin1String("sha256")].toString());
                    EXPECT_EQ(size, expectedAttachment[QLatin1String("size")].toInteger());
                    ++totals.savedFiles;
                } else if (type == QLatin1String("item")) {
                    attachment->SaveAsFile(target);
                    checkSavedEml(target, expectedAttachment[QLatin1String("embedded")].toObject());
                    ++totals.savedMessages;
                }
            }
        }
    }
    // Nothing but the saved files was left behind (no temporary files).
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).size(), fileIndex);
}

} // namespace

TEST(PstCorpus, EveryPstMatchesItsManifest) {
    PW_REQUIRE_CORPUS();
    Totals totals;
    for (const QString &sample : pstSamples()) {
        SCOPED_TRACE(sample.toStdString());
        const QJsonObject expected = manifest(sample);
        QString rootName = text(expected[QLatin1String("store_name")]);
        if (rootName.isEmpty())
            rootName = QFileInfo(sample).completeBaseName();
        compareWithManifest(corpusDir() + QLatin1Char('/') + sample, expected, rootName, totals);
    }
    // Every item and attachment of the corpus was looked at.
    EXPECT_EQ(totals.messages, 20 + 36 + 1 + 73 + 294 + 13 + 0 + 1 + 1 + 1 + 1 + 3 + 1 + 2 + 2 + 18 + 1 + 1 + 13 + 6);
    EXPECT_GT(totals.savedFiles, 1000);
    EXPECT_EQ(totals.savedMessages, 1 + 2 + 1 + 5 + 1);
}

TEST(PstCorpus, OfflineStoreMatchesItsManifest) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    const QString ost = unpackOst(dir);
    if (ost.isEmpty())
        GTEST_SKIP() << "cannot unpack the .ost sample (xz missing?)";
    const QJsonObject expected = manifest(QStringLiteral("ost/pstextractortestpdf_outlook.com.ost.xz"));
    // Its store name is empty, so the root is named after the file.
    Totals totals;
    compareWithManifest(ost, expected, QStringLiteral("pstextractortestpdf_outlook.com"), totals);
    EXPECT_EQ(totals.messages, 162);
    EXPECT_EQ(totals.savedFiles, 12);
}
