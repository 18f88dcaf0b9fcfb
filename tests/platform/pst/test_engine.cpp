// The engine's behaviour beyond what the manifests describe: the profile,
// mounting and closing stores, EntryID lookups, releasing files, saving
// into places that refuse the file, and the bodies of HTML/RTF-only items.
#include "corpus.h"

#include "core/error.h"
#include "core/safefilewriter.h"
#include "outlook/outlookmodel.h"
#include "platform/pst/pstengine.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace pw::outlook;
using namespace pw::pst;
using namespace pw::pst::test;

namespace {

QString sample(const char *name) {
    return corpusDir() + QStringLiteral("/pst/") + QLatin1String(name);
}

// Sets PARCELWISE_PROFILE for one test.
class ProfileGuard {
public:
    explicit ProfileGuard(const QString &value) : m_old(qgetenv("PARCELWISE_PROFILE")), m_had(qEnvironmentVariableIsSet("PARCELWISE_PROFILE")) {
        if (value.isNull())
            qunsetenv("PARCELWISE_PROFILE");
        else
            qputenv("PARCELWISE_PROFILE", value.toUtf8());
    }
    ~ProfileGuard() {
        if (m_had)
            qputenv("PARCELWISE_PROFILE", m_old);
        else
            qunsetenv("PARCELWISE_PROFILE");
    }

private:
    QByteArray m_old;
    bool m_had;
};

QStringList rootNames(const NamespacePtr &ns) {
    QStringList names;
    auto roots = ns->Folders();
    for (int i = 1; i <= roots->count(); ++i)
        names.append(roots->Item(i)->name());
    return names;
}

// The first item of the first folder (in pre-order) that has one.
ItemPtr firstItem(const FolderPtr &folder) {
    auto items = folder->Items();
    if (items->count() > 0)
        return items->Item(1);
    auto children = folder->Folders();
    for (int i = 1; i <= children->count(); ++i) {
        if (auto item = firstItem(children->Item(i)))
            return item;
    }
    return nullptr;
}

// Descriptors of this process open on `path`.
int openDescriptors(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    int count = 0;
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (fd.symLinkTarget() == canonical)
            ++count;
    }
    return count;
}

// A folder nobody may create files in, even root (who ignores modes).
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString &path) : m_path(path) {
        if (geteuid() == 0)
            m_ok = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
        else
            m_ok = QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
    }
    ~ReadOnlyFolder() {
        if (geteuid() == 0)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        else
            QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    bool ok() const { return m_ok; }

private:
    QString m_path;
    bool m_ok = false;
};

} // namespace

TEST(PstEngine, FactoryCreatesSessionsOfTheProfile) {
    PW_REQUIRE_CORPUS();
    ProfileGuard profile(sample("msgInMsg.pst"));
    auto previous = ObjectFactory::setCreator({});
    installPstEngine();
    auto application = ObjectFactory::create(QLatin1String(kApplicationClass));
    EXPECT_EQ(application->Version(), QStringLiteral("16.0"));
    EXPECT_EQ(rootNames(application->GetNamespace(QStringLiteral("MAPI"))), QStringList{QStringLiteral("msgInMsg")});
    EXPECT_THROW(application->GetNamespace(QStringLiteral("CDO")), pw::Error);
    EXPECT_THROW(ObjectFactory::create(QStringLiteral("Word.Application")), pw::Error);
    ObjectFactory::setCreator(previous);
}

TEST(PstEngine, ProfileListsFilesAndFoldersInOrderAndLeavesOutBadOnes) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("stores"));
    ASSERT_TRUE(QFile::copy(sample("sample1.pst"), dir.filePath(QStringLiteral("stores/b.pst"))));
    ASSERT_TRUE(QFile::copy(sample("sample2.pst"), dir.filePath(QStringLiteral("stores/A.PST"))));
    QFile notes(dir.filePath(QStringLiteral("stores/notes.txt")));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("not mail");
    notes.close();
    QFile fake(dir.filePath(QStringLiteral("fake.pst")));
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write(QByteArray(4096, 'x'));
    fake.close();

    ProfileGuard profile(dir.filePath(QStringLiteral("stores")) + QStringLiteral(":") + dir.filePath(QStringLiteral("missing.pst"))
                         + QStringLiteral("::") + fake.fileName() + QStringLiteral(":") + sample("msgInMsg.pst"));
    auto ns = createPstApplication()->GetNamespace(QStringLiteral("MAPI"));
    EXPECT_EQ(rootNames(ns), (QStringList{QStringLiteral("sample2"), QStringLiteral("sample1"), QStringLiteral("msgInMsg")}));
}

// A mail file of a profile folder that cannot be read is not passed over in
// silence: it is among the profile's files, and opening it names the cause.
TEST(PstEngine, AnUnreadableFileOfAProfileFolderIsNamedWithItsReason) {
    PW_REQUIRE_CORPUS();
    if (::geteuid() == 0)
        GTEST_SKIP() << "the superuser reads every file";
    QTemporaryDir dir;
    const QString locked = dir.filePath(QStringLiteral("Locked.PST"));
    ASSERT_TRUE(QFile::copy(sample("sample1.pst"), locked));
    ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::WriteOwner));
    ProfileGuard profile(dir.path());
    EXPECT_EQ(profileStorePaths(), QStringList{locked});
    auto app = createPstApplication();
    EXPECT_EQ(app->ProfileFileCount(), 1);
    auto ns = app->GetNamespace(QStringLiteral("MAPI"));
    EXPECT_TRUE(rootNames(ns).isEmpty());
    const QStringList failures = ns->ProfileFailures();
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures.first().contains(locked)) << failures.first().toStdString();
}

TEST(PstEngine, DefaultProfileIsTheOutlookFilesFolder) {
    PW_REQUIRE_CORPUS();
    ProfileGuard profile{QString()};
    const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                               .filePath(QStringLiteral("Outlook Files"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString copy = QDir(folder).filePath(QStringLiteral("mine.pst"));
    ASSERT_TRUE(QFile::copy(sample("attachAndInline.pst"), copy));
    EXPECT_EQ(rootNames(createPstApplication()->GetNamespace(QStringLiteral("MAPI"))),
              QStringList{QStringLiteral("attachAndInline")});
    QFile::remove(copy);
    EXPECT_TRUE(rootNames(createPstApplication()->GetNamespace(QStringLiteral("MAPI"))).isEmpty());
}

TEST(PstEngine, AddStoreGetLastRemoveStore) {
    PW_REQUIRE_CORPUS();
    auto ns = createPstApplication({sample("sample1.pst")})->GetNamespace(QStringLiteral("MAPI"));
    ns->AddStore(sample("msgInMsg.pst"));
    auto last = ns->Folders()->GetLast();
    EXPECT_EQ(last->name(), QStringLiteral("msgInMsg"));
    auto item = firstItem(last);
    ASSERT_TRUE(item);
    const QString id = item->EntryID();
    EXPECT_EQ(ns->GetItemFromID(id)->Subject(), QStringLiteral("I have attachments!"));

    EXPECT_THROW(ns->RemoveStore(last->Folders()->Item(1)), pw::Error) << "not a store's root";
    ns->RemoveStore(last);
    EXPECT_EQ(rootNames(ns), QStringList{QStringLiteral("sample1")});
    // The user reads this in the error box: plain words, no member names.
    try {
        ns->GetItemFromID(id);
        ADD_FAILURE() << "a closed store's message was found";
    } catch (const pw::Error &e) {
        EXPECT_EQ(QString::fromUtf8(e.what()),
                  QStringLiteral("The mail file this message was listed from is no longer open. List the messages again, then save."));
    }
    EXPECT_THROW(item->Subject(), pw::Error) << "objects of a closed store refuse calls";
    EXPECT_THROW(ns->RemoveStore(last), pw::Error) << "already closed";

    // The store read from a file is found by its path, however written.
    ns->AddStore(sample("msgInMsg.pst"));
    auto found = ns->StoreRootOf(corpusDir() + QStringLiteral("/pst/../pst/msgInMsg.pst"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name(), QStringLiteral("msgInMsg"));
    EXPECT_FALSE(ns->StoreRootOf(sample("outlook.pst")));
    EXPECT_FALSE(ns->StoreRootOf(QStringLiteral("/no/such/file.pst")));
    ns->RemoveStore(found);
    EXPECT_FALSE(ns->StoreRootOf(sample("msgInMsg.pst")));

    // A file open already opens again as its own last store; closing that one
    // leaves the first working.
    ns->AddStore(sample("sample1.pst"));
    EXPECT_EQ(ns->Folders()->count(), 2);
    ns->RemoveStore(ns->Folders()->GetLast());
    ASSERT_EQ(ns->Folders()->count(), 1);
    EXPECT_NO_THROW(firstItem(ns->Folders()->Item(1))->Subject());
    EXPECT_THROW(ns->Folders()->Item(2), pw::Error);
    EXPECT_THROW(ns->Folders()->Item(0), pw::Error);
}

TEST(PstEngine, AddStoreRefusesWhatIsNotAMailFile) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    auto ns = createPstApplication(QStringList{})->GetNamespace(QStringLiteral("MAPI"));
    EXPECT_THROW(ns->Folders()->GetLast(), pw::Error);
    auto message = [&](const QString &path) {
        try {
            ns->AddStore(path);
        } catch (const pw::Error &e) {
            return e.text();
        }
        return QStringLiteral("no failure");
    };
    EXPECT_TRUE(message(dir.filePath(QStringLiteral("none.pst"))).contains(QLatin1String("does not exist")));
    EXPECT_TRUE(message(dir.path()).contains(QLatin1String("folder")));
    QFile text(dir.filePath(QStringLiteral("text.pst")));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("Subject: hello\r\n\r\nnot a PST at all, only text that is long enough to be read.\r\n");
    text.close();
    EXPECT_TRUE(message(text.fileName()).contains(QLatin1String("not a PST or OST file")));
    QFile empty(dir.filePath(QStringLiteral("empty.pst")));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    EXPECT_TRUE(message(empty.fileName()).contains(QLatin1String("not a PST or OST file")));
    // A damaged header is told in plain words.
    QFile original(sample("msgInMsg.pst"));
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    QByteArray bytes = original.readAll();
    for (int i = 200; i < 260; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x55);
    QFile damaged(dir.filePath(QStringLiteral("damaged.pst")));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(bytes);
    damaged.close();
    const QString damagedText = message(damaged.fileName());
    EXPECT_TRUE(damagedText.startsWith(QLatin1String("Cannot open the mail file"))) << damagedText.toStdString();
    EXPECT_TRUE(damagedText.contains(QLatin1String("damaged data at offset"))) << damagedText.toStdString();
    EXPECT_EQ(ns->Folders()->count(), 0);
}

TEST(PstEngine, GetItemFromIdRefusesBadIds) {
    PW_REQUIRE_CORPUS();
    auto ns = createPstApplication({sample("msgInMsg.pst")})->GetNamespace(QStringLiteral("MAPI"));
    const QString good = QStringLiteral("000000006941E2DABC421A459741E25EA657522A24002000");
    EXPECT_EQ(ns->GetItemFromID(good)->EntryID(), good);
    EXPECT_THROW(ns->GetItemFromID(QString()), pw::Error);
    EXPECT_THROW(ns->GetItemFromID(good.left(46)), pw::Error);
    EXPECT_THROW(ns->GetItemFromID(good + QStringLiteral("00")), pw::Error);
    EXPECT_THROW(ns->GetItemFromID(QString(good).replace(10, 1, QLatin1Char('G'))), pw::Error);
    EXPECT_THROW(ns->GetItemFromID(QString(good).replace(8, 2, QStringLiteral("00"))), pw::Error) << "unknown store";
    EXPECT_THROW(ns->GetItemFromID(QString(good).replace(40, 8, QStringLiteral("E4FFFF00"))), pw::Error) << "no such item";
    // The node id of a folder is not an item.
    EXPECT_THROW(ns->GetItemFromID(QString(good).replace(40, 8, QStringLiteral("22800000"))), pw::Error);
}

TEST(PstEngine, ManyLookupsByEntryIdStayRight) {
    PW_REQUIRE_CORPUS();
    // Enough lookups for the store to switch to its own index of messages.
    const QJsonObject expected = manifest(QStringLiteral("pst/97_outlook_pass12345.pst"));
    QList<QPair<QString, QString>> messages;
    for (const auto &folder : expected[QLatin1String("folders")].toArray()) {
        for (const auto &message : folder.toObject()[QLatin1String("messages")].toArray())
            messages.append({message.toObject()[QLatin1String("entry_id")].toString(),
                             message.toObject()[QLatin1String("subject")].toString()});
    }
    ASSERT_EQ(messages.size(), 294);
    auto ns = createPstApplication({sample("97_outlook_pass12345.pst")})->GetNamespace(QStringLiteral("MAPI"));
    for (int round = 0; round < 2; ++round) {
        for (qsizetype i = messages.size() - 1; i >= 0; --i) {
            auto item = ns->GetItemFromID(messages[i].first);
            ASSERT_EQ(item->EntryID(), messages[i].first);
            EXPECT_EQ(item->Subject(), messages[i].second);
        }
    }
    QString missing = messages.first().first;
    missing.replace(40, 8, QStringLiteral("E4FFFF00"));
    EXPECT_THROW(ns->GetItemFromID(missing), pw::Error);
}

TEST(PstEngine, ReleasingEverythingClosesTheFiles) {
    PW_REQUIRE_CORPUS();
    const QString file = sample("msgInMsg.pst");
    ASSERT_EQ(openDescriptors(file), 0);
    auto application = createPstApplication({file});
    EXPECT_EQ(openDescriptors(file), 0) << "a presence test opens nothing";
    auto ns = application->GetNamespace(QStringLiteral("MAPI"));
    EXPECT_EQ(openDescriptors(file), 1);
    ns.reset();
    ItemPtr item = firstItem(application->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(1));
    application.reset();
    // A held item keeps its file open and usable.
    EXPECT_EQ(openDescriptors(file), 1);
    EXPECT_EQ(item->Attachments()->count(), 2);
    item.reset();
    EXPECT_EQ(openDescriptors(file), 0);
}

TEST(PstEngine, SaveAsFileNeverWritesOverAndFailsWithoutLeavingAnything) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    auto item = firstItem(createPstApplication({sample("msgInMsg.pst")})->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(1));
    auto png = item->Attachments()->Item(2);
    ASSERT_EQ(png->fileName(), QStringLiteral("green.png"));

    const QString target = dir.filePath(QStringLiteral("green.png"));
    QFile old(target);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(10000, 'o'));
    old.close();
    EXPECT_THROW(png->SaveAsFile(target), pw::NameTakenError);
    EXPECT_EQ(QFileInfo(target).size(), 10000) << "an existing file is never written over";
    // A name near the file system's limit of 255 bytes still saves.
    const QString longName = dir.filePath(QString(250, QLatin1Char('n')) + QStringLiteral(".png"));
    png->SaveAsFile(longName);
    EXPECT_EQ(QFileInfo(longName).size(), 134);

    auto failure = [&](const AttachmentPtr &attachment, const QString &path) {
        try {
            attachment->SaveAsFile(path);
        } catch (const pw::Error &e) {
            return e.text();
        }
        return QStringLiteral("no failure");
    };
    QDir(dir.path()).mkdir(QStringLiteral("sub"));
    EXPECT_TRUE(failure(png, dir.filePath(QStringLiteral("sub"))).contains(QLatin1String("folder")));
    EXPECT_TRUE(failure(png, dir.filePath(QStringLiteral("missing/green.png"))).contains(QLatin1String("does not exist")));

    QDir(dir.path()).mkdir(QStringLiteral("locked"));
    const QString locked = dir.filePath(QStringLiteral("locked"));
    {
        ReadOnlyFolder guard(locked);
        if (!guard.ok())
            GTEST_SKIP() << "cannot make a folder read-only here";
        for (const auto &attachment : {png, item->Attachments()->Item(1)}) {
            const QString path = QDir(locked).filePath(attachment->fileName());
            const QString text = failure(attachment, path);
            EXPECT_TRUE(text.startsWith(QLatin1String("Cannot save"))) << text.toStdString();
            EXPECT_TRUE(text.contains(path)) << text.toStdString();
        }
        EXPECT_TRUE(QDir(locked).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    }
}

TEST(PstEngine, BodiesOfHtmlAndRtfOnlyItemsAreText) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    const QString ost = unpackOst(dir);
    if (ost.isEmpty())
        GTEST_SKIP() << "cannot unpack the .ost sample";
    auto root = createPstApplication({ost})->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(1);
    int mails = 0;
    int appointments = 0;
    std::function<void(const FolderPtr &)> visit = [&](const FolderPtr &folder) {
        auto items = folder->Items();
        for (int i = 1; i <= items->count(); ++i) {
            auto item = items->Item(i);
            const QString body = item->Body();
            if (item->Class() == olMail) {
                ++mails; // these carry only an HTML body
                EXPECT_FALSE(body.trimmed().isEmpty());
                EXPECT_FALSE(body.contains(QLatin1String("<html"), Qt::CaseInsensitive));
                EXPECT_FALSE(body.contains(QLatin1String("&nbsp;")));
            } else if (item->Class() == olAppointment && appointments++ < 20) {
                EXPECT_FALSE(body.contains(QLatin1String("\\rtf"))) << "RTF control words are dropped";
                EXPECT_FALSE(body.contains(QLatin1String("{\\")));
            }
        }
        auto children = folder->Folders();
        for (int i = 1; i <= children->count(); ++i)
            visit(children->Item(i));
    };
    visit(root);
    EXPECT_EQ(mails, 2);
    EXPECT_GT(appointments, 100);
}
