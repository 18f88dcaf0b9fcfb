#include "cli/runner.h"

#include "cli/mailsources.h"
#include "cli/moresources.h"
#include "cli/savesteps.h"
#include "cli/nativepath.h"
#include "cli/output.h"
#include "cli/saveplan.h"
#include "core/error.h"
#include "core/safefilewriter.h"
#include "core/workstatus.h"
#include "download/attachmentsaver.h"
#include "platform/mime/mimemessage.h"
#include "platform/pst/pstengine.h"

#include "buildconfig.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
    "(separated by ':'), else ~/Documents/Outlook Files. File names are taken\n"
    "as bytes: they need not be UTF-8.\n"
    "\n"
    "Filters (the selection of the main window, plus --all-items):\n"
    "      --with-attachments  only messages that have attachments\n"
    "      --folder NAME       only messages whose top-level folder or holding\n"
    "                          folder is named NAME exactly, or whose folder\n"
    "                          path is NAME as list prints it\n"
    "      --search TEXT       only messages whose body, sender, sender address\n"
    "                          or date (as list prints it) holds TEXT, in any\n"
    "                          letter case\n"
    "      --all-items         also items lying in a store's top folder and items\n"
    "                          that are not mail (appointments, contacts, reports)\n"
    "\n"
    "%1"
    "\n"
    "Options:\n"
    "  -r, --recursive         read the subfolders of folders named as SOURCE\n"
    "  -t, --to DIR            the folder to save into (made when missing)\n"
    "  -n, --dry-run           print the paths a save would write, winmail.dat\n"
    "                          contents included; write nothing, not even DIR\n"
    "      --keep-tnef         save winmail.dat attachments as they are instead\n"
    "                          of the files inside them\n"
    "      --json              print JSON Lines instead of tab-separated lines\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "list prints one line per message: source, folder path, date (ISO 8601, in\n"
    "UTC), sender, subject, attachment count and id, separated by tabs. save\n"
    "prints each path it writes. In these lines a backslash, tab, line break\n"
    "or other control character is written as \\\\, \\t, \\n or \\xHH; --json\n"
    "keeps text as it is, gives the folder path as an array, and adds\n"
    "source_bytes / path_bytes (base64) where a path is not UTF-8. Each line is\n"
    "written at once, so processes may share one pipe.\n"
    "\n"
    "No file is ever written over: a taken name gets a number before its\n"
    "extension, and a taken numbered name another one after it (report.pdf,\n"
    "report_1.pdf, report_1_2.pdf, ...). No file is ever left partly written,\n"
    "also when several processes save into one folder at once. An attachment\n"
    "its message ends inside of is saved as far as it goes and reported.\n"
    "Progress goes to standard error when it is a terminal. Ctrl-C or SIGTERM\n"
    "stops within a second, also inside a large attachment.\n"
    "\n"
    "Exit status: 0 when everything was done, 1 when some messages or\n"
    "attachments failed or were incomplete (each is named on standard error),\n"
    "2 for bad usage or when no source could be read, 130 when interrupted.\n";

void print(std::FILE *to, const QString &text) {
    std::fflush(to);
    writeRecord(::fileno(to), text.toUtf8());
}

int usageError(std::FILE *err, const QString &text) {
    print(err, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(QLatin1String(kProgram), text));
    return kExitUsage;
}

QString isoDate(const QDateTime &when) {
    if (!when.isValid())
        return QString();
    return when.toUTC().toString(Qt::ISODate);
}

// Messages to the user are one line each, with nothing in them a terminal
// would act on.
QString flat(const QString &text) {
    return QString::fromUtf8(escapeText(text));
}

// The words for the items the rules passed over, or empty.
QString leftOutText(const selection::LeftOut &leftOut, bool saving) {
    if (leftOut.total() == 0)
        return QString();
    QStringList parts;
    if (leftOut.inTopFolder > 0)
        parts.append(QStringLiteral("%1 in a store's top folder").arg(countText(leftOut.inTopFolder)));
    if (leftOut.notMail > 0)
        parts.append(QStringLiteral("%1 not mail").arg(countText(leftOut.notMail)));
    return QStringLiteral("%1 with attachments not %2: %3; --all-items includes them")
        .arg(countText(leftOut.total(), "item", "items"), QLatin1String(saving ? "saved" : "listed"),
             parts.join(QStringLiteral(", ")));
}

// Counts, progress on a terminal, the summary.
class Progress {
public:
    Progress(std::FILE *err, bool shown) : m_err(err), m_shown(shown) {}

    void message() {
        ++m_totals.messages;
        update();
    }
    void attachment(qint64 bytes) {
        ++m_totals.files;
        m_totals.bytes += bytes;
        update();
    }
    void failed() { ++m_totals.failed; }
    void kept() { ++m_totals.kept; }
    SaveTotals totals() const {
        SaveTotals totals = m_totals;
        totals.ms = m_pace.elapsedMs();
        return totals;
    }

    // Clears the progress line, if one is drawn.
    void clear() {
        if (m_shown && m_drawn)
            print(m_err, QStringLiteral("\r\x1b[K"));
        m_drawn = false;
    }

private:
    // A few updates a second, never one per item; only on a terminal.
    void update() {
        if (!m_shown || !m_pace.due())
            return;
        const double seconds = std::max<qint64>(m_pace.elapsedMs(), 1) / 1000.0;
        print(m_err, QStringLiteral("\r%1, %2, %3, %4/s\x1b[K")
                         .arg(countText(m_totals.messages, "message", "messages"),
                              countText(m_totals.files, "attachment", "attachments"), sizeText(m_totals.bytes),
                              sizeText(static_cast<qint64>(static_cast<double>(m_totals.bytes) / seconds))));
        m_drawn = true;
    }

    std::FILE *m_err;
    bool m_shown;
    bool m_drawn = false;
    ProgressPace m_pace;
    SaveTotals m_totals;
};

class Run {
public:
    Run(const Options &options, std::FILE *out, std::FILE *err)
        : m_options(options), m_out(out), m_err(err), m_saving(options.command == Options::Command::Save),
          m_progress(err, ::isatty(::fileno(err)) == 1 && !options.more.quiet) {}
    ~Run() {
        if (m_toFd >= 0)
            ::close(m_toFd);
    }

    int exec();

private:
    int openTarget();
    void failure(const QByteArray &source, const QString &where, const QString &why);
    void note(const QString &text);
    void onMessage(const Message &message);
    void listMessage(const Message &message);
    void saveMessage(const Message &message);
    void saveOne(const Message &message, const Attachment &attachment, const QString &where);
    void planOne(const Message &message, const Attachment &attachment, const QString &where);
    void reportSaved(const Message &message, const Attachment &attachment, const QString &path, qint64 size);
    // A path the saver knows (through the target's descriptor) as the user
    // named it.
    QByteArray shownPath(const QString &saverPath) const;
    QString shownText(QString text) const;
    bool stopping() const { return g_stopSignal != 0; }
    // A listing's lines go out a few at a time: whole lines, at most what a
    // pipe takes in one piece (so two writers into one pipe never mix within
    // a line), and never held back longer than a moment or past the end of a
    // source. Saved files are reported one by one, as they are written.
    void record(const QByteArray &line) {
        if (m_saving) {
            if (!writeRecord(::fileno(m_out), line + '\n'))
                m_outputFailed = true;
            return;
        }
        if (!m_pending.isEmpty() && (m_pending.size() + line.size() + 1 > PIPE_BUF || m_pendingSince.elapsed() > 100))
            flushRecords();
        if (m_pending.isEmpty())
            m_pendingSince.start();
        m_pending += line;
        m_pending += '\n';
    }
    void flushRecords() {
        if (m_pending.isEmpty())
            return;
        if (!writeRecord(::fileno(m_out), m_pending))
            m_outputFailed = true;
        m_pending.clear();
    }
    void record(const QJsonObject &object) { record(QJsonDocument(object).toJson(QJsonDocument::Compact)); }

    const Options &m_options;
    std::FILE *m_out;
    std::FILE *m_err;
    bool m_saving;
    Progress m_progress;
    std::unique_ptr<AttachmentSaver> m_saver;
    QByteArray m_to;          // the target folder as named
    QString m_saverFolder;    // the same as the saver reaches it
    int m_toFd = -1;
    int m_failures = 0;
    bool m_outputFailed = false;
    QByteArray m_pending;  // whole lines of a listing not written yet
    QElapsedTimer m_pendingSince;
    SaveSteps m_steps{m_options.to, m_options.more, m_options.keepTnef, m_options.dryRun, [this](const QString &text) {
        if (m_options.more.verbose)
            print(m_err, flat(QLatin1String(kProgram) + QStringLiteral(": ") + text) + QLatin1Char('\n'));
    }};
};

void Run::failure(const QByteArray &source, const QString &where, const QString &why) {
    ++m_failures;
    QString text = QLatin1String(kProgram) + QStringLiteral(": ") + pathText(source);
    if (!where.isEmpty())
        text += QStringLiteral(": ") + where;
    flushRecords();
    m_progress.clear();
    print(m_err, flat(text + QStringLiteral(": ") + shownText(why)) + QLatin1Char('\n'));
}

void Run::note(const QString &text) {
    flushRecords();
    m_progress.clear();
    print(m_err, QLatin1String(kProgram) + QStringLiteral(": ") + flat(shownText(text)) + QLatin1Char('\n'));
}

QByteArray Run::shownPath(const QString &saverPath) const {
    if (m_saverFolder.isEmpty() || !saverPath.startsWith(m_saverFolder + QLatin1Char('/')))
        return argumentBytes(saverPath);
    QByteArray shown = m_to;
    if (!shown.endsWith('/'))
        shown += '/';
    return shown + saverPath.mid(m_saverFolder.size() + 1).toUtf8();
}

QString Run::shownText(QString text) const {
    if (m_saverFolder.isEmpty())
        return text;
    return text.replace(m_saverFolder, pathText(m_to));
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
        QJsonObject object{{QStringLiteral("folder"), QJsonArray::fromStringList(message.folderPath)},
                           {QStringLiteral("date"), isoDate(message.date)},
                           {QStringLiteral("sender"), message.sender},
                           {QStringLiteral("subject"), message.subject},
                           {QStringLiteral("attachments"), message.attachmentCount},
                           {QStringLiteral("id"), message.id}};
        insertPath(object, QStringLiteral("source"), message.source);
        record(object);
        return;
    }
    QByteArray line = escapeBytes(message.source);
    for (const QString &field : {message.folderPath.join(QLatin1Char('/')), isoDate(message.date), message.sender,
                                 message.subject, QString::number(message.attachmentCount), message.id}) {
        line += '\t';
        line += escapeText(field);
    }
    record(line);
}

void Run::reportSaved(const Message &message, const Attachment &attachment, const QString &path, qint64 size) {
    if (m_options.more.quiet)
        return;
    const QByteArray shown = shownPath(path);
    if (!m_options.json) {
        // -0: the path's bytes as they are, ended by NUL, for xargs -0.
        if (m_options.more.nulEnded) {
            if (!writeRecord(::fileno(m_out), shown + '\0'))
                m_outputFailed = true;
        } else {
            record(escapeBytes(shown));
        }
        return;
    }
    QJsonObject object{{QStringLiteral("id"), message.id}, {QStringLiteral("attachment"), attachment.name}};
    insertPath(object, QStringLiteral("source"), message.source);
    insertPath(object, QStringLiteral("path"), shown);
    // A dry run knows no size yet.
    if (size >= 0)
        object.insert(QStringLiteral("size"), size);
    record(object);
}

void Run::saveMessage(const Message &message) {
    const QString folder = message.folderPath.join(QLatin1Char('/'));
    const QString where = folder.isEmpty() ? QStringLiteral("message %1").arg(message.id)
                                           : QStringLiteral("%1, message %2").arg(folder, message.id);
    QList<Attachment> attachments;
    try {
        if (message.attachmentCount > 0)
            attachments = message.attachments();
    } catch (const std::exception &e) {
        failure(message.source, where, QString::fromUtf8(e.what()));
        return;
    }
    for (const Attachment &attachment : attachments) {
        // Ctrl-C takes effect here, between attachments, and inside a long
        // one between its reads.
        if (stopping())
            return;
        if (!m_steps.wanted(message, attachment))
            continue;
        if (m_options.dryRun)
            planOne(message, attachment, where);
        else
            saveOne(message, attachment, where);
    }
}

void Run::saveOne(const Message &message, const Attachment &attachment, const QString &where) {
    const QString what = QStringLiteral("%1, attachment \"%2\"").arg(where, attachment.name);
    try {
        AttachmentSaver &saver = m_steps.saverFor(message, *m_saver);
        for (const AttachmentSaver::Saved &saved : saver.save(attachment.name, attachment.mimeType, attachment.writeTo)) {
            if (!m_steps.keep(attachment, saved))
                continue;
            reportSaved(message, attachment, saved.path, saved.size);
            m_progress.attachment(saved.size);
        }
    } catch (const WriteAbandoned &) {
        return;
    } catch (const PartlySaved &e) {
        // A wrapper's files were written, and the wrapper beside them.
        for (const AttachmentSaver::Saved &saved : e.files) {
            reportSaved(message, attachment, saved.path, saved.size);
            m_progress.attachment(saved.size);
        }
        if (e.stopped)
            return; // a signal: the run ends as at any other stop
        failure(message.source, what, e.text());
        m_progress.failed();
    } catch (const WrapperKept &e) {
        // Nothing is lost: the wrapper itself is there.
        const qint64 size = QFileInfo(e.path).size();
        reportSaved(message, attachment, e.path, size);
        m_progress.attachment(size);
        m_progress.kept();
        note(pathText(message.source) + QStringLiteral(": ") + what + QStringLiteral(": ") + e.text());
    } catch (const IncompleteAttachmentError &e) {
        // What there is was saved; the run still fails for it.
        failure(message.source, what, e.text());
        m_progress.failed();
    } catch (const std::exception &e) {
        failure(message.source, what, QString::fromUtf8(e.what()));
        m_progress.failed();
    }
}

void Run::planOne(const Message &message, const Attachment &attachment, const QString &where) {
    try {
        const QStringList names = planNames(m_steps.saverFor(message, *m_saver), attachment, !m_options.keepTnef);
        for (const QString &name : names) {
            reportSaved(message, attachment, name, -1);
            m_progress.attachment(0);
        }
    } catch (const WriteAbandoned &) {
        return;
    } catch (const std::exception &e) {
        failure(message.source, QStringLiteral("%1, attachment \"%2\"").arg(where, attachment.name),
                QString::fromUtf8(e.what()));
        m_progress.failed();
    }
}

// The target folder: made when missing (not by a dry run), and held open,
// so that the saver reaches it whatever bytes its name is made of.
int Run::openTarget() {
    m_to = argumentBytes(m_options.to);
    const QString shown = pathText(m_to);
    struct stat st {};
    if (::stat(m_to.constData(), &st) != 0) {
        if (m_options.dryRun) {
            // Nothing is there to take a name: the plan starts from an
            // empty folder, which the dry run does not make.
            m_saverFolder = m_options.to;
            m_saver = std::make_unique<AttachmentSaver>(m_saverFolder);
            m_saver->setUnpackTnef(!m_options.keepTnef);
            m_saver->setStopRequested([this] { return stopping(); });
            return -1;
        }
        if (!makeFolders(m_to)) {
            print(m_err, QStringLiteral("%1: %2: cannot make this folder: %3\n")
                             .arg(QLatin1String(kProgram), shown, QString::fromLocal8Bit(std::strerror(errno))));
            return kExitUsage;
        }
    }
    m_toFd = ::open(m_to.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_toFd < 0) {
        print(m_err, QStringLiteral("%1: %2: not a folder\n").arg(QLatin1String(kProgram), shown));
        return kExitUsage;
    }
    if (!m_options.dryRun && ::access(m_to.constData(), W_OK | X_OK) != 0) {
        print(m_err, QStringLiteral("%1: %2: cannot write into this folder: %3\n")
                         .arg(QLatin1String(kProgram), shown, QString::fromLocal8Bit(std::strerror(errno))));
        return kExitUsage;
    }
    m_saverFolder = QString::fromLatin1(descriptorPath(m_toFd));
    if (!m_options.dryRun)
        SafeFileWriter::removeStaleParts(m_saverFolder);
    m_saver = std::make_unique<AttachmentSaver>(m_saverFolder);
    m_saver->setUnpackTnef(!m_options.keepTnef);
    // Ctrl-C also takes effect between the files inside a winmail.dat.
    m_saver->setStopRequested([this] { return stopping(); });
    return -1;
}

int Run::exec() {
    if (m_saving) {
        const int status = openTarget();
        if (status >= 0)
            return status;
    }

    QList<QByteArray> named;
    for (const QString &source : m_options.sources)
        named.append(argumentBytes(source));
    if (named.isEmpty()) {
        for (const QString &path : pst::profileStorePaths())
            named.append(QFile::encodeName(path));
        if (named.isEmpty()) {
            print(m_err, QStringLiteral("%1: the profile has no mail stores (set PARCELWISE_PROFILE, or put them in "
                                        "~/Documents/Outlook Files)\n")
                             .arg(QLatin1String(kProgram)));
            return kExitUsage;
        }
    }
    const QList<SourceFile> files = expandSources(named, m_options.recursive, [&](const QByteArray &path, const QString &why) {
        failure(path, QString(), why);
    });

    if (files.isEmpty() && m_failures == 0) {
        QStringList shown;
        for (const QByteArray &path : named)
            shown.append(pathText(path));
        print(m_err, QStringLiteral("%1: no .pst, .ost, .dbx, .eml, mbox or winmail.dat files in %2\n")
                         .arg(QLatin1String(kProgram), flat(shown.join(QStringLiteral(", ")))));
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
        flushRecords();
    }

    flushRecords();
    m_progress.clear();
    const QString leftOut = leftOutText(stores.leftOut(), m_saving);
    if (!leftOut.isEmpty())
        note(leftOut);
    SaveTotals totals = m_progress.totals();
    if (stopping()) {
        totals.stopped = true;
        const QString done = m_saving ? savedText(totals, pathText(m_to))
                                      : QStringLiteral("Listed %1.").arg(countText(totals.messages, "message", "messages"));
        print(m_err, QStringLiteral("%1: interrupted. %2\n").arg(QLatin1String(kProgram), done));
        return 128 + g_stopSignal;
    }
    const QString more = m_steps.summary();
    if (m_options.more.quiet)
        ;
    else if (m_saving && m_options.dryRun)
        print(m_err, QStringLiteral("%1: would save %2 from %3%4 (dry run, nothing saved)\n")
                         .arg(QLatin1String(kProgram), countText(totals.files, "file", "files"),
                              countText(totals.messages, "message", "messages"), more));
    else if (m_saving)
        print(m_err, QStringLiteral("%1: %2%3\n").arg(QLatin1String(kProgram), savedText(totals, pathText(m_to)), more));
    else if (::isatty(::fileno(m_err)) == 1)
        print(m_err, QStringLiteral("%1: listed %2 in %3\n")
                         .arg(QLatin1String(kProgram), countText(totals.messages, "message", "messages"),
                              durationText(totals.ms)));
    if (m_outputFailed) {
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
            // What `list` prints in its folder column, escapes and all.
            ok = value(options.filter.folderName);
            options.filter.folderName = unescapeText(options.filter.folderName);
            options.filter.folderMode = true;
            options.filter.folderPathMatches = true;
        } else if (argument == QLatin1String("--all-items")) {
            ok = flag(options.filter.allItems);
        } else if (argument == QLatin1String("--search")) {
            ok = value(options.filter.searchText);
            options.filter.searchMode = true;
            options.filter.searchIsoDate = true;
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
