#pragma once
// The selection rules of the message lists, in one place for both front
// ends: which folders are walked, which items are mail, what "Find" and a
// folder choice match, and the walk that applies them. Qt Core only; no
// window, no error box.
#include "outlook/outlookmodel.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace pw::selection {

// Folders that are never descended into (their direct messages are still
// listed by the parent's pass).
bool isSkippedFolder(const QString &folderName);

// True for the item class of a mail message; meeting requests, reports,
// contacts and the like are passed over.
bool isMailClass(int objectClass);

// "Find": true when `searchText`, compared without regard to case, occurs
// in one of the fields. An empty field matches nothing, so an empty search
// text matches every message that has a non-empty field.
bool matchesSearchText(const QString &searchText, const QStringList &fields);

// A folder choice ("Inbox", or a name the user typed) selects a message when
// the name equals its top-level folder or the folder that holds it: whole
// text, case-sensitive, untrimmed.
bool matchesFolderName(const QString &folderName, const QString &topFolder, const QString &subfolder);

// The "Subfolder" column: the holding folder's own name when it differs
// from the top-level folder, else empty.
QString subfolderText(const QString &holder, const QString &topFolder);

// The "Attachments" column: "Yes (3)" or "No".
QString attachmentsText(int count);

// What narrows a walk. Search and folder name are off when their optional
// text is absent.
struct Filter {
    bool withAttachmentsOnly = false;
    bool searchMode = false;
    QString searchText;
    bool folderMode = false;
    QString folderName;
    bool allItems = false;   // list items lying in a store's root and items of every class
    // The folder name also matches the whole folder path, names joined
    // with "/" from the top-level folder down (the command line's form).
    bool folderPathMatches = false;
    // Search sees the date as the command line prints it (ISO 8601, UTC)
    // instead of the window's form.
    bool searchIsoDate = false;
};

// Items with attachments that the rules passed over: those lying in a
// store's root and those that are not mail. Items the filter would have
// left out anyway are not counted.
struct LeftOut {
    int inTopFolder = 0;
    int notMail = 0;
    int total() const { return inTopFolder + notMail; }
};

// One message the walk selected, with where it lies.
struct Found {
    QString topFolder;     // the top-level folder it lies under
    QString holder;        // the folder that holds it
    QStringList path;      // folder names from the top-level folder down to the holder
    outlook::ItemPtr item;
    int attachmentCount = 0;
};

// Walks one store from its root, depth first, children before their
// parent's messages (the order the main window lists them in), and hands
// every selected mail message to `onFound`. Messages lying in the root
// itself are not listed, nor items of other classes, unless the filter asks
// for all items (the root's own items then come last, with an empty path);
// leftOut() counts those with attachments that were passed over. A failure to read a folder or a message is handed
// to `onFailure` with what was being read, and the walk goes on. `stop` is
// asked before every message; when it answers true the walk ends.
class StoreWalk {
public:
    using OnFound = std::function<void(const Found &)>;
    using OnFailure = std::function<void(const QString &where, const QString &why)>;

    StoreWalk(Filter filter, OnFound onFound, OnFailure onFailure, std::function<bool()> stop = {});
    void walk(const outlook::FolderPtr &root);
    const LeftOut &leftOut() const;   // items with attachments the rules passed over so far

private:
    void walkFolder(const outlook::FolderPtr &folder, QStringList &path);
    void listMessages(const outlook::FolderPtr &folder, const QStringList &path);
    bool stopping() const { return m_stop && m_stop(); }

    Filter m_filter;
    OnFound m_onFound;
    OnFailure m_onFailure;
    std::function<bool()> m_stop;
    LeftOut m_leftOut;
};

} // namespace pw::selection
