#pragma once
#include "platform/registry/winreg.h"

#include <QString>

namespace pw::win {

// Replaces every %NAME% reference in lpSrc by the variable's value (names
// ignore case); unknown references stay as written. %USERPROFILE% is the
// USERPROFILE variable when the environment sets it, else the Windows
// profile folder of the Wine prefix's user. Writes the result, zero
// terminated and in the code page (UTF-8), when it fits in nSize bytes;
// returns the size the result needs including the zero, 0 on bad input.
DWORD ExpandEnvironmentStringsA(const char *lpSrc, char *lpDst, DWORD nSize);

} // namespace pw::win

namespace pw {
// The same expansion on text.
QString expandEnvironmentStrings(const QString &text);
} // namespace pw
