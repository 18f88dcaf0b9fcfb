#include "platform/registry/environmentstrings.h"
#include "platform/registry/prefixfixture.h"
#include "platform/registry/wineprefix.h"
#include "platform/registry/winreg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace pw;
using namespace pw::win;

namespace {

const QByteArray UserReg = R"([Identities] 1700000000
"Default User ID"="{A}"
[Identities\\{A}\\Software\\Microsoft\\Outlook Express\\5.0]
"Store Root"=str(2):"%UserProfile%\\Mail"
"Caf\xe9"="cr\xe8me"
"Flags"=dword:fffffffe
"Bin"=hex:00,01,02
[Software\\Wine]
)";

QStringList enumKeys(HKEY key) {
    QStringList names;
    for (DWORD i = 0;; ++i) {
        std::array<char, 260> name{};
        DWORD length = name.size();
        const LONG status = RegEnumKeyExA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(length, std::strlen(name.data()));
        names.append(QString::fromUtf8(name.data()));
    }
    return names;
}

} // namespace

TEST(WineRegistry, OpensKeysOfUserRegIgnoringCaseAndEnumeratesThemInFileOrder) {
    test::PrefixFixture prefix;
    prefix.writeUserReg(UserReg);

    HKEY root = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &root), ERROR_SUCCESS);
    EXPECT_EQ(enumKeys(root), (QStringList{"Identities", "Software"}));

    HKEY identities = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "IDENTITIES", 0, KEY_READ, &identities), ERROR_SUCCESS);
    EXPECT_EQ(enumKeys(identities), QStringList{"{A}"});
    // Relative to an open key, and through a key that the file only
    // implies (Software\Microsoft has no section of its own).
    HKEY oe = 0;
    ASSERT_EQ(RegOpenKeyExA(identities, "{a}\\software\\microsoft\\Outlook Express", 0, KEY_READ, &oe), ERROR_SUCCESS);
    EXPECT_EQ(enumKeys(oe), QStringList{"5.0"});

    FILETIME time;
    std::array<char, 260> name{};
    DWORD length = name.size();
    ASSERT_EQ(RegEnumKeyExA(root, 0, name.data(), &length, nullptr, nullptr, nullptr, &time), ERROR_SUCCESS);
    EXPECT_EQ((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime, (1700000000ULL + 11644473600ULL) * 10000000ULL);
    // "Identities" needs 11 characters with its zero.
    length = 10;
    EXPECT_EQ(RegEnumKeyExA(root, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    for (HKEY key : {root, identities, oe})
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(oe), ERROR_INVALID_HANDLE);
    length = name.size();
    EXPECT_EQ(RegEnumKeyExA(oe, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
}

TEST(WineRegistry, OnlyTheUserAndMachineHivesExistAndMissingKeysAreNotFound) {
    test::PrefixFixture prefix;
    prefix.writeUserReg(UserReg);
    HKEY key = 123;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, 0u);
    prefix.writeSystemReg("[Software\\\\Microsoft\\\\Windows NT]\n");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(enumKeys(key), QStringList{"Windows NT"});
    RegCloseKey(key);

    for (HKEY hive : {HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA})
        EXPECT_EQ(RegOpenKeyExA(hive, "", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << std::hex << hive;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Identities\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Identities", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(0x1234, "", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);

    QFile::remove(prefix.path("user.reg"));
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST(WineRegistry, EnumeratesValuesWithTheSizeContractOfWindows) {
    test::PrefixFixture prefix;
    prefix.writeUserReg(UserReg);
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Identities\\{A}\\Software\\Microsoft\\Outlook Express\\5.0", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);

    std::array<char, 260> name{};
    std::array<BYTE, 64> data{};
    DWORD nameLength = name.size();
    DWORD type = 0;
    DWORD size = 4; // too small for "%UserProfile%\Mail" and its zero
    EXPECT_EQ(RegEnumValueA(key, 0, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 19u);
    // A null data buffer asks for the size only.
    nameLength = name.size();
    size = 0;
    ASSERT_EQ(RegEnumValueA(key, 0, name.data(), &nameLength, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 19u);
    nameLength = name.size();
    size = data.size();
    ASSERT_EQ(RegEnumValueA(key, 0, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(QByteArray(name.data(), nameLength), "Store Root");
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data.data()), size), QByteArray("%UserProfile%\\Mail", 19));

    // Non-ASCII names and strings come out as UTF-8.
    nameLength = name.size();
    size = data.size();
    ASSERT_EQ(RegEnumValueA(key, 1, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(QByteArray(name.data(), nameLength), "Caf\xc3\xa9");
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data.data()), size), QByteArray("cr\xc3\xa8me", 7));
    // A name that does not fit is reported, not cut.
    nameLength = 4;
    size = data.size();
    EXPECT_EQ(RegEnumValueA(key, 1, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_MORE_DATA);

    nameLength = name.size();
    size = data.size();
    ASSERT_EQ(RegEnumValueA(key, 2, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data.data()), size), QByteArray("\xfe\xff\xff\xff"));
    nameLength = name.size();
    size = data.size();
    ASSERT_EQ(RegEnumValueA(key, 3, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data.data()), size), QByteArray("\0\1\2", 3));
    nameLength = name.size();
    size = data.size();
    EXPECT_EQ(RegEnumValueA(key, 4, name.data(), &nameLength, nullptr, &type, data.data(), &size), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST(WineRegistry, AnOpenKeyKeepsReadingTheFileAsItWasWhenOpened) {
    test::PrefixFixture prefix;
    prefix.writeUserReg(UserReg);
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    prefix.writeUserReg("[Other]\n");
    EXPECT_EQ(enumKeys(key), (QStringList{"Identities", "Software"}));
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(enumKeys(key), QStringList{"Other"});
    RegCloseKey(key);
}

TEST(ExpandEnvironmentStrings, UserProfileIsTheWineProfileUnlessTheEnvironmentSetsIt) {
    test::PrefixFixture prefix; // USER=tester, USERPROFILE unset
    std::array<char, 255> buffer{};
    DWORD count = ExpandEnvironmentStringsA("%UserProfile%", buffer.data(), buffer.size());
    EXPECT_EQ(count, 16u);
    EXPECT_STREQ(buffer.data(), "C:\\users\\tester");

    test::ScopedEnv profile("USERPROFILE", QByteArray("C:\\Users\\u"));
    EXPECT_EQ(expandEnvironmentStrings("%userprofile%\\Mail"), "C:\\Users\\u\\Mail");
    test::ScopedEnv other("PW_TEST_VAR", QByteArray("x"));
    EXPECT_EQ(expandEnvironmentStrings("a%PW_TEST_VAR%b %pw_test_var% %NOT_SET_ANYWHERE% %% 100%"),
              "axb x %NOT_SET_ANYWHERE% %% 100%");
    // The unknown reference's closing '%' can open the next one.
    EXPECT_EQ(expandEnvironmentStrings("%NOT_SET_ANYWHERE%PW_TEST_VAR%"), "%NOT_SET_ANYWHERE" "x");

    // Too small a buffer: the size needed comes back and nothing is written.
    buffer.fill('#');
    count = ExpandEnvironmentStringsA("%USERPROFILE%", buffer.data(), 5);
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(buffer[0], '#');
}

TEST(WinePrefix, MapsWindowsPathsThroughTheDriveLinks) {
    test::PrefixFixture prefix;
    prefix.linkDriveC();
    prefix.touch("drive_c/users/tester/Local Settings/Mail/Inbox.dbx");
    const WinePrefix wine = WinePrefix::current();
    const QString driveC = QFileInfo(prefix.path("drive_c")).canonicalFilePath();

    EXPECT_EQ(wine.toLocalPath("C:\\users\\tester\\Local Settings\\Mail\\"),
              driveC + "/users/tester/Local Settings/Mail/");
    // Names match ignoring case, as on Windows; a missing tail is kept.
    EXPECT_EQ(wine.toLocalPath("c:\\USERS\\Tester\\local settings\\MAIL\\Missing\\Sub"),
              driveC + "/users/tester/Local Settings/Mail/Missing/Sub");
    EXPECT_EQ(wine.toLocalPath("C:\\..\\..\\users\\.\\tester"), driveC + "/users/tester");
    EXPECT_EQ(wine.toLocalPath("C:\\"), driveC + "/");
    // No link for D:, and paths that are not on a drive, stay as they are.
    EXPECT_EQ(wine.toLocalPath("D:\\Mail\\"), "D:\\Mail\\");
    EXPECT_EQ(wine.toLocalPath("\\\\server\\share\\Mail"), "\\\\server\\share\\Mail");
    EXPECT_EQ(wine.toLocalPath("/home/x/Mail"), "/home/x/Mail");
    EXPECT_EQ(wine.toLocalPath(""), "");
}
