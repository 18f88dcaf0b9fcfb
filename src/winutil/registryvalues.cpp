#include "winutil/registryvalues.h"

#include "core/error.h"

namespace pw {

void RegistryValues::append(const QString &name, quint32 type, const QVariant &data) {
    m_entries.append(Entry{name, type, data});
}

const RegistryValues::Entry *RegistryValues::find(const QString &name) const {
    for (const Entry &entry : m_entries) {
        if (entry.name.compare(name, Qt::CaseInsensitive) == 0)
            return &entry;
    }
    return nullptr;
}

bool RegistryValues::contains(const QString &name) const { return find(name) != nullptr; }

const QVariant &RegistryValues::value(const QString &name) const {
    const Entry *entry = find(name);
    if (!entry)
        throw Error(QStringLiteral("The registry key has no value named \"%1\".").arg(name));
    return entry->data;
}

QString RegistryValues::text(const QString &name) const {
    const QVariant &data = value(name);
    if (data.typeId() != QMetaType::QString)
        throw Error(QStringLiteral("The registry value \"%1\" does not hold text.").arg(name));
    return data.toString();
}

} // namespace pw
