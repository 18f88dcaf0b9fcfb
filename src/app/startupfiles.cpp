#include "app/startupfiles.h"

#include "buildconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace pw {

namespace {

enum class FileKind { Store, Dbx, Other };

FileKind kindOf(const QString &path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pst") || suffix == QLatin1String("ost"))
        return FileKind::Store;
    if (suffix == QLatin1String("dbx"))
        return FileKind::Dbx;
    // A file saved without its usual suffix is known by its signature.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return FileKind::Other;
    const QByteArray head = file.read(4);
    if (head == QByteArrayLiteral("!BDN"))
        return FileKind::Store;
    if (head == QByteArrayLiteral("\xCF\xAD\x12\xFE"))
        return FileKind::Dbx;
    return FileKind::Other;
}

bool isHelp(const QString &a) {
    return a == QLatin1String("-h") || a == QLatin1String("--help");
}

bool isVersion(const QString &a) {
    return a == QLatin1String("-V") || a == QLatin1String("--version");
}

} // namespace

bool asksForHelpOrVersion(const QStringList &arguments) {
    for (const QString &a : arguments) {
        if (a == QLatin1String("--"))
            return false;
        if (isHelp(a) || isVersion(a))
            return true;
    }
    return false;
}

StartupRequest readStartupArguments(const QStringList &arguments) {
    StartupRequest request;
    bool onlyFiles = false;
    for (const QString &a : arguments) {
        if (!onlyFiles && a == QLatin1String("--")) {
            onlyFiles = true;
            continue;
        }
        if (!onlyFiles && a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            if (isHelp(a) || isVersion(a)) {
                // The first of them decides, as in parcelwise-cli.
                if (request.action == StartupRequest::Action::Run)
                    request.action = isHelp(a) ? StartupRequest::Action::Help : StartupRequest::Action::Version;
                continue;
            }
            if (request.action == StartupRequest::Action::Run) {
                request.action = StartupRequest::Action::UsageError;
                request.notes.append(QStringLiteral("unknown option '%1'").arg(a));
            }
            continue;
        }
        const QString path = QFileInfo(a).absoluteFilePath();
        switch (kindOf(path)) {
        case FileKind::Store:
            if (request.pstFile.isEmpty())
                request.pstFile = path;
            else
                request.notes.append(QStringLiteral("%1: only the first store named is opened").arg(a));
            break;
        case FileKind::Dbx:
            if (!request.dbxFiles.contains(path))
                request.dbxFiles.append(path);
            break;
        case FileKind::Other:
            request.notes.append(QStringLiteral("%1: not a .pst, .ost or .dbx file; left out").arg(a));
            break;
        }
    }
    return request;
}

QString startupHelpText(const QString &converter) {
    return QStringLiteral(
               "Usage: parcelwise [FILE...]\n"
               "Save the attachments of many e-mail messages at once, from Outlook stores\n"
               "(.pst, .ost) and Outlook Express folders (.dbx).\n"
               "\n"
               "A .pst or .ost FILE opens the main window with it chosen as \"PST File:\" (the\n"
               "first one named); .dbx FILEs open the Outlook Express window with them added.\n"
               "\n"
               "Options:\n"
               "  -h, --help              show this help and exit\n"
               "  -V, --version           show the version and exit\n"
               "\n"
               "Outlook Express folders are converted to .eml by unfurl, looked for beside\n"
               "parcelwise, then in its libexec folder, then on PATH.\n"
               "%1\n"
               "For scripts and servers, parcelwise-cli lists and saves without a window.\n")
        .arg(converter);
}

QString startupVersionText() {
    return QStringLiteral("parcelwise (Parcelwise) %1\n"
                          "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
                          "This is free software: you are free to change and redistribute it.\n"
                          "There is NO WARRANTY, to the extent permitted by law.\n")
        .arg(QLatin1String(PARCELWISE_VERSION));
}

} // namespace pw
