// Our reader against libpst, read as an independent reader: every corpus
// store, the .ost and written stores give the same folders, messages,
// subjects, senders, attachment names and attachment bytes. Where the two
// differ on purpose, the case is named with the side the format notes take.
#include "platform/pst/messageproperties.h"
#include "platform/pst/messaging/messaging.h"
#include "platform/pst/pststore.h"
#include "core/codepage.h"

#include "corpus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>

#include <libpst/libpst.h>

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

// The folder the program shows as the top of the store.
std::uint32_t rootOf(const QString &path) {
    const PstStore store(path);
    return store.rootFolder();
}

StoreView readOurs(const QString &path) {
    StoreView view;
    const auto store = msg::Store::open(path);
    const std::uint32_t root = rootOf(path);
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

struct ItemDeleter {
    void operator()(pst_item *item) const { pst_freeItem(item); }
};
using LibpstItem = std::unique_ptr<pst_item, ItemDeleter>;

std::optional<QString> libpstText(const pst_string &value, int codepage) {
    if (!value.str)
        return std::nullopt;
    const std::size_t length = std::strlen(value.str);
    if (value.is_utf8)
        return QString::fromUtf8(value.str, static_cast<qsizetype>(length));
    return pw::decodeCodepage(QByteArray(value.str, static_cast<qsizetype>(length)), codepage);
}

// libpst's node of that id, searched in its linked tree.
pst_desc_tree *libpstNode(pst_desc_tree *from, std::uint64_t id) {
    for (pst_desc_tree *node = from; node; node = node->next) {
        if (node->d_id == id)
            return node;
        if (pst_desc_tree *found = libpstNode(node->child, id))
            return found;
    }
    return nullptr;
}

// libpst as its own tools use it, from the folder our reader takes for the
// root (libpst has no fallback of its own for stores that name none).
StoreView readLibpst(const QString &path, std::uint32_t root) {
    StoreView view;
    pst_file file{};
    const QByteArray name = QFile::encodeName(path);
    if (pst_open(&file, name.constData(), nullptr) != 0) {
        ADD_FAILURE() << "libpst cannot open " << path.toStdString();
        return view;
    }
    pst_load_index(&file);
    pst_load_extended_attributes(&file);
    int storeCodepage = 1252;
    if (pst_desc_tree *storeNode = libpstNode(file.d_head, 0x21)) {
        if (LibpstItem item{pst_parse_item(&file, storeNode, nullptr)}; item && item->message_codepage > 0 && item->message_codepage < 65536)
            storeCodepage = item->message_codepage;
    }
    std::set<std::uint64_t> visited;
    std::function<void(pst_desc_tree *)> walk = [&](pst_desc_tree *folder) {
        if (!visited.insert(folder->d_id).second)
            return;
        for (pst_desc_tree *node = folder->child; node; node = node->next) {
            const auto nid = static_cast<std::uint32_t>(node->d_id);
            if ((nid & 0x1F) == msg::kNodeTypeFolder) {
                LibpstItem item{pst_parse_item(&file, node, nullptr)};
                view.folders[nid] = item ? libpstText(item->file_as, storeCodepage).value_or(QString()) : QString();
                walk(node);
                continue;
            }
            if ((nid & 0x1F) != msg::kNodeTypeMessage)
                continue;
            LibpstItem item{pst_parse_item(&file, node, nullptr)};
            if (!item) {
                view.unreadable.insert(nid);
                continue;
            }
            MessageView m;
            m.folder = static_cast<std::uint32_t>(folder->d_id);
            const int codepage = item->message_codepage > 0 && item->message_codepage < 65536 ? item->message_codepage : storeCodepage;
            m.subject = stripSubjectMarker(libpstText(item->subject, codepage).value_or(QString()));
            if (item->email) {
                auto sender = libpstText(item->email->outlook_sender_name2, codepage);
                m.senderName = sender ? *sender : libpstText(item->email->outlook_sender_name, codepage).value_or(QString());
            }
            // libpst lists the attachment rows last to first, and the rows of
            // the recipient table too, which carry none of an attachment's
            // own properties.
            std::vector<pst_item_attach *> attachments;
            for (pst_item_attach *a = item->attach; a; a = a->next) {
                if (a->method != 0 || a->i_id != 0 || a->data.data || a->filename1.str || a->filename2.str || a->mimetype.str)
                    attachments.insert(attachments.begin(), a);
            }
            for (pst_item_attach *attachment : attachments) {
                AttachmentView a;
                a.name = libpstText(attachment->filename2, codepage).value_or(QString());
                if (a.name.isEmpty())
                    a.name = libpstText(attachment->filename1, codepage).value_or(QString());
                a.method = attachment->method;
                if (a.method != 5) {
                    const pst_binary bytes = pst_attach_to_mem(&file, attachment);
                    a.size = bytes.data ? static_cast<qint64>(bytes.size) : 0;
                    a.md5 = QCryptographicHash::hash(QByteArrayView(bytes.data, a.size), QCryptographicHash::Md5);
                    std::free(bytes.data);
                }
                m.attachments.push_back(a);
            }
            view.messages[nid] = m;
        }
    };
    if (pst_desc_tree *top = libpstNode(file.d_head, root))
        walk(top);
    pst_close(&file);
    return view;
}

void compareStores(const QString &path) {
    SCOPED_TRACE(path.toStdString());
    const StoreView ours = readOurs(path);
    const StoreView theirs = readLibpst(path, rootOf(path));
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
