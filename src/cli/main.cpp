// parcelwise-cli: lists mail messages and saves their attachments from the
// command line, with the engines, selection and naming of the windows.
#include "cli/nativepath.h"
#include "cli/runner.h"

#include <QCoreApplication>

#include <csignal>

namespace {

// The first Ctrl-C or SIGTERM asks the run to stop: between attachments,
// and inside a long one between its reads. A second one ends the program at
// once (files being written are unnamed, or hidden, until complete, so
// nothing partial shows either way).
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

    // The arguments as given, bytes and all: a file name need not be UTF-8.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(pw::cli::argumentText(QByteArray(argv[i])));
    pw::cli::Options options;
    const int early = pw::cli::parseArguments(arguments, options, stdout, stderr);
    if (early >= 0)
        return early;
    catchStopSignals();
    return pw::cli::run(options, stdout, stderr);
}
