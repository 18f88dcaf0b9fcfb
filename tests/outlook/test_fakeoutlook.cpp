// The fake's own behaviour where later tests depend on it: the factory
// switch, 1-based collections, store mounting, lookup by EntryID, failure
// injection and real files from SaveAsFile.
#include "fakeoutlook.h"

#include "core/error.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pw::outlook;
using namespace pw::outlook::fake;

TEST(ObjectFactory, FailsWithoutCreatorAndRestoresThePreviousOne) {
    auto previous = ObjectFactory::setCreator({});
    EXPECT_THROW(ObjectFactory::create(QLatin1String(kApplicationClass)), pw::Error);
    auto outlook = FakeOutlook::create();
    {
        auto guard = outlook->install();
        EXPECT_NO_THROW(ObjectFactory::create(QLatin1String(kApplicationClass)));
        EXPECT_THROW(ObjectFactory::create(QStringLiteral("Word.Application")), pw::Error);
    }
    EXPECT_THROW(ObjectFactory::create(QLatin1String(kApplicationClass)), pw::Error);
    ObjectFactory::setCreator(previous);
}

TEST(FakeOutlook, WalksAOneBasedTreeAndCountsLiveApplications) {
    auto outlook = FakeOutlook::create();
    auto &root = outlook->addStore(QStringLiteral("Personal Folders"));
    auto &inbox = root.addFolder(QStringLiteral("Inbox"));
    inbox.addMail().sender(QStringLiteral("Ann"), QStringLiteral("ann@example.com")).subject(QStringLiteral("Hi"))
        .attach(QStringLiteral("a.txt"), "A");
    inbox.addItem(olContact).subject(QStringLiteral("Bob"));
    auto guard = outlook->install();

    auto app = ObjectFactory::create(QLatin1String(kApplicationClass));
    EXPECT_EQ(outlook->liveApplications(), 1);
    EXPECT_EQ(app->Version(), QStringLiteral("16.0"));
    auto roots = app->GetNamespace(QStringLiteral("MAPI"))->Folders();
    ASSERT_EQ(roots->count(), 1);
    EXPECT_THROW(roots->Item(0), pw::Error);
    EXPECT_THROW(roots->Item(2), pw::Error);
    auto items = roots->Item(1)->Folders()->Item(1)->Items();
    ASSERT_EQ(items->count(), 2);
    auto mail = items->Item(1);
    EXPECT_EQ(mail->Class(), olMail);
    EXPECT_EQ(mail->SenderEmailType(), QStringLiteral("SMTP"));
    EXPECT_EQ(mail->Attachments()->Item(1)->fileName(), QStringLiteral("a.txt"));
    EXPECT_EQ(items->Item(2)->Class(), olContact);
    EXPECT_EQ(mail->ReceivedTime().date().year(), 4501) << "undated items read as Outlook's no-date";

    // Removing data under a held collection makes later calls fail, not crash.
    inbox.removeItem(1);
    EXPECT_EQ(items->count(), 1);
    EXPECT_THROW(items->Item(2), pw::Error);

    app.reset();
    EXPECT_EQ(outlook->liveApplications(), 0);
}

TEST(FakeOutlook, AddStoreGetLastRemoveStoreAndEntryIds) {
    auto outlook = FakeOutlook::create();
    outlook->addStore(QStringLiteral("Mailbox")).addFolder(QStringLiteral("Inbox")).addMail();
    auto &archived = outlook->addStoreFile(QStringLiteral("/data/archive.pst"), QStringLiteral("Archive"))
                         .addFolder(QStringLiteral("Old")).addMail().subject(QStringLiteral("old one"));
    auto guard = outlook->install();
    auto ns = ObjectFactory::create(QLatin1String(kApplicationClass))->GetNamespace(QStringLiteral("mapi"));

    EXPECT_THROW(ns->GetItemFromID(archived.m_entryId), pw::Error) << "not open yet";
    EXPECT_THROW(ns->AddStore(QStringLiteral("/data/missing.pst")), pw::Error);
    ns->AddStore(QStringLiteral("/data/archive.pst"));
    auto last = ns->Folders()->GetLast();
    EXPECT_EQ(last->name(), QStringLiteral("Archive"));
    EXPECT_EQ(archived.m_entryId.size(), 48);
    EXPECT_EQ(ns->GetItemFromID(archived.m_entryId.toLower())->Subject(), QStringLiteral("old one"));

    ns->RemoveStore(last);
    EXPECT_EQ(outlook->openStoreNames(), QStringList{QStringLiteral("Mailbox")});
    EXPECT_THROW(ns->RemoveStore(last), pw::Error) << "already closed";
    EXPECT_THROW(ns->GetItemFromID(archived.m_entryId), pw::Error);
    EXPECT_TRUE(outlook->calls().contains(QStringLiteral("Namespace.AddStore(/data/archive.pst)")));
}

TEST(FakeOutlook, FailuresOnDemand) {
    auto outlook = FakeOutlook::create();
    auto &folder = outlook->addStore(QStringLiteral("S")).addFolder(QStringLiteral("Inbox"));
    auto &mail = folder.addMail().subject(QStringLiteral("s"));
    auto guard = outlook->install();

    outlook->failOn(QStringLiteral("Application.create"), QStringLiteral("no Outlook"), 1);
    try {
        ObjectFactory::create(QLatin1String(kApplicationClass));
        FAIL() << "creation should fail once";
    } catch (const pw::Error &e) {
        EXPECT_EQ(e.text(), QStringLiteral("no Outlook"));
    }
    auto ns = ObjectFactory::create(QLatin1String(kApplicationClass))->GetNamespace(QStringLiteral("MAPI"));
    auto items = ns->Folders()->Item(1)->Folders()->Item(1)->Items();

    mail.fail(QStringLiteral("Subject"), QStringLiteral("bad subject"), 2);
    auto item = items->Item(1);
    EXPECT_THROW(item->Subject(), pw::Error);
    EXPECT_THROW(item->Subject(), pw::Error);
    EXPECT_EQ(item->Subject(), QStringLiteral("s"));

    folder.fail(QStringLiteral("Items.count"));
    EXPECT_THROW(items->count(), pw::Error);
    outlook->failOn(QStringLiteral("Item.Body"));
    EXPECT_THROW(item->Body(), pw::Error);
    EXPECT_NO_THROW(item->SenderName());
}

TEST(FakeOutlook, SaveAsFileWritesRealFilesAndFailsCleanly) {
    QTemporaryDir dir;
    auto outlook = FakeOutlook::create();
    auto &mail = outlook->addStore(QStringLiteral("S")).addMail();
    mail.attach(QStringLiteral("a.bin"), QByteArray("\0\1\2", 3));
    mail.addAttachment(QStringLiteral("link.url")).withoutData();
    auto guard = outlook->install();
    auto attachments = ObjectFactory::create(QLatin1String(kApplicationClass))
                           ->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(1)->Items()->Item(1)->Attachments();

    attachments->Item(1)->SaveAsFile(dir.filePath(QStringLiteral("a.bin")));
    QFile written(dir.filePath(QStringLiteral("a.bin")));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QByteArray("\0\1\2", 3));
    EXPECT_THROW(attachments->Item(2)->SaveAsFile(dir.filePath(QStringLiteral("link.url"))), pw::Error);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("link.url"))));
    EXPECT_THROW(attachments->Item(1)->SaveAsFile(dir.filePath(QStringLiteral("no/such/dir/a.bin"))), pw::Error);
}
