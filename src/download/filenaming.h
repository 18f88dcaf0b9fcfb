#pragma once
// Naming rules shared by both attachment engines: what name an attachment
// may be written under, and how a taken name is made unique. Nothing here
// writes to disk.
#include <QHash>
#include <QString>

#include <functional>

namespace pw {

// The name an attachment is written under. Only the last component of a
// name holding "/" or "\" is kept, so no name reaches outside the target
// folder; control characters and the bidirectional controls that make a
// name read differently from what it is ("invoice" U+202E "fdp.exe") become
// "_"; leading dots are dropped, so no attachment becomes a hidden file. A
// name that is then empty or only spaces and dots becomes "attachment", with
// the usual extension of `mimeType` when one is known (e.g. "attachment.pdf"
// for "application/pdf"). A name longer than the file system takes (255
// bytes) is cut before its extension on a character boundary. Time is linear
// in the name's length.
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
QString numberedName(const QString &fileName, qint64 counter);

// Picks the paths one download run writes to. While a candidate is taken,
// the next renaming step is applied to the previous result, with a counter
// that starts at 1, so suffixes accumulate: report.pdf, report_1.pdf,
// report_1_2.pdf ... When an accumulated name would grow past 255 bytes, the
// counter goes onto the original name instead (report_86.pdf, report_87.pdf),
// so the names never run out. Only the file name is ever changed, never a
// folder of the Location.
//
// The namer remembers where each name's chain ended in this run, and the
// next copy of that name goes on from there: without that, the n-th copy of
// image001.jpg would test all n-1 names before it, and a mailbox full of
// them would take time in the square of its size. Keep one namer for the
// length of a run; a new run starts afresh and sees the folder as it is.
class TargetNamer {
public:
    // The path to write `fileName` to inside `location`. `eachStep` runs once
    // per renaming step (to let pending window events through). Throws
    // pw::Error when no free name is found within a million steps.
    QString uniqueTargetPath(const QString &location, const QString &fileName,
                             const std::function<void()> &eachStep = {},
                             const std::function<bool(const QString &)> &taken = isOrdinaryFile);

private:
    struct Chain {
        QString name;        // the name this chain last handed out
        qint64 counter = 1;  // the next renaming step's number
        bool accumulate = true;
    };
    QHash<QString, Chain> m_chains; // by the Location joined with the original name
};

// One name picked by a namer of its own, which starts from the bare name.
QString uniqueTargetPath(const QString &location, const QString &fileName,
                         const std::function<void()> &eachStep = {},
                         const std::function<bool(const QString &)> &taken = isOrdinaryFile);

} // namespace pw
