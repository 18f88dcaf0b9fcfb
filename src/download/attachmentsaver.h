#pragma once
// Saving a message's attachments into one folder with the naming routine:
// the safe name, a number when the name is taken, nothing written over,
// a winmail.dat wrapper replaced by the files inside it. Used by the main
// window's download and by the command line; Qt Core only.
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

#include "core/error.h"
#include "download/filenaming.h"

namespace pw {

// A winmail.dat wrapper whose files could not be unpacked was saved as it
// is, at `path`: nothing was lost, but the caller should say so.
class WrapperKept : public Error {
public:
    WrapperKept(const QString &text, QString keptPath) : Error(text), path(std::move(keptPath)) {}
    QString path;
};

class AttachmentSaver {
public:
    struct Saved {
        QString path;
        qint64 size = 0;
    };
    // Writes the attachment as a new file at the path given; throws
    // NameTakenError when that name was taken meanwhile, pw::Error otherwise.
    using WriteTo = std::function<void(const QString &target)>;

    // One saver per run and folder: it remembers the names handed out.
    explicit AttachmentSaver(QString folder);

    // Off: a winmail.dat wrapper is saved as it is.
    void setUnpackTnef(bool unpack) { m_unpackTnef = unpack; }

    // Saves one attachment named `fileName` (as the message gives it) and
    // answers what was written: one file, or the files of a wrapper. Throws
    // pw::Error naming the file and the cause; nothing partial is left. A
    // wrapper that cannot be read is kept as it is: WrapperKept.
    QList<Saved> save(const QString &fileName, const QString &mimeType, const WriteTo &write);

    // The path `save` would write to, without writing anything; later
    // plans see the names planned before as taken.
    QString plan(const QString &fileName, const QString &mimeType);

    // Anything at the path (file, folder, hidden file, dangling link) takes
    // the name: nothing in the folder is ever written over.
    static bool anythingAt(const QString &path);

private:
    QString saveUnder(const QString &name, const WriteTo &write);

    QString m_folder;
    TargetNamer m_names;
    bool m_unpackTnef = true;
    QSet<QString> m_planned;
};

} // namespace pw
