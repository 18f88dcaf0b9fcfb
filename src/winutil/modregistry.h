#pragma once
// Module modRegistry: read-only access to the registry by textual key
// path, such as "HKEY_CURRENT_USER\Identities".
#include "platform/registry/winreg.h"
#include "winutil/registryvalues.h"

#include <QString>
#include <QStringList>

namespace pw {
class Dialogs;
}

namespace pw::modRegistry {

// The handle of a hive named exactly as in the Windows headers
// ("HKEY_CURRENT_USER" ...); 0 for any other name.
win::HKEY HiveFromName(const QString &name);

// Splits "HIVE\sub\key" into the hive's handle and the subkey path (empty
// for the hive's root), left in `path`. A path not starting with "HKEY_" or
// ending with "\" is shown as "Incorrect Format:" and gives hive 0 with the
// path unchanged.
void SplitKeyPath(QString &path, win::HKEY &hive, Dialogs &dialogs);

// Subkey names in enumeration order; empty when the path is malformed,
// names no hive or the key is missing. Throws pw::Error when enumeration
// fails other than by reaching the end.
QStringList GetSubkeyNames(const QString &path, Dialogs &dialogs);

// The key's values in enumeration order; empty as for GetSubkeyNames. A
// failure part way keeps the values read before it.
RegistryValues GetKeyValues(const QString &path, Dialogs &dialogs);

} // namespace pw::modRegistry
