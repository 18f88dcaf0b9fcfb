// parcelwise-cli: lists mail messages and saves their attachments from the
// command line, with the engines, selection and naming of the windows.
#include "cli/runner.h"

#include <QCoreApplication>

#include <csignal>

namespace {

// The first Ctrl-C asks the run to stop at the next attachment; a second
// one ends the program at once (files being written are unnamed until
// complete, so nothing partial shows either way).
void onStopSignal(int signalNumber) {
    pw::cli::g_stopSignal = signalNumber;
}

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    // Every message's date is shown in local time; with TZ unset, glibc
    // looks at /etc/localtime again for each one (90,000 file checks in a
    // scan of 100,000 messages). Naming the same zone once spares them.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Parcelwise"));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark"));

    pw::cli::Options options;
    const int early = pw::cli::parseArguments(QCoreApplication::arguments().mid(1), options, stdout, stderr);
    if (early >= 0)
        return early;
    catchStopSignals();
    return pw::cli::run(options, stdout, stderr);
}
