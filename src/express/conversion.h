#pragma once
// "Extract Emails With Attachment(s) From Outlook Express": the ticked .dbx
// files go through the converter, and the converted messages that have
// attachments fill the message list.
#include "app/core/messagelistmodel.h"
#include "app/core/ports.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace pw::Shell32 {

// Starts the program of `commandLine`, split into arguments as a shell
// would split it (double quotes group; no shell is run), and waits for it,
// letting pending window events run every 100 ms. `windowStyle` is kept for
// its meaning on other systems (missing or outside 0..6 counts as 6); no
// program of ours opens a window. Returns the exit code, or, when the
// program cannot be started, its error number plus 0x80040000.
qint32 RunAndWait(Launcher &launcher, EventPump &events, const QString &commandLine,
                  std::optional<int> windowStyle = std::nullopt);

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
    QString applicationFolder;           // the converter is this folder + "/unfurl"
    QString workingFolder;               // where the .eml files go (emlWorkingFolder())
    std::function<void(int)> setPointer; // the window's pointer: 0 default, 11 busy
};

// Form2.PushButton2_Click: deletes the old .eml files of the working
// folder, empties the message list and EmlFileNames, runs the converter once
// per ticked .dbx row (one after the other) and lists the new messages with
// attachments after each run, each message once. Every failure is reported
// with its step number and the run goes on; a converter that cannot be
// started is not reported. Ends with "Done.".
void convertDbxFiles(const ConversionContext &context);

} // namespace pw
