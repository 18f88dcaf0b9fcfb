#include "fakeoutlook.h"

#include "core/error.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace pw::outlook::fake {

void FailureSet::add(const QString &key, const QString &text, int times) {
    m_entries.insert(key, Entry{text, times});
}

void FailureSet::check(const QString &key, const QString &context) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->remaining == 0)
        return;
    if (it->remaining > 0)
        --it->remaining;
    QString text = it->text;
    if (text.isEmpty())
        text = QStringLiteral("The operation failed (%1%2).").arg(context, key);
    throw Error(text);
}

namespace {

using World = std::shared_ptr<FakeOutlook>;

// Records the call and throws when the world or the node is set to fail it.
void enter(FakeOutlook &world, FailureSet *node, const QString &object, const QString &member,
           const QString &nodeKey = {}, const QString &argument = {}) {
    const QString key = object + QLatin1Char('.') + member;
    world.record(argument.isNull() ? key : key + QLatin1Char('(') + argument + QLatin1Char(')'));
    world.check(key);
    if (node)
        node->check(nodeKey.isEmpty() ? member : nodeKey, QString());
}

template <class T>
const std::shared_ptr<T> &at(const std::vector<std::shared_ptr<T>> &list, int index, const char *what) {
    if (index < 1 || index > static_cast<int>(list.size()))
        throw Error(QStringLiteral("%1: index %2 is out of range (1 to %3).")
                        .arg(QLatin1String(what)).arg(index).arg(list.size()));
    return list[static_cast<size_t>(index - 1)];
}

class AttachmentObject : public Attachment {
public:
    AttachmentObject(World world, std::shared_ptr<FakeAttachment> data)
        : m_world(std::move(world)), m_data(std::move(data)) {}

    QString fileName() override {
        enter(*m_world, &m_data->m_failures, QStringLiteral("Attachment"), QStringLiteral("fileName"));
        return m_data->m_fileName;
    }

    void SaveAsFile(const QString &path) override {
        enter(*m_world, &m_data->m_failures, QStringLiteral("Attachment"), QStringLiteral("SaveAsFile"), {}, path);
        if (!m_data->m_hasData)
            throw Error(QStringLiteral("Cannot save the attachment \"%1\": it is a link or an embedded object and has no file data.")
                            .arg(m_data->m_fileName));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(m_data->m_content) != m_data->m_content.size()
            || !file.commit())
            throw Error(QStringLiteral("Cannot save the attachment to %1: %2")
                            .arg(QDir::toNativeSeparators(path), file.errorString()));
    }

    // Writes one read at a time and asks between reads whether to go on; a
    // stop leaves nothing at `path`.
    void SaveAsFile(const QString &path, const SaveProgress &progress) override {
        if (!progress)
            return SaveAsFile(path);
        enter(*m_world, &m_data->m_failures, QStringLiteral("Attachment"), QStringLiteral("SaveAsFile"), {}, path);
        if (!m_data->m_hasData)
            throw Error(QStringLiteral("Cannot save the attachment \"%1\": it is a link or an embedded object and has no file data.")
                            .arg(m_data->m_fileName));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            throw Error(QStringLiteral("Cannot save the attachment to %1: %2").arg(path, file.errorString()));
        const QByteArray &all = m_data->m_content;
        const qint64 step = std::max<qint64>(1, m_data->m_readSize);
        for (qint64 at = 0; at < all.size(); at += step) {
            const qint64 n = std::min<qint64>(step, all.size() - at);
            if (file.write(all.constData() + at, n) != n)
                throw Error(QStringLiteral("Cannot save the attachment to %1: %2").arg(path, file.errorString()));
            if (!progress(static_cast<std::uint64_t>(at + n), static_cast<std::uint64_t>(all.size()))) {
                file.cancelWriting();
                throw Stopped();
            }
        }
        if (!file.commit())
            throw Error(QStringLiteral("Cannot save the attachment to %1: %2").arg(path, file.errorString()));
    }

private:
    World m_world;
    std::shared_ptr<FakeAttachment> m_data;
};

class AttachmentsObject : public Attachments {
public:
    AttachmentsObject(World world, std::shared_ptr<FakeItem> item) : m_world(std::move(world)), m_item(std::move(item)) {}

    int count() override {
        enter(*m_world, &m_item->m_failures, QStringLiteral("Attachments"), QStringLiteral("count"),
              QStringLiteral("Attachments.count"));
        return static_cast<int>(m_item->m_attachments.size());
    }
    AttachmentPtr Item(int index) override {
        enter(*m_world, &m_item->m_failures, QStringLiteral("Attachments"), QStringLiteral("Item"),
              QStringLiteral("Attachments.Item"), QString::number(index));
        return std::make_shared<AttachmentObject>(m_world, at(m_item->m_attachments, index, "Attachments"));
    }

private:
    World m_world;
    std::shared_ptr<FakeItem> m_item;
};

class ItemObject : public Item {
public:
    ItemObject(World world, std::shared_ptr<FakeItem> data) : m_world(std::move(world)), m_data(std::move(data)) {}

    int Class() override { enter(QStringLiteral("Class")); return m_data->m_class; }
    AttachmentsPtr Attachments() override {
        enter(QStringLiteral("Attachments"));
        return std::make_shared<AttachmentsObject>(m_world, m_data);
    }
    QString SenderName() override { enter(QStringLiteral("SenderName")); return m_data->m_senderName; }
    QString SenderEmailAddress() override { enter(QStringLiteral("SenderEmailAddress")); return m_data->m_senderAddress; }
    QString SenderEmailType() override { enter(QStringLiteral("SenderEmailType")); return m_data->m_senderType; }
    QDateTime ReceivedTime() override { enter(QStringLiteral("ReceivedTime")); return m_data->m_received; }
    QString Subject() override { enter(QStringLiteral("Subject")); return m_data->m_subject; }
    QString Body() override { enter(QStringLiteral("Body")); return m_data->m_body; }
    QString EntryID() override { enter(QStringLiteral("EntryID")); return m_data->m_entryId; }

private:
    void enter(const QString &member) {
        fake::enter(*m_world, &m_data->m_failures, QStringLiteral("Item"), member);
    }

    World m_world;
    std::shared_ptr<FakeItem> m_data;
};

class ItemsObject : public Items {
public:
    ItemsObject(World world, std::shared_ptr<FakeFolder> folder) : m_world(std::move(world)), m_folder(std::move(folder)) {}

    int count() override {
        enter(*m_world, &m_folder->m_failures, QStringLiteral("Items"), QStringLiteral("count"), QStringLiteral("Items.count"));
        return static_cast<int>(m_folder->m_items.size());
    }
    ItemPtr Item(int index) override {
        enter(*m_world, &m_folder->m_failures, QStringLiteral("Items"), QStringLiteral("Item"), QStringLiteral("Items.Item"),
              QString::number(index));
        return std::make_shared<ItemObject>(m_world, at(m_folder->m_items, index, "Items"));
    }

private:
    World m_world;
    std::shared_ptr<FakeFolder> m_folder;
};

class FolderObject : public Folder {
public:
    FolderObject(World world, std::shared_ptr<FakeFolder> data) : m_world(std::move(world)), m_data(std::move(data)) {}

    QString name() override {
        enter(*m_world, &m_data->m_failures, QStringLiteral("Folder"), QStringLiteral("name"));
        return m_data->m_name;
    }
    QString StoreFilePath() override { return m_data->m_filePath; }
    FoldersPtr Folders() override;
    ItemsPtr Items() override {
        enter(*m_world, &m_data->m_failures, QStringLiteral("Folder"), QStringLiteral("Items"));
        return std::make_shared<ItemsObject>(m_world, m_data);
    }

    const std::shared_ptr<FakeFolder> &data() const { return m_data; }

private:
    World m_world;
    std::shared_ptr<FakeFolder> m_data;
};

// Child folders of a folder, or the roots of the open stores when the
// owner is null.
class FoldersObject : public Folders {
public:
    FoldersObject(World world, std::shared_ptr<FakeFolder> owner) : m_world(std::move(world)), m_owner(std::move(owner)) {}

    int count() override {
        enter(QStringLiteral("count"));
        return static_cast<int>(list().size());
    }
    FolderPtr Item(int index) override {
        enter(QStringLiteral("Item"), QString::number(index));
        return std::make_shared<FolderObject>(m_world, at(list(), index, "Folders"));
    }
    FolderPtr GetLast() override {
        enter(QStringLiteral("GetLast"));
        if (list().empty())
            throw Error(QStringLiteral("Folders.GetLast: the collection is empty."));
        return std::make_shared<FolderObject>(m_world, list().back());
    }

private:
    const std::vector<std::shared_ptr<FakeFolder>> &list() const {
        return m_owner ? m_owner->m_folders : m_world->m_openStores;
    }
    void enter(const QString &member, const QString &argument = {}) {
        fake::enter(*m_world, m_owner ? &m_owner->m_failures : nullptr, QStringLiteral("Folders"), member,
                    QStringLiteral("Folders.") + member, argument);
    }

    World m_world;
    std::shared_ptr<FakeFolder> m_owner;
};

FoldersPtr FolderObject::Folders() {
    enter(*m_world, &m_data->m_failures, QStringLiteral("Folder"), QStringLiteral("Folders"));
    return std::make_shared<FoldersObject>(m_world, m_data);
}

class NamespaceObject : public Namespace {
public:
    explicit NamespaceObject(World world) : m_world(std::move(world)) {}

    FoldersPtr Folders() override {
        enter(*m_world, nullptr, QStringLiteral("Namespace"), QStringLiteral("Folders"));
        return std::make_shared<FoldersObject>(m_world, nullptr);
    }
    void AddStore(const QString &path) override {
        enter(*m_world, nullptr, QStringLiteral("Namespace"), QStringLiteral("AddStore"), {}, path);
        const auto it = m_world->m_storeFiles.constFind(path);
        if (it == m_world->m_storeFiles.constEnd())
            throw Error(QStringLiteral("Cannot open the mail file %1: No such file or directory.")
                            .arg(QDir::toNativeSeparators(path)));
        m_world->m_openStores.push_back(*it);
    }
    FolderPtr StoreRootOf(const QString &path) override {
        enter(*m_world, nullptr, QStringLiteral("Namespace"), QStringLiteral("StoreRootOf"), {}, path);
        const auto it = m_world->m_storeFiles.constFind(path);
        if (it == m_world->m_storeFiles.constEnd())
            return nullptr;
        for (const auto &open : m_world->m_openStores)
            if (open == *it)
                return std::make_shared<FolderObject>(m_world, open);
        return nullptr;
    }
    void RemoveStore(const FolderPtr &root) override {
        enter(*m_world, nullptr, QStringLiteral("Namespace"), QStringLiteral("RemoveStore"), {},
              root ? root->name() : QStringLiteral("null"));
        auto *folder = dynamic_cast<FolderObject *>(root.get());
        auto &open = m_world->m_openStores;
        for (auto it = open.rbegin(); folder && it != open.rend(); ++it) {
            if (*it == folder->data()) {
                open.erase(std::next(it).base());
                return;
            }
        }
        throw Error(QStringLiteral("RemoveStore: the folder is not the root of an open store."));
    }
    ItemPtr GetItemFromID(const QString &entryId) override {
        enter(*m_world, nullptr, QStringLiteral("Namespace"), QStringLiteral("GetItemFromID"), {}, entryId);
        auto item = m_world->findItem(entryId);
        if (!item)
            throw Error(QStringLiteral("No item with the EntryID %1 in the open stores.").arg(entryId));
        return std::make_shared<ItemObject>(m_world, item);
    }
    QStringList ProfileFailures() override { return m_world->m_profileFailures; }

private:
    World m_world;
};

class ApplicationObject : public Application {
public:
    explicit ApplicationObject(World world) : m_world(std::move(world)) { ++m_world->m_liveApplications; }
    ~ApplicationObject() override { --m_world->m_liveApplications; }

    QString Version() override {
        enter(*m_world, nullptr, QStringLiteral("Application"), QStringLiteral("Version"));
        return m_world->m_version;
    }
    NamespacePtr GetNamespace(const QString &type) override {
        enter(*m_world, nullptr, QStringLiteral("Application"), QStringLiteral("GetNamespace"), {}, type);
        if (type.compare(QLatin1String("MAPI"), Qt::CaseInsensitive) != 0)
            throw Error(QStringLiteral("GetNamespace: unknown namespace type \"%1\".").arg(type));
        return std::make_shared<NamespaceObject>(m_world);
    }
    int ProfileFileCount() override { return m_world->m_profileFileCount; }

private:
    World m_world;
};

std::shared_ptr<FakeItem> findIn(const FakeFolder &folder, const QString &entryId) {
    for (const auto &item : folder.m_items) {
        if (item->m_entryId.compare(entryId, Qt::CaseInsensitive) == 0)
            return item;
    }
    for (const auto &child : folder.m_folders) {
        if (auto found = findIn(*child, entryId))
            return found;
    }
    return nullptr;
}

} // namespace

FakeAttachment &FakeItem::addAttachment(const QString &fileName, const QByteArray &content) {
    m_attachments.push_back(std::make_shared<FakeAttachment>());
    m_attachments.back()->fileName(fileName).content(content);
    return *m_attachments.back();
}

FakeFolder &FakeFolder::addFolder(const QString &name) {
    m_folders.push_back(std::make_shared<FakeFolder>(m_world, name));
    return *m_folders.back();
}

FakeItem &FakeFolder::addItem(int objectClass) {
    m_items.push_back(std::make_shared<FakeItem>(m_world->nextEntryId(), objectClass));
    return *m_items.back();
}

std::shared_ptr<FakeOutlook> FakeOutlook::create() {
    return std::shared_ptr<FakeOutlook>(new FakeOutlook());
}

FakeFolder &FakeOutlook::addStore(const QString &rootName) {
    m_openStores.push_back(std::make_shared<FakeFolder>(this, rootName));
    return *m_openStores.back();
}

FakeFolder &FakeOutlook::addStoreFile(const QString &path, const QString &rootName) {
    auto root = std::make_shared<FakeFolder>(this, rootName);
    root->m_filePath = path;
    m_storeFiles.insert(path, root);
    return *root;
}

std::unique_ptr<ScopedCreator> FakeOutlook::install() {
    return std::make_unique<ScopedCreator>(creator());
}

ObjectFactory::Creator FakeOutlook::creator() {
    std::weak_ptr<FakeOutlook> weak = weak_from_this();
    return [weak](const QString &className) -> ApplicationPtr {
        auto world = weak.lock();
        if (!world)
            throw Error(QStringLiteral("Cannot create the object \"%1\".").arg(className));
        world->record(QStringLiteral("Application.create(%1)").arg(className));
        world->check(QStringLiteral("Application.create"));
        if (className.compare(QLatin1String(kApplicationClass), Qt::CaseInsensitive) != 0)
            throw Error(QStringLiteral("Cannot create the object \"%1\": unknown class.").arg(className));
        return std::make_shared<ApplicationObject>(world);
    };
}

QStringList FakeOutlook::openStoreNames() const {
    QStringList names;
    for (const auto &root : m_openStores)
        names.append(root->m_name);
    return names;
}

QString FakeOutlook::nextEntryId() {
    // Same shape as a real one: 24 bytes as upper-case hex.
    return QStringLiteral("00000000FA4E0000000000000000000000000000%1")
        .arg(m_nextId++, 8, 16, QLatin1Char('0')).toUpper();
}

std::shared_ptr<FakeItem> FakeOutlook::findItem(const QString &entryId) const {
    for (const auto &root : m_openStores) {
        if (auto found = findIn(*root, entryId))
            return found;
    }
    return nullptr;
}

} // namespace pw::outlook::fake
