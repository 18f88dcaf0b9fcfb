#include "cli/moreoptions.h"

#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace pw::cli {

const char kMoreUsage[] =
    "Choosing messages (with several, a message must pass each):\n"
    "      --id ID             only the message with this id, as list prints it\n"
    "                          (repeatable)\n"
    "      --ids-from FILE     only the messages whose ids FILE holds, one per\n"
    "                          line; lines of list output (plain or --json) do\n"
    "                          too. '-' reads standard input\n"
    "      --since DATE        only messages of DATE or later, and\n"
    "      --until DATE        only messages of DATE or earlier: both bounds are\n"
    "                          inclusive. DATE is ISO 8601, 2024-03-01 or\n"
    "                          2024-03-01T09:30[:00][Z|+02:00], UTC unless it\n"
    "                          says otherwise; a day or minute covers all of it.\n"
    "                          Messages without a date are left out\n"
    "      --from TEXT         only messages whose sender holds TEXT, and\n"
    "      --subject TEXT      only messages whose subject holds TEXT, in any\n"
    "                          letter case\n"
    "\n"
    "Choosing attachments (save):\n"
    "      --name GLOB         only attachments whose name matches GLOB, in any\n"
    "                          letter case ('*.pdf'; repeatable: any may match)\n"
    "      --exclude GLOB      no attachment whose name matches GLOB (repeatable)\n"
    "      --min-size SIZE     only attachments of at least SIZE bytes, and\n"
    "      --max-size SIZE     only ones of at most SIZE; k, M, G are 1024-based\n"
    "      --skip-inline       leave out pictures the HTML body shows inline\n"
    "                          (signature logos and the like)\n"
    "Names and sizes are those of the files saved: a winmail.dat wrapper is\n"
    "judged by the files inside it.\n"
    "\n"
    "Saving:\n"
    "      --skip-existing     do not save an attachment again when DIR holds its\n"
    "                          bytes under its name or a numbered form of it, so\n"
    "                          a rerun adds nothing\n"
    "      --dedupe            do not save bytes this run saved already, under any\n"
    "                          name; the summary says how many were left out\n"
    "      --tree              save into DIR/STORE/FOLDER/... instead of DIR\n"
    "  -0                      end each path save prints with a NUL, not a line\n"
    "                          break (for xargs -0)\n"
    "  -q, --quiet             print only errors\n"
    "  -v, --verbose           also say which attachments were left out and why\n"
    "A dry run cannot tell sizes or contents: it shows the attachments\n"
    "--min-size, --max-size, --skip-existing and --dedupe would look at.\n";

OptionParse parseMoreOption(const QString &argument, const std::function<bool(QString &)> &value,
                            const std::function<bool(bool &)> &flag, MoreOptions &options, QString &why) {
    const auto is = [&](const char *name) { return argument == QLatin1String(name); };
    const auto isFlag = [&](bool &into) { return flag(into) ? OptionParse::Done : OptionParse::TakesNoValue; };
    QString text;
    if (is("--id")) {
        if (!value(text))
            return OptionParse::NeedsValue;
        if (text.isEmpty()) {
            why = QStringLiteral("--id needs a message id");
            return OptionParse::Bad;
        }
        options.messages.ids.insert(text);
        options.messages.byId = true;
        return OptionParse::Done;
    }
    if (is("--ids-from")) {
        if (!value(text))
            return OptionParse::NeedsValue;
        options.idFiles.append(text);
        options.messages.byId = true;
        return OptionParse::Done;
    }
    if (is("--since") || is("--until")) {
        if (!value(text))
            return OptionParse::NeedsValue;
        const bool upper = is("--until");
        const auto bound = parseDateBound(text, upper);
        if (!bound) {
            why = QStringLiteral("%1: '%2' is not an ISO 8601 date (2024-03-01 or 2024-03-01T09:30)").arg(argument, text);
            return OptionParse::Bad;
        }
        (upper ? options.messages.until : options.messages.since) = bound;
        return OptionParse::Done;
    }
    if (is("--from") || is("--subject")) {
        if (!value(text))
            return OptionParse::NeedsValue;
        if (text.isEmpty()) {
            why = QStringLiteral("%1 needs some text").arg(argument);
            return OptionParse::Bad;
        }
        (is("--from") ? options.messages.from : options.messages.subject) = text;
        return OptionParse::Done;
    }
    if (is("--name") || is("--exclude")) {
        if (!value(text))
            return OptionParse::NeedsValue;
        if (text.isEmpty()) {
            why = QStringLiteral("%1 needs a pattern").arg(argument);
            return OptionParse::Bad;
        }
        (is("--name") ? options.attachments.names : options.attachments.excludes).append(text);
        return OptionParse::Done;
    }
    if (is("--min-size") || is("--max-size")) {
        if (!value(text))
            return OptionParse::NeedsValue;
        const auto size = parseSize(text);
        if (!size) {
            why = QStringLiteral("%1: '%2' is not a size (such as 500, 64k, 1.5M or 2G)").arg(argument, text);
            return OptionParse::Bad;
        }
        (is("--min-size") ? options.attachments.minSize : options.attachments.maxSize) = size;
        return OptionParse::Done;
    }
    if (is("--skip-inline"))
        return isFlag(options.attachments.skipInline);
    if (is("--skip-existing"))
        return isFlag(options.skipExisting);
    if (is("--dedupe"))
        return isFlag(options.dedupe);
    if (is("--tree"))
        return isFlag(options.tree);
    if (is("-q") || is("--quiet"))
        return isFlag(options.quiet);
    if (is("-v") || is("--verbose"))
        return isFlag(options.verbose);
    if (is("-0"))
        return isFlag(options.nulEnded);
    return OptionParse::NotMine;
}

namespace {

bool readIds(const QString &name, QSet<QString> &ids, QString &why) {
    QFile file;
    const bool opened = name == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(name), file.open(QIODevice::ReadOnly));
    if (!opened) {
        why = QStringLiteral("--ids-from: %1: %2").arg(name, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (const QString id = idFromListLine(QString::fromUtf8(line)); !id.isEmpty())
            ids.insert(id);
    }
    if (file.error() != QFileDevice::NoError) {
        why = QStringLiteral("--ids-from: %1: %2").arg(name, file.errorString());
        return false;
    }
    return true;
}

} // namespace

QString finishMoreOptions(MoreOptions &options, bool saving, bool json, bool stdinSource) {
    if (options.quiet && options.verbose)
        return QStringLiteral("-q and -v cannot be used together");
    const AttachmentChoice &a = options.attachments;
    if (!saving) {
        if (a.filtersByName() || a.filtersBySize() || a.skipInline)
            return QStringLiteral("--name, --exclude, --min-size, --max-size and --skip-inline are for save only");
        if (options.skipExisting || options.dedupe || options.tree)
            return QStringLiteral("--skip-existing, --dedupe and --tree are for save only");
    }
    if (options.nulEnded && (!saving || json))
        return QStringLiteral("-0 is for the plain output of save");
    if (a.minSize && a.maxSize && *a.minSize > *a.maxSize)
        return QStringLiteral("--min-size is larger than --max-size");
    const MessageChoice &m = options.messages;
    if (m.since && m.until && *m.since > *m.until)
        return QStringLiteral("--since is later than --until");
    const int fromStdin = static_cast<int>(options.idFiles.count(QStringLiteral("-"))) + (stdinSource ? 1 : 0);
    if (fromStdin > 1)
        return QStringLiteral("standard input can be read once only ('-' named twice)");
    for (const QString &file : options.idFiles) {
        QString why;
        if (!readIds(file, options.messages.ids, why))
            return why;
    }
    return QString();
}

} // namespace pw::cli
