// Stores written for the purpose, for what the samples do not show: the
// fallbacks of every property, 8-bit text in a message's own code page,
// link attachments, a large attachment, and the .eml of attached messages.
#ifdef PW_HAVE_PSTWRITER

#include "core/error.h"
#include "outlook/outlookmodel.h"
#include "platform/pst/pstengine.h"

#include "pstwriter/pstwriter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <gmime/gmime.h>

using namespace pw::outlook;
using namespace pw::pst;

namespace {

// One store with one folder "Test" holding `messages`; answers the items.
class Fixture {
public:
    explicit Fixture(std::vector<pstwriter::Message> messages, pstwriter::StoreOptions options = {}) {
        pstwriter::Store store("Fixture", options);
        auto &folder = store.root().addFolder("Test");
        for (auto &message : messages)
            m_ids.push_back(store.entryId(folder.addMessage(std::move(message))));
        m_path = m_dir.filePath(QStringLiteral("fixture.pst"));
        store.write(m_path.toStdString());
        m_ns = createPstApplication({m_path})->GetNamespace(QStringLiteral("MAPI"));
        auto top = m_ns->Folders()->Item(1)->Folders();
        for (int i = 1; i <= top->count(); ++i) {
            if (top->Item(i)->name() == QLatin1String("Test"))
                m_items = top->Item(i)->Items();
        }
    }
    ItemPtr item(int index) { return m_items->Item(index); }
    QString entryId(int index) const { return QString::fromStdString(m_ids[static_cast<size_t>(index - 1)]); }
    QString out(const QString &name) const { return m_dir.filePath(name); }
    const NamespacePtr &ns() const { return m_ns; }

private:
    QTemporaryDir m_dir;
    QString m_path;
    NamespacePtr m_ns;
    ItemsPtr m_items;
    std::vector<std::string> m_ids;
};

pstwriter::Message mail(const std::string &subject) {
    pstwriter::Message message;
    message.subject = subject;
    return message;
}

QString saveError(const AttachmentPtr &attachment, const QString &path) {
    try {
        attachment->SaveAsFile(path);
    } catch (const pw::Error &e) {
        return e.text();
    }
    return QStringLiteral("no failure");
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(PstGenerated, SenderDateAndClassFallbacks) {
    pstwriter::Message representing = mail("only representing");
    representing.copySenderToRepresenting = false;
    representing.extraProperties = {pstwriter::Property::unicode(0x0042, "Rep Name"),
                                    pstwriter::Property::unicode(0x0065, "/O=ORG/CN=REP"),
                                    pstwriter::Property::unicode(0x0064, "EX")};
    representing.submitTime = pstwriter::utc(2023, 5, 6, 7, 8, 9);
    pstwriter::Message created = mail("created only");
    created.creationTime = pstwriter::utc(2022, 1, 2, 3, 4, 5);
    pstwriter::Message undated = mail("undated");
    undated.messageClass.reset();
    pstwriter::Message both = mail("both");
    both.senderName = "Sender";
    both.senderAddress = "s@example.org";
    both.senderAddressType = "SMTP";
    both.deliveryTime = pstwriter::utc(2024, 3, 1, 9, 30);
    both.submitTime = pstwriter::utc(2024, 3, 1, 9, 0);
    both.messageClass = "IPM.Schedule.Meeting.Request";

    Fixture fixture({representing, created, undated, both});
    auto first = fixture.item(1);
    EXPECT_EQ(first->SenderName(), QStringLiteral("Rep Name"));
    EXPECT_EQ(first->SenderEmailAddress(), QStringLiteral("/O=ORG/CN=REP"));
    EXPECT_EQ(first->SenderEmailType(), QStringLiteral("EX"));
    EXPECT_EQ(first->ReceivedTime().toUTC(), QDateTime(QDate(2023, 5, 6), QTime(7, 8, 9), QTimeZone::utc()));
    EXPECT_EQ(fixture.item(2)->ReceivedTime().toUTC(), QDateTime(QDate(2022, 1, 2), QTime(3, 4, 5), QTimeZone::utc()));
    const QDateTime none = fixture.item(3)->ReceivedTime();
    EXPECT_EQ(none, QDateTime(QDate(4501, 1, 1), QTime(0, 0)));
    EXPECT_EQ(fixture.item(3)->Class(), olMail) << "a missing class reads as IPM.Note";
    EXPECT_EQ(fixture.item(3)->SenderName(), QString());
    auto fourth = fixture.item(4);
    EXPECT_EQ(fourth->SenderName(), QStringLiteral("Sender"));
    EXPECT_EQ(fourth->SenderEmailType(), QStringLiteral("SMTP"));
    EXPECT_EQ(fourth->ReceivedTime().toUTC(), QDateTime(QDate(2024, 3, 1), QTime(9, 30), QTimeZone::utc()));
    EXPECT_EQ(fourth->Class(), olMeetingRequest);
}

TEST(PstGenerated, EightBitTextUsesTheMessagesCodePage) {
    pstwriter::Message cyrillic = mail("x");
    cyrillic.subject.reset();
    cyrillic.codePage = 1251;
    cyrillic.extraProperties = {pstwriter::Property::string8(0x0037, "\xcf\xf0\xe8\xe2\xe5\xf2"),
                                pstwriter::Property::string8(0x0C1A, "\xc8\xe2\xe0\xed")};
    pstwriter::Message western = mail("x");
    western.subject.reset();
    western.extraProperties = {pstwriter::Property::string8(0x0037, "\x01\x05" "FW: caf\xe9")};
    Fixture fixture({cyrillic, western});
    EXPECT_EQ(fixture.item(1)->Subject(), QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442"));
    EXPECT_EQ(fixture.item(1)->SenderName(), QStringLiteral("\u0418\u0432\u0430\u043d"));
    EXPECT_EQ(fixture.item(2)->Subject(), QStringLiteral("FW: caf\u00e9")) << "marker dropped, Windows-1252 by default";
}

TEST(PstGenerated, BodyFallsBackToHtmlText) {
    pstwriter::Message plain = mail("plain");
    plain.body = "plain text";
    plain.htmlBody = "<p>html</p>";
    pstwriter::Message html = mail("html");
    html.htmlBody = "<html><body><p>Caf\xc3\xa9 &amp; more</p></body></html>";
    Fixture fixture({plain, html, mail("none")});
    EXPECT_EQ(fixture.item(1)->Body(), QStringLiteral("plain text"));
    EXPECT_EQ(fixture.item(2)->Body(), QStringLiteral("Caf\u00e9 & more"));
    EXPECT_EQ(fixture.item(3)->Body(), QString());
}

TEST(PstGenerated, AttachmentNamesAndLinks) {
    pstwriter::Message message = mail("names");
    auto shortOnly = pstwriter::Attachment::file("x", pstwriter::Content::bytes("1"));
    shortOnly.longFileName = "";
    shortOnly.fileName = "SHORT~1.TXT";
    shortOnly.displayName.reset();
    auto displayOnly = pstwriter::Attachment::file("x", pstwriter::Content::bytes("2"));
    displayOnly.longFileName.reset();
    displayOnly.fileName = "";
    displayOnly.displayName = "Shown name.doc";
    auto nameless = pstwriter::Attachment::file("x", pstwriter::Content::bytes("3"));
    nameless.longFileName.reset();
    nameless.fileName.reset();
    nameless.displayName.reset();
    auto ole = pstwriter::Attachment::file("Picture (Device Independent Bitmap)", pstwriter::Content::bytes("OLE"));
    ole.extraProperties = {pstwriter::Property::int32(0x3705, 6)};
    message.attachments = {shortOnly, displayOnly, nameless,
                           pstwriter::Attachment::link("elsewhere.pdf", "\\\\server\\share\\elsewhere.pdf"), ole};
    Fixture fixture({message});
    auto attachments = fixture.item(1)->Attachments();
    ASSERT_EQ(attachments->count(), 5);
    EXPECT_EQ(attachments->Item(1)->fileName(), QStringLiteral("SHORT~1.TXT"));
    EXPECT_EQ(attachments->Item(2)->fileName(), QStringLiteral("Shown name.doc"));
    EXPECT_EQ(attachments->Item(3)->fileName(), QString());
    EXPECT_EQ(attachments->Item(4)->fileName(), QStringLiteral("elsewhere.pdf"));
    const QString target = fixture.out(QStringLiteral("elsewhere.pdf"));
    EXPECT_TRUE(saveError(attachments->Item(4), target).contains(QLatin1String("link"))) << "no file data to save";
    EXPECT_FALSE(QFile::exists(target));
    const QString oleTarget = fixture.out(QStringLiteral("ole.bin"));
    EXPECT_TRUE(saveError(attachments->Item(5), oleTarget).contains(QLatin1String("OLE"))) << "no file data either";
    EXPECT_FALSE(QFile::exists(oleTarget));
}

TEST(PstGenerated, LargeAttachmentIsStreamedIntact) {
    const auto content = pstwriter::Content::generated(24 << 20, 7);
    pstwriter::Message message = mail("big");
    message.attachments = {pstwriter::Attachment::file("big.bin", content)};
    Fixture fixture({message});
    const QString target = fixture.out(QStringLiteral("big.bin"));
    fixture.item(1)->Attachments()->Item(1)->SaveAsFile(target);

    QCryptographicHash expected(QCryptographicHash::Sha256);
    auto reader = content.open();
    std::vector<char> buffer(1 << 16);
    while (std::size_t got = reader->read(buffer.data(), buffer.size()))
        expected.addData(QByteArrayView(buffer.data(), static_cast<qsizetype>(got)));
    QFile saved(target);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.size(), qint64(24) << 20);
    QCryptographicHash actual(QCryptographicHash::Sha256);
    actual.addData(&saved);
    EXPECT_EQ(actual.result(), expected.result());
}

TEST(PstGenerated, AttachedMessagesBecomeEmlFiles) {
    // With transport headers: those are kept, their content headers replaced.
    pstwriter::Message inner = mail("Inner subject");
    inner.transportHeaders = "Received: from mx.example.org by mail.example.org\r\n"
                             "Message-ID: <abc@example.org>\r\n"
                             "From: Ann <ann@example.org>\r\n"
                             "To: Bob <bob@example.org>\r\n"
                             "Subject: Inner subject\r\n"
                             "MIME-Version: 1.0\r\n"
                             "Content-Type: multipart/mixed; boundary=\"old-boundary\"\r\n";
    inner.body = "inner body";
    inner.attachments = {pstwriter::Attachment::file("inner.txt", pstwriter::Content::bytes("inner data"))};
    // Without: headers made from the properties, blind copies left out.
    pstwriter::Message bare = mail("Bare subject");
    bare.senderName = "Carl";
    bare.senderAddress = "carl@example.org";
    bare.senderAddressType = "SMTP";
    bare.submitTime = pstwriter::utc(2024, 2, 3, 4, 5, 6);
    bare.htmlBody = "<p>only html</p>";
    bare.recipients = {{"Dora", "dora@example.org", "SMTP", pstwriter::RecipientType::To},
                       {"Eve", "eve@example.org", "SMTP", pstwriter::RecipientType::Cc},
                       {"Hidden", "hidden@example.org", "SMTP", pstwriter::RecipientType::Bcc}};
    pstwriter::Message outer = mail("outer");
    outer.attachments = {pstwriter::Attachment::embedded(inner, "Forwarded"),
                         pstwriter::Attachment::embedded(bare, "")};
    Fixture fixture({outer});
    auto attachments = fixture.item(1)->Attachments();
    EXPECT_EQ(attachments->Item(1)->fileName(), QStringLiteral("Forwarded.eml"));
    EXPECT_EQ(attachments->Item(2)->fileName(), QStringLiteral("Bare subject.eml")) << "subject when no display name";

    const QString first = fixture.out(QStringLiteral("first.eml"));
    attachments->Item(1)->SaveAsFile(first);
    const QByteArray withHeaders = readFile(first);
    EXPECT_TRUE(withHeaders.startsWith("Received: from mx.example.org")) << withHeaders.left(200).constData();
    EXPECT_TRUE(withHeaders.contains("Message-ID: <abc@example.org>"));
    EXPECT_FALSE(withHeaders.contains("old-boundary"));
    EXPECT_TRUE(withHeaders.contains("inner body"));
    EXPECT_TRUE(withHeaders.contains("filename=inner.txt") || withHeaders.contains("filename=\"inner.txt\""));
    EXPECT_TRUE(withHeaders.contains(QByteArray("inner data").toBase64()));

    const QString second = fixture.out(QStringLiteral("second.eml"));
    attachments->Item(2)->SaveAsFile(second);
    g_mime_init();
    GMimeStream *stream = g_mime_stream_file_open(QFile::encodeName(second).constData(), "rb", nullptr);
    ASSERT_NE(stream, nullptr);
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *parsed = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(parsed, nullptr);
    EXPECT_STREQ(g_mime_message_get_subject(parsed), "Bare subject");
    auto addresses = [&](GMimeAddressType type) {
        char *text = internet_address_list_to_string(g_mime_message_get_addresses(parsed, type), nullptr, FALSE);
        const QString result = QString::fromUtf8(text ? text : "");
        g_free(text);
        return result;
    };
    EXPECT_EQ(addresses(GMIME_ADDRESS_TYPE_FROM), QStringLiteral("Carl <carl@example.org>"));
    // Recipients come from the display lines every message stores (names
    // only); blind copies are not in them.
    const QByteArray saved = readFile(second);
    EXPECT_TRUE(saved.contains("To: Dora")) << saved.left(400).constData();
    EXPECT_TRUE(saved.contains("Cc: Eve")) << saved.left(400).constData();
    EXPECT_FALSE(saved.contains("Hidden"));
    GDateTime *date = g_mime_message_get_date(parsed);
    ASSERT_NE(date, nullptr);
    EXPECT_EQ(g_date_time_to_unix(date), QDateTime(QDate(2024, 2, 3), QTime(4, 5, 6), QTimeZone::utc()).toSecsSinceEpoch());
    char *mimeType = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(g_mime_message_get_mime_part(parsed)));
    EXPECT_STREQ(mimeType, "text/html");
    g_free(mimeType);
    g_object_unref(parsed);
    g_object_unref(parser);
    g_object_unref(stream);
}

TEST(PstGenerated, OfflineLayoutAndMissingStoreName) {
    pstwriter::StoreOptions options;
    options.writeIpmSubtreeEntryId = false;
    pstwriter::Store store("", options);
    store.root().addFolder("Inbox").addMessage(mail("hello"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("my mail.pst"));
    store.write(path.toStdString());
    auto root = createPstApplication({path})->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(1);
    EXPECT_EQ(root->name(), QStringLiteral("my mail")) << "named after the file when the store has no name";
    // Without the subtree's id the root is the folder tree's own top, which
    // still leads to the mail.
    bool found = false;
    std::function<void(const FolderPtr &)> visit = [&](const FolderPtr &folder) {
        auto items = folder->Items();
        for (int i = 1; i <= items->count(); ++i)
            found = found || items->Item(i)->Subject() == QLatin1String("hello");
        auto children = folder->Folders();
        for (int i = 1; i <= children->count(); ++i)
            visit(children->Item(i));
    };
    visit(root);
    EXPECT_TRUE(found);
}


TEST(PstGenerated, AnAttachmentWithoutDataSavesAsAnEmptyFile) {
    pstwriter::Message inner = mail("inner");
    inner.attachments = {pstwriter::Attachment::file("empty-inside.txt", pstwriter::Content::bytes(""))};
    pstwriter::Message message = mail("outer");
    message.attachments = {pstwriter::Attachment::file("empty.txt", pstwriter::Content::bytes("")),
                           pstwriter::Attachment::embedded(inner, "inner")};
    Fixture fixture({message});
    const auto attachments = fixture.item(1)->Attachments();
    const QString empty = fixture.out(QStringLiteral("empty.txt"));
    EXPECT_EQ(saveError(attachments->Item(1), empty), QStringLiteral("no failure"));
    EXPECT_TRUE(QFile::exists(empty));
    EXPECT_EQ(QFileInfo(empty).size(), 0);
    const QString eml = fixture.out(QStringLiteral("inner.eml"));
    EXPECT_EQ(saveError(attachments->Item(2), eml), QStringLiteral("no failure"));
    EXPECT_TRUE(readFile(eml).contains("empty-inside.txt"));
}

#endif // PW_HAVE_PSTWRITER

// A backup keeps its original's record key: each open store must still
// answer to its own EntryIDs, from the profile and as an added file alike.
TEST(PstGenerated, StoresWithTheSameRecordKeyKeepTheirOwnMessages) {
    QTemporaryDir dir;
    pstwriter::StoreOptions options;
    options.deletedItems = false;
    options.recordKey = std::array<std::uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto write = [&](const char *file, const std::string &subject, const std::string &attachment) {
        pstwriter::Store store("Same key", options);
        pstwriter::Message message = mail(subject);
        message.attachments = {pstwriter::Attachment::file(attachment, pstwriter::Content::bytes(subject))};
        store.root().addFolder("Inbox").addMessage(std::move(message));
        const QString path = dir.filePath(QLatin1String(file));
        store.write(path.toStdString());
        return path;
    };
    const QString original = write("original.pst", "original message", "a.txt");
    const QString backup = write("backup.pst", "backup message", "b.txt");

    auto firstItem = [](const FolderPtr &root) { return root->Folders()->Item(1)->Items()->Item(1); };
    auto check = [&](const NamespacePtr &ns, const FolderPtr &a, const FolderPtr &b) {
        const QString idA = firstItem(a)->EntryID();
        const QString idB = firstItem(b)->EntryID();
        EXPECT_NE(idA, idB);
        EXPECT_EQ(ns->GetItemFromID(idA)->Subject(), QStringLiteral("original message"));
        EXPECT_EQ(ns->GetItemFromID(idB)->Subject(), QStringLiteral("backup message"));
        static int saves = 0;
        const QString saved = dir.filePath(QStringLiteral("saved-%1").arg(++saves));
        ns->GetItemFromID(idB)->Attachments()->Item(1)->SaveAsFile(saved);
        EXPECT_EQ(readFile(saved), QByteArray("backup message"));
    };
    // Both in the profile.
    auto ns = createPstApplication({original, backup})->GetNamespace(QStringLiteral("MAPI"));
    check(ns, ns->Folders()->Item(1), ns->Folders()->Item(2));
    // The original in the profile, the backup added as a PST source; a new
    // session opening them in the same order gives the same EntryIDs.
    auto first = createPstApplication({original})->GetNamespace(QStringLiteral("MAPI"));
    first->AddStore(backup);
    check(first, first->Folders()->Item(1), first->StoreRootOf(backup));
    auto second = createPstApplication({original})->GetNamespace(QStringLiteral("MAPI"));
    second->AddStore(backup);
    EXPECT_EQ(firstItem(second->StoreRootOf(backup))->EntryID(), firstItem(first->StoreRootOf(backup))->EntryID());
}

// Some real stores set the reserved low bit of a block reference; readers
// must treat it as zero. Under the cyclic encoding the block id is also the
// key, so a reader that kept the bit would decode garbage and lose every
// attachment of the message.
TEST(PstGenerated, ReservedBitInTheAttachmentTableReferenceLosesNothing) {
    pstwriter::StoreOptions options;
    options.encryption = pstwriter::Encryption::High;
    options.reservedBitOnAttachmentTables = true;
    std::vector<pstwriter::Message> messages;
    for (int m = 0; m < 3; ++m) {
        pstwriter::Message message = mail("with attachments " + std::to_string(m));
        for (int a = 0; a <= m; ++a) {
            // Small, one block, and several blocks.
            const std::size_t size = a == 0 ? 100 : 20000 * std::size_t(a);
            message.attachments.push_back(pstwriter::Attachment::file(
                "file" + std::to_string(m) + std::to_string(a) + ".bin", pstwriter::Content::generated(size, unsigned(m * 10 + a))));
        }
        messages.push_back(std::move(message));
    }
    Fixture fixture(messages, options);
    int saved = 0;
    for (int m = 1; m <= 3; ++m) {
        auto item = fixture.item(m);
        EXPECT_EQ(item->Subject(), QStringLiteral("with attachments %1").arg(m - 1));
        auto attachments = item->Attachments();
        ASSERT_EQ(attachments->count(), m);
        for (int a = 1; a <= m; ++a) {
            auto attachment = attachments->Item(a);
            EXPECT_EQ(attachment->fileName(), QStringLiteral("file%1%2.bin").arg(m - 1).arg(a - 1));
            const QString target = fixture.out(QStringLiteral("out%1").arg(++saved));
            attachment->SaveAsFile(target);
            const std::string expected = pstwriter::Content::generated(a == 1 ? 100 : 20000 * std::size_t(a - 1),
                                                                       unsigned((m - 1) * 10 + a - 1)).readAll();
            EXPECT_EQ(readFile(target), QByteArray::fromStdString(expected));
        }
    }
}

// A container class (0x3613) stored as a number instead of text is only an
// odd property: the item and its neighbours read as usual.
TEST(PstGenerated, AContainerClassThatIsNoTextLeavesTheItemReadable) {
    pstwriter::Message odd = mail("odd");
    odd.extraProperties = {pstwriter::Property::int32(0x3613, 7)};
    pstwriter::Message text = mail("text class");
    text.extraProperties = {pstwriter::Property::unicode(0x3613, "IPF.Note")};
    Fixture fixture({mail("before"), std::move(odd), std::move(text)});
    EXPECT_EQ(fixture.item(1)->Subject(), QStringLiteral("before"));
    EXPECT_EQ(fixture.item(2)->Subject(), QStringLiteral("odd"));
    EXPECT_EQ(fixture.item(3)->Subject(), QStringLiteral("text class"));
}
