#include "winutil/modregistry.h"

#include "core/error.h"
#include "platform/registry/prefixfixture.h"
#include "support/fakeports.h"

#include <gtest/gtest.h>

using namespace pw;
using pw::test::FakeDialogs;
using pw::test::PrefixFixture;

namespace {

QByteArray userReg() {
    QByteArray text = R"([Identities]
"Default User ID"="{A}"
[Identities\\{A}]
[Identities\\{B}\\Software]
[Software\\Parcelwise]
"Store Root"=str(2):"%UserProfile%\\Mail"
"Plain"="text"
"Empty"=""
"Minus One"=dword:ffffffff
"Short Dword"=hex(4):2a
"Bytes"=hex:00,ff
"No Zero"=hex(1):41,00,42,00
"After"="still read"
)";
    // A string longer than the first 4096-byte buffer.
    text += "\"Long\"=\"" + QByteArray(5000, 'L') + "\"\n";
    return text;
}

} // namespace

TEST(HiveFromName, KnowsTheSevenHivesByTheirExactNames) {
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_CLASSES_ROOT"), 0x80000000u);
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_CURRENT_USER"), 0x80000001u);
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_LOCAL_MACHINE"), 0x80000002u);
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_USERS"), 0x80000003u);
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_PERFORMANCE_DATA"), 0x80000004u);
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_CURRENT_CONFIG"), 0x80000005u);
    EXPECT_EQ(modRegistry::HiveFromName("HKEY_DYN_DATA"), 0x80000006u);
    EXPECT_EQ(modRegistry::HiveFromName("hkey_current_user"), 0u);
    EXPECT_EQ(modRegistry::HiveFromName("HKCU"), 0u);
    EXPECT_EQ(modRegistry::HiveFromName(""), 0u);
}

TEST(SplitKeyPath, SplitsAtTheFirstSeparatorAndReportsMalformedPaths) {
    FakeDialogs dialogs;
    QString path = "HKEY_CURRENT_USER\\Identities\\{A}";
    win::HKEY hive = 7;
    modRegistry::SplitKeyPath(path, hive, dialogs);
    EXPECT_EQ(hive, win::HKEY_CURRENT_USER);
    EXPECT_EQ(path, "Identities\\{A}");

    path = "HKEY_LOCAL_MACHINE";
    modRegistry::SplitKeyPath(path, hive, dialogs);
    EXPECT_EQ(hive, win::HKEY_LOCAL_MACHINE);
    EXPECT_EQ(path, "");
    EXPECT_TRUE(dialogs.boxes.isEmpty());

    for (const QString &bad : {QString("HKEY_CURRENT_USER\\"), QString("hkey_current_user\\Identities"),
                               QString("Software\\Microsoft")}) {
        path = bad;
        hive = 7;
        modRegistry::SplitKeyPath(path, hive, dialogs);
        EXPECT_EQ(hive, 0u);
        EXPECT_EQ(path, bad);
        ASSERT_FALSE(dialogs.boxes.isEmpty());
        EXPECT_EQ(dialogs.boxes.last().text, "Incorrect Format:\n\n" + bad);
        EXPECT_EQ(dialogs.boxes.last().title, QString()); // the application's own title
        EXPECT_EQ(dialogs.boxes.last().buttons, MsgButtons::Ok);
    }
    EXPECT_EQ(dialogs.boxes.size(), 3);
}

TEST(GetSubkeyNames, ListsInEnumerationOrderAndIsEmptyWhereThereIsNothingToList) {
    PrefixFixture prefix;
    prefix.writeUserReg(userReg());
    FakeDialogs dialogs;
    EXPECT_EQ(modRegistry::GetSubkeyNames("HKEY_CURRENT_USER", dialogs), (QStringList{"Identities", "Software"}));
    EXPECT_EQ(modRegistry::GetSubkeyNames("HKEY_CURRENT_USER\\Identities", dialogs), (QStringList{"{A}", "{B}"}));
    EXPECT_TRUE(modRegistry::GetSubkeyNames("HKEY_CURRENT_USER\\Identities\\{A}", dialogs).isEmpty());
    EXPECT_TRUE(modRegistry::GetSubkeyNames("HKEY_CURRENT_USER\\Missing", dialogs).isEmpty());
    EXPECT_TRUE(modRegistry::GetSubkeyNames("HKEY_NOWHERE\\Identities", dialogs).isEmpty());
    EXPECT_TRUE(modRegistry::GetSubkeyNames("HKEY_CLASSES_ROOT", dialogs).isEmpty());
    EXPECT_TRUE(dialogs.boxes.isEmpty());

    EXPECT_TRUE(modRegistry::GetSubkeyNames("HKEY_CURRENT_USER\\", dialogs).isEmpty());
    EXPECT_TRUE(modRegistry::GetSubkeyNames("hkey_current_user\\Identities", dialogs).isEmpty());
    EXPECT_EQ(dialogs.boxes.size(), 2);
}

TEST(GetSubkeyNames, AFailingEnumerationGoesToTheCaller) {
    PrefixFixture prefix;
    // A name too long for the 260-character buffer: the listing fails
    // rather than quietly leaving the key out.
    prefix.writeUserReg("[Identities\\\\" + QByteArray(300, 'n') + "]\n");
    FakeDialogs dialogs;
    EXPECT_THROW(modRegistry::GetSubkeyNames("HKEY_CURRENT_USER\\Identities", dialogs), Error);
}

TEST(GetKeyValues, ConvertsDataByTypeAndReadsLongStringsWhole) {
    PrefixFixture prefix;
    prefix.writeUserReg(userReg());
    FakeDialogs dialogs;
    const RegistryValues values = modRegistry::GetKeyValues("HKEY_CURRENT_USER\\Software\\Parcelwise", dialogs);
    ASSERT_EQ(values.count(), 9);
    QStringList names;
    for (const auto &entry : values)
        names.append(entry.name);
    EXPECT_EQ(names, (QStringList{"Store Root", "Plain", "Empty", "Minus One", "Short Dword", "Bytes", "No Zero",
                                  "After", "Long"}));

    // Environment references are not expanded here.
    EXPECT_EQ(values.value("Store Root").toString(), "%UserProfile%\\Mail");
    EXPECT_EQ(values.at(0).type, win::REG_EXPAND_SZ);
    EXPECT_EQ(values.text("plain"), "text");
    EXPECT_EQ(values.text("EMPTY"), "");
    EXPECT_EQ(values.value("Minus One"), QVariant(qint32(-1)));
    EXPECT_EQ(values.value("Short Dword"), QVariant(qint32(42)));
    EXPECT_EQ(values.value("Bytes"), QVariant(QByteArray("\0\xff", 2)));
    // Text stored without its terminating zero keeps its last character.
    EXPECT_EQ(values.text("No Zero"), "AB");
    EXPECT_EQ(values.text("Long"), QString(5000, 'L'));

    EXPECT_TRUE(values.contains("store root"));
    EXPECT_THROW(values.value("Missing"), Error);
    EXPECT_THROW(values.text("Minus One"), Error);
}

TEST(GetKeyValues, IsEmptyWhereThereIsNothingToReadAndSurvivesAnOverlongName) {
    PrefixFixture prefix;
    QByteArray text = userReg();
    text += "[Long Names]\n\"" + QByteArray(300, 'n') + "\"=\"x\"\n\"Next\"=\"y\"\n";
    prefix.writeUserReg(text);
    FakeDialogs dialogs;
    EXPECT_TRUE(modRegistry::GetKeyValues("HKEY_CURRENT_USER\\Identities\\{A}", dialogs).isEmpty());
    EXPECT_TRUE(modRegistry::GetKeyValues("HKEY_CURRENT_USER\\Missing", dialogs).isEmpty());
    EXPECT_TRUE(modRegistry::GetKeyValues("HKEY_USERS\\.Default", dialogs).isEmpty());
    EXPECT_TRUE(dialogs.boxes.isEmpty());
    EXPECT_TRUE(modRegistry::GetKeyValues("HKEY_CURRENT_USER\\Software\\", dialogs).isEmpty());
    EXPECT_EQ(dialogs.boxes.size(), 1);

    // A value name beyond the first buffer does not end the list early.
    const RegistryValues values = modRegistry::GetKeyValues("HKEY_CURRENT_USER\\Long Names", dialogs);
    ASSERT_EQ(values.count(), 2);
    EXPECT_EQ(values.at(0).name, QString(300, 'n'));
    EXPECT_EQ(values.text("next"), "y");
}
