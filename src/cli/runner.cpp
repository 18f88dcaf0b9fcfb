#include "cli/runner.h"

#include "core/error.h"
#include "cli/mailsources.h"
#include "cli/moresources.h"
#include "cli/savesteps.h"
#include "download/attachmentsaver.h"
#include "platform/pst/pstengine.h"

#include "buildconfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace pw::cli {

volatile std::sig_atomic_t g_stopSignal = 0;

namespace {

const char kProgram[] = "parcelwise-cli";

const char kUsage[] =
    "Usage: parcelwise-cli list [SOURCE...] [FILTER...] [--json]\n"
    "  or:  parcelwise-cli save [SOURCE...] --to DIR [FILTER...] [--dry-run] [--json]\n"
    "List the mail messages of Outlook stores, Outlook Express folders and .eml\n"
    "files, or save every attachment of them into DIR.\n"
    "\n"
    "SOURCE is a .pst or .ost store, an Outlook Express .dbx folder, an .eml\n"
    "message, an mbox file, a bare winmail.dat, '-' for one message on standard\n"
    "input, or a folder holding such files. Without a SOURCE the stores of\n"
    "the profile are read: the files and folders named by PARCELWISE_PROFILE\n"
    "(separated by ':'), else ~/Documents/Outlook Files.\n"
    "\n"
    "Filters (the same selection as the main window):\n"
    "      --with-attachments  only messages that have attachments\n"
    "      --folder NAME       only messages whose top-level folder or holding\n"
    "                          folder is named NAME exactly\n"
    "      --search TEXT       only messages whose body, sender, sender address\n"
    "                          or date holds TEXT, in any letter case\n"
    "\n"
    "%1"
    "\n"
    "Options:\n"
    "  -r, --recursive         read the subfolders of folders named as SOURCE\n"
    "  -t, --to DIR            the folder to save into (made when missing)\n"
    "  -n, --dry-run           print what would be saved, save nothing\n"
    "      --keep-tnef         save winmail.dat attachments as they are instead\n"
    "                          of the files inside them\n"
    "      --json              print JSON Lines instead of tab-separated lines\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "list prints one line per message: source, folder path, date (ISO 8601),\n"
    "sender, subject, attachment count and id, separated by tabs. save prints\n"
    "each path it writes. No file is ever written over: a taken name gets a\n"
    "number (report.pdf, report_1.pdf, ...), and no file is ever left partly\n"
    "written, also when several processes save into one folder at once.\n"
    "Progress goes to standard error when it is a terminal. Ctrl-C stops at\n"
    "the next attachment.\n"
    "\n"
    "Exit status: 0 when everything was done, 1 when some messages or\n"
    "attachments failed (each is named on standard error), 2 for bad usage or\n"
    "when no source could be read, 130 when interrupted.\n";

void print(std::FILE *to, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

int usageError(std::FILE *err, const QString &text) {
    print(err, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(QLatin1String(kProgram), text));
    return kExitUsage;
}

QString humanBytes(double bytes) {
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', unit == 0 ? 0 : 1).arg(QLatin1String(units[unit]));
}

QString isoDate(const QDateTime &when) {
    if (!when.isValid())
        return QString();
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate);
}

QString flat(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

// Counts, progress on a terminal, the summary.
class Progress {
public:
    Progress(std::FILE *err, bool shown) : m_err(err), m_shown(shown) { m_clock.start(); }

    void message() {
        ++m_messages;
        update();
    }
    void attachment(qint64 bytes) {
        ++m_attachments;
        m_bytes += bytes;
        update();
    }
    qint64 messages() const { return m_messages; }
    qint64 attachments() const { return m_attachments; }

    void finish(const QString &summary) {
        if (m_shown && m_drawn)
            print(m_err, QStringLiteral("\r\x1b[K"));
        print(m_err, summary);
    }
    QString totals(bool saving) const {
        const double seconds = std::max<qint64>(m_clock.elapsed(), 1) / 1000.0;
        if (!saving)
            return QStringLiteral("%1 messages in %2 s").arg(m_messages).arg(seconds, 0, 'f', 1);
        return QStringLiteral("%1 messages, %2 attachments, %3 in %4 s")
            .arg(m_messages)
            .arg(m_attachments)
            .arg(humanBytes(static_cast<double>(m_bytes)))
            .arg(seconds, 0, 'f', 1);
    }

private:
    // A few updates a second, never one per item.
    void update() {
        if (!m_shown || m_clock.elapsed() - m_lastDrawn < 250)
            return;
        m_lastDrawn = m_clock.elapsed();
        const double seconds = std::max<qint64>(m_clock.elapsed(), 1) / 1000.0;
        print(m_err, QStringLiteral("\r%1 messages, %2 attachments, %3, %4/s\x1b[K")
                         .arg(m_messages)
                         .arg(m_attachments)
                         .arg(humanBytes(static_cast<double>(m_bytes)), humanBytes(m_bytes / seconds)));
        std::fflush(m_err);
        m_drawn = true;
    }

    std::FILE *m_err;
    bool m_shown;
    bool m_drawn = false;
    QElapsedTimer m_clock;
    qint64 m_lastDrawn = 0;
    qint64 m_messages = 0;
    qint64 m_attachments = 0;
    qint64 m_bytes = 0;
};

class Run {
public:
    Run(const Options &options, std::FILE *out, std::FILE *err)
        : m_options(options), m_out(out), m_err(err), m_saving(options.command == Options::Command::Save),
          m_progress(err, ::isatty(::fileno(err)) == 1 && !options.more.quiet) {}

    int exec();

private:
    void failure(const QString &source, const QString &where, const QString &why);
    void onMessage(const Message &message);
    void listMessage(const Message &message);
    void saveMessage(const Message &message);
    bool stopping() const { return g_stopSignal != 0; }
    void line(const QString &text) { print(m_out, text + QLatin1Char('\n')); }
    void line(const QJsonObject &object) {
        line(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    }

    const Options &m_options;
    std::FILE *m_out;
    std::FILE *m_err;
    bool m_saving;
    Progress m_progress;
    std::unique_ptr<AttachmentSaver> m_saver;
    int m_failures = 0;
    QString m_source;
    SaveSteps m_steps{m_options.to, m_options.more, m_options.keepTnef, m_options.dryRun, [this](const QString &text) {
        if (m_options.more.verbose)
            print(m_err, flat(QLatin1String(kProgram) + QStringLiteral(": ") + text) + QLatin1Char('\n'));
    }};
};

void Run::failure(const QString &source, const QString &where, const QString &why) {
    ++m_failures;
    QString text = QLatin1String(kProgram) + QStringLiteral(": ") + source;
    if (!where.isEmpty())
        text += QStringLiteral(": ") + where;
    print(m_err, flat(text + QStringLiteral(": ") + why) + QLatin1Char('\n'));
}

void Run::onMessage(const Message &message) {
    if (!m_options.more.messages.accepts(message))
        return;
    if (m_saving)
        saveMessage(message);
    else
        listMessage(message);
    m_progress.message();
}

void Run::listMessage(const Message &message) {
    if (m_options.json) {
        line(QJsonObject{{QStringLiteral("source"), message.source},
                         {QStringLiteral("folder"), message.folderPath},
                         {QStringLiteral("date"), isoDate(message.date)},
                         {QStringLiteral("sender"), message.sender},
                         {QStringLiteral("subject"), message.subject},
                         {QStringLiteral("attachments"), message.attachmentCount},
                         {QStringLiteral("id"), message.id}});
        return;
    }
    QStringList fields = {message.source, message.folderPath, isoDate(message.date), message.sender,
                          message.subject, QString::number(message.attachmentCount), message.id};
    for (QString &field : fields)
        field = flat(field).replace(QLatin1Char('\t'), QLatin1Char(' '));
    line(fields.join(QLatin1Char('\t')));
}

void Run::saveMessage(const Message &message) {
    const QString where = message.folderPath.isEmpty()
        ? QStringLiteral("message %1").arg(message.id)
        : QStringLiteral("%1, message %2").arg(message.folderPath, message.id);
    QList<Attachment> attachments;
    try {
        if (message.attachmentCount > 0)
            attachments = message.attachments();
    } catch (const std::exception &e) {
        failure(message.source, where, QString::fromUtf8(e.what()));
        return;
    }
    for (const Attachment &attachment : attachments) {
        // Ctrl-C takes effect here, between attachments.
        if (stopping())
            return;
        if (!m_steps.wanted(message, attachment))
            continue;
        const auto report = [&](const QString &path, qint64 size) {
            if (m_options.more.quiet)
                return;
            if (!m_options.json) {
                if (m_options.more.nulEnded)
                    print(m_out, path + QChar(0));
                else
                    line(path);
                return;
            }
            QJsonObject object{{QStringLiteral("source"), message.source},
                               {QStringLiteral("id"), message.id},
                               {QStringLiteral("attachment"), attachment.name},
                               {QStringLiteral("path"), path}};
            // A dry run knows no size yet.
            if (size >= 0)
                object.insert(QStringLiteral("size"), size);
            line(object);
        };
        if (m_options.dryRun) {
            try {
                report(m_steps.saverFor(message, *m_saver).plan(attachment.name, attachment.mimeType), -1);
                m_progress.attachment(0);
            } catch (const std::exception &e) {
                failure(message.source, where, QString::fromUtf8(e.what()));
            }
            continue;
        }
        try {
            AttachmentSaver &saver = m_steps.saverFor(message, *m_saver);
            for (const AttachmentSaver::Saved &saved : saver.save(attachment.name, attachment.mimeType, attachment.writeTo)) {
                if (!m_steps.keep(attachment, saved))
                    continue;
                report(saved.path, saved.size);
                m_progress.attachment(saved.size);
            }
        } catch (const WriteAbandoned &) {
            return;
        } catch (const PartlySaved &e) {
            // A wrapper's files were written, and the wrapper beside them.
            for (const AttachmentSaver::Saved &saved : e.files) {
                report(saved.path, saved.size);
                m_progress.attachment(saved.size);
            }
            if (e.stopped)
                return; // a signal: the run ends as at any other stop
            failure(message.source, QStringLiteral("%1, attachment \"%2\"").arg(where, attachment.name), e.text());
        } catch (const std::exception &e) {
            failure(message.source, QStringLiteral("%1, attachment \"%2\"").arg(where, attachment.name),
                    QString::fromUtf8(e.what()));
        }
    }
}

int Run::exec() {
    if (m_saving) {
        const QString dir = m_options.to;
        if (!QFileInfo(dir).isDir() && !QDir().mkpath(dir)) {
            print(m_err, QStringLiteral("%1: %2: cannot make this folder\n").arg(QLatin1String(kProgram), dir));
            return kExitUsage;
        }
        if (!QFileInfo(dir).isDir()) {
            print(m_err, QStringLiteral("%1: %2: not a folder\n").arg(QLatin1String(kProgram), dir));
            return kExitUsage;
        }
        if (!m_options.dryRun && ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) != 0) {
            print(m_err, QStringLiteral("%1: %2: cannot write into this folder: %3\n")
                             .arg(QLatin1String(kProgram), dir, QString::fromLocal8Bit(std::strerror(errno))));
            return kExitUsage;
        }
        m_saver = std::make_unique<AttachmentSaver>(dir);
        m_saver->setUnpackTnef(!m_options.keepTnef);
        // Ctrl-C also takes effect between the files inside a winmail.dat.
        m_saver->setStopRequested([this] { return stopping(); });
    }

    QStringList named = m_options.sources;
    if (named.isEmpty()) {
        named = pst::profileStorePaths();
        if (named.isEmpty()) {
            print(m_err, QStringLiteral("%1: the profile has no mail stores (set PARCELWISE_PROFILE, or put them in "
                                        "~/Documents/Outlook Files)\n")
                             .arg(QLatin1String(kProgram)));
            return kExitUsage;
        }
    }
    const QList<SourceFile> files = expandSources(named, m_options.recursive, [&](const QString &path, const QString &why) {
        failure(path, QString(), why);
    });

    if (files.isEmpty() && m_failures == 0) {
        print(m_err, QStringLiteral("%1: no .pst, .ost, .dbx or .eml files in %2\n")
                         .arg(QLatin1String(kProgram), named.join(QStringLiteral(", "))));
        return kExitUsage;
    }

    ReadCallbacks callbacks;
    callbacks.onMessage = [this](const Message &message) { onMessage(message); };
    callbacks.stop = [this] { return stopping(); };
    callbacks.abandonWrite = [this] { return stopping(); };
    callbacks.details = !m_saving || m_options.json || m_options.more.messages.needsDetails();
    StoreSession stores;
    int usable = 0;
    for (const SourceFile &file : files) {
        if (stopping())
            break;
        callbacks.onFailure = [&](const QString &where, const QString &why) { failure(file.path, where, why); };
        try {
            switch (file.kind) {
            case SourceKind::Store:
                stores.read(file.path, m_options.filter, callbacks);
                break;
            case SourceKind::Dbx:
                readDbx(file.path, m_options.filter, callbacks);
                break;
            case SourceKind::Eml:
                readEml(file.path, m_options.filter, callbacks);
                break;
            case SourceKind::Mbox:
                readMbox(file.path, m_options.filter, callbacks);
                break;
            case SourceKind::Tnef:
                readTnef(file.path, m_options.filter, callbacks);
                break;
            case SourceKind::Stdin:
                readStandardInput(m_options.filter, callbacks);
                break;
            }
            ++usable;
        } catch (const WriteAbandoned &) {
            break;
        } catch (const std::exception &e) {
            failure(file.path, QString(), QString::fromUtf8(e.what()));
        }
    }

    std::fflush(m_out);
    const bool outputFailed = std::ferror(m_out) != 0;
    if (stopping()) {
        m_progress.finish(QStringLiteral("%1: interrupted after %2\n").arg(QLatin1String(kProgram), m_progress.totals(m_saving)));
        return 128 + g_stopSignal;
    }
    const QString leftOut = m_steps.summary();
    if (!m_options.more.quiet && (m_saving || ::isatty(::fileno(m_err)) == 1))
        m_progress.finish(QStringLiteral("%1: %2%3%4\n")
                              .arg(QLatin1String(kProgram), m_progress.totals(m_saving), leftOut,
                                   m_options.dryRun ? QStringLiteral(" (dry run, nothing saved)") : QString()));
    if (outputFailed) {
        print(m_err, QStringLiteral("%1: cannot write to standard output\n").arg(QLatin1String(kProgram)));
        return kExitSomeFailed;
    }
    if (usable == 0)
        return kExitUsage;
    return m_failures > 0 ? kExitSomeFailed : kExitDone;
}

} // namespace

int parseArguments(const QStringList &arguments, Options &options, std::FILE *out, std::FILE *err) {
    bool haveCommand = false;
    bool haveTo = false;
    bool onlySources = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        if (onlySources || argument == QLatin1String("-") || !argument.startsWith(QLatin1Char('-'))) {
            if (!haveCommand) {
                if (argument == QLatin1String("list"))
                    options.command = Options::Command::List;
                else if (argument == QLatin1String("save"))
                    options.command = Options::Command::Save;
                else
                    return usageError(err, QStringLiteral("unknown command '%1' (use list or save)").arg(argument));
                haveCommand = true;
            } else {
                options.sources.append(argument);
            }
            continue;
        }
        if (argument == QLatin1String("--")) {
            onlySources = true;
            continue;
        }
        // "--name=value" as well as "--name value".
        QString inlineValue;
        bool hasInlineValue = false;
        if (argument.startsWith(QLatin1String("--")) && argument.contains(QLatin1Char('='))) {
            const qsizetype eq = argument.indexOf(QLatin1Char('='));
            inlineValue = argument.mid(eq + 1);
            argument.truncate(eq);
            hasInlineValue = true;
        }
        const auto value = [&](QString &into) {
            if (hasInlineValue) {
                into = inlineValue;
                return true;
            }
            if (i + 1 >= arguments.size())
                return false;
            into = arguments.at(++i);
            return true;
        };
        const auto flag = [&](bool &into) {
            if (hasInlineValue)
                return false;
            into = true;
            return true;
        };
        bool ok = true;
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            print(out, QString::fromLatin1(kUsage).arg(QString::fromLatin1(kMoreUsage)));
            return kExitDone;
        } else if (argument == QLatin1String("-V") || argument == QLatin1String("--version")) {
            print(out, QStringLiteral("%1 (Parcelwise) %2\n"
                                      "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
                                      "This is free software: you are free to change and redistribute it.\n"
                                      "There is NO WARRANTY, to the extent permitted by law.\n")
                           .arg(QLatin1String(kProgram), QLatin1String(PARCELWISE_VERSION)));
            return kExitDone;
        } else if (argument == QLatin1String("-t") || argument == QLatin1String("--to")) {
            ok = value(options.to);
            haveTo = ok;
        } else if (argument == QLatin1String("--folder")) {
            ok = value(options.filter.folderName);
            options.filter.folderMode = true;
        } else if (argument == QLatin1String("--search")) {
            ok = value(options.filter.searchText);
            options.filter.searchMode = true;
        } else if (argument == QLatin1String("--with-attachments")) {
            ok = flag(options.filter.withAttachmentsOnly);
        } else if (argument == QLatin1String("-r") || argument == QLatin1String("--recursive")) {
            ok = flag(options.recursive);
        } else if (argument == QLatin1String("-n") || argument == QLatin1String("--dry-run")) {
            ok = flag(options.dryRun);
        } else if (argument == QLatin1String("--keep-tnef")) {
            ok = flag(options.keepTnef);
        } else if (argument == QLatin1String("--json")) {
            ok = flag(options.json);
        } else {
            QString why;
            switch (parseMoreOption(argument, value, flag, options.more, why)) {
            case OptionParse::NotMine:
                return usageError(err, QStringLiteral("unknown option '%1'").arg(argument));
            case OptionParse::Bad:
                return usageError(err, why);
            case OptionParse::NeedsValue:
            case OptionParse::TakesNoValue:
                ok = false;
                break;
            case OptionParse::Done:
                break;
            }
        }
        if (!ok)
            return usageError(err, hasInlineValue ? QStringLiteral("option '%1' takes no value").arg(argument)
                                                  : QStringLiteral("option '%1' needs a value").arg(argument));
    }
    if (!haveCommand)
        return usageError(err, QStringLiteral("missing command (list or save)"));
    const bool saving = options.command == Options::Command::Save;
    if (saving && (!haveTo || options.to.isEmpty()))
        return usageError(err, QStringLiteral("save needs the folder to save into: --to DIR"));
    if (!saving && haveTo)
        return usageError(err, QStringLiteral("--to is for save only"));
    // As in the window, a blank folder name selects nothing worth running for.
    if (options.filter.folderMode && options.filter.folderName.trimmed().isEmpty())
        return usageError(err, QStringLiteral("--folder needs a folder name"));
    if (!saving && options.dryRun)
        return usageError(err, QStringLiteral("--dry-run is for save only"));
    if (!saving && options.keepTnef)
        return usageError(err, QStringLiteral("--keep-tnef is for save only"));
    if (const QString why = finishMoreOptions(options.more, saving, options.json,
                                              options.sources.contains(QStringLiteral("-")));
        !why.isEmpty())
        return usageError(err, why);
    return -1;
}

int run(const Options &options, std::FILE *out, std::FILE *err) {
    return Run(options, out, err).exec();
}

} // namespace pw::cli
