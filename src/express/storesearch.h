#pragma once
// Module Express1: the Outlook Express store search and what it found.
// The .eml listing routines live in the same namespace (emllist.h).
#include <QString>
#include <QStringList>

namespace pw {
class Dialogs;
}

namespace pw::Express1 {

// Store folders of the last search, one per usable identity, in the
// registry's order of the identities.
extern QStringList StoreFolders;
// .dbx files found, folder by folder. The caller empties it before a search.
extern QStringList FoundDbxFiles;

// True when the identity name is nothing but zero characters and spaces.
bool IsBlankName(const QString &name);

// Finds the store folders (replacing StoreFolders) and appends their .dbx
// files to FoundDbxFiles. Throws pw::Error when the store folders cannot
// be found; a folder that is missing or holds no .dbx file adds nothing.
void FindStoreFiles(Dialogs &dialogs);

} // namespace pw::Express1
