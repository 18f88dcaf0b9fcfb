// Parcelwise: saves the attachments of many e-mail messages at once.
#include "app/mainwindow.h"
#include "app/startupfiles.h"
#include "core/error.h"
#include "core/fileroutines.h"
#include "express/converterlookup.h"
#include "express/window/expresswindow.h"
#include "platform/process/linuxprocesstable.h"
#include "platform/pst/pstengine.h"
#include "platform/process/processlauncher.h"
#include "widgets/qtdialogs.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

void print(std::FILE *to, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

QStringList rawArguments(int argc, char **argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// --help and --version need no window: they are answered with Qt Core only,
// so they work without a display.
int answerHelpOrVersion(int argc, char **argv) {
    QCoreApplication core(argc, argv);
    const pw::StartupRequest request = pw::readStartupArguments(QCoreApplication::arguments().mid(1));
    if (request.action == pw::StartupRequest::Action::Version) {
        print(stdout, pw::startupVersionText());
        return 0;
    }
    QString converter;
    try {
        converter = QStringLiteral("This copy uses %1.").arg(pw::findConverter(pw::applicationFolder()));
    } catch (const pw::Error &e) {
        converter = e.text();
    }
    print(stdout, pw::startupHelpText(converter));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (pw::asksForHelpOrVersion(rawArguments(argc, argv)))
        return answerHelpOrVersion(argc, argv);
    // Every message's date is shown in local time; with TZ unset, glibc
    // looks at /etc/localtime again for each one (90,000 file checks in a
    // scan of 100,000 messages). Naming the same zone once spares them.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwise"));
    QApplication::setOrganizationName(QStringLiteral("Quillmark"));
    // Lets the desktop match the windows to the installed entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.parcelwise"));

    // Qt has taken its own options (-platform and the like) out by now.
    pw::StartupRequest request = pw::readStartupArguments(QApplication::arguments().mid(1));
    for (const QString &note : std::as_const(request.notes))
        print(stderr, QStringLiteral("parcelwise: %1\n").arg(note));
    if (request.action == pw::StartupRequest::Action::UsageError) {
        print(stderr, QStringLiteral("Try 'parcelwise --help' for more information.\n"));
        return 2;
    }

    // "Outlook.Application" is our mail-store engine over the profile's files.
    pw::pst::installPstEngine();

    pw::QtDialogs dialogs;
    pw::QtEventPump events;
    pw::LinuxProcessTable processes;
    pw::ProcessLauncher launcher;
    pw::DesktopUrlOpener urls;
    pw::StdRandomSource random;
    pw::SystemClock clock;
    pw::Ports ports;
    ports.dialogs = &dialogs;
    ports.events = &events;
    ports.processes = &processes;
    ports.launcher = &launcher;
    ports.urls = &urls;
    ports.random = &random;
    ports.clock = &clock;

    pw::Form1 form1(ports);
    // .dbx files named at start go into the first Outlook Express window.
    QStringList startupDbxFiles = request.dbxFiles;
    form1.showForm2 = [&] {
        pw::Form2 form2(ports, &form1);
        form2.Form_Load();
        form2.addDbxFiles(startupDbxFiles);
        startupDbxFiles.clear();
        form2.exec();
    };
    form1.Form_Load();
    if (!request.pstFile.isEmpty())
        form1.openStoreFile(request.pstFile);
    form1.show();
    if (!startupDbxFiles.isEmpty())
        QTimer::singleShot(0, &form1, [&] { form1.showForm2(); });
    return QApplication::exec();
}
