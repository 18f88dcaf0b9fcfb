#pragma once
// One run of parcelwise-cli: the options as parsed, and the work.
#include "cli/moreoptions.h"
#include "outlook/mailselection.h"

#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdio>

namespace pw::cli {

enum ExitStatus : int {
    kExitDone = 0,
    kExitSomeFailed = 1,
    kExitUsage = 2,
    kExitInterrupted = 130,
};

struct Options {
    enum class Command { List, Save } command = Command::List;
    QStringList sources;
    QString to;
    bool recursive = false;
    bool json = false;
    bool dryRun = false;
    bool keepTnef = false;
    selection::Filter filter;
    MoreOptions more;
};

// Parses the arguments after the program name. Answers an exit status when
// the run ends here (help, version, bad usage), having printed what it
// should; -1 when `options` is ready.
int parseArguments(const QStringList &arguments, Options &options, std::FILE *out, std::FILE *err);

// Set by the signal handler: the signal that asks the run to stop.
extern volatile std::sig_atomic_t g_stopSignal;

// Does the work; answers the exit status.
int run(const Options &options, std::FILE *out, std::FILE *err);

} // namespace pw::cli
