#pragma once
// Saving a message's attachments into one folder with the naming routine:
// the safe name, a number when the name is taken, nothing written over,
// a winmail.dat wrapper replaced by the files inside it. Used by both
// windows' downloads and by the command line; Qt Core only.
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

#include "core/error.h"
#include "download/filenaming.h"
#include "platform/tnef/tnefreader.h"

namespace pw {

// One file a save left in the folder.
struct SavedFile {
    QString path;
    qint64 size = 0;
};

// Some of a wrapper's files were saved but not all of them, or the wrapper
// was damaged: the wrapper was kept beside them. `files` lists everything
// written, the wrapper included; the text says why.
class PartlySaved : public Error {
public:
    PartlySaved(const QString &text, QList<SavedFile> saved, bool stoppedOnRequest)
        : Error(text), files(std::move(saved)), stopped(stoppedOnRequest) {}
    QList<SavedFile> files;
    bool stopped = false; // the unpacking was stopped on request
};

// A winmail.dat wrapper whose files could not be unpacked was saved as it
// is, at `path`: nothing was lost, but the caller should say so.
class WrapperKept : public Error {
public:
    WrapperKept(const QString &text, QString keptPath) : Error(text), path(std::move(keptPath)) {}
    QString path;
};

class AttachmentSaver {
public:
    using Saved = SavedFile;
    // Writes the attachment as a new file at the path given; throws
    // NameTakenError when that name was taken meanwhile, pw::Error otherwise.
    using WriteTo = std::function<void(const QString &target)>;
    // Writes the attachment's content to the sink it is given.
    using WriteContent = std::function<void(const tnef::Sink &)>;

    // One saver per run: it remembers the names handed out in each folder,
    // so the thousandth copy of a name costs what the first did.
    explicit AttachmentSaver(QString folder = QString());

    // Off: a winmail.dat wrapper is saved as it is.
    void setUnpackTnef(bool unpack) { m_unpackTnef = unpack; }
    // What takes a name (by default anything at the path).
    void setTakenTest(std::function<bool(const QString &)> taken) { m_taken = std::move(taken); }
    // Runs once per renaming step (to let pending window events through).
    void setEachStep(std::function<void()> eachStep) { m_eachStep = std::move(eachStep); }
    // Told of every file the saver leaves in the folder, as it is written.
    void setOnFile(std::function<void(const Saved &)> onFile) { m_onFile = std::move(onFile); }
    // Asked before each file inside a wrapper; true stops the unpacking
    // there (the wrapper is then kept, and PartlySaved says so).
    void setStopRequested(std::function<bool()> stop) { m_stop = std::move(stop); }

    // Saves one attachment named `fileName` (as the message gives it) and
    // answers what was written: one file, or the files of a wrapper. Throws
    // pw::Error naming the file and the cause; nothing partial is left.
    // Throws PartlySaved when a wrapper's files were saved only in part, and
    // WrapperKept when a wrapper that cannot be read was kept as it is.
    QList<Saved> save(const QString &fileName, const QString &mimeType, const WriteTo &write);

    // The two halves of `save`, for callers that tell naming and writing
    // apart: the path in `folder` the attachment would be written to, then
    // the writing itself, which takes the next free name when another
    // program took that one meanwhile. `content`, when given, is used to
    // read a wrapper into an unnamed file; otherwise a wrapper is written
    // under a hidden name that is dropped as soon as it is open.
    QString pickName(const QString &folder, const QString &fileName, const QString &mimeType);
    QList<Saved> saveAt(const QString &folder, const QString &target, const QString &fileName, const QString &mimeType,
                        const WriteTo &write, const WriteContent &content = {});

    // The path `save` would write to, without writing anything; later
    // plans see the names planned before as taken.
    QString plan(const QString &fileName, const QString &mimeType);

    // Anything at the path (file, folder, hidden file, dangling link) takes
    // the name: nothing in the folder is ever written over.
    static bool anythingAt(const QString &path);

private:
    QString writeRetrying(const QString &folder, QString target, const QString &name, const WriteTo &write);
    Saved leave(const QString &path);
    QList<Saved> unpack(const QString &folder, const QString &target, const QString &name, QIODevice &wrapper);

    QString m_folder;
    TargetNamer m_names;
    bool m_unpackTnef = true;
    QSet<QString> m_planned;
    std::function<bool(const QString &)> m_taken = anythingAt;
    std::function<void()> m_eachStep;
    std::function<void(const Saved &)> m_onFile;
    std::function<bool()> m_stop;
};

} // namespace pw
