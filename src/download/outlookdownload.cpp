#include "download/outlookdownload.h"

#include "core/error.h"
#include "core/operation.h"
#include "download/attachmentsaver.h"
#include "download/folderpickers.h"
#include "outlook/mailselection.h"
#include "outlook/outlookroutines.h"
#include "outlook/outlookmodel.h"

#include <QFileInfo>

namespace pw {

using namespace outlook;

namespace {

template <class T> T &deref(const std::shared_ptr<T> &p) {
    if (!p)
        throw Error("Object variable not set");
    return *p;
}

// What a run has written so far.
struct Written {
    qint64 files = 0;
    qint64 bytes = 0;
};

// Writes one attachment into the run's folder under its safe, unique name;
// a winmail.dat wrapper is replaced by the files inside it. Adds what it
// wrote to `written`.
// `saving` names the file being written, for the progress line.
void saveAttachment(Attachment &attachment, AttachmentSaver &saver, Written &written,
                    const Attachment::SaveProgress &progress, QString &saving) {
    const auto count = [&](const QList<SavedFile> &saved) {
        for (const auto &file : saved) {
            ++written.files;
            written.bytes += file.size;
        }
    };
    try {
        count(saver.save(attachment.fileName(), QString(), [&](const QString &target) {
            saving = QFileInfo(target).fileName();
            attachment.SaveAsFile(target, progress);
        }));
    } catch (const PartlySaved &e) {
        count(e.files); // a wrapper's files, written before the report
        throw;
    }
}

enum class Choice { Checked, All, FolderName };

} // namespace

void OutlookDownload(Dialogs &dialogs, MessageListModel &list, const DownloadControls &controls) {
    Operation op(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
    QString target;
    op.step(100, [&] { target.clear(); });
    op.step(102, [&] { target = BrowseDirectory(dialogs); });
    if (op.test(104, [&] { return target.isEmpty(); }))
        return;

    const QString choice = controls.choiceText();
    QString folderName;
    static const char *const fixed[] = {"Inbox", "Outbox", "Drafts", "Sent Items", "Deleted Items"};
    bool named = false;
    for (int k = 0; k < 5 && !named; ++k) {
        if (op.test(106 + 4 * k, [&] { return choice == QLatin1String(fixed[k]); })) {
            op.step(108 + 4 * k, [&] { folderName = QLatin1String(fixed[k]); });
            named = true;
        }
    }
    if (!named && op.test(126, [&] { return choice == QLatin1String("User-specified Folder"); })) {
        op.step(128, [&] {
            folderName = dialogs.inputBox(QStringLiteral("Enter folder name: "), QStringLiteral("Input Folder Name"),
                                          QStringLiteral("Inbox"));
        });
        if (op.test(130, [&] { return folderName.trimmed().isEmpty(); }))
            return;
    }

    op.step(132, [&] { controls.setPointer(11); });
    ApplicationPtr app;
    NamespacePtr ns;
    op.step(134, [&] { app = ObjectFactory::create(QString::fromLatin1(kApplicationClass)); });
    op.step(136, [&] { ns = deref(app).GetNamespace(QStringLiteral("MAPI")); });
    // Rows from a PST file need that file open again: the scan closed it.
    FolderPtr mountedRoot;
    const QString pst = controls.sourcePstPath ? controls.sourcePstPath() : QString();
    if (!pst.isEmpty() && ns && !Outlook1::findOpenStore(ns, pst))
        op.step(136, [&] { mountedRoot = Outlook1::addStoreFile(ns, pst); });

    Choice mode = Choice::FolderName;
    if (op.test(170, [&] { return choice == QLatin1String("Checked Items"); }))
        mode = Choice::Checked;
    else if (op.test(194, [&] { return choice == QLatin1String("All"); }))
        mode = Choice::All;
    // Line numbers of the three loops: the checked-items loop, "All", and a folder name.
    struct Lines {
        int start, count, loop, select, counted, reopen, attachments, save, nextAttachment, nextRow;
    };
    static const Lines kLines[] = {{172, 174, 176, 178, 180, 184, 186, 188, 190, 192},
                                   {196, 198, 200, 0, 202, 206, 208, 210, 212, 214},
                                   {216, 218, 220, 222, 224, 228, 230, 232, 234, 236}};
    const Lines &L = kLines[static_cast<int>(mode)];

    int row = 1;
    int selected = 0;
    AttachmentSaver saver(target);
    Written written;
    qint64 messagesDone = 0;
    qint64 failedSaves = 0;
    ProgressPace pace;
    WorkStatus *status = controls.status;
    const auto cancelled = [status] { return status && status->cancelRequested(); };
    if (status)
        status->started(QStringLiteral("Saving attachments to %1 ...").arg(target));
    // How many messages the run will go through, for "n of N".
    qint64 toDo = 0;
    for (int r = 0; r < list.count(); ++r) {
        if (mode == Choice::All || (mode == Choice::Checked && list.isChecked(r))
            || (mode == Choice::FolderName && selection::matchesFolderName(folderName, list.text(r, 1), list.text(r, 2))))
            ++toDo;
    }
    const auto doneText = [&] {
        return QStringLiteral("%1 of %2 done, %3 saved (%4) to %5")
            .arg(countText(messagesDone), countText(toDo, "message", "messages"),
                 countText(written.files, "attachment", "attachments"), sizeText(written.bytes), target);
    };
    const auto showProgress = [&] {
        if (status && pace.due())
            status->progress(doneText());
    };
    // A large attachment moves the line by its bytes, and the window stays
    // live between its reads: Cancel or closing stops it there, and the
    // save leaves no part of the file behind.
    QString savingName;
    const Attachment::SaveProgress saveProgress = [&](std::uint64_t bytes, std::uint64_t total) {
        if (status && pace.due())
            status->progress(doneText() + QStringLiteral("; saving %1: %2 of %3")
                                              .arg(savingName, sizeText(static_cast<qint64>(bytes)),
                                                   sizeText(static_cast<qint64>(total))));
        // After the last read the events run once the attachment is saved.
        if (controls.events && bytes < total)
            controls.events->processEvents();
        // A file read to its end is kept: the stop then comes before the
        // next message, as for any other.
        return bytes >= total || !cancelled();
    };
    op.step(L.start, [&] { row = 1; });
    op.step(L.count, [&] { selected = 0; });
    bool stopped = false;
    while (op.test(L.loop, [&] { return row <= list.count(); })) {
        if (row > list.count())
            break; // a failing loop test must not run past the list
        // Cancel takes effect between messages: the one under way is
        // finished, and every file written is complete.
        if (cancelled()) {
            stopped = true;
            break;
        }
        const int r = row - 1;
        bool isSelected = true;
        if (mode == Choice::Checked)
            isSelected = op.test(L.select, [&] { return list.isChecked(r); });
        else if (mode == Choice::FolderName)
            isSelected = op.test(L.select, [&] { return selection::matchesFolderName(folderName, list.text(r, 1), list.text(r, 2)); });
        if (isSelected) {
            op.step(L.counted, [&] { ++selected; });
            ItemPtr item;
            op.step(L.reopen, [&] { item = deref(ns).GetItemFromID(list.text(r, 8)); });
            if (item) {
                AttachmentsPtr attachments;
                const int count = op.value(L.attachments, [&] {
                    attachments = item->Attachments();
                    return deref(attachments).count();
                }, 0);
                for (int a = 1; a <= count && !stopped; ++a) {
                    const int before = op.failures();
                    op.step(L.save, [&] {
                        const AttachmentPtr attachment = deref(attachments).Item(a);
                        try {
                            saveAttachment(deref(attachment), saver, written, saveProgress, savingName);
                        } catch (const Stopped &) {
                            // The user stopped it mid-file: not a failure.
                            stopped = true;
                        }
                    });
                    if (stopped)
                        break;
                    if (op.failures() != before)
                        ++failedSaves;
                    op.step(L.nextAttachment, [] {});
                    if (controls.events)
                        controls.events->processEvents();
                    showProgress();
                }
            }
            if (stopped)
                break;
            ++messagesDone;
            showProgress();
        }
        op.step(L.nextRow, [&] { ++row; });
    }

    if (mountedRoot)
        op.step(238, [&] { deref(ns).RemoveStore(mountedRoot); });
    op.step(238, [&] { ns.reset(); });
    op.step(240, [&] { app.reset(); });
    op.step(242, [&] { controls.setPointer(0); });
    if (status) {
        SaveTotals totals;
        totals.messages = messagesDone;
        totals.files = written.files;
        totals.bytes = written.bytes;
        totals.failed = failedSaves;
        totals.stopped = stopped;
        totals.ms = pace.elapsedMs();
        status->finished(savedText(totals, target), target);
    }
    // A run the user stopped did not get to its end; the status line says so.
    if (stopped)
        return;
    if (op.test(244, [&] { return selected == 0; }))
        op.step(250, [&] {
            dialogs.messageBox(QStringLiteral("No records selected"), MsgButtons::Ok, MsgIcon::Exclamation,
                               QStringLiteral("No records selected"));
        });
}

} // namespace pw
