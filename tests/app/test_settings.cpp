#include "core/settingsstore.h"
#include "core/error.h"
#include "support/fakeports.h"

#include <QSettings>
#include <gtest/gtest.h>

using pw::SettingsStore;

class Settings : public ::testing::Test {
protected:
    void SetUp() override { pw::test::clearSettings(); }
};

TEST_F(Settings, AbsentKeyGivesTheDefaultAndTextRoundTripsUnchanged) {
    EXPECT_EQ(SettingsStore::GetSetting("PST File", QString()), QString());
    EXPECT_EQ(SettingsStore::GetSetting("Combo1", "0"), QStringLiteral("0"));
    SettingsStore::SaveSetting("Text1", "  invoice  ü ");
    EXPECT_EQ(SettingsStore::GetSetting("Text1", "x"), QStringLiteral("  invoice  ü "));
    // Clearing stores empty text, which is not the same as absent.
    SettingsStore::SaveSetting("Text1", QString());
    EXPECT_EQ(SettingsStore::GetSetting("Text1", "default"), QString());
}

TEST_F(Settings, LivesUnderQuillmarkParcelwiseGroup) {
    SettingsStore::SaveSetting("Location", "/tmp/x/");
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Quillmark", "Parcelwise");
    EXPECT_EQ(s.value("Parcelwise/Location").toString(), QStringLiteral("/tmp/x/"));
}

TEST_F(Settings, TruthValuesInAnyCaseAndNumbers) {
    EXPECT_TRUE(SettingsStore::toTruth("true"));
    EXPECT_TRUE(SettingsStore::toTruth("TRUE"));
    EXPECT_FALSE(SettingsStore::toTruth("FALSE"));
    EXPECT_FALSE(SettingsStore::toTruth("0"));
    EXPECT_TRUE(SettingsStore::toTruth("1"));
    EXPECT_TRUE(SettingsStore::toTruth("-1"));
    EXPECT_THROW(SettingsStore::toTruth("maybe"), pw::Error);
    EXPECT_THROW(SettingsStore::toTruth(""), pw::Error);
    EXPECT_EQ(SettingsStore::fromTruth(true), QStringLiteral("True"));
    EXPECT_EQ(SettingsStore::fromTruth(false), QStringLiteral("False"));
}

TEST_F(Settings, UnconvertibleStoredValuesReadAsTheDefault) {
    SettingsStore::SaveSetting("Option1", "garbage");
    SettingsStore::SaveSetting("Combo1", "two");
    EXPECT_TRUE(SettingsStore::readTruth("Option1", true));
    EXPECT_EQ(SettingsStore::readWholeNumber("Combo1", 0), 0);
    SettingsStore::SaveSetting("Combo1", "5");
    EXPECT_EQ(SettingsStore::readWholeNumber("Combo1", 0), 5);
    EXPECT_THROW(SettingsStore::toWholeNumber("1.5"), pw::Error);
}
