#pragma once
// The options that choose messages and attachments, and the ones that say
// how a save treats what is there already, how it lays out its files and
// how much it prints.
#include "cli/filters.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace pw::cli {

struct MoreOptions {
    MessageChoice messages;
    AttachmentChoice attachments;
    QStringList idFiles;       // --ids-from, "-" for standard input
    bool skipExisting = false;
    bool dedupe = false;
    bool tree = false;
    bool quiet = false;
    bool verbose = false;
    bool nulEnded = false;     // -0
};

enum class OptionParse { NotMine, Done, NeedsValue, TakesNoValue, Bad };

// Takes `argument` when it is one of these options: `value` fetches its
// value (false when there is none), `flag` notes a flag (false when a
// value was given to it). On Bad, `why` says what is wrong.
OptionParse parseMoreOption(const QString &argument, const std::function<bool(QString &)> &value,
                            const std::function<bool(bool &)> &flag, MoreOptions &options, QString &why);

// Checks the options together once all are parsed, and reads the id
// files. `saving`/`json`/`dryRun` are the run's; `stdinSource` is true
// when "-" is among the sources. Answers the usage error, empty when
// there is none.
QString finishMoreOptions(MoreOptions &options, bool saving, bool json, bool stdinSource);

// The help text for these options.
extern const char kMoreUsage[];

} // namespace pw::cli
