#include "outlook/mailselection.h"

#include "core/error.h"
#include "outlook/outlookroutines.h"

namespace pw::selection {

namespace {
// Outlook's "no date" (1 January 4501) is no date.
QString isoDateText(const QDateTime &when) {
    if (!when.isValid() || when.date().year() >= 4501)
        return QString();
    return when.toUTC().toString(Qt::ISODate);
}
} // namespace

bool isSkippedFolder(const QString &folderName) {
    return folderName == QLatin1String("Internet Newsgroups") || folderName == QLatin1String("All Public Folders");
}

bool isMailClass(int objectClass) {
    return objectClass == outlook::olMail;
}

bool matchesSearchText(const QString &searchText, const QStringList &fields) {
    const QString wanted = searchText.toUpper();
    bool found = false;
    for (const QString &field : fields) {
        // Every field is tested, as the window does; no short cut.
        if (!field.isEmpty() && field.toUpper().contains(wanted))
            found = true;
    }
    return found;
}

bool matchesFolderName(const QString &folderName, const QString &topFolder, const QString &subfolder) {
    return topFolder == folderName || subfolder == folderName;
}

QString subfolderText(const QString &holder, const QString &topFolder) {
    return holder != topFolder ? holder : QString();
}

QString attachmentsText(int count) {
    return count > 0 ? QStringLiteral("Yes (%1)").arg(count) : QStringLiteral("No");
}

StoreWalk::StoreWalk(Filter filter, OnFound onFound, OnFailure onFailure, std::function<bool()> stop)
    : m_filter(std::move(filter)), m_onFound(std::move(onFound)), m_onFailure(std::move(onFailure)),
      m_stop(std::move(stop)) {}

void StoreWalk::walk(const outlook::FolderPtr &root) {
    if (!root)
        return;
    QStringList path;
    walkFolder(root, path);
    if (!stopping())
        listMessages(root, path);
}

const LeftOut &StoreWalk::leftOut() const {
    return m_leftOut;
}

// `path` names `folder` from the top level down; empty for the root.
void StoreWalk::walkFolder(const outlook::FolderPtr &folder, QStringList &path) {
    const QString where = path.isEmpty() ? QStringLiteral("the top of the store") : path.join(QLatin1Char('/'));
    outlook::FoldersPtr children;
    int count = 0;
    try {
        if (isSkippedFolder(folder->name()))
            return;
        children = folder->Folders();
        count = children ? children->count() : 0;
    } catch (const std::exception &e) {
        m_onFailure(where, QString::fromUtf8(e.what()));
        return;
    }
    for (int c = 1; c <= count && !stopping(); ++c) {
        outlook::FolderPtr child;
        QString name;
        try {
            child = children->Item(c);
            name = child->name();
        } catch (const std::exception &e) {
            m_onFailure(where, QString::fromUtf8(e.what()));
            continue;
        }
        path.append(name);
        walkFolder(child, path);
        listMessages(child, path);
        path.removeLast();
    }
}

void StoreWalk::listMessages(const outlook::FolderPtr &folder, const QStringList &path) {
    const bool inRoot = path.isEmpty();
    const QString where = inRoot ? QStringLiteral("the top of the store") : path.join(QLatin1Char('/'));
    outlook::ItemsPtr items;
    int count = 0;
    QString rootName;
    try {
        items = folder->Items();
        count = items ? items->count() : 0;
        if (inRoot && count > 0)
            rootName = folder->name();
    } catch (const std::exception &e) {
        if (!inRoot || m_filter.allItems)
            m_onFailure(where, QString::fromUtf8(e.what()));
        return;
    }
    for (int i = 1; i <= count; ++i) {
        if (stopping())
            return;
        Found found;
        bool passedOver = inRoot;
        bool notMail = false;
        try {
            outlook::ItemPtr item = items->Item(i);
            if (!item)
                continue;
            notMail = !isMailClass(item->Class());
            passedOver = inRoot || notMail;
            found.attachmentCount = item->Attachments()->count();
            // What the rules pass over is only counted when it has something
            // to save: the cost of looking further is spared otherwise.
            if (passedOver && !m_filter.allItems && found.attachmentCount == 0)
                continue;
            if (m_filter.withAttachmentsOnly && found.attachmentCount == 0)
                continue;
            found.topFolder = inRoot ? QString() : path.first();
            found.holder = inRoot ? rootName : path.last();
            if (m_filter.folderMode
                && !matchesFolderName(m_filter.folderName, found.topFolder, subfolderText(found.holder, found.topFolder))
                && !(m_filter.folderPathMatches && !inRoot && path.join(QLatin1Char('/')) == m_filter.folderName))
                continue;
            if (m_filter.searchMode
                && !matchesSearchText(m_filter.searchText,
                                      {item->Body(), item->SenderName(), item->SenderEmailAddress(),
                                       m_filter.searchIsoDate ? isoDateText(item->ReceivedTime())
                                                              : Outlook1::shownReceivedTime(item->ReceivedTime())}))
                continue;
            if (passedOver && !m_filter.allItems) {
                ++(inRoot ? m_leftOut.inTopFolder : m_leftOut.notMail);
                continue;
            }
            found.path = path;
            found.item = std::move(item);
        } catch (const std::exception &e) {
            // An item the rules pass over is only looked at to be counted: a
            // failure to read it is no failure of the listing.
            if (!(passedOver && !m_filter.allItems))
                m_onFailure(QStringLiteral("%1, message %2").arg(where).arg(i), QString::fromUtf8(e.what()));
            continue;
        }
        // Outside the try: what the caller throws (a stop) is the caller's.
        m_onFound(found);
    }
}

} // namespace pw::selection
