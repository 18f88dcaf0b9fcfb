#pragma once
#include <QList>
#include <QString>
#include <QVariant>

namespace pw {

// The values of one registry key in enumeration order, looked up by name
// ignoring case. Data: QString for REG_SZ and REG_EXPAND_SZ, qint32 for
// REG_DWORD, the raw bytes (QByteArray) for every other type.
class RegistryValues {
public:
    struct Entry {
        QString name;
        quint32 type = 0;
        QVariant data;
    };

    void append(const QString &name, quint32 type, const QVariant &data);

    qsizetype count() const { return m_entries.size(); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    const Entry &at(qsizetype index) const { return m_entries.at(index); }
    bool contains(const QString &name) const;

    // The data of the value named `name`; throws pw::Error when the key has
    // no such value.
    const QVariant &value(const QString &name) const;
    // The same, for a value that must be text; throws when it is not.
    QString text(const QString &name) const;

    QList<Entry>::const_iterator begin() const { return m_entries.cbegin(); }
    QList<Entry>::const_iterator end() const { return m_entries.cend(); }

private:
    const Entry *find(const QString &name) const;

    QList<Entry> m_entries;
};

} // namespace pw
