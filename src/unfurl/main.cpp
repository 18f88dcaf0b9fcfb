// unfurl: writes the messages of an Outlook Express .dbx file as .eml files.

#include "unfurl/converter.h"
#include "unfurl/emlwriter.h"

#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: unfurl [--verbose] DBX-FILE OUTPUT-FOLDER\n"
    "Write every message stored in an Outlook Express 5/6 message folder (.dbx)\n"
    "as an .eml file into OUTPUT-FOLDER.\n"
    "\n"
    "Files are named <dbx base name>_<message number>.eml, for instance\n"
    "Inbox_00017.eml; an existing file is never replaced (Inbox_00017_2.eml\n"
    "and so on are used instead). Leading dots are left out of the base name,\n"
    "and a very long one is shortened so that every name fits. Each file holds\n"
    "the message exactly as stored.\n"
    "\n"
    "  -v, --verbose  name every file written and every oddity found\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Exit status: 0 when every message was written (a damaged index part whose\n"
    "messages were all found elsewhere loses none), 1 when some could not be\n"
    "(each is named on standard error), 2 for bad usage, a file that is not a\n"
    "message .dbx, or an output folder that cannot be written.\n";

void onTerminatingSignal(int signalNumber) {
    unfurl::removeUnfinishedOnSignal();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

int usageError(const std::string &text) {
    std::cerr << "unfurl: " << text << "\nTry 'unfurl --help' for more information.\n";
    return unfurl::kExitBadInput;
}

} // namespace

int main(int argc, char **argv) {
    bool verbose = false;
    bool optionsEnded = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "-h" || arg == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (arg == "--version") {
                std::cout << "unfurl " UNFURL_VERSION "\n";
                return 0;
            } else if (arg == "-v" || arg == "--verbose") {
                verbose = true;
            } else {
                return usageError("unknown option '" + arg + "'");
            }
            continue;
        }
        operands.push_back(arg);
    }
    if (operands.size() != 2)
        return usageError(operands.size() < 2 ? "expected a .dbx file and an output folder"
                                              : "too many arguments (expected a .dbx file and an "
                                                "output folder)");

    // Parcelwise passes an empty path for a file that has gone missing.
    if (operands[0].empty())
        return usageError("the .dbx file name is empty");
    if (operands[1].empty())
        return usageError("the output folder name is empty");

    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signalNumber, onTerminatingSignal);

    try {
        unfurl::Converter converter(std::cerr, verbose);
        return converter.run(operands[0], operands[1]);
    } catch (const std::exception &e) {
        // Out of memory and the like: still a report, never an abort. The
        // unfinished file, if any, was removed on the way out.
        std::cerr << "unfurl: stopped by an unexpected failure: " << e.what() << '\n';
        return unfurl::kExitSomeNotWritten;
    }
}
