#pragma once
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "core/runguard.h"
#include "core/workstatus.h"
#include "outlook/mailselection.h"
#include "outlook/outlookmodel.h"

#include <QString>
#include <functional>

namespace pw {

class Operation;

// What the scan reads of the main window, read afresh at every use (the
// user may type while a scan runs).
struct ScanControls {
    std::function<bool()> option1Selected;  // source: the profile's stores
    std::function<bool()> option2Selected;  // source: one PST file
    std::function<QString()> pstPath;       // Text2, as typed
    std::function<QString()> searchText;    // Text1
    std::function<void(int)> setPointer;    // the window's pointer kind
    std::function<void()> redrawList;
    // The window's status line: progress, Cancel and the closing summary.
    WorkStatus *status = nullptr;
    // After the "not installed" box of a profile without mail files: the
    // window says where it looked and offers to add a folder.
    std::function<void()> noStoreFiles;
};

// The scan of the main window: fills the message list from the profile's
// stores or one PST file, optionally only messages with attachments or
// matching the search text. Reports under "Form1". One scan at a time: a
// scan button clicked while a scan runs is ignored.
class OutlookScan {
public:
    OutlookScan(Dialogs &dialogs, EventPump &events, MessageListModel &list, ScanControls controls);

    void PushButton1_Click();  // every mail message
    void PushButton4_Click();  // only those with attachments
    void PushButton2_Click();  // "Find"
    void PushButton8_Click();  // pick the PST file; `setPstPath` puts it into Text2
    void getAllEmailOutlook();
    void GetMailItems(int pLevel, const outlook::FolderPtr &pFld);
    bool MatchesSearchText(const QString &body, const QString &senderName, const QString &address,
                           const QString &receivedTime) const;

    std::function<void(const QString &)> setPstPath;

    // The program is ending: the scan under way stops at its next event
    // point and releases the mail store; no scan starts any more.
    void stop() { m_stopping = true; }
    bool scanning() const { return m_scanning.running(); }

    // Scan state, shared with the download.
    QString strRootName;
    // The mail file of the store being listed, named in each row's tooltip.
    QString m_rootFile;
    QString strTopFolderName;
    bool bWithAttachmentsOnly = false;
    bool bSearchMode = false;
    qint16 iOutlookVersion = 0;
    // The PST file the list's rows came from; empty when they came from the
    // profile. The download opens it again to reach the messages.
    QString listSourcePstPath;
    // What the last scan passed over that holds attachments.
    const selection::LeftOut &leftOut() const { return m_leftOut; }

private:
    void scanButton(const QString &operation, bool withAttachmentsOnly, bool presenceTest);
    void scan(const QString &operation, bool withAttachmentsOnly, bool presenceTest);
    void addRow(Operation &op, int firstLine, const outlook::ItemPtr &item, const QString &holder);
    void scanPstFile(Operation &op, const outlook::NamespacePtr &ns);
    // The scan ends here: the window closes, or the user cancelled.
    bool stopHere() const { return m_stopping || (m_controls.status && m_controls.status->cancelRequested()); }
    void showProgress(const outlook::FolderPtr &folder);
    void reportUnopenedFiles(const outlook::NamespacePtr &ns);
    void countTopFolderItems(const outlook::FolderPtr &root);
    void countNotMail(const outlook::ItemPtr &item);

    Dialogs &m_dialogs;
    EventPump &m_events;
    MessageListModel &m_list;
    ScanControls m_controls;
    RunGuard m_scanning;
    bool m_stopping = false;
    ProgressPace m_pace;
    selection::LeftOut m_leftOut;
};

} // namespace pw
