#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>
#include <utility>
#include <vector>

namespace pw {

// One value of a registry key, stored as Windows stores it: strings as
// UTF-16LE with their terminating zero, a DWORD as four little-endian bytes.
struct RegistryValue {
    QString name;
    quint32 type = 0;
    QByteArray data;
};

// The key tree of one Wine registry file (user.reg, system.reg).
//
// The text format: "[Key\\Path] time" sections, each followed by its
// values: "Name"="text", @= for the default value, str(N):"text",
// dword:xxxxxxxx, hex:/hex(N): byte lists continued on the next line after
// a trailing backslash. Names and strings use Wine's escapes. Key names
// compare without regard to case; subkeys and values keep the order of
// the file. Lines that cannot be read are skipped and counted.
class RegistryHive {
public:
    static constexpr int Root = 0;

    RegistryHive();

    // Parses a whole file's text. Never fails and never reads past `text`.
    static RegistryHive parse(QByteArrayView text);
    // Reads and parses a file; nullopt when it cannot be read.
    static std::optional<RegistryHive> load(const QString &fileName);
    // A registry file's text; nullopt when it cannot be read or is too
    // large to be one.
    static std::optional<QByteArray> readFile(const QString &fileName);

    // The key at `path` ("A\B", levels separated by '\', case ignored)
    // below `key`; an empty path is `key` itself. -1 when missing.
    int findKey(int key, QStringView path) const;

    int keyCount() const { return int(m_keys.size()); }
    const QString &keyName(int key) const { return m_keys[size_t(key)].name; }
    const QList<int> &subkeys(int key) const { return m_keys[size_t(key)].children; }
    const QList<RegistryValue> &values(int key) const { return m_keys[size_t(key)].values; }
    // Last write time as a Windows FILETIME (100 ns since 1601), 0 when the
    // file does not say.
    quint64 lastWriteTime(int key) const { return m_keys[size_t(key)].lastWrite; }

    // Lines that were not understood and left out.
    int skippedLines() const { return m_skippedLines; }

private:
    struct Key {
        QString name;
        int parent = -1;
        quint64 lastWrite = 0;
        QList<int> children;
        QList<RegistryValue> values;
    };
    class Parser;

    int child(int key, const QString &name) const;
    int addChild(int key, const QString &name);
    void setValue(int key, RegistryValue value);

    std::vector<Key> m_keys;
    // (parent, case-folded name) to key: one table for the whole tree.
    QHash<std::pair<int, QString>, int> m_childByFoldedName;
    int m_skippedLines = 0;
};

} // namespace pw
