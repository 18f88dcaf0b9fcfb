#pragma once
// Saving the attachments of the ticked .eml messages of the Outlook Express
// window ("Start Downloading").
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "core/workstatus.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace pw {

// What the window hands the engine. Everything is read while the run goes
// on, so a change made meanwhile (the renaming loop lets window events
// through) is seen, and a shrunken list is never read out of range.
struct EmlSaveContext {
    Dialogs &dialogs;
    EventPump &events;
    MessageListModel &messageList;       // ListView2: one row per listed message
    const QStringList &emlFileNames;     // EmlFileNames: entry k belongs to row k
    QString workingFolder;               // where the listed .eml files lie
    std::function<QString()> location;   // the Location text (Text3), read afresh per attachment
    std::function<void(int)> setPointer; // the window's pointer: 0 default, 11 busy
    // The window's status line: progress, Cancel (the run stops before the
    // next message) and the closing summary.
    WorkStatus *status = nullptr;
};

// Form2.PushButton7_Click: for every ticked row, loads its .eml file and
// writes each attachment into the Location under its safe name, numbered
// when the name is taken (report.pdf, report_1.pdf, report_1_2.pdf), never
// over an existing file. Each failure is reported with its step number and
// the run goes on; it ends with "Done.". A run with ticked rows and an empty
// or relative Location is refused with a message before anything is written.
void saveEmlAttachments(const EmlSaveContext &context);

} // namespace pw
