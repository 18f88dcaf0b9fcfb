#include "platform/registry/wineprefix.h"

#include "platform/registry/winreg.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <pwd.h>
#include <unistd.h>

namespace pw {

WinePrefix::WinePrefix(const QString &folder) : m_folder(folder) {}

WinePrefix WinePrefix::current() {
    const QString fromEnvironment = qEnvironmentVariable("WINEPREFIX");
    if (!fromEnvironment.isEmpty())
        return WinePrefix(fromEnvironment);
    return WinePrefix(QDir::homePath() + QStringLiteral("/.wine"));
}

QString WinePrefix::hiveFile(quint32 hive) const {
    if (hive == win::HKEY_CURRENT_USER)
        return m_folder + QStringLiteral("/user.reg");
    if (hive == win::HKEY_LOCAL_MACHINE)
        return m_folder + QStringLiteral("/system.reg");
    return QString();
}

QString WinePrefix::userName() {
    QString name = qEnvironmentVariable("USER");
    if (name.isEmpty()) {
        if (const passwd *entry = ::getpwuid(::getuid()))
            name = QString::fromLocal8Bit(entry->pw_name);
    }
    return name.isEmpty() ? QStringLiteral("user") : name;
}

QString WinePrefix::profilePath() { return QStringLiteral("C:\\users\\") + userName(); }

namespace {

// The entry of `folder` named `name` ignoring case; `name` itself when
// there is none (the path then simply does not exist).
QString matchName(const QString &folder, const QString &name) {
    if (QFileInfo::exists(folder + QLatin1Char('/') + name))
        return name;
    const QStringList entries =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return entry;
    }
    return name;
}

} // namespace

QString WinePrefix::toLocalPath(const QString &windowsPath) const {
    const bool onDrive = windowsPath.size() >= 2 && windowsPath.at(0).isLetter() && windowsPath.at(0).unicode() < 128
                         && windowsPath.at(1) == QLatin1Char(':')
                         && (windowsPath.size() == 2 || windowsPath.at(2) == QLatin1Char('\\')
                             || windowsPath.at(2) == QLatin1Char('/'));
    if (!onDrive)
        return windowsPath;
    const QString link = m_folder + QStringLiteral("/dosdevices/") + windowsPath.at(0).toLower() + QLatin1Char(':');
    const QString root = QFileInfo(link).canonicalFilePath();
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return windowsPath;

    QStringList names;
    const QStringList parts = windowsPath.mid(2).split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!names.isEmpty())
                names.removeLast();
            continue;
        }
        names.append(part);
    }

    QString local = root == QLatin1String("/") ? QString() : root;
    bool exists = true;
    for (const QString &name : std::as_const(names)) {
        const QString matched = exists ? matchName(local.isEmpty() ? QStringLiteral("/") : local, name) : name;
        local += QLatin1Char('/') + matched;
        exists = exists && QFileInfo::exists(local);
    }
    const QChar last = windowsPath.back();
    if (local.isEmpty() || last == QLatin1Char('\\') || last == QLatin1Char('/') || windowsPath.size() == 2) {
        if (!local.endsWith(QLatin1Char('/')))
            local += QLatin1Char('/');
    }
    return local;
}

} // namespace pw
