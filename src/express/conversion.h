#pragma once
// "Extract Emails With Attachment(s) From Outlook Express": the ticked .dbx
// files go through the converter, and the converted messages that have
// attachments fill the message list.
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "core/workstatus.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace pw {

// Lets the window end a conversion under way: the converter running at
// that moment is ended and waited for, and the conversion stops without
// starting, listing or showing anything more.
class ConversionStop {
public:
    // Ends the converter being waited for, if any, and returns once it has
    // ended; from then on the conversion stops at its next step.
    void stop(Launcher &launcher);
    bool requested() const { return m_requested; }

    // The converter being waited for (0: none); kept by RunAndWait.
    void setRunning(qint64 handle) { m_running = handle; }

private:
    qint64 m_running = 0;
    bool m_requested = false;
};

} // namespace pw

namespace pw::Shell32 {

// Starts the program of `commandLine`, split into arguments as a shell
// would split it (double quotes group; no shell is run), and waits for it,
// letting pending window events run every 100 ms. `windowStyle` is kept for
// its meaning on other systems (missing or outside 0..6 counts as 6); no
// program of ours opens a window. Returns the exit code, or, when the
// program cannot be started, its error number plus 0x80040000. With
// `stop`, the program can be ended from the window meanwhile; the wait then
// ends with the exit code it was ended with. With `cancelled`, asked at
// every poll, the user can stop the program the same way.
qint32 RunAndWait(Launcher &launcher, EventPump &events, const QString &commandLine,
                  std::optional<int> windowStyle = std::nullopt, ConversionStop *stop = nullptr,
                  const std::function<bool()> &cancelled = {});

} // namespace pw::Shell32

namespace pw {

// The per-user folder the converter writes the .eml files into
// ($XDG_CACHE_HOME/Parcelwise/eml), created (owner only) when missing.
// Nothing else lives there. Throws pw::Error when it cannot be created.
QString emlWorkingFolder();

// What the window hands the conversion.
struct ConversionContext {
    Dialogs &dialogs;
    EventPump &events;
    Launcher &launcher;
    MessageListModel &fileList;          // ListView1: one .dbx path per row
    MessageListModel &messageList;       // ListView2: emptied, then filled
    QStringList &emlFileNames;           // EmlFileNames: replaced, then filled in step with the rows
    QString applicationFolder;           // the converter is looked for here first (findConverter)
    // Where the .eml files go (emlWorkingFolder()); throws pw::Error when
    // the folder cannot be made.
    std::function<QString()> workingFolder;
    std::function<void(int)> setPointer; // the window's pointer: 0 default, 11 busy
    ConversionStop *stop = nullptr;      // set when the window may end the run
    // The window's status line: progress, Cancel (the converter under way
    // is ended; nothing more is converted or listed) and the summary.
    WorkStatus *status = nullptr;
};

// Form2.PushButton2_Click: deletes the old .eml files of the working
// folder, empties the message list and EmlFileNames, runs the converter once
// per ticked .dbx row (one after the other) and lists the new messages with
// attachments after each run, each message once. Every failure is reported
// with its step number and the run goes on; a converter that cannot be
// started is not reported. A working folder that cannot be made fails the
// step that first uses it (104) and no converter runs. Ends with "Done.",
// unless the window stopped the run.
void convertDbxFiles(const ConversionContext &context);

} // namespace pw
