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
#include <QFileInfo>
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

#ifdef PW_HAVE_PSTWRITER

#include "core/error.h"
#include "platform/pst/pstengine.h"

#include <QFile>

namespace {

using namespace pw::outlook;

pstwriter::Message mailWith(const std::string &subject, std::vector<pstwriter::Attachment> attachments = {}) {
    pstwriter::Message message;
    message.subject = subject;
    message.senderName = "Ann";
    message.attachments = std::move(attachments);
    return message;
}

// UTF-16LE bytes of `units`, for text no UTF-8 string can carry.
std::string utf16Units(std::initializer_list<char16_t> units) {
    std::string out;
    for (char16_t unit : units) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    return out;
}

// A written store with one folder "Test", opened through the object model.
struct Written {
    explicit Written(std::vector<pstwriter::Message> messages, pstwriter::StoreOptions options = {}) {
        pstwriter::Store store("Written", options);
        auto &folder = store.root().addFolder("Test");
        for (auto &message : messages)
            folder.addMessage(std::move(message));
        path = dir.filePath(QStringLiteral("written.pst"));
        store.write(path.toStdString());
        ns = pw::pst::createPstApplication({path})->GetNamespace(QStringLiteral("MAPI"));
        items = ns->Folders()->Item(1)->Folders()->GetLast()->Items();
    }
    QTemporaryDir dir;
    QString path;
    NamespacePtr ns;
    ItemsPtr items;
};

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Numbered lines of text: content that compresses.
std::string reportText(std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "line " + std::to_string(i) + " of the report\r\n";
    text.resize(size);
    return text;
}

// Every encoding, the reserved bit, the offline layout with 4 KiB pages and
// compressed blocks, an attached message, a text attachment over several
// blocks (compressed in the offline store) and a large attachment (a data
// tree of two levels in 512-byte-page stores) read as libpst reads them.
TEST(ReaderCrossCheck, WrittenStoresReadAsLibpstReadsThem) {
    const struct {
        const char *name;
        pstwriter::Encryption encryption;
        bool reservedBit;
        pstwriter::Format format;
    } cases[] = {{"no encoding", pstwriter::Encryption::None, false, pstwriter::Format::Pst},
                 {"compressible encoding", pstwriter::Encryption::Compressible, false, pstwriter::Format::Pst},
                 {"high encoding with the reserved bit", pstwriter::Encryption::High, true, pstwriter::Format::Pst},
                 {"4 KiB pages with compressed blocks", pstwriter::Encryption::None, false, pstwriter::Format::Ost4k}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pstwriter::StoreOptions options;
        options.encryption = c.encryption;
        options.reservedBitOnAttachmentTables = c.reservedBit;
        options.format = c.format;
        options.compressBlocks = c.format == pstwriter::Format::Ost4k;
        pstwriter::Store store("Cross", options);
        auto &folder = store.root().addFolder("Inbox");
        auto &sub = folder.addFolder("Sub");
        folder.addMessage(mailWith("small", {pstwriter::Attachment::file("a.txt", pstwriter::Content::bytes("hello")),
                                             pstwriter::Attachment::file("b.bin", pstwriter::Content::generated(70000, 3)),
                                             pstwriter::Attachment::file("report.txt", pstwriter::Content::bytes(reportText(200000)))}));
        pstwriter::Message inner = mailWith("inner", {pstwriter::Attachment::file("in.txt", pstwriter::Content::bytes("inside"))});
        sub.addMessage(mailWith("outer", {pstwriter::Attachment::embedded(std::move(inner), "Inner mail")}));
        // More than one list of blocks holds (about 8.3 MB): two levels.
        sub.addMessage(mailWith("large", {pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(9u << 20, 7))}));
        pstwriter::Message named = mailWith("named");
        named.extraProperties = {pstwriter::Property::unicode(0x8005, "named value")};
        folder.addMessage(std::move(named));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cross.pst"));
        store.write(path.toStdString());
        compareStores(path);
    }
}

// Runs of blocks are read with one call each; whatever size the pieces are
// asked in (pushed in chunks, or pulled as a MIME writer pulls), a large
// attachment of every encoding reads the same bytes as it does block by block.
TEST(ReaderShapes, LargeAttachmentsReadAlikeInEveryPieceSize) {
    for (const auto encryption : {pstwriter::Encryption::None, pstwriter::Encryption::High}) {
        pstwriter::StoreOptions options;
        options.encryption = encryption;
        options.deletedItems = false;
        pstwriter::Store store("Pieces", options);
        auto &folder = store.root().addFolder("Inbox");
        folder.addMessage(mailWith("large", {pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(3u << 20, 11)),
                                             pstwriter::Attachment::file("odd.bin", pstwriter::Content::generated(20001, 12))}));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("pieces.pst"));
        store.write(path.toStdString());
        const auto opened = msg::Store::open(path);
        const std::vector<std::uint32_t> ids = opened->children(opened->children(rootOf(path), msg::kNodeTypeFolder).front(), msg::kNodeTypeMessage);
        ASSERT_EQ(ids.size(), 1u);
        const msg::Message message(opened, ids.front());
        for (std::uint32_t id : message.attachmentIds()) {
            const msg::Attachment attachment = message.attachment(id);
            const QByteArray whole = attachment.data(); // block by block
            ASSERT_EQ(static_cast<std::uint64_t>(whole.size()), attachment.dataSize());
            for (const std::size_t chunk : {std::size_t(1), std::size_t(8176), std::size_t(100000), std::size_t(1) << 20}) {
                QByteArray pushed;
                attachment.streamData(chunk, [&](const std::uint8_t *data, std::size_t size) {
                    pushed.append(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
                    return true;
                });
                EXPECT_TRUE(pushed == whole) << "pushed in chunks of " << chunk;
            }
            for (const std::size_t piece : {std::size_t(1), std::size_t(4093), std::size_t(1) << 20}) {
                const auto source = attachment.openData();
                QByteArray pulled;
                std::vector<std::uint8_t> buffer(piece);
                for (std::size_t got; (got = source->reader.read(buffer.data(), piece)) > 0;)
                    pulled.append(reinterpret_cast<const char *>(buffer.data()), static_cast<qsizetype>(got));
                EXPECT_TRUE(pulled == whole) << "pulled in pieces of " << piece;
            }
        }
    }
}

// More attachments than one subnode block lists (about 340): the subnode
// tree has two levels. libpst lists none of them; [MS-PST] (SIBLOCK) sides
// with our reader, which lists and saves every one.
TEST(ReaderShapes, FourHundredAttachmentsAreAllListedAndSaved) {
    std::vector<pstwriter::Attachment> attachments;
    for (int i = 0; i < 400; ++i)
        attachments.push_back(pstwriter::Attachment::file("part" + std::to_string(i) + ".txt", pstwriter::Content::bytes("body " + std::to_string(i))));
    Written written({mailWith("many", std::move(attachments))});
    const AttachmentsPtr list = written.items->Item(1)->Attachments();
    ASSERT_EQ(list->count(), 400);
    for (int i : {1, 341, 400}) {
        const AttachmentPtr attachment = list->Item(i);
        EXPECT_EQ(attachment->fileName(), QStringLiteral("part%1.txt").arg(i - 1));
        const QString target = written.dir.filePath(attachment->fileName());
        attachment->SaveAsFile(target);
        EXPECT_EQ(fileBytes(target), QByteArray("body ") + QByteArray::number(i - 1));
    }
}

// A lone surrogate in UTF-16 text becomes U+FFFD; the text goes on.
TEST(ReaderShapes, LoneSurrogatesDoNotCutText) {
    pstwriter::Message message = mailWith("x");
    message.extraProperties = {{(0x0037u << 16) | 0x001F, utf16Units({u's', u'u', u'r', 0xD800, u'x'})}};
    pstwriter::Attachment attachment = pstwriter::Attachment::file("plain.txt", pstwriter::Content::bytes("data"));
    attachment.longFileName.reset();
    attachment.fileName.reset();
    attachment.extraProperties = {{(0x3707u << 16) | 0x001F, utf16Units({u's', u'u', u'r', 0xDC00, u'.', u't', u'x', u't'})}};
    message.attachments.push_back(std::move(attachment));
    Written written({std::move(message)});
    const ItemPtr item = written.items->Item(1);
    EXPECT_EQ(item->Subject(), QStringLiteral(u"sur\uFFFDx"));
    EXPECT_EQ(item->Attachments()->Item(1)->fileName(), QStringLiteral(u"sur\uFFFD.txt"));
}

// Attached messages inside each other, 12 deep: the first one's .eml
// holds the other 11, each inside the one before.
TEST(ReaderShapes, AttachedMessagesTwelveDeepSaveAsOneEml) {
    pstwriter::Message innermost = mailWith("level 12", {pstwriter::Attachment::file("deep.txt", pstwriter::Content::bytes("deepest"))});
    for (int level = 11; level >= 1; --level)
        innermost = mailWith("level " + std::to_string(level), {pstwriter::Attachment::embedded(std::move(innermost), "level " + std::to_string(level + 1))});
    Written written({mailWith("top", {pstwriter::Attachment::embedded(std::move(innermost), "level 1"),
                                      pstwriter::Attachment::file("beside.txt", pstwriter::Content::bytes("beside"))})});
    const AttachmentsPtr list = written.items->Item(1)->Attachments();
    ASSERT_EQ(list->count(), 2);
    const QString target = written.dir.filePath(QStringLiteral("nested.eml"));
    list->Item(1)->SaveAsFile(target);
    const QByteArray eml = fileBytes(target);
    EXPECT_EQ(eml.count("message/rfc822"), 11);
    EXPECT_TRUE(eml.contains(QByteArray("deepest").toBase64()));
    const QString beside = written.dir.filePath(QStringLiteral("beside.txt"));
    list->Item(2)->SaveAsFile(beside);
    EXPECT_EQ(fileBytes(beside), QByteArray("beside"));
}

// An attached message with 1,200 attachments is written without a file
// or descriptor per attachment.
TEST(ReaderShapes, AnAttachedMessageWithTwelveHundredAttachmentsSaves) {
    std::vector<pstwriter::Attachment> parts;
    for (int i = 0; i < 1200; ++i)
        parts.push_back(pstwriter::Attachment::file("p" + std::to_string(i) + ".txt", pstwriter::Content::bytes("part " + std::to_string(i))));
    Written written({mailWith("outer", {pstwriter::Attachment::embedded(mailWith("inner", std::move(parts)), "inner")})});
    const QString target = written.dir.filePath(QStringLiteral("inner.eml"));
    written.items->Item(1)->Attachments()->Item(1)->SaveAsFile(target);
    const QByteArray eml = fileBytes(target);
    EXPECT_EQ(eml.count("Content-Disposition: attachment"), 1200);
    EXPECT_TRUE(eml.contains(QByteArray("part 1199").toBase64()));
}

// A 4 KiB-page offline store whose one compressed block does not inflate:
// that attachment's save fails saying so and leaves nothing behind; its
// sibling, the other messages (an attachment over three compressed blocks,
// an attached message) list and save whole.
TEST(ReaderShapes, ADamagedCompressedBlockIsDamageOfItsAttachmentOnly) {
    pstwriter::StoreOptions options;
    options.format = pstwriter::Format::Ost4k;
    options.compressBlocks = true;
    const std::string report = reportText(150000);
    pstwriter::Message damaged = mailWith("damaged", {pstwriter::Attachment::file("broken.txt", pstwriter::Content::bytes(reportText(20000))),
                                                      pstwriter::Attachment::file("beside.txt", pstwriter::Content::bytes("beside"))});
    damaged.craft = pstwriter::Craft::CorruptCompressedData;
    Written written({mailWith("before", {pstwriter::Attachment::file("report.txt", pstwriter::Content::bytes(report))}),
                     std::move(damaged),
                     mailWith("after", {pstwriter::Attachment::embedded(mailWith("inner", {pstwriter::Attachment::file("in.txt", pstwriter::Content::bytes(report))}),
                                                                        "inner")})},
                    options);
    ASSERT_EQ(written.items->count(), 3);

    const AttachmentsPtr broken = written.items->Item(2)->Attachments();
    ASSERT_EQ(broken->count(), 2);
    EXPECT_EQ(broken->Item(1)->fileName(), QStringLiteral("broken.txt"));
    const QString lost = written.dir.filePath(QStringLiteral("broken.txt"));
    try {
        broken->Item(1)->SaveAsFile(lost);
        ADD_FAILURE() << "an attachment whose block does not inflate was saved";
    } catch (const pw::Error &error) {
        EXPECT_TRUE(error.text().contains(QStringLiteral("damaged data"))) << error.text().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(lost));
    const QString beside = written.dir.filePath(QStringLiteral("beside.txt"));
    broken->Item(2)->SaveAsFile(beside);
    EXPECT_EQ(fileBytes(beside), QByteArray("beside"));

    EXPECT_EQ(written.items->Item(1)->Subject(), QStringLiteral("before"));
    const QString whole = written.dir.filePath(QStringLiteral("report.txt"));
    written.items->Item(1)->Attachments()->Item(1)->SaveAsFile(whole);
    EXPECT_EQ(fileBytes(whole), QByteArray::fromStdString(report));
    EXPECT_EQ(written.items->Item(3)->Subject(), QStringLiteral("after"));
    const QString eml = written.dir.filePath(QStringLiteral("inner.eml"));
    written.items->Item(3)->Attachments()->Item(1)->SaveAsFile(eml);
    EXPECT_TRUE(fileBytes(eml).contains(QByteArray::fromStdString(report.substr(0, 45)).toBase64()));
}

// A save told to stop leaves nothing at its path; progress is told in
// order and reaches the whole size.
TEST(ReaderShapes, SaveReportsProgressAndStopsLeavingNothing) {
    Written written({mailWith("big", {pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(5u << 20, 9))})});
    const AttachmentPtr attachment = written.items->Item(1)->Attachments()->Item(1);
    const QString target = written.dir.filePath(QStringLiteral("big.bin"));
    std::vector<std::uint64_t> seen;
    attachment->SaveAsFile(target, [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, 5u << 20);
        seen.push_back(done);
        return true;
    });
    ASSERT_GE(seen.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 5u << 20);
    EXPECT_EQ(QFileInfo(target).size(), qint64(5) << 20);

    const QString stopped = written.dir.filePath(QStringLiteral("stopped.bin"));
    int calls = 0;
    EXPECT_THROW(attachment->SaveAsFile(stopped, [&](std::uint64_t, std::uint64_t) { return ++calls < 3; }), pw::Stopped);
    EXPECT_FALSE(QFileInfo::exists(stopped));
}

} // namespace

// One damaged entry of the node index: the message its folder's contents
// table lists is reported as missing, or found in its folder all the same;
// never left out without a word.
TEST(ReaderDamage, AMessageTheNodeIndexLosesIsReportedOrStillListed) {
    const struct {
        const char *name;
        std::uint32_t newNid;    // 0: unchanged
        std::uint32_t newParent; // 0: unchanged
        bool reported;
    } cases[] = {{"its id changed", 0x7FFE5, 0, true}, {"its folder changed", 0, 0x7FFE2, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pstwriter::StoreOptions options;
        options.deletedItems = false;
        pstwriter::Store store("Index", options);
        auto &folder = store.root().addFolder("Inbox");
        folder.addMessage(mailWith("first"));
        const std::uint32_t target = folder.addMessage(mailWith("second"));
        folder.addMessage(mailWith("third"));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("index.pst"));
        store.write(path.toStdString());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        // The leaf page of the node B-tree (Unicode: type at 496, level at
        // 491, count at 488; entries of 32 bytes: id, data, subnodes, parent).
        bool changed = false;
        for (qsizetype page = 512; page + 512 <= bytes.size() && !changed; page += 512) {
            auto *p = reinterpret_cast<std::uint8_t *>(bytes.data() + page);
            if (p[496] != 0x81 || p[497] != 0x81 || p[491] != 0)
                continue;
            for (int i = 0; i < p[488]; ++i) {
                std::uint8_t *e = p + i * p[490];
                if (pw::pst::ndb::readLe(e, 4) != target)
                    continue;
                const auto put = [](std::uint8_t *at, std::uint32_t value) {
                    for (int b = 0; b < 4; ++b)
                        at[b] = static_cast<std::uint8_t>(value >> (8 * b));
                };
                if (c.newNid)
                    put(e, c.newNid);
                if (c.newParent)
                    put(e + 24, c.newParent);
                changed = true;
            }
        }
        ASSERT_TRUE(changed) << "the message's index entry was not found";
        file.seek(0);
        file.write(bytes);
        file.close();

        const auto opened = msg::Store::open(path);
        const std::uint32_t inbox = opened->children(rootOf(path), msg::kNodeTypeFolder).front();
        const std::vector<std::uint32_t> messages = opened->folderMessages(inbox);
        int read = 0;
        QStringList errors;
        for (std::uint32_t nid : messages) {
            try {
                (void)msg::Message(opened, nid).properties().text(0x0037);
                ++read;
            } catch (const pw::Error &error) {
                errors.append(error.text());
            }
        }
        EXPECT_EQ(read, c.reported ? 2 : 3);
        EXPECT_EQ(errors.size(), c.reported ? 1 : 0) << errors.join(QLatin1Char('\n')).toStdString();
    }
}

#endif // PW_HAVE_PSTWRITER

namespace {

// A store cut short says so with both sizes: at once when its header or
// indexes are cut, else for each item whose data is gone. Reads never go
// past the end.
TEST(ReaderDamage, ACutStoreSaysItEndsEarly) {
    PW_REQUIRE_CORPUS();
    QFile original(test::corpusDir() + QStringLiteral("/pst/sample1.pst"));
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    QTemporaryDir dir;
    auto cutTo = [&](qsizetype size) {
        const QString path = dir.filePath(QStringLiteral("cut%1.pst").arg(size));
        QFile cut(path);
        cut.open(QIODevice::WriteOnly);
        cut.write(bytes.left(size));
        return path;
    };
    try {
        (void)msg::Store::open(cutTo(600));
        ADD_FAILURE() << "a store of 600 bytes opened";
    } catch (const pw::Error &error) {
        EXPECT_TRUE(error.text().contains(QStringLiteral("the file ends early (600 of %1 bytes)").arg(bytes.size()))) << error.text().toStdString();
    }
    const qsizetype half = bytes.size() / 2;
    const auto store = msg::Store::open(cutTo(half));
    int cut = 0;
    for (const pw::pst::ndb::NodeEntry &node : store->file().nodes()) {
        if (msg::nodeType(node.nid) != msg::kNodeTypeMessage)
            continue;
        try {
            (void)msg::Message(store, node.nid).properties().text(0x0037);
        } catch (const pw::Error &error) {
            EXPECT_TRUE(error.text().contains(QStringLiteral("the file ends early"))) << error.text().toStdString();
            ++cut;
        }
    }
    EXPECT_GT(cut, 0);
}

} // namespace
