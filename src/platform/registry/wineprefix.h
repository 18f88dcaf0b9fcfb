#pragma once
#include <QString>

namespace pw {

// The Wine prefix whose registry and drives stand in for a Windows machine:
// $WINEPREFIX, or ~/.wine when it is not set.
class WinePrefix {
public:
    explicit WinePrefix(const QString &folder);
    // The prefix named by the environment at this moment.
    static WinePrefix current();

    QString folder() const { return m_folder; }
    // user.reg for HKEY_CURRENT_USER, system.reg for HKEY_LOCAL_MACHINE;
    // empty for every other hive.
    QString hiveFile(quint32 hive) const;

    // The Windows user name Wine gives the Unix user.
    static QString userName();
    // The user's Windows profile folder in Wine's layout, C:\users\<name>.
    static QString profilePath();

    // The local path of a Windows path, through the prefix's drive links
    // (dosdevices/c: and the like). Names are matched ignoring case as
    // Windows would, "." and ".." are resolved without leaving the drive,
    // and a trailing separator is kept. A path on a drive without a link,
    // or not on a drive at all, comes back unchanged.
    QString toLocalPath(const QString &windowsPath) const;

private:
    QString m_folder;
};

} // namespace pw
