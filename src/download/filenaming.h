#pragma once
// Naming rules shared by both attachment engines: what name an attachment
// may be written under, and how a taken name is made unique. Nothing here
// writes to disk.
#include <QString>

#include <functional>

namespace pw {

// The name an attachment is written under. Only the last component of a
// name holding "/" or "\" is kept, so no name reaches outside the target
// folder; control characters become "_"; an empty, "." or ".." name becomes
// "attachment", with the usual extension of `mimeType` when one is known
// (e.g. "attachment.pdf" for "application/pdf"). A name longer than the
// file system takes (255 bytes) is shortened before its extension.
QString safeAttachmentName(const QString &name, const QString &mimeType = QString());

// The Location followed by the file name, with a "/" between the two unless
// the Location is empty or already ends with one.
QString joinLocation(const QString &location, const QString &fileName);

// True when `path` is an ordinary file: it exists, it is not a folder and its
// name is not hidden (does not start with "."). Any failure answers false.
bool isOrdinaryFile(const QString &path);

// One renaming step: "_" and the counter go directly before the last "." of
// `fileName`, or at its end when it has no ".": report.pdf -> report_1.pdf,
// README -> README_1.
QString numberedName(const QString &fileName, int counter);

// The path to write `fileName` to inside `location` without writing over a
// taken name. While the candidate is taken, the next renaming step is applied
// to the previous result, with a counter that starts at 1, so suffixes
// accumulate: report.pdf, report_1.pdf, report_1_2.pdf ... When an
// accumulated name would grow past 255 bytes, the counter goes onto the
// original name instead (report_86.pdf, report_87.pdf). Only the file name
// is ever changed, never a folder of the Location. `eachStep` runs once per
// renaming step (to let pending window events through). Throws pw::Error when
// no free name is found within 10,000 steps.
QString uniqueTargetPath(const QString &location, const QString &fileName,
                         const std::function<void()> &eachStep = {},
                         const std::function<bool(const QString &)> &taken = isOrdinaryFile);

} // namespace pw
