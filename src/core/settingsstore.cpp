#include "core/settingsstore.h"

#include "core/error.h"

#include <QSettings>

namespace pw {

namespace {
constexpr auto kOrganisation = "Quillmark";
constexpr auto kApplication = "Parcelwise";
constexpr auto kGroup = "Parcelwise";
} // namespace

QString SettingsStore::GetSetting(const QString &key, const QString &defaultValue) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
    if (settings.status() != QSettings::NoError)
        return defaultValue;
    settings.beginGroup(kGroup);
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return defaultValue;
    return value.toString();
}

void SettingsStore::SaveSetting(const QString &key, const QString &value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
    settings.beginGroup(kGroup);
    settings.setValue(key, value);
    settings.endGroup();
    // Written now, so it survives a crash or a killed session.
    settings.sync();
}

bool SettingsStore::toTruth(const QString &text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = t.toDouble(&ok);
    if (ok)
        return number != 0.0;
    throw Error(QStringLiteral("Type mismatch: \"%1\" is not a truth value").arg(text));
}

QString SettingsStore::fromTruth(bool value) {
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

int SettingsStore::toWholeNumber(const QString &text) {
    bool ok = false;
    const int number = text.trimmed().toInt(&ok, 10);
    if (!ok)
        throw Error(QStringLiteral("Type mismatch: \"%1\" is not a whole number").arg(text));
    return number;
}

bool SettingsStore::readTruth(const QString &key, bool defaultValue) {
    try {
        return toTruth(GetSetting(key, fromTruth(defaultValue)));
    } catch (const Error &) {
        return defaultValue;
    }
}

int SettingsStore::readWholeNumber(const QString &key, int defaultValue) {
    try {
        return toWholeNumber(GetSetting(key, QString::number(defaultValue)));
    } catch (const Error &) {
        return defaultValue;
    }
}

} // namespace pw
