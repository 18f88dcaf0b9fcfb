#include "winutil/modregistry.h"

#include "core/error.h"
#include "core/ports.h"

#include <QByteArray>

#include <array>
#include <cstring>
#include <vector>

namespace pw::modRegistry {

namespace {

constexpr win::DWORD NameBufferSize = 260;
constexpr win::DWORD DataBufferSize = 4096;
// The longest value name the registry allows, plus its zero.
constexpr win::DWORD LongestValueName = 16384;

// Closes an opened key however the enumeration ends.
class KeyGuard {
public:
    explicit KeyGuard(win::HKEY key) : m_key(key) {}
    ~KeyGuard() { win::RegCloseKey(m_key); }
    KeyGuard(const KeyGuard &) = delete;
    KeyGuard &operator=(const KeyGuard &) = delete;

private:
    win::HKEY m_key;
};

// Opens the key at `path` for reading; 0 when it cannot be opened (the
// malformed path has been reported by then).
win::HKEY openKey(const QString &path, Dialogs &dialogs) {
    QString subkey = path;
    win::HKEY hive = 0;
    SplitKeyPath(subkey, hive, dialogs);
    if (hive == 0)
        return 0;
    win::HKEY key = 0;
    const QByteArray native = subkey.toUtf8();
    if (win::RegOpenKeyExA(hive, native.constData(), 0, win::KEY_READ, &key) != win::ERROR_SUCCESS)
        return 0;
    return key;
}

QString textData(const std::vector<win::BYTE> &data, win::DWORD size) {
    if (size == 0)
        return QString();
    // Drop the terminating zero, but never a real last character of data
    // that was stored without one.
    if (data[size - 1] == 0)
        --size;
    return QString::fromUtf8(reinterpret_cast<const char *>(data.data()), qsizetype(size));
}

} // namespace

win::HKEY HiveFromName(const QString &name) {
    static const struct {
        const char *name;
        win::HKEY handle;
    } hives[] = {
        {"HKEY_CLASSES_ROOT", win::HKEY_CLASSES_ROOT},
        {"HKEY_CURRENT_USER", win::HKEY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", win::HKEY_LOCAL_MACHINE},
        {"HKEY_USERS", win::HKEY_USERS},
        {"HKEY_PERFORMANCE_DATA", win::HKEY_PERFORMANCE_DATA},
        {"HKEY_CURRENT_CONFIG", win::HKEY_CURRENT_CONFIG},
        {"HKEY_DYN_DATA", win::HKEY_DYN_DATA},
    };
    for (const auto &hive : hives) {
        if (name == QLatin1String(hive.name))
            return hive.handle;
    }
    return 0;
}

void SplitKeyPath(QString &path, win::HKEY &hive, Dialogs &dialogs) {
    if (!path.startsWith(QLatin1String("HKEY_")) || path.endsWith(QLatin1Char('\\'))) {
        dialogs.messageBox(QStringLiteral("Incorrect Format:\n\n") + path, MsgButtons::Ok, MsgIcon::None, QString());
        hive = 0;
        return;
    }
    const qsizetype separator = path.indexOf(QLatin1Char('\\'));
    if (separator < 0) {
        hive = HiveFromName(path);
        path.clear();
        return;
    }
    hive = HiveFromName(path.left(separator));
    path = path.mid(separator + 1);
}

QStringList GetSubkeyNames(const QString &path, Dialogs &dialogs) {
    QStringList names;
    const win::HKEY key = openKey(path, dialogs);
    if (key == 0)
        return names;
    KeyGuard guard(key);
    for (win::DWORD index = 0;; ++index) {
        std::array<char, NameBufferSize> name{};
        win::DWORD length = NameBufferSize;
        const win::LONG status =
            win::RegEnumKeyExA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == win::ERROR_NO_MORE_ITEMS)
            break;
        if (status != win::ERROR_SUCCESS)
            throw Error(QStringLiteral("Could not list the subkeys of %1 (error %2).").arg(path).arg(status));
        names.append(QString::fromUtf8(name.data(), qsizetype(strnlen(name.data(), name.size()))));
    }
    return names;
}

RegistryValues GetKeyValues(const QString &path, Dialogs &dialogs) {
    RegistryValues values;
    const win::HKEY key = openKey(path, dialogs);
    if (key == 0)
        return values;
    KeyGuard guard(key);
    for (win::DWORD index = 0;; ++index) {
        std::vector<char> name(NameBufferSize);
        std::vector<win::BYTE> data(DataBufferSize);
        win::DWORD nameLength = win::DWORD(name.size());
        win::DWORD dataSize = win::DWORD(data.size());
        win::DWORD type = 0;
        win::LONG status =
            win::RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
        if (status == win::ERROR_MORE_DATA) {
            // One more try with room for the data as reported, and for the
            // longest name, so that a long name does not end the list early.
            data.resize(std::max<win::DWORD>(dataSize, 1));
            name.resize(LongestValueName);
            nameLength = win::DWORD(name.size());
            dataSize = win::DWORD(data.size());
            status = win::RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
        }
        if (status != win::ERROR_SUCCESS)
            break;
        const QString valueName = QString::fromUtf8(name.data(), qsizetype(nameLength));
        QVariant value;
        switch (type) {
        case win::REG_SZ:
        case win::REG_EXPAND_SZ:
            value = textData(data, dataSize);
            break;
        case win::REG_DWORD: {
            // Fewer than four bytes read as if padded with zeros.
            quint32 number = 0;
            for (win::DWORD i = 0; i < 4 && i < dataSize; ++i)
                number |= quint32(data[i]) << (8 * i);
            value = qint32(number);
            break;
        }
        default:
            value = QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(dataSize));
            break;
        }
        values.append(valueName, type, value);
    }
    return values;
}

} // namespace pw::modRegistry
