#pragma once
#include <QString>

namespace pw {

// The per-user settings: application "Quillmark", section "Parcelwise".
// Every value is text; the conversions below are what the callers use.
class SettingsStore {
public:
    // The stored text, or `defaultValue` when the key is absent or unreadable.
    static QString GetSetting(const QString &key, const QString &defaultValue = QString());
    static void SaveSetting(const QString &key, const QString &value);

    // "True"/"False" in any letter case; a number is true when not 0.
    // Throws pw::Error for anything else.
    static bool toTruth(const QString &text);
    static QString fromTruth(bool value);
    // Decimal whole number; throws pw::Error for anything else.
    static int toWholeNumber(const QString &text);

    // Convenience readers: a value that cannot be converted reads as the default.
    static bool readTruth(const QString &key, bool defaultValue);
    static int readWholeNumber(const QString &key, int defaultValue);
};

} // namespace pw
