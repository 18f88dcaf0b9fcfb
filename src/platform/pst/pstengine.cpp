#include "platform/pst/pstengine.h"

#include "core/error.h"
#include "outlook/outlookroutines.h"
#include "platform/pst/pstsession.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

namespace pw::pst {

Q_DECLARE_LOGGING_CATEGORY(lcPst)

namespace {

bool isMailFile(const QFileInfo &info) {
    const QString suffix = info.suffix();
    return info.isFile()
        && (suffix.compare(QLatin1String("pst"), Qt::CaseInsensitive) == 0
            || suffix.compare(QLatin1String("ost"), Qt::CaseInsensitive) == 0);
}

// Every mail file of the folder, readable or not: one that cannot be opened
// is named with its reason like a file named directly, never dropped.
void addFolder(QStringList &paths, const QString &folder) {
    QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        if (isMailFile(entry) && !paths.contains(entry.absoluteFilePath()))
            paths.append(entry.absoluteFilePath());
    }
}

} // namespace

QStringList profileStorePaths() {
    QStringList paths;
    const QString profile = qEnvironmentVariable("PARCELWISE_PROFILE");
    if (profile.isEmpty()) {
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        addFolder(paths, QDir(documents).filePath(QStringLiteral("Outlook Files")));
        for (const QString &folder : Outlook1::addedStoreFolders())
            addFolder(paths, folder);
        return paths;
    }
    for (const QString &entry : profile.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QFileInfo info(entry);
        if (info.isDir())
            addFolder(paths, entry);
        else
            paths.append(entry); // opening it says what is wrong with it
    }
    return paths;
}

outlook::ApplicationPtr createPstApplication() {
    return createPstApplication(profileStorePaths());
}

outlook::ApplicationPtr createPstApplication(const QStringList &storePaths) {
    return std::make_shared<PstApplication>(storePaths);
}

void installPstEngine() {
    outlook::ObjectFactory::setCreator([](const QString &className) -> outlook::ApplicationPtr {
        if (className.compare(QLatin1String(outlook::kApplicationClass), Qt::CaseInsensitive) != 0)
            throw Error(QStringLiteral("Cannot create the object \"%1\": unknown class.").arg(className));
        return createPstApplication();
    });
}

} // namespace pw::pst
