#include "express/conversion.h"

#include "core/error.h"
#include "core/fileroutines.h"
#include "core/operation.h"
#include "download/shortfilename.h"
#include "express/converterlookup.h"
#include "express/emllist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <filesystem>
#include <system_error>

namespace pw::Shell32 {

namespace {

constexpr qint32 kStartFailureBase = 0x80040000;
constexpr int kPollMs = 100;

// Splits at blanks outside double quotes, as a shell would. A quoted empty
// text is an argument of its own: the converter's missing .dbx argument
// must stay in its place rather than vanish and shift the others. Inside
// quotes, two double quotes stand for one that is part of the argument, so
// a path holding one passes through whole.
QStringList splitCommandLine(const QString &commandLine) {
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool inQuotes = false;
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        const QChar c = commandLine.at(i);
        if (c == QLatin1Char('"')) {
            if (inQuotes && i + 1 < commandLine.size() && commandLine.at(i + 1) == QLatin1Char('"')) {
                current.append(c);
                ++i;
                continue;
            }
            inQuotes = !inQuotes;
            inArgument = true;
        } else if (!inQuotes && (c == QLatin1Char(' ') || c == QLatin1Char('\t'))) {
            if (inArgument)
                arguments.append(current);
            current.clear();
            inArgument = false;
        } else {
            current.append(c);
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.append(current);
    return arguments;
}

} // namespace

qint32 RunAndWait(Launcher &launcher, EventPump &events, const QString &commandLine,
                  std::optional<int> windowStyle, ConversionStop *stop, const std::function<bool()> &cancelled) {
    int style = windowStyle.value_or(6);
    if (style < 0 || style > 6)
        style = 6;
    Q_UNUSED(style); // there is no window to show or hide here

    QStringList arguments = splitCommandLine(commandLine);
    const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    const qint64 handle = launcher.start(program, arguments);
    if (handle <= 0) {
        const quint32 errorNumber = handle < 0 ? static_cast<quint32>(-handle) : 0u;
        return static_cast<qint32>(errorNumber + static_cast<quint32>(kStartFailureBase));
    }
    if (stop)
        stop->setRunning(handle);
    int exitCode = 0;
    for (;;) {
        const bool stillRunning = launcher.running(handle, &exitCode);
        // Ended by the window as it closed: no more events run for it here.
        if (!stillRunning && stop && stop->requested())
            break;
        events.processEvents();
        if (!stillRunning)
            break;
        // The converter writes each message whole or not at all, so ending
        // it leaves only complete files.
        if (cancelled && cancelled()) {
            launcher.stop(handle);
            continue;
        }
        QThread::msleep(kPollMs);
    }
    if (stop)
        stop->setRunning(0);
    return exitCode;
}

} // namespace pw::Shell32

namespace pw {

void ConversionStop::stop(Launcher &launcher) {
    m_requested = true;
    if (m_running > 0)
        launcher.stop(m_running);
}

namespace {

constexpr int kDefaultPointer = 0;
constexpr int kBusyPointer = 11;

// In double quotes; a double quote inside is doubled (see splitCommandLine).
QString quoted(QString text) {
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QString emlWorkingFolder() {
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        throw Error(QStringLiteral("There is no per-user cache folder to convert messages into"));
    const QString folder = cache + QStringLiteral("/Parcelwise/eml");
    if (!QDir(folder).exists()) {
        // The reason goes into the report: a full disk, a missing right or
        // a file in the way each need another remedy.
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
        if (error || !QDir(folder).exists())
            throw Error(QStringLiteral("Cannot create the folder \"%1\": %2")
                            .arg(folder, error ? QString::fromLocal8Bit(error.message().c_str())
                                               : QStringLiteral("it is not a folder")));
        // Converted mail is private.
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    return folder;
}

void convertDbxFiles(const ConversionContext &context) {
    Operation op(context.dialogs, QStringLiteral("Form2"), QStringLiteral("PushButton2_Click"));
    const auto pointer = [&](int kind) {
        if (context.setPointer)
            context.setPointer(kind);
    };
    // The window closed meanwhile: nothing more is started, listed or shown.
    const auto stopped = [&] { return context.stop && context.stop->requested(); };
    WorkStatus *status = context.status;
    const auto cancelled = [status] { return status && status->cancelRequested(); };
    ProgressPace pace;
    ProgressPace pump(100);
    int filesTicked = 0;
    int filesConverted = 0;
    QString converting;
    const auto progressText = [&] {
        return QStringLiteral("Converting %1 (%2 of %3); %4 with attachments listed")
            .arg(converting)
            .arg(filesConverted + 1)
            .arg(filesTicked)
            .arg(countText(context.messageList.count(), "message", "messages"));
    };
    // Listing tens of thousands of messages takes seconds: the window
    // repaints a few times a second meanwhile, and Cancel stops the
    // listing before the next message.
    const Express1::ListingHook listing = [&] {
        if (pump.due()) {
            context.events.processEvents();
            if (status && pace.due())
                status->progress(progressText());
        }
        return !stopped() && !cancelled();
    };

    QString converter;
    QString folder;
    // The converter is looked for next to the program, in its libexec
    // folder, then on PATH. Without one nothing can be converted: that is
    // reported here, once, and no row is run.
    bool haveConverter = false;
    op.step(100, [&] {
        converter = findConverter(context.applicationFolder);
        haveConverter = true;
    });
    op.step(102, [&] { pointer(kBusyPointer); });
    op.step(104, [&] {
        folder = context.workingFolder ? context.workingFolder() : QString();
        if (folder.isEmpty())
            throw Error(QStringLiteral("No working folder for the converted messages"));
        DeleteMatchingFiles(folder + QStringLiteral("/*.eml"));
    });
    op.step(106, [&] { context.emlFileNames = QStringList(); });
    op.step(108, [&] { context.messageList.clear(); });

    int rowCount = 0;
    op.step(110, [&] { rowCount = context.fileList.count(); });
    // Without a working folder the converter has nowhere to write: that
    // was reported once, at 104, and no row is converted.
    if (folder.isEmpty() || !haveConverter)
        rowCount = 0;
    for (int row = 0; row < rowCount; ++row)
        filesTicked += context.fileList.isChecked(row) ? 1 : 0;
    if (status)
        status->started(QStringLiteral("Converting %1 ...").arg(countText(filesTicked, ".dbx file", ".dbx files")));
    bool userStopped = false;
    for (int row = 0; row < rowCount; ++row) {
        op.step(112, [&] { context.events.processEvents(); });
        if (stopped())
            return;
        if (cancelled()) {
            userStopped = true;
            break;
        }
        if (!op.test(114, [&] { return context.fileList.isChecked(row); }))
            continue;
        converting = QFileInfo(context.fileList.text(row, 0)).fileName();
        if (status)
            status->progress(progressText());
        QString commandLine;
        op.step(116, [&] {
            commandLine = quoted(modShortFilename::ShortFileName(converter)) + QLatin1Char(' ')
                          + quoted(modShortFilename::ShortFileName(context.fileList.text(row, 0)))
                          + QLatin1Char(' ') + quoted(folder);
        });
        // The converter's result is not examined: what it wrote is listed.
        op.step(118, [&] {
            Shell32::RunAndWait(context.launcher, context.events, commandLine, 0, context.stop, cancelled);
        });
        if (stopped())
            return;
        if (cancelled()) {
            userStopped = true;
            break;
        }
        op.step(120, [&] {
            Express1::ListEmlMessages(folder, context.messageList, context.emlFileNames, listing);
        });
        if (stopped())
            return;
        if (cancelled()) {
            userStopped = true;
            break;
        }
        ++filesConverted;
    }
    if (stopped())
        return;
    op.step(122, [&] { pointer(kDefaultPointer); });
    if (status) {
        const QString listed = countText(context.messageList.count(), "message", "messages");
        status->finished(
            userStopped ? QStringLiteral("Stopped after converting %1 of %2: %3 with attachments listed, in %4.")
                              .arg(filesConverted)
                              .arg(countText(filesTicked, ".dbx file", ".dbx files"), listed,
                                   durationText(pace.elapsedMs()))
                        : QStringLiteral("Converted %1: %2 with attachments listed, in %3.")
                              .arg(countText(filesConverted, ".dbx file", ".dbx files"), listed,
                                   durationText(pace.elapsedMs())));
    }
    // A run the user stopped did not get to its end; the status line says so.
    if (userStopped)
        return;
    op.step(124, [&] {
        context.dialogs.messageBox(QStringLiteral("Done."), MsgButtons::Ok, MsgIcon::None, QString());
    });
}

} // namespace pw
