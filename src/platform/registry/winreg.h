#pragma once
// The four registry reading operations of the Windows API, served from the
// registry files of a Wine prefix (see WinePrefix). They keep the Windows
// contract: 0 on success, a Windows error code otherwise, buffer sizes in
// and out through pointers. Text crosses this boundary in the system's
// code page, which on Linux is UTF-8.
#include <cstdint>

namespace pw::win {

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using REGSAM = DWORD;
// Registry handles are 32-bit, as the callers store them.
using HKEY = std::uint32_t;

struct FILETIME {
    DWORD dwLowDateTime = 0;
    DWORD dwHighDateTime = 0;
};

inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;
inline constexpr HKEY HKEY_PERFORMANCE_DATA = 0x80000004u;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
inline constexpr HKEY HKEY_DYN_DATA = 0x80000006u;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr REGSAM KEY_READ = 0x20019;

// Opens lpSubKey (levels separated by '\', case ignored; empty or null for
// hKey itself) below an open key or a predefined hive. HKEY_CURRENT_USER
// reads the prefix's user.reg and HKEY_LOCAL_MACHINE its system.reg, both
// as they are at the moment of the call; every other hive, a missing file
// and a missing key give ERROR_FILE_NOT_FOUND.
LONG RegOpenKeyExA(HKEY hKey, const char *lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY *phkResult);

// Name of subkey dwIndex, in the order of the registry file.
// *lpcchName: buffer size in characters in, name length without the zero
// out. ERROR_MORE_DATA when the name does not fit, ERROR_NO_MORE_ITEMS past
// the last subkey. Class and time are optional.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, char *lpName, DWORD *lpcchName, DWORD *lpReserved,
                   char *lpClass, DWORD *lpcchClass, FILETIME *lpftLastWriteTime);

// Name, type and data of value dwIndex. String data (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) comes back in the code page, with its terminating zero.
// When the name or the data does not fit: ERROR_MORE_DATA, and *lpcbData
// holds the data size needed. A null lpData asks for the size only.
// ERROR_NO_MORE_ITEMS past the last value.
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char *lpValueName, DWORD *lpcchValueName, DWORD *lpReserved,
                   DWORD *lpType, BYTE *lpData, DWORD *lpcbData);

LONG RegCloseKey(HKEY hKey);

} // namespace pw::win
