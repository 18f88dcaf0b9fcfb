#include "platform/registry/winreg.h"

#include "platform/registry/registryhive.h"
#include "platform/registry/wineprefix.h"

#include <QString>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace pw::win {

namespace {

// An open key: the hive as it was read when the key was opened (so one
// enumeration sees one consistent file) and the key within it.
struct OpenKey {
    std::shared_ptr<const RegistryHive> hive;
    int key = RegistryHive::Root;
};

std::mutex g_lock;
std::map<HKEY, OpenKey> g_openKeys;
HKEY g_nextHandle = 0x100;

bool isPredefined(HKEY hKey) { return (hKey & 0x80000000u) != 0; }

// The hives as last read. A search opens the same file many times in a
// row; the text is read each time (so a changed file is always seen) but
// parsed again only when it differs.
struct ParsedFile {
    QString fileName;
    QByteArray text;
    std::shared_ptr<const RegistryHive> hive;
};
std::map<HKEY, ParsedFile> g_parsed;

std::shared_ptr<const RegistryHive> readHive(HKEY hive) {
    const QString fileName = WinePrefix::current().hiveFile(hive);
    if (fileName.isEmpty())
        return nullptr;
    std::optional<QByteArray> text = RegistryHive::readFile(fileName);
    if (!text)
        return nullptr;
    {
        std::lock_guard guard(g_lock);
        const auto cached = g_parsed.find(hive);
        if (cached != g_parsed.end() && cached->second.fileName == fileName && cached->second.text == *text)
            return cached->second.hive;
    }
    auto parsed = std::make_shared<const RegistryHive>(RegistryHive::parse(*text));
    std::lock_guard guard(g_lock);
    g_parsed[hive] = ParsedFile{fileName, std::move(*text), parsed};
    return parsed;
}

// Resolves a handle to a key.
LONG resolve(HKEY hKey, OpenKey &out) {
    if (isPredefined(hKey)) {
        out.hive = readHive(hKey);
        if (!out.hive)
            return ERROR_FILE_NOT_FOUND;
        out.key = RegistryHive::Root;
        return ERROR_SUCCESS;
    }
    std::lock_guard guard(g_lock);
    const auto found = g_openKeys.find(hKey);
    if (found == g_openKeys.end())
        return ERROR_INVALID_HANDLE;
    out = found->second;
    return ERROR_SUCCESS;
}

// Copies text and its terminating zero into a caller's buffer of
// *capacity characters; ERROR_MORE_DATA when it does not fit.
LONG copyName(const QByteArray &name, char *buffer, DWORD *capacity) {
    if (DWORD(name.size()) + 1 > *capacity)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.constData(), size_t(name.size()));
    buffer[name.size()] = '\0';
    *capacity = DWORD(name.size());
    return ERROR_SUCCESS;
}

// String data comes back in the code page; everything else as stored.
QByteArray callerData(const RegistryValue &value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ)
        return value.data;
    const qsizetype units = value.data.size() / 2;
    QString text(units, Qt::Uninitialized);
    for (qsizetype i = 0; i < units; ++i)
        text[i] = QChar(char16_t(quint8(value.data[2 * i]) | (quint8(value.data[2 * i + 1]) << 8)));
    return text.toUtf8();
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, const char *lpSubKey, DWORD, REGSAM, HKEY *phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = 0;
    OpenKey base;
    if (const LONG status = resolve(hKey, base); status != ERROR_SUCCESS)
        return status;

    QString path = lpSubKey ? QString::fromUtf8(lpSubKey) : QString();
    if (path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    if (path.startsWith(QLatin1Char('\\')) || path.contains(QLatin1String("\\\\")))
        return ERROR_BAD_PATHNAME;
    const int key = base.hive->findKey(base.key, path);
    if (key < 0)
        return ERROR_FILE_NOT_FOUND;

    std::lock_guard guard(g_lock);
    HKEY handle = g_nextHandle;
    while (handle == 0 || isPredefined(handle) || g_openKeys.count(handle))
        handle = (handle + 4) & 0x7ffffffcu;
    g_nextHandle = (handle + 4) & 0x7ffffffcu;
    g_openKeys[handle] = OpenKey{base.hive, key};
    *phkResult = handle;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, char *lpName, DWORD *lpcchName, DWORD *, char *lpClass,
                   DWORD *lpcchClass, FILETIME *lpftLastWriteTime) {
    if (!lpName || !lpcchName)
        return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (const LONG status = resolve(hKey, open); status != ERROR_SUCCESS)
        return status;
    const QList<int> &subkeys = open.hive->subkeys(open.key);
    if (dwIndex >= DWORD(subkeys.size()))
        return ERROR_NO_MORE_ITEMS;
    const int subkey = subkeys[qsizetype(dwIndex)];
    if (const LONG status = copyName(open.hive->keyName(subkey).toUtf8(), lpName, lpcchName); status != ERROR_SUCCESS)
        return status;
    // Wine's files keep no classes worth reporting.
    if (lpClass && lpcchClass && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) {
        const quint64 time = open.hive->lastWriteTime(subkey);
        lpftLastWriteTime->dwLowDateTime = DWORD(time & 0xffffffffu);
        lpftLastWriteTime->dwHighDateTime = DWORD(time >> 32);
    }
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char *lpValueName, DWORD *lpcchValueName, DWORD *, DWORD *lpType,
                   BYTE *lpData, DWORD *lpcbData) {
    if (!lpValueName || !lpcchValueName || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (const LONG status = resolve(hKey, open); status != ERROR_SUCCESS)
        return status;
    const QList<RegistryValue> &values = open.hive->values(open.key);
    if (dwIndex >= DWORD(values.size()))
        return ERROR_NO_MORE_ITEMS;
    const RegistryValue &value = values[qsizetype(dwIndex)];
    const QByteArray name = value.name.toUtf8();
    const QByteArray data = callerData(value);
    const DWORD needed = DWORD(data.size());

    const bool nameFits = DWORD(name.size()) + 1 <= *lpcchValueName;
    const bool dataFits = !lpData || needed <= *lpcbData;
    if (!nameFits || !dataFits) {
        if (lpcbData)
            *lpcbData = needed;
        return ERROR_MORE_DATA;
    }
    copyName(name, lpValueName, lpcchValueName);
    if (lpType)
        *lpType = value.type;
    if (lpData && needed > 0)
        std::memcpy(lpData, data.constData(), size_t(needed));
    if (lpcbData)
        *lpcbData = needed;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (isPredefined(hKey))
        return ERROR_SUCCESS;
    std::lock_guard guard(g_lock);
    return g_openKeys.erase(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // namespace pw::win
