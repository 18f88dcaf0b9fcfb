#include "express/dbxfiles.h"
#include "express/storesearch.h"

#include "core/error.h"
#include "platform/registry/prefixfixture.h"
#include "support/fakeports.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace pw;
using pw::test::FakeDialogs;
using pw::test::PrefixFixture;

namespace {

const char *const GuidA = "{0A1B2C3D-0000-4000-8000-00000000000A}";
const char *const GuidB = "{0A1B2C3D-0000-4000-8000-00000000000B}";

// The registry section of one identity whose store root is `storeRoot`
// (as written in the file, escapes included).
QByteArray identity(const char *guid, const QByteArray &storeRoot) {
    return QByteArray("[Identities\\\\") + guid + "]\n\"Username\"=\"Someone\"\n[Identities\\\\" + guid
           + "\\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0]\n\"Store Root\"=str(2):\"" + storeRoot + "\"\n";
}

QByteArray identitiesKey() { return "[Identities]\n\"Default User ID\"=\"{0A1B2C3D-0000-4000-8000-00000000000A}\"\n"; }

class StoreDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        Express1::StoreFolders = QStringList{"from an earlier search"};
        Express1::FoundDbxFiles.clear();
    }
    QString driveC() const { return QFileInfo(prefix.path("drive_c")).canonicalFilePath(); }

    PrefixFixture prefix;
    FakeDialogs dialogs;
};

} // namespace

TEST_F(StoreDiscovery, FindsTheStoreOfEveryIdentityInRegistryOrderOnAWinePrefix) {
    prefix.linkDriveC();
    const QString storeB = "drive_c/users/tester/Local Settings/Application Data/Identities/" + QString(GuidB)
                           + "/Microsoft/Outlook Express/";
    const QString storeA = "drive_c/users/tester/Mail A/";
    for (const char *name : {"Inbox.dbx", "Folders.dbx", "POP3UIDL.DBX", "Sent Items.dbx", "Offline.dbx"})
        prefix.touch(storeB + name);
    prefix.touch(storeA + "Inbox.dbx");
    // B comes first in the file; a blank identity (zero characters and
    // spaces) sits between the two and is passed over.
    prefix.writeUserReg(identitiesKey()
                        + identity(GuidB, "%UserProfile%\\\\Local Settings\\\\Application Data\\\\Identities\\\\"
                                          + QByteArray(GuidB) + "\\\\Microsoft\\\\Outlook Express\\\\")
                        + "[Identities\\\\\\0\\0  \\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0]\n"
                        // The path on disk differs in case; Windows would not mind.
                        + identity(GuidA, "c:\\\\USERS\\\\tester\\\\mail a\\\\"));
    Express1::FoundDbxFiles = QStringList{"kept: the caller empties the list"};

    Express1::FindStoreFiles(dialogs);

    EXPECT_EQ(Express1::StoreFolders, (QStringList{prefix.path(storeB).replace(prefix.path("drive_c"), driveC()),
                                                   driveC() + "/users/tester/Mail A/"}));
    const QString b = Express1::StoreFolders.at(0);
    const QString a = Express1::StoreFolders.at(1);
    EXPECT_EQ(Express1::FoundDbxFiles, (QStringList{"kept: the caller empties the list", b + "Inbox.dbx",
                                                    b + "Offline.dbx", b + "Sent Items.dbx", a + "Inbox.dbx"}));
    EXPECT_TRUE(dialogs.boxes.isEmpty());
}

TEST_F(StoreDiscovery, ReplacesOnlyTheExactUserProfileReference) {
    test::ScopedEnv profile("USERPROFILE", QByteArray("C:\\Users\\u"));
    prefix.writeUserReg(identitiesKey() + identity(GuidA, "%UserProfile%\\\\Local Settings\\\\Mail")
                        + identity(GuidB, "%userprofile%\\\\Local Settings\\\\Mail %TEMP%"));
    EXPECT_EQ(DBXFiles().GetStoreFolder(dialogs),
              (QStringList{"C:\\Users\\u\\Local Settings\\Mail", "%userprofile%\\Local Settings\\Mail %TEMP%"}));

    // Without a drive link nothing maps, and nothing is listed from the
    // working folder instead.
    Express1::FindStoreFiles(dialogs);
    EXPECT_EQ(Express1::StoreFolders.size(), 2);
    EXPECT_TRUE(Express1::FoundDbxFiles.isEmpty());
}

TEST_F(StoreDiscovery, UsesTheFirstVersionKeyOfOutlookExpress) {
    prefix.writeUserReg(identitiesKey() + identity(GuidA, "C:\\\\First\\\\")
                        + "[Identities\\\\" + GuidA + "\\\\Software\\\\Microsoft\\\\Outlook Express\\\\4.0]\n"
                        + "\"Store Root\"=\"C:\\\\Second\\\\\"\n");
    EXPECT_EQ(DBXFiles().GetStoreFolder(dialogs), QStringList{"C:\\First\\"});
}

TEST_F(StoreDiscovery, AStoreRootWithoutSeparatorIsSearchedInsideAndAMissingFolderAddsNothing) {
    prefix.linkDriveC();
    prefix.touch("drive_c/Mail/Inbox.dbx");
    prefix.touch("drive_c/MailOutbox.dbx");
    prefix.writeUserReg(identitiesKey() + identity(GuidA, "C:\\\\Missing\\\\") + identity(GuidB, "C:\\\\Mail"));
    Express1::FindStoreFiles(dialogs);
    EXPECT_EQ(Express1::StoreFolders, (QStringList{driveC() + "/Missing/", driveC() + "/Mail"}));
    EXPECT_EQ(Express1::FoundDbxFiles, QStringList{driveC() + "/Mail/Inbox.dbx"});
}

TEST_F(StoreDiscovery, FailsAsAWholeWhenAnyIdentityIsIncomplete) {
    const QByteArray complete = identity(GuidA, "C:\\\\Mail\\\\");
    const QByteArray versionKeyB =
        QByteArray("[Identities\\\\") + GuidB + "\\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0]\n";
    const struct {
        const char *situation;
        QByteArray registry;
    } cases[] = {
        {"no Identities key", QByteArray("[Software]\n")},
        {"Identities without subkeys", identitiesKey()},
        {"only blank identities", identitiesKey() + "[Identities\\\\  ]\n[Identities\\\\\\0]\n"},
        {"an identity without the Outlook Express key",
         identitiesKey() + complete + "[Identities\\\\" + GuidB + "\\\\Software\\\\Microsoft]\n"},
        {"an Outlook Express key without a version key",
         identitiesKey() + complete + "[Identities\\\\" + GuidB + "\\\\Software\\\\Microsoft\\\\Outlook Express]\n\"x\"=\"y\"\n"},
        {"a version key without Store Root", identitiesKey() + complete + versionKeyB + "\"Store Rot\"=\"C:\\\\\"\n"},
        {"a Store Root that is not text", identitiesKey() + complete + versionKeyB + "\"Store Root\"=dword:00000001\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.situation);
        prefix.writeUserReg(c.registry);
        Express1::StoreFolders = QStringList{"before"};
        Express1::FoundDbxFiles = QStringList{"before"};
        EXPECT_THROW(Express1::FindStoreFiles(dialogs), Error);
        EXPECT_EQ(Express1::StoreFolders, QStringList{"before"});
        EXPECT_EQ(Express1::FoundDbxFiles, QStringList{"before"});
    }
    // No user.reg at all.
    QFile::remove(prefix.path("user.reg"));
    EXPECT_THROW(DBXFiles().GetStoreFolder(dialogs), Error);
    EXPECT_TRUE(dialogs.boxes.isEmpty());
}
