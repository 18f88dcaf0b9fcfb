#pragma once
// How parcelwise-cli writes its records: text fields escaped so that one
// record is one line and nothing reaches the terminal as a control byte,
// paths as the bytes the file system holds, and each record handed to the
// kernel in one write so that lines of processes sharing a pipe never mix.
#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace pw::cli {

// A text field of a plain line: "\\", "\t", "\n", "\r" and the other
// control characters (C0, DEL, C1) as "\xHH"; everything else as UTF-8.
QByteArray escapeText(const QString &text);
// A path of a plain line: its bytes as they are, with the same escapes for
// the backslash and control bytes; bytes that are not UTF-8 stay as they are.
QByteArray escapeBytes(const QByteArray &bytes);
// The reverse of escapeText, for what a user copies from a plain line
// ("--folder"). A lone or unknown escape is taken literally.
QString unescapeText(const QString &text);

// Puts a path into a JSON record: `key` holds it as text (U+FFFD where its
// bytes are not UTF-8) and, only then, `key`_bytes holds the exact bytes in
// base64.
void insertPath(QJsonObject &object, const QString &key, const QByteArray &path);

// The path as text for messages to the user (U+FFFD where not UTF-8).
QString pathText(const QByteArray &path);

// Writes `record` to `fd` with one write call where the kernel takes it
// whole (a pipe takes up to 4 KiB at once, a file any size); the rest, if
// any, follows. Answers false when the output is gone.
bool writeRecord(int fd, const QByteArray &record);

} // namespace pw::cli
