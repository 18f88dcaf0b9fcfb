#pragma once
// The mail object model the program talks to: the handful of Outlook
// objects and members it uses, and nothing more. The shipped program gets
// them from the mail-store engine on our own PST/OST reader; tests put an in-memory fake in
// its place through ObjectFactory.
//
// Conventions shared by every implementation:
// - Every member that fails throws pw::Error whose text says what failed and
//   why; callers report it through the error box and carry on.
// - Objects are handed out as std::shared_ptr. Whatever an object needs to
//   work (the open store, the session) it keeps alive itself, so dropping
//   the application while a folder or item is still held is safe, and a
//   nested operation cannot leave another one with a dangling object.
//   Releasing the last reference is the only "release"; nothing else needs
//   to be called.
// - Collections are 1-based: Item(1) .. Item(count()). An index outside that
//   range throws.
// - Member names follow Outlook's, including the three it spells in lower
//   case ("count", "name", "fileName").
#include <QDateTime>

#include <cstdint>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace pw::outlook {

class Application;
class Namespace;
class Folders;
class Folder;
class Items;
class Item;
class Attachments;
class Attachment;

using ApplicationPtr = std::shared_ptr<Application>;
using NamespacePtr = std::shared_ptr<Namespace>;
using FoldersPtr = std::shared_ptr<Folders>;
using FolderPtr = std::shared_ptr<Folder>;
using ItemsPtr = std::shared_ptr<Items>;
using ItemPtr = std::shared_ptr<Item>;
using AttachmentsPtr = std::shared_ptr<Attachments>;
using AttachmentPtr = std::shared_ptr<Attachment>;

// Values of Item::Class() (Outlook's OlObjectClass numbers).
enum ObjectClass : int {
    olAppointment = 26,
    olContact = 40,
    olDocument = 41,
    olJournal = 42,
    olMail = 43,
    olNote = 44,
    olPost = 45,
    olReport = 46,
    olTask = 48,
    olTaskRequest = 49,
    olTaskRequestUpdate = 50,
    olTaskRequestAccept = 51,
    olTaskRequestDecline = 52,
    olMeetingRequest = 53,
    olMeetingCancellation = 54,
    olMeetingResponseNegative = 55,
    olMeetingResponsePositive = 56,
    olMeetingResponseTentative = 57,
    olDistributionList = 69,
};

// The class name the program creates.
inline constexpr const char *kApplicationClass = "Outlook.Application";

class Attachment {
public:
    virtual ~Attachment() = default;
    // The attachment's file name; empty when it has none.
    virtual QString fileName() = 0;
    // The attachment's content id (without angle brackets), by which an
    // HTML body shows it inline as "cid:..."; empty when it has none or the
    // model cannot tell.
    virtual QString contentId() { return QString(); }
    // Writes the attachment's content to `path` (a full file path),
    // replacing a file of that name. On failure nothing is left at `path`
    // that was not there before.
    virtual void SaveAsFile(const QString &path) = 0;

    // Told, between the reads of a save, how many bytes are written and how
    // many there are in all (0 when not known). Answers false to stop: the
    // save then throws pw::Stopped and leaves nothing at its path.
    using SaveProgress = std::function<bool(std::uint64_t written, std::uint64_t total)>;
    // SaveAsFile with progress and a way to stop between reads. Models that
    // cannot tell progress save in one go.
    virtual void SaveAsFile(const QString &path, const SaveProgress &progress) {
        (void)progress;
        SaveAsFile(path);
    }
};

class Attachments {
public:
    virtual ~Attachments() = default;
    virtual int count() = 0;
    virtual AttachmentPtr Item(int index) = 0;
};

class Item {
public:
    virtual ~Item() = default;
    // ObjectClass value; olMail (43) for a mail message.
    virtual int Class() = 0;
    virtual AttachmentsPtr Attachments() = 0;
    virtual QString SenderName() = 0;
    virtual QString SenderEmailAddress() = 0;
    // "SMTP" for an Internet address, "EX" for an Exchange one.
    virtual QString SenderEmailType() = 0;
    // Local time. An item without any date reads 1 January 4501 00:00,
    // Outlook's "no date".
    virtual QDateTime ReceivedTime() = 0;
    virtual QString Subject() = 0;
    virtual QString Body() = 0;
    // The HTML body as the message stores it; empty when it has none or
    // the model cannot tell.
    virtual QString HTMLBody() { return QString(); }
    // Upper-case hex; stays valid for Namespace::GetItemFromID while the
    // item's store is open.
    virtual QString EntryID() = 0;
};

class Items {
public:
    virtual ~Items() = default;
    virtual int count() = 0;
    virtual ItemPtr Item(int index) = 0;
};

class Folder {
public:
    virtual ~Folder() = default;
    // Display name (the folder's default value).
    virtual QString name() = 0;
    virtual FoldersPtr Folders() = 0;
    virtual ItemsPtr Items() = 0;
    // The mail file the folder's store is read from; empty text when the
    // object model cannot tell.
    virtual QString StoreFilePath() { return {}; }
};

class Folders {
public:
    virtual ~Folders() = default;
    virtual int count() = 0;
    virtual FolderPtr Item(int index) = 0;
    // The last folder of the collection; for the namespace's roots after
    // AddStore, the root of the store just added. Throws when empty.
    virtual FolderPtr GetLast() = 0;
};

class Namespace {
public:
    virtual ~Namespace() = default;
    // The root folders of the open stores, one per store, in profile order.
    virtual FoldersPtr Folders() = 0;
    // Opens the mail file at `path` as one more store, the last one.
    virtual void AddStore(const QString &path) = 0;
    // Closes the store whose root folder is `root`.
    virtual void RemoveStore(const FolderPtr &root) = 0;
    // The root folder of the open store read from the file at `path` (the
    // same file however the path is written), or null when no open store
    // comes from that file. Object models that cannot tell answer null.
    virtual FolderPtr StoreRootOf(const QString &path) {
        (void)path;
        return nullptr;
    }
    // The item with that EntryID in one of the open stores.
    virtual ItemPtr GetItemFromID(const QString &entryId) = 0;
    // The profile's mail files that could not be opened, one text each
    // naming the file and the cause; their stores are not among Folders().
    // Object models that cannot tell answer none.
    virtual QStringList ProfileFailures() { return {}; }
};

class Application {
public:
    virtual ~Application() = default;
    // Version text, e.g. "16.0"; its leading number is the major version.
    virtual QString Version() = 0;
    // The namespace of the current profile; `type` must be "MAPI".
    virtual NamespacePtr GetNamespace(const QString &type) = 0;
    // How many mail files the profile names, opened or not; -1 when the
    // object model cannot tell. Opens nothing.
    virtual int ProfileFileCount() { return -1; }
};

// Creates objects by class name, as the program would on a machine with
// Outlook. The program's main installs the mail-store engine's creator;
// tests install a fake. Without a creator, or when the creator fails,
// creation throws as it would on a machine without Outlook.
class ObjectFactory {
public:
    // Answers a new application object for the class name, or throws.
    using Creator = std::function<ApplicationPtr(const QString &className)>;

    // Creates a new object of that class (normally kApplicationClass).
    static ApplicationPtr create(const QString &className);

    // Installs `creator` and answers the one it replaces. An empty creator
    // makes every creation fail.
    static Creator setCreator(Creator creator);
};

// Installs a creator for the lifetime of the guard, then puts the previous
// one back. Meant for tests.
class ScopedCreator {
public:
    explicit ScopedCreator(ObjectFactory::Creator creator)
        : m_previous(ObjectFactory::setCreator(std::move(creator))) {}
    ~ScopedCreator() { ObjectFactory::setCreator(std::move(m_previous)); }
    ScopedCreator(const ScopedCreator &) = delete;
    ScopedCreator &operator=(const ScopedCreator &) = delete;

private:
    ObjectFactory::Creator m_previous;
};

// Class number for a message class such as "IPM.Note.SMIME" (case does not
// matter; an empty class counts as "IPM.Note"). Shared so every
// implementation classifies alike.
int objectClassFor(const QString &messageClass);

} // namespace pw::outlook
