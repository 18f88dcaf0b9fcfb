#pragma once
// Module Express1, the .eml side: the message list of the Outlook Express
// window, filled from the converted .eml files.
#include "core/messagelistmodel.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace pw::Express1 {

// Appends to `list` one row (From, To, Subject, Date Received) and to
// `EmlFileNames` one name for each .eml file of `folder` that has at least
// one attachment and a non-empty "Date" header, in file-name order. Hidden
// files are not listed; a file whose name is in `EmlFileNames` already is
// not listed again. Header values are the raw text of their lines
// (GetHeaderValue), read without loading the whole file
// (ReadHeaderValues). Throws pw::Error for a file that cannot be read: the
// rows added before it stay, with their names, and later files are not
// looked at.
void ListEmlMessages(const QString &folder, MessageListModel &list, QStringList &EmlFileNames);

// The same, asking `beforeEach` before each file is looked at; when it
// answers false the listing stops there, every row added so far staying.
// The conversion lets window events run through it and shows progress.
using ListingHook = std::function<bool()>;
void ListEmlMessages(const QString &folder, MessageListModel &list, QStringList &EmlFileNames,
                     const ListingHook &beforeEach);

// The value of the first line of `messageText` that starts with
// `headerName` followed directly by ":" (letter case matters), with spaces
// trimmed at both ends; empty text when no line does. Lines end only at
// CR LF, and the whole text is searched, body included. No decoding, no
// unfolding.
QString GetHeaderValue(const QString &messageText, const QString &headerName);

// The values GetHeaderValue would find for each of `headerNames` (ASCII
// names) in the text of the file at `path`, in the same order, read a chunk
// at a time: reading stops once every name is found, and memory stays small
// whatever the size of the file. A value longer than kMaxHeaderValueBytes
// is cut there (a list cell never shows more). A missing file gives empty
// values; throws pw::Error when an existing path cannot be read.
QStringList ReadHeaderValues(const QString &path, const QStringList &headerNames);
inline constexpr qsizetype kMaxHeaderValueBytes = 64 * 1024;

// The whole content of a file as text (UTF-8 where valid, else one
// character per byte in Windows-1252); "empty file" for a file of length 0;
// empty text when the path does not exist. Throws pw::Error when an existing
// path cannot be read.
QString ReadFileText(const QString &path);

} // namespace pw::Express1
