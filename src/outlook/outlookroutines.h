#pragma once
#include "outlook/outlookmodel.h"

#include <QDateTime>
#include <QString>

namespace pw::Outlook1 {

// Folders of mail files the user added to the profile from the window,
// looked in beside ~/Documents/Outlook Files when PARCELWISE_PROFILE is not
// set. Kept in the settings.
QStringList addedStoreFolders();
void addStoreFolder(const QString &folder);
// Where the profile's mail files are looked for, for the user to read.
QString storePlacesText();

// True when an Outlook application object can be created; never reports.
bool IsOutlookInstalled();

// True when the profile names no mail file at all, so a scan of it could
// only list nothing; false when it names some, or cannot tell. Opens no
// store and never reports.
bool ProfileHasNoStoreFile();

// Outlook's "no date" (1 January 4501), which a list shows as an empty cell.
bool isNoDate(const QDateTime &when);

// A received time as the "Date" column shows it: the locale's short date,
// a space and the time with seconds; no time part at exactly midnight.
QString receivedTimeText(const QDateTime &when);
// The Date cell of a row: the received time, or nothing for Outlook's "no
// date". A search tests this text, the one the user sees.
QString shownReceivedTime(const QDateTime &when);

// The leading decimal number of a version text ("16.0.4266" -> 16), to the
// nearest whole number; throws pw::Error when there is none.
int majorVersion(const QString &version);

// The root of the open store read from the PST file at `path`, or null
// when none is open; never throws.
outlook::FolderPtr findOpenStore(const outlook::NamespacePtr &ns, const QString &path);

// Opens the PST file at `path` as one more store and answers its root,
// found by the file's path, so a failed or doubled mount is never mistaken
// for another store. Throws pw::Error when it cannot be opened or told apart.
outlook::FolderPtr addStoreFile(const outlook::NamespacePtr &ns, const QString &path);

} // namespace pw::Outlook1
