// Parcelwise: saves the attachments of many e-mail messages at once.
#include "app/mainwindow.h"
#include "express/window/expresswindow.h"
#include "platform/process/linuxprocesstable.h"
#include "platform/pst/pstengine.h"
#include "platform/process/processlauncher.h"
#include "widgets/qtdialogs.h"

#include <QApplication>

int main(int argc, char **argv) {
    // Every message's date is shown in local time; with TZ unset, glibc
    // looks at /etc/localtime again for each one (90,000 file checks in a
    // scan of 100,000 messages). Naming the same zone once spares them.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwise"));
    QApplication::setOrganizationName(QStringLiteral("Quillmark"));

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
    form1.showForm2 = [&] {
        pw::Form2 form2(ports, &form1);
        form2.Form_Load();
        form2.exec();
    };
    form1.Form_Load();
    form1.show();
    return QApplication::exec();
}
