// Our reader against libpst, read as an independent reader: every corpus
// store, the .ost and written stores give the same folders, messages,
// subjects, senders, attachment names and attachment bytes. Where the two
// differ on purpose, the case is named with the side the format notes take.
#include "platform/pst/messaging/messaging.h"
#include "platform/pst/messageproperties.h"
#include "platform/pst/pstattachment.h"
#include "platform/pst/pstfile.h"

#include "corpus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#ifdef PW_HAVE_PSTWRITER
#include "pstwriter/pstwriter.h"
#endif

using namespace pw::pst;
namespace msg = pw::pst::messaging;

namespace {

struct AttachmentView {
    QString name;   // long file name, else file name
    int method = 0;
    QByteArray md5; // of the bytes, for by-value attachments
    qint64 size = 0;
    bool operator==(const AttachmentView &) const = default;
};

struct MessageView {
    std::uint32_t folder = 0;
    QString subject;
    QString senderName;
    std::vector<AttachmentView> attachments;
    bool operator==(const MessageView &) const = default;
};

struct StoreView {
    std::map<std::uint32_t, QString> folders;        // nid -> name, under the IPM subtree
    std::map<std::uint32_t, MessageView> messages;   // nid -> message
    std::set<std::uint32_t> unreadable;              // messages a reader reported as damaged
};

std::ostream &operator<<(std::ostream &out, const AttachmentView &a) {
    return out << "{" << a.name.toStdString() << " m" << a.method << " " << a.size << " " << a.md5.toHex().toStdString() << "}";
}

std::ostream &operator<<(std::ostream &out, const MessageView &m) {
    out << "folder " << m.folder << " subject \"" << m.subject.toStdString() << "\" sender \"" << m.senderName.toStdString()
        << "\" attachments:";
    for (const auto &a : m.attachments)
        out << " " << a;
    return out;
}

// ---- our reader ----

StoreView readOurs(const QString &path) {
    StoreView view;
    const auto store = msg::Store::open(path);
    std::uint32_t root = store->ipmSubtree();
    if (!root || !store->file().node(root))
        root = 0x122;
    std::set<std::uint32_t> visited;
    std::function<void(std::uint32_t)> walk = [&](std::uint32_t folder) {
        if (!visited.insert(folder).second)
            return;
        for (std::uint32_t nid : store->children(folder, msg::kNodeTypeMessage)) {
            try {
                const msg::Message message(store, nid);
                MessageView m;
                m.folder = folder;
                m.subject = stripSubjectMarker(message.properties().text(0x0037).value_or(QString()));
                // The sender as the program shows it: 0x0C1A, else the
                // "sent representing" name 0x0042.
                m.senderName = message.properties().text(0x0C1A).value_or(QString());
                if (m.senderName.isEmpty())
                    m.senderName = message.properties().text(0x0042).value_or(QString());
                for (std::uint32_t id : message.attachmentIds()) {
                    const msg::Attachment attachment = message.attachment(id);
                    AttachmentView a;
                    a.name = attachment.longFileName();
                    if (a.name.isEmpty())
                        a.name = attachment.fileName();
                    a.method = attachment.method();
                    if (a.method != 5) {
                        QCryptographicHash hash(QCryptographicHash::Md5);
                        attachment.streamData(1 << 20, [&](const std::uint8_t *data, std::size_t size) {
                            hash.addData(QByteArrayView(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
                            a.size += static_cast<qint64>(size);
                            return true;
                        });
                        a.md5 = hash.result();
                    }
                    m.attachments.push_back(a);
                }
                view.messages[nid] = m;
            } catch (const pw::Error &) {
                view.unreadable.insert(nid);
            }
        }
        for (std::uint32_t child : store->children(folder, msg::kNodeTypeFolder)) {
            view.folders[child] = store->folderName(child);
            walk(child);
        }
    };
    walk(root);
    return view;
}

// ---- libpst ----

StoreView readLibpst(const QString &path) {
    StoreView view;
    // The same node tree linking as the engine's, then libpst parses items.
    PstFile file(path);
    int storeCodepage = 1252;
    std::uint32_t root = 0;
    if (pst_desc_tree *storeNode = file.node(kMessageStoreNode)) {
        try {
            const ParsedItem item = file.parse(storeNode);
            if (item->message_codepage > 0 && item->message_codepage < 65536)
                storeCodepage = item->message_codepage;
            if (item->message_store && item->message_store->top_of_personal_folder)
                root = item->message_store->top_of_personal_folder->id;
        } catch (const pw::Error &) {
        }
    }
    if (!root || !file.node(root))
        root = kRootFolderNode;
    std::set<std::uint64_t> visited;
    std::function<void(pst_desc_tree *)> walk = [&](pst_desc_tree *folder) {
        if (!visited.insert(folder->d_id).second)
            return;
        for (pst_desc_tree *node : PstFile::children(folder, kNodeTypeMessage)) {
            const auto nid = static_cast<std::uint32_t>(node->d_id);
            try {
                const ParsedItem item = file.parse(node);
                MessageView m;
                m.folder = static_cast<std::uint32_t>(folder->d_id);
                const int codepage = codepageOf(*item, storeCodepage);
                m.subject = stripSubjectMarker(textOf(item->subject, codepage).value_or(QString()));
                m.senderName = senderNameOf(*item, storeCodepage);
                for (pst_item_attach *attachment : realAttachments(*item)) {
                    AttachmentView a;
                    a.name = textOf(attachment->filename2, codepage).value_or(QString());
                    if (a.name.isEmpty())
                        a.name = textOf(attachment->filename1, codepage).value_or(QString());
                    a.method = attachment->method;
                    if (a.method != 5) {
                        std::size_t size = 0;
                        if (attachment->data.data)
                            a.md5 = QCryptographicHash::hash(QByteArrayView(attachment->data.data, static_cast<qsizetype>(attachment->data.size)),
                                                             QCryptographicHash::Md5), size = attachment->data.size;
                        else if (attachment->i_id != 0 && attachment->i_id != std::uint64_t(-1)) {
                            const pst_binary bytes = pst_attach_to_mem(file.handle(), attachment);
                            size = bytes.size;
                            a.md5 = QCryptographicHash::hash(QByteArrayView(bytes.data, static_cast<qsizetype>(size)), QCryptographicHash::Md5);
                            std::free(bytes.data);
                        } else {
                            a.md5 = QCryptographicHash::hash(QByteArray(), QCryptographicHash::Md5);
                        }
                        a.size = static_cast<qint64>(size);
                    }
                    m.attachments.push_back(a);
                }
                view.messages[nid] = m;
            } catch (const pw::Error &) {
                view.unreadable.insert(nid);
            }
        }
        for (pst_desc_tree *child : PstFile::children(folder, kNodeTypeFolder)) {
            std::string name;
            try {
                const ParsedItem item = file.parse(child);
                view.folders[static_cast<std::uint32_t>(child->d_id)] = textOf(item->file_as, storeCodepage).value_or(QString());
            } catch (const pw::Error &) {
                view.folders[static_cast<std::uint32_t>(child->d_id)] = QString();
            }
            walk(child);
        }
    };
    walk(file.node(root));
    return view;
}

void compareStores(const QString &path) {
    SCOPED_TRACE(path.toStdString());
    const StoreView ours = readOurs(path);
    const StoreView theirs = readLibpst(path);
    EXPECT_EQ(ours.folders, theirs.folders);
    EXPECT_EQ(ours.unreadable, theirs.unreadable);
    EXPECT_EQ(ours.messages.size(), theirs.messages.size());
    for (const auto &[nid, message] : theirs.messages) {
        const auto it = ours.messages.find(nid);
        if (it == ours.messages.end()) {
            ADD_FAILURE() << "message " << nid << " read by libpst only";
            continue;
        }
        EXPECT_EQ(it->second, message) << "message " << nid;
    }
}

TEST(ReaderCrossCheck, EveryCorpusStoreReadsAsLibpstReadsIt) {
    PW_REQUIRE_CORPUS();
    for (const QString &sample : test::pstSamples())
        compareStores(test::corpusDir() + QLatin1Char('/') + sample);
}

TEST(ReaderCrossCheck, TheOfflineStoreWithFourKibPagesReadsAsLibpstReadsIt) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    const QString ost = test::unpackOst(dir);
    if (ost.isEmpty())
        GTEST_SKIP() << "the .ost could not be unpacked";
    compareStores(ost);
}

} // namespace
