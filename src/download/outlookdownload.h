#pragma once
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "core/workstatus.h"

#include <QString>
#include <functional>

namespace pw {

// What the download reads of the main window.
struct DownloadControls {
    std::function<QString()> choiceText;  // the "Download Option" entry shown
    std::function<void(int)> setPointer;  // the window's pointer kind
    // The PST file the list's rows came from; empty for the profile.
    std::function<QString()> sourcePstPath;
    // Let window events run once per attachment saved, so the window
    // repaints and Cancel can be pressed.
    EventPump *events = nullptr;
    // The window's status line: progress, Cancel (the run stops before the
    // next message) and the closing summary.
    WorkStatus *status = nullptr;
};

// "Start Downloading" of the main window: asks for the target folder, picks
// the rows by the download choice, reopens each message by its EntryID and
// writes every attachment into the folder. A name that is taken gets a
// number (report.pdf, report_1.pdf ...): no file is ever written over.
// Reports under "Form1.PushButton3_Click".
void OutlookDownload(Dialogs &dialogs, MessageListModel &list, const DownloadControls &controls);

} // namespace pw
