#pragma once
// The mail files the command line reads, each turned into a stream of
// messages that passed the selection: .pst/.ost stores through the
// mail-store engine, .dbx files through the converter's reader (in memory,
// no .eml file written anywhere) and .eml files through the message reader.
#include "outlook/mailselection.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace pw::cli {

enum class SourceKind { Store, Dbx, Eml, Mbox, Tnef, Stdin };

// Paths are the bytes the file system holds (see nativepath.h).
struct SourceFile {
    QByteArray path;
    SourceKind kind;
};

// The files named on the command line: files as they are, folders by their
// .pst/.ost/.dbx/.eml files (hidden ones left out) in name order, their
// subfolders too when `recursive`. A name that is neither file nor folder,
// a file of another kind, or a folder or entry that cannot be read goes to
// `onProblem` with the cause.
QList<SourceFile> expandSources(const QList<QByteArray> &arguments, bool recursive,
                                const std::function<void(const QByteArray &path, const QString &why)> &onProblem);

// The kind a file's name says it holds, if any.
std::optional<SourceKind> kindOf(const QByteArray &path);

struct Attachment {
    QString name;      // as the message gives it
    QString mimeType;  // empty when the store does not say
    QString contentId;       // how an HTML body shows it inline ("cid:..."); may be empty
    QString contentLocation; // the same by location; may be empty
    // Writes the content as a new file at the path given (never over one,
    // never partly): throws NameTakenError for a taken name, pw::Error else;
    // IncompleteAttachmentError after saving what there is of an
    // attachment its message ends inside of.
    std::function<void(const QString &target)> writeTo;
};

// One selected message.
struct Message {
    QByteArray source;   // the file it came from
    QStringList folderPath; // folder names from the top down; empty for a loose .eml
    QString folder;      // top-level folder, and the holding one below
    QString subfolder;
    QDateTime date;      // invalid when the message has none
    QString sender;
    QString subject;
    QString id;          // EntryID; message number in a .dbx; file name of an .eml
    int attachmentCount = 0;
    // Reads the attachments; throws pw::Error when they cannot be read.
    std::function<QList<Attachment>()> attachments;
    // The HTML body, read when asked; empty when there is none.
    std::function<QString()> htmlBody;
};

struct ReadCallbacks {
    std::function<void(const Message &)> onMessage;
    // Something in the source failed: where in it, and why.
    std::function<void(const QString &where, const QString &why)> onFailure;
    std::function<bool()> stop;
    // Asked while an attachment is written: true ends the write, which
    // then leaves nothing behind.
    std::function<bool()> abandonWrite;
    // False when only the attachments and the id are wanted (saving with
    // plain output): the date, sender and subject of store messages are
    // then not read.
    bool details = true;
};

// The open stores of one run. They stay open until the run ends, so two
// copies of one store are told apart as the main window tells them apart.
class StoreSession {
public:
    StoreSession();
    ~StoreSession();
    // Walks the store in `path`; throws pw::Error when it cannot be opened.
    void read(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks);
    // Items with attachments the selection rules passed over, in all the
    // stores read so far.
    selection::LeftOut leftOut() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Throw pw::Error when the file cannot be read as a whole; failures of
// single messages go to the callbacks.
void readDbx(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks);
void readEml(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks);

// Thrown out of an attachment write that was abandoned.
class WriteAbandoned : public std::runtime_error {
public:
    WriteAbandoned() : std::runtime_error("stopped") {}
};

} // namespace pw::cli
