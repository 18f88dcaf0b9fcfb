#include "outlook/outlookroutines.h"

#include <QDir>
#include <QSettings>

#include "core/error.h"
#include "outlook/outlookmodel.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>

namespace pw::Outlook1 {

bool IsOutlookInstalled() {
    try {
        return outlook::ObjectFactory::create(QString::fromLatin1(outlook::kApplicationClass)) != nullptr;
    } catch (...) {
        return false;
    }
}

bool ProfileHasNoStoreFile() {
    try {
        const outlook::ApplicationPtr app =
            outlook::ObjectFactory::create(QString::fromLatin1(outlook::kApplicationClass));
        return app && app->ProfileFileCount() == 0;
    } catch (...) {
        return false;
    }
}

namespace {
QSettings storeSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillmark"),
                     QStringLiteral("Parcelwise"));
}
const QString kStoreFoldersKey = QStringLiteral("Stores/Folders");
} // namespace

QStringList addedStoreFolders() {
    return storeSettings().value(kStoreFoldersKey).toStringList();
}

void addStoreFolder(const QString &folder) {
    if (folder.isEmpty())
        return;
    QStringList folders = addedStoreFolders();
    const QString clean = QDir::cleanPath(folder);
    if (folders.contains(clean))
        return;
    folders.append(clean);
    storeSettings().setValue(kStoreFoldersKey, folders);
}

QString storePlacesText() {
    const QString profile = qEnvironmentVariable("PARCELWISE_PROFILE");
    if (!profile.isEmpty())
        return QStringLiteral("the places PARCELWISE_PROFILE names (%1)").arg(profile);
    QStringList places{QStringLiteral("~/Documents/Outlook Files")};
    places += addedStoreFolders();
    return places.join(QStringLiteral(", "));
}

bool isNoDate(const QDateTime &when) {
    return when.date().year() >= 4501;
}

QString receivedTimeText(const QDateTime &when) {
    // The formats are worked out once per locale: a scan asks for 100,000 dates.
    struct Formats {
        QString localeName;
        QString date;
        QString time;
    };
    static Formats cached;
    const QLocale locale;
    if (cached.localeName != locale.name() || cached.date.isEmpty()) {
        cached.localeName = locale.name();
        cached.date = locale.dateFormat(QLocale::ShortFormat);
        // The long time form minus its zone is the time with seconds.
        QString time = locale.timeFormat(QLocale::LongFormat);
        time.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
        cached.time = time.trimmed();
    }
    const QString date = locale.toString(when.date(), cached.date);
    if (when.time() == QTime(0, 0))
        return date;
    return date + QLatin1Char(' ') + locale.toString(when.time(), cached.time);
}

QString shownReceivedTime(const QDateTime &when) {
    return isNoDate(when) ? QString() : receivedTimeText(when);
}

int majorVersion(const QString &version) {
    static const QRegularExpression leading(QStringLiteral("^\\s*([0-9]+(\\.[0-9]*)?)"));
    const QRegularExpressionMatch m = leading.match(version);
    if (!m.hasMatch())
        throw Error(QStringLiteral("Type mismatch: the version \"%1\" has no number").arg(version));
    const double number = m.captured(1).toDouble();
    // Banker's rounding, as a classic integer conversion does.
    const double rounded = std::nearbyint(number);
    if (rounded > 32767)
        throw Error(QStringLiteral("Overflow: the version \"%1\" is out of range").arg(version));
    return static_cast<int>(rounded);
}

outlook::FolderPtr findOpenStore(const outlook::NamespacePtr &ns, const QString &path) {
    try {
        return ns ? ns->StoreRootOf(path) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

outlook::FolderPtr addStoreFile(const outlook::NamespacePtr &ns, const QString &path) {
    if (!ns)
        throw Error("Object variable not set");
    int before = -1;
    try {
        before = ns->Folders()->count();
    } catch (...) {
    }
    ns->AddStore(path);
    if (outlook::FolderPtr root = ns->StoreRootOf(path))
        return root;
    // An object model that cannot tell stores by file: the new store is the
    // last root, provided exactly one was added.
    const outlook::FoldersPtr roots = ns->Folders();
    if (before < 0 || !roots || roots->count() != before + 1)
        throw Error(QStringLiteral("The store opened from \"%1\" cannot be told apart from the others").arg(path));
    return roots->GetLast();
}

} // namespace pw::Outlook1
