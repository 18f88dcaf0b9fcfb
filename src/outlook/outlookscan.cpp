#include "outlook/outlookscan.h"

#include "core/error.h"
#include "core/operation.h"
#include "outlook/mailselection.h"
#include "outlook/outlookroutines.h"

#include <QFileInfo>
#include <QHash>

namespace pw {

using namespace outlook;

namespace {
const QString kWindow = QStringLiteral("Form1");

// Only an ordinary file counts: not a folder, not a hidden file.
bool isOrdinaryFile(const QString &path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile() && !info.isHidden();
}

template <class T> T &deref(const std::shared_ptr<T> &p) {
    if (!p)
        throw Error("Object variable not set");
    return *p;
}

// How many open stores carry each display name. Read quietly: a root that
// cannot be read is reported when the walk reaches it.
QHash<QString, int> rootNameCounts(const FoldersPtr &roots, int count) {
    QHash<QString, int> counts;
    for (int i = 1; i <= count; ++i) {
        try {
            if (const FolderPtr root = deref(roots).Item(i))
                ++counts[root->name()];
        } catch (...) {
        }
    }
    return counts;
}

QString storeFileOf(const FolderPtr &root) {
    try {
        return root ? root->StoreFilePath() : QString();
    } catch (...) {
        return QString();
    }
}
} // namespace

OutlookScan::OutlookScan(Dialogs &dialogs, EventPump &events, MessageListModel &list, ScanControls controls)
    : m_dialogs(dialogs), m_events(events), m_list(list), m_controls(std::move(controls)) {}

void OutlookScan::PushButton1_Click() {
    scanButton(QStringLiteral("PushButton1_Click"), false, true);
}

void OutlookScan::PushButton4_Click() {
    scanButton(QStringLiteral("PushButton4_Click"), true, true);
}

void OutlookScan::PushButton2_Click() {
    scanButton(QStringLiteral("PushButton2_Click"), false, false);
}

// The scan buttons and "Find" share their checks; "Find" makes no presence
// test and sets the search mode.
void OutlookScan::scanButton(const QString &operation, bool withAttachmentsOnly, bool presenceTest) {
    if (m_stopping)
        return;
    m_scanning.run([&] { scan(operation, withAttachmentsOnly, presenceTest); });
}

void OutlookScan::scan(const QString &operation, bool withAttachmentsOnly, bool presenceTest) {
    Operation op(m_dialogs, kWindow, operation);
    const auto message = [&](int line, const QString &text, MsgIcon icon) {
        op.step(line, [&] { m_dialogs.messageBox(text, MsgButtons::Ok, icon, QString()); });
    };
    if (op.test(100, [&] { return m_controls.option2Selected(); })) {
        if (op.test(102, [&] { return m_controls.pstPath().trimmed().isEmpty(); })) {
            message(104, QStringLiteral("You forgot to input PST File."), MsgIcon::Exclamation);
            return;
        }
        if (op.test(106, [&] { return !isOrdinaryFile(m_controls.pstPath()); })) {
            message(108, QStringLiteral("PST File not found."), MsgIcon::Exclamation);
            return;
        }
    } else if (presenceTest) {
        // A profile without a single mail file is no more use than no Outlook.
        if (op.test(110, [&] { return !Outlook1::IsOutlookInstalled() || Outlook1::ProfileHasNoStoreFile(); })) {
            message(112, QStringLiteral("MS Outlook does not appear to be installed on this computer."),
                    MsgIcon::None);
            if (m_controls.noStoreFiles)
                m_controls.noStoreFiles();
            return;
        }
    }
    if (presenceTest) {
        op.step(116, [&] { m_list.clear(); });
        op.step(118, [&] { m_controls.redrawList(); });
        op.step(120, [&] { bWithAttachmentsOnly = withAttachmentsOnly; });
        op.step(122, [&] { getAllEmailOutlook(); });
    } else {
        op.step(110, [&] { m_list.clear(); });
        op.step(112, [&] { m_controls.redrawList(); });
        op.step(114, [&] { bWithAttachmentsOnly = false; });
        op.step(116, [&] { bSearchMode = true; });
        op.step(118, [&] { getAllEmailOutlook(); });
    }
}

void OutlookScan::getAllEmailOutlook() {
    Operation op(m_dialogs, kWindow, QStringLiteral("getAllEmailOutlook"));
    ApplicationPtr app;
    NamespacePtr ns;
    op.step(100, [&] { m_controls.setPointer(11); });
    m_pace = ProgressPace();
    m_leftOut = {};
    if (m_controls.status)
        m_controls.status->started(bSearchMode ? QStringLiteral("Searching the mail stores...")
                                               : QStringLiteral("Reading the mail stores..."));
    op.step(102, [&] { app = ObjectFactory::create(QString::fromLatin1(kApplicationClass)); });
    op.step(104, [&] { iOutlookVersion = static_cast<qint16>(Outlook1::majorVersion(deref(app).Version())); });
    op.step(106, [&] { ns = deref(app).GetNamespace(QStringLiteral("MAPI")); });
    if (op.test(108, [&] { return m_controls.option1Selected(); })) {
        listSourcePstPath.clear();
        FoldersPtr roots;
        const int count = op.value(110, [&] {
            roots = deref(ns).Folders();
            return deref(roots).count();
        }, 0);
        const QHash<QString, int> sharedNames = rootNameCounts(roots, count);
        for (int i = 1; i <= count; ++i) {
            op.step(112, [&] { m_events.processEvents(); });
            if (stopHere())
                break;
            FolderPtr root;
            op.step(114, [&] { root = deref(roots).Item(i); });
            m_rootFile = storeFileOf(root);
            op.step(116, [&] { strRootName = deref(root).name(); });
            // Stores that share a name ("Personal Folders") are told apart
            // by their files.
            if (sharedNames.value(strRootName) > 1 && !m_rootFile.isEmpty())
                strRootName += QStringLiteral(" (%1)").arg(QFileInfo(m_rootFile).fileName());
            op.step(118, [&] {
                deref(root);
                GetMailItems(1, root);
            });
            if (stopHere())
                break;
        }
        if (!m_stopping)
            reportUnopenedFiles(ns);
    } else if (op.test(122, [&] { return m_controls.option2Selected(); })) {
        scanPstFile(op, ns);
    }
    op.step(134, [&] { ns.reset(); });
    op.step(136, [&] { app.reset(); });
    op.step(138, [&] { m_controls.setPointer(0); });
    const bool searched = bSearchMode;
    op.step(140, [&] { bSearchMode = false; });
    if (m_controls.status && !m_stopping) {
        const QString listed = countText(m_list.count(), "message", "messages");
        const QString took = durationText(m_pace.elapsedMs());
        QString text = m_controls.status->cancelRequested()
                           ? QStringLiteral("Stopped: %1 listed before the stop, in %2").arg(listed, took)
                           : (searched ? QStringLiteral("Found %1 in %2") : QStringLiteral("Listed %1 in %2")).arg(listed, took);
        // Mail in a store's top folder and items that are not mail are not
        // listed; a newcomer whose list stays short is told they are there.
        if (m_leftOut.total() > 0)
            text += QStringLiteral("; %1 with attachments not listed: in a store's top folder or not mail")
                        .arg(countText(m_leftOut.total(), "item", "items"));
        m_controls.status->finished(text + QLatin1Char('.'));
    }
}

// The folder being read and the messages listed so far, a few times a
// second; reading the folder's name then is all it costs.
void OutlookScan::showProgress(const FolderPtr &folder) {
    if (!m_controls.status || !m_pace.due())
        return;
    QString where = strRootName;
    if (!strTopFolderName.isEmpty())
        where += QStringLiteral(" / ") + strTopFolderName;
    try {
        const QString name = folder ? folder->name() : QString();
        if (!name.isEmpty() && name != strTopFolderName)
            where += QStringLiteral(" / ") + name;
    } catch (...) {
    }
    m_controls.status->progress(
        QStringLiteral("%1 listed; reading %2").arg(countText(m_list.count(), "message", "messages"), where));
}

// Mail files of the profile that could not be opened are told once per
// scan, in one box; the stores that opened are listed as ever.
void OutlookScan::reportUnopenedFiles(const NamespacePtr &ns) {
    QStringList failures;
    try {
        if (ns)
            failures = ns->ProfileFailures();
    } catch (...) {
        return;
    }
    if (failures.isEmpty())
        return;
    QString text = failures.size() == 1
                       ? QStringLiteral("This mail file of your profile could not be opened; its messages are not listed:")
                       : QStringLiteral("These mail files of your profile could not be opened; their messages are not listed:");
    for (const QString &failure : std::as_const(failures))
        text += QStringLiteral("\r\n\r\n") + failure;
    m_dialogs.messageBox(text, MsgButtons::Ok, MsgIcon::Exclamation, QString());
}

// The PST file is mounted for the walk. It is found again by its path, so
// a failed mount lists nothing, and a file that was already one of the
// profile's stores is listed but left open.
void OutlookScan::scanPstFile(Operation &op, const NamespacePtr &ns) {
    const QString path = m_controls.pstPath();
    listSourcePstPath = path;
    FolderPtr root = Outlook1::findOpenStore(ns, path);
    const bool mountedHere = !root;
    if (mountedHere) {
        op.step(124, [&] { root = Outlook1::addStoreFile(ns, path); });
        if (!root)
            return;
    }
    m_rootFile = path;
    op.step(128, [&] { strRootName = deref(root).name(); });
    op.step(130, [&] { GetMailItems(1, root); });
    if (!mountedHere)
        return;
    if (m_stopping) {
        // The window has gone: the file is closed without a word.
        try {
            deref(ns).RemoveStore(root);
        } catch (...) {
        }
        return;
    }
    op.step(132, [&] { deref(ns).RemoveStore(root); });
}

// Counted quietly: these items are not listed, so a failure to read one
// is no failure of the scan.
void OutlookScan::countTopFolderItems(const FolderPtr &root) {
    try {
        const ItemsPtr items = deref(root).Items();
        const int count = deref(items).count();
        for (int i = 1; i <= count && !stopHere(); ++i) {
            try {
                const ItemPtr item = deref(items).Item(i);
                if (item && deref(item->Attachments()).count() > 0)
                    ++m_leftOut.inTopFolder;
            } catch (...) {
            }
        }
    } catch (...) {
    }
}

void OutlookScan::countNotMail(const ItemPtr &item) {
    try {
        if (item && deref(item->Attachments()).count() > 0)
            ++m_leftOut.notMail;
    } catch (...) {
    }
}

void OutlookScan::GetMailItems(int pLevel, const FolderPtr &pFld) {
    Operation op(m_dialogs, kWindow, QStringLiteral("GetMailItems"));
    if (op.test(100, [&] {
            return selection::isSkippedFolder(deref(pFld).name());
        }))
        return;
    if (pLevel == 1)
        countTopFolderItems(pFld);
    FoldersPtr children;
    const int childCount = op.value(102, [&] {
        children = deref(pFld).Folders();
        return deref(children).count();
    }, 0);
    for (int c = 1; c <= childCount; ++c) {
        FolderPtr child;
        op.step(102, [&] { child = deref(children).Item(c); });
        if (!child)
            continue; // the tree shrank meanwhile; reported above
        op.step(104, [&] { m_events.processEvents(); });
        if (stopHere())
            return;
        if (op.test(106, [&] { return pLevel == 1; }))
            op.step(108, [&] { strTopFolderName = child->name(); });
        op.step(110, [&] { GetMailItems(2, child); });
        if (stopHere())
            return;
        ItemsPtr items;
        QString childName;
        bool haveChildName = false;
        op.step(112, [&] { items = child->Items(); });
        const int itemCount = op.value(114, [&] { return deref(items).count(); }, 0);
        for (int i = 1; i <= itemCount; ++i) {
            op.step(116, [&] { m_events.processEvents(); });
            if (stopHere())
                return;
            showProgress(child);
            ItemPtr item;
            op.step(118, [&] { item = deref(items).Item(i); });
            if (!item)
                continue; // the folder shrank meanwhile; reported above
            if (!op.test(118, [&] { return selection::isMailClass(item->Class()); })) {
                countNotMail(item);
                continue;
            }
            bool take = true;
            if (op.test(122, [&] { return bWithAttachmentsOnly; })) {
                if (op.test(124, [&] { return deref(item->Attachments()).count() == 0; }))
                    op.step(126, [&] { take = false; });
            }
            if (!take)
                continue;
            if (!haveChildName) {
                // Read once per folder; a failure shows at the row's own step.
                try {
                    childName = child->name();
                    haveChildName = true;
                } catch (...) {
                }
            }
            if (op.test(130, [&] { return bSearchMode; })) {
                QString address;
                if (!op.test(132, [&] { return iOutlookVersion < 10; }))
                    op.step(134, [&] { address = item->SenderEmailAddress(); });
                if (op.test(138, [&] {
                        return MatchesSearchText(item->Body(), item->SenderName(), address,
                                                 Outlook1::shownReceivedTime(item->ReceivedTime()));
                    }))
                    addRow(op, 140, item, haveChildName ? childName : QString());
            } else {
                addRow(op, 170, item, haveChildName ? childName : QString());
            }
        }
    }
}

// Fills one row; `first` is 140 in search mode and 170 otherwise. A column
// whose value cannot be read stays empty and the next one is filled.
void OutlookScan::addRow(Operation &op, int first, const ItemPtr &item, const QString &holder) {
    QStringList row(9);
    op.step(first, [&] { row[0] = strRootName; });
    op.step(first + 2, [&] { row[1] = strTopFolderName; });
    if (op.test(first + 4, [&] { return !selection::subfolderText(holder, strTopFolderName).isEmpty(); }))
        op.step(first + 6, [&] { row[2] = holder; });
    else
        op.step(first + 8, [&] { row[2].clear(); });
    op.step(first + 10, [&] {
        const QDateTime when = item->ReceivedTime();
        row[3] = Outlook1::shownReceivedTime(when);
    });
    op.step(first + 12, [&] { row[4] = item->SenderName(); });
    if (op.test(first + 14, [&] { return iOutlookVersion < 10; })) {
        op.step(first + 22, [&] { row[5].clear(); });
    } else if (op.test(first + 16, [&] { return item->SenderEmailType() == QLatin1String("SMTP"); })) {
        op.step(first + 18, [&] { row[5] = item->SenderEmailAddress(); });
    } else {
        op.step(first + 20, [&] { row[5].clear(); });
    }
    op.step(first + 24, [&] {
        row[6] = selection::attachmentsText(deref(item->Attachments()).count());
    });
    op.step(first + 26, [&] { row[7] = item->Subject(); });
    op.step(first + 28, [&] { row[8] = item->EntryID(); });
    m_list.appendRow(row, m_rootFile.isEmpty() ? QString() : QStringLiteral("Mail file: ") + m_rootFile);
}

bool OutlookScan::MatchesSearchText(const QString &body, const QString &senderName, const QString &address,
                                    const QString &receivedTime) const {
    // The search box is read afresh for each message: typing during a
    // search applies to the messages tested afterwards.
    return selection::matchesSearchText(m_controls.searchText(), {body, senderName, address, receivedTime});
}

void OutlookScan::PushButton8_Click() {
    Operation op(m_dialogs, kWindow, QStringLiteral("PushButton8_Click"));
    QString title, filter;
    QStringList chosen;
    op.step(100, [&] { chosen.clear(); });
    op.step(102, [&] { title = QStringLiteral("Select PST File"); });
    op.step(104, [&] { filter = QStringLiteral("All PST Files (*.pst;*.ost)|*.pst;*.ost|"); });
    op.step(106, [&] { chosen = m_dialogs.openFiles(title, filter, false); });
    if (op.test(108, [&] { return !chosen.isEmpty() && !chosen.first().isEmpty(); }))
        op.step(110, [&] { setPstPath(chosen.first()); });
}

} // namespace pw
