#include "download/emlsaveengine.h"

#include "core/error.h"
#include "core/operation.h"
#include "core/safefilewriter.h"
#include "download/attachmentsaver.h"
#include "download/filenaming.h"
#include "platform/mime/mimemessage.h"

#include <QDir>
#include <QFileInfo>

namespace pw {

namespace {

constexpr int kDefaultPointer = 0;
constexpr int kBusyPointer = 11;

const QString kFrameCaption = QStringLiteral("Save Attachment(s) To This Folder");

// Why the Location cannot be written to, or empty text when it can be
// tried. An empty or relative Location would land in whatever folder the
// program happens to run in.
QString locationProblem(const QString &location) {
    if (location.trimmed().isEmpty())
        return QStringLiteral("Please enter the folder to save the attachments to in \"%1\".").arg(kFrameCaption);
    if (!QDir::isAbsolutePath(location))
        return QStringLiteral("\"%1\" is not a full folder path. Please enter the folder to save the attachments to "
                              "in \"%2\", starting with \"/\".")
            .arg(location, kFrameCaption);
    return QString();
}

// A large attachment is looked at again after this many bytes: the status
// line moves and Cancel or closing can stop it there.
constexpr qint64 kBytesBetweenLooks = qint64(1) << 20;

// What a run has written so far.
struct Written {
    qint64 files = 0;
    qint64 bytes = 0;
};

} // namespace

void saveEmlAttachments(const EmlSaveContext &context) {
    Operation op(context.dialogs, QStringLiteral("Form2"), QStringLiteral("PushButton7_Click"));
    MessageListModel &list = context.messageList;
    const auto pointer = [&](int kind) {
        if (context.setPointer)
            context.setPointer(kind);
    };

    WorkStatus *status = context.status;
    Written written;
    qint64 messagesDone = 0;
    qint64 failedSaves = 0;
    bool stopped = false;
    bool working = false;
    QString lastFolder;
    ProgressPace pace;
    const auto shownLocation = [&] { return context.location ? context.location() : QString(); };
    // How many messages the run will go through, for "n of N".
    const qint64 toDo = list.checkedCount();
    const auto doneText = [&] {
        return QStringLiteral("%1 of %2 done, %3 saved (%4) to %5")
            .arg(countText(messagesDone), countText(toDo, "message", "messages"),
                 countText(written.files, "attachment", "attachments"), sizeText(written.bytes), shownLocation());
    };
    const auto showProgress = [&] {
        if (status && pace.due())
            status->progress(doneText());
    };

    if (op.test(102, [&] { return list.count() > 0; })) {
        if (list.checkedCount() > 0) {
            const QString problem = locationProblem(context.location ? context.location() : QString());
            if (!problem.isEmpty()) {
                context.dialogs.messageBox(problem, MsgButtons::Ok, MsgIcon::Exclamation, QString());
                return;
            }
        }

        int rowCount = 0;
        op.step(104, [&] { rowCount = list.count(); });
        MimeMessage message;
        // One saver for the run: names handed out in a folder are
        // remembered, inside winmail.dat wrappers too. Only ordinary files
        // take a name; a folder of the name makes its save fail.
        AttachmentSaver saver;
        saver.setTakenTest(isOrdinaryFile);
        saver.setEachStep([&] { context.events.processEvents(); });
        saver.setOnFile([&](const AttachmentSaver::Saved &file) {
            ++written.files;
            written.bytes += file.size;
            showProgress();
        });
        // Between the files inside a wrapper, the window repaints now and
        // then and Cancel is looked at each time.
        ProgressPace eventPace(50);
        saver.setStopRequested([&] {
            if (!status)
                return false;
            if (eventPace.due())
                context.events.processEvents();
            return status->cancelRequested();
        });
        if (status) {
            status->started(QStringLiteral("Saving attachments to %1 ...").arg(shownLocation()));
            working = true;
        }
        for (int row = 0; row < rowCount; ++row) {
            // Cancel takes effect between messages: the one under way is
            // finished, and every file written is complete.
            if (status && status->cancelRequested()) {
                stopped = true;
                break;
            }
            if (!op.test(106, [&] { return list.isChecked(row); }))
                continue;
            op.step(108, [&] { pointer(kBusyPointer); });

            QString emlPath;
            op.step(110, [&] {
                const QString fileName = context.emlFileNames.value(row);
                if (fileName.isEmpty())
                    throw Error(QStringLiteral("Row %1 of the message list has no message file any more").arg(row + 1));
                emlPath = context.workingFolder + QLatin1Char('/') + fileName;
            });

            // The message object's stream (112), set to text (114), loaded
            // (116) and committed (118): the reader takes the file's bytes
            // as they are, so 114 has nothing to do here.
            bool loaded = false;
            QList<MimeAttachment> attachments;
            op.step(112, [&] { message.clear(); });
            if (!emlPath.isEmpty()) {
                op.step(116, [&] {
                    message.load(emlPath);
                    loaded = true;
                });
            }
            if (loaded)
                op.step(118, [&] { attachments = message.attachments(); });
            op.step(120, [&] { pointer(kBusyPointer); });

            // A message that could not be loaded has been reported once; its
            // attachments are skipped.
            for (const MimeAttachment &attachment : attachments) { // 122
                QString location;
                QString fileName;
                const bool formed = op.value(
                    124,
                    [&] {
                        location = context.location ? context.location() : QString();
                        const QString problem = locationProblem(location);
                        if (!problem.isEmpty())
                            throw Error(problem);
                        fileName = safeAttachmentName(attachment.fileName(), attachment.contentType());
                        return true;
                    },
                    false);
                if (!formed)
                    continue; // nothing is written without a usable Location

                // 126-146: the counter starts at 1 and each renaming step lets
                // pending window events through once.
                QString target;
                op.step(128, [&] { target = saver.pickName(location, fileName, attachment.contentType()); });
                if (target.isEmpty())
                    continue;
                const int before = op.failures();
                // A large attachment moves the line by its bytes; Cancel or
                // closing stops it between reads, and nothing of it stays.
                const auto writeFile = [&](const QString &path) {
                    SafeFileWriter out(path, QStringLiteral("the attachment"));
                    const QString shown = QFileInfo(path).fileName();
                    qint64 bytes = 0;
                    qint64 sinceLook = 0;
                    const bool complete = attachment.writeTo([&](const char *data, qint64 size) {
                        out.write(data, size);
                        bytes += size;
                        sinceLook += size;
                        if (!status || sinceLook < kBytesBetweenLooks)
                            return;
                        sinceLook = 0;
                        if (pace.due())
                            status->progress(doneText() + QStringLiteral("; saving %1: %2 written")
                                                              .arg(shown, sizeText(bytes)));
                        context.events.processEvents();
                        if (status->cancelRequested())
                            throw Stopped();
                    });
                    // What there is of a cut attachment is kept: it may be
                    // all the user will ever get of it.
                    out.commit();
                    if (!complete)
                        throw IncompleteAttachmentError(attachment.incompleteText(path));
                };
                op.step(148, [&] {
                    try {
                        saver.saveAt(location, target, attachment.fileName(), attachment.contentType(), writeFile,
                                     [&](const tnef::Sink &sink) { attachment.writeTo(sink); });
                    } catch (const Stopped &) {
                        stopped = true; // the file under way is gone
                    } catch (const PartlySaved &e) {
                        // Cancel inside a wrapper: what was written stays,
                        // the wrapper beside it, and the run ends here.
                        if (!e.stopped)
                            throw;
                        stopped = true;
                    }
                });
                if (op.failures() != before)
                    ++failedSaves;
                lastFolder = location;
                // With a status line, the window repaints and Cancel can be
                // pressed once per attachment.
                if (status)
                    context.events.processEvents();
                showProgress();
                if (stopped)
                    break;
            } // 150
            op.step(152, [&] { pointer(kBusyPointer); });
            ++messagesDone;
            showProgress();
            if (stopped)
                break;
        } // 154
    }
    op.step(156, [&] { pointer(kDefaultPointer); });
    if (status && working) {
        QString text = QStringLiteral("Saved %1 (%2) to %3")
                           .arg(countText(written.files, "attachment", "attachments"), sizeText(written.bytes),
                                shownLocation());
        if (stopped)
            text = QStringLiteral("Stopped after %1: ").arg(countText(messagesDone, "message", "messages")) + text;
        text += QStringLiteral(" in %1.").arg(durationText(pace.elapsedMs()));
        if (failedSaves > 0)
            text += QStringLiteral(" %1 could not be saved.").arg(countText(failedSaves, "attachment", "attachments"));
        status->finished(text, written.files > 0 ? lastFolder : QString());
    }
    // A run the user stopped did not get to its end; the status line says so.
    if (stopped)
        return;
    op.step(158, [&] {
        context.dialogs.messageBox(QStringLiteral("Done."), MsgButtons::Ok, MsgIcon::None, QString());
    });
}

} // namespace pw
