#pragma once
// In-memory stand-in for the mail object model, for tests of the code that
// scans folders and saves attachments. It implements every interface of
// outlook/outlookmodel.h over plain data that a test builds in a few lines:
//
//   auto outlook = FakeOutlook::create();
//   auto &root = outlook->addStore("Personal Folders");
//   auto &inbox = root.addFolder("Inbox");
//   inbox.addMail()
//       .sender("Ann Lee", "ann@example.com")          // type "SMTP" by default
//       .subject("Invoice")
//       .received(QDateTime(QDate(2024, 3, 1), QTime(9, 30)))
//       .body("Please find it attached.")
//       .attach("invoice.pdf", "%PDF-1.4 ...");
//   inbox.addItem(olContact).subject("Ann Lee");        // any class
//   outlook->addStoreFile("/tmp/x.pst", "Archive")      // opened by AddStore; once open,
//       .addFolder("Old").addMail().subject("...");     // StoreRootOf("/tmp/x.pst") finds it
//   auto guard = outlook->install();                    // ObjectFactory now creates fakes
//
// Making things fail:
//   outlook->failOn("Application.create");              // no Outlook on this machine
//   outlook->failOn("Namespace.AddStore", "Disk gone", 1);  // only the next call
//   outlook->failOn("Item.SenderEmailAddress");         // on every item
//   inbox.fail("Items.count");                          // on this folder only
//   mail.fail("Subject", "Corrupt property");           // on this item only
//   attachment.fail("SaveAsFile");
// Keys given to failOn are "Object.Member" with Object one of Application,
// Namespace, Folders, Folder, Items, Item, Attachments, Attachment; keys given
// to a folder/item/attachment's fail() are the member names of that object,
// or "Folders.count", "Folders.Item", "Folders.GetLast", "Items.count",
// "Items.Item" (folder) and "Attachments.count", "Attachments.Item" (item)
// for its collections. `times` < 0 means every call from now on.
//
// Observing:
//   outlook->calls()            every member call, e.g. "Namespace.AddStore(/tmp/x.pst)",
//                               "Attachment.SaveAsFile(/out/invoice.pdf)", "Item.Subject"
//   outlook->liveApplications() application objects not yet released
//   outlook->openStoreNames()   root names of the open stores, in order
//
// The data may be changed while objects are held (a nested operation
// removing items, say): collections read the current data at every call
// and index errors throw like any other failure.
#include "outlook/outlookmodel.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace pw::outlook::fake {

class FakeOutlook;

// Members made to fail; shared by the world and each data node.
class FailureSet {
public:
    void add(const QString &key, const QString &text, int times);
    void clear() { m_entries.clear(); }
    // Throws pw::Error when `key` is set to fail (and counts the use).
    void check(const QString &key, const QString &context);

private:
    struct Entry {
        QString text;
        int remaining = -1;
    };
    QHash<QString, Entry> m_entries;
};

class FakeAttachment {
public:
    FakeAttachment &fileName(const QString &name) { m_fileName = name; return *this; }
    FakeAttachment &content(const QByteArray &bytes) { m_content = bytes; return *this; }
    // A link/OLE attachment: SaveAsFile throws, as the engine does for them.
    FakeAttachment &withoutData() { m_hasData = false; return *this; }
    // How much one read of a save with progress takes in (1 MiB unless set).
    FakeAttachment &readSize(qint64 bytes) { m_readSize = bytes; return *this; }
    FakeAttachment &fail(const QString &member, const QString &text = {}, int times = -1) {
        m_failures.add(member, text, times);
        return *this;
    }

    QString m_fileName;
    QByteArray m_content;
    bool m_hasData = true;
    qint64 m_readSize = 1 << 20;
    FailureSet m_failures;
};

class FakeItem {
public:
    explicit FakeItem(QString entryId, int objectClass) : m_entryId(std::move(entryId)), m_class(objectClass) {}

    FakeItem &objectClass(int value) { m_class = value; return *this; }
    FakeItem &subject(const QString &text) { m_subject = text; return *this; }
    FakeItem &body(const QString &text) { m_body = text; return *this; }
    FakeItem &sender(const QString &name, const QString &address = {}, const QString &type = QStringLiteral("SMTP")) {
        m_senderName = name;
        m_senderAddress = address;
        m_senderType = type;
        return *this;
    }
    FakeItem &received(const QDateTime &when) { m_received = when; return *this; }
    FakeItem &entryId(const QString &id) { m_entryId = id; return *this; }
    // Adds an attachment and returns the item, for chaining.
    FakeItem &attach(const QString &fileName, const QByteArray &content = {}) {
        addAttachment(fileName, content);
        return *this;
    }
    // Adds an attachment and returns it, to set it up further.
    FakeAttachment &addAttachment(const QString &fileName, const QByteArray &content = {});
    void removeAttachment(int index0) { m_attachments.erase(m_attachments.begin() + index0); }
    FakeItem &fail(const QString &member, const QString &text = {}, int times = -1) {
        m_failures.add(member, text, times);
        return *this;
    }

    QString m_entryId;
    int m_class;
    QString m_subject;
    QString m_body;
    QString m_senderName;
    QString m_senderAddress;
    QString m_senderType;
    // Outlook's "no date" until a test sets one.
    QDateTime m_received = QDateTime(QDate(4501, 1, 1), QTime(0, 0));
    std::vector<std::shared_ptr<FakeAttachment>> m_attachments;
    FailureSet m_failures;
};

class FakeFolder {
public:
    FakeFolder(FakeOutlook *world, QString name) : m_world(world), m_name(std::move(name)) {}

    FakeFolder &addFolder(const QString &name);
    // An item of any class; its EntryID is unique within the FakeOutlook.
    FakeItem &addItem(int objectClass);
    FakeItem &addMail() { return addItem(olMail); }
    void removeFolder(int index0) { m_folders.erase(m_folders.begin() + index0); }
    void removeItem(int index0) { m_items.erase(m_items.begin() + index0); }
    FakeFolder &rename(const QString &name) { m_name = name; return *this; }
    // The mail file the store is read from (a store's root only).
    FakeFolder &file(const QString &path) { m_filePath = path; return *this; }
    FakeFolder &fail(const QString &member, const QString &text = {}, int times = -1) {
        m_failures.add(member, text, times);
        return *this;
    }

    FakeOutlook *m_world;
    QString m_name;
    QString m_filePath;
    std::vector<std::shared_ptr<FakeFolder>> m_folders;
    std::vector<std::shared_ptr<FakeItem>> m_items;
    FailureSet m_failures;
};

class FakeOutlook : public std::enable_shared_from_this<FakeOutlook> {
public:
    static std::shared_ptr<FakeOutlook> create();

    // A store of the profile, open from the start; answers its root folder.
    FakeFolder &addStore(const QString &rootName);
    // A mail file that AddStore(path) opens as a further store.
    FakeFolder &addStoreFile(const QString &path, const QString &rootName);
    void setVersion(const QString &version) { m_version = version; }

    void failOn(const QString &key, const QString &text = {}, int times = -1) { m_failures.add(key, text, times); }
    void clearFailures() { m_failures.clear(); }

    // Makes ObjectFactory create applications of this fake until the guard
    // is dropped.
    std::unique_ptr<ScopedCreator> install();
    // The creator itself, for code that installs creators on its own.
    ObjectFactory::Creator creator();

    const QStringList &calls() const { return m_calls; }
    void clearCalls() { m_calls.clear(); }
    int liveApplications() const { return m_liveApplications; }
    QStringList openStoreNames() const;

    // Used by the fake objects.
    void record(const QString &call) { m_calls.append(call); }
    void check(const QString &key) { m_failures.check(key, QString()); }
    QString nextEntryId();
    std::shared_ptr<FakeItem> findItem(const QString &entryId) const;

    QString m_version = QStringLiteral("16.0");
    // What the profile says of its files: how many it names (-1: cannot
    // tell) and those that could not be opened.
    int m_profileFileCount = -1;
    QStringList m_profileFailures;
    std::vector<std::shared_ptr<FakeFolder>> m_openStores;
    QHash<QString, std::shared_ptr<FakeFolder>> m_storeFiles;
    FailureSet m_failures;
    QStringList m_calls;
    int m_liveApplications = 0;
    quint64 m_nextId = 1;
};

} // namespace pw::outlook::fake
