// Written stores read back with libpst, a reader independent of libpff.
#include "pstwriter/pstwriter.h"

#include <libpst/libpst.h>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace {

std::string str(pst_item *item, pst_string &s) {
    if (!s.str)
        return "<absent>";
    pst_convert_utf8(item, &s);
    return s.str;
}

std::uint64_t filetime(const FILETIME *t) {
    return t ? (std::uint64_t(t->dwHighDateTime) << 32 | t->dwLowDateTime) : 0;
}

std::uint64_t filetimeOf(pstwriter::Time t) {
    return std::uint64_t(t.time_since_epoch().count()) * 10000000ull + 116444736000000000ull;
}

struct ItemDeleter {
    void operator()(pst_item *item) const { pst_freeItem(item); }
};
using ItemPtr = std::unique_ptr<pst_item, ItemDeleter>;

class LibpstFile {
public:
    explicit LibpstFile(const std::string &path) {
        std::memset(&m_file, 0, sizeof m_file);
        m_open = pst_open(&m_file, path.c_str(), nullptr) == 0;
        if (m_open)
            m_indexed = pst_load_index(&m_file) == 0;
        if (m_indexed)
            pst_load_extended_attributes(&m_file);
    }
    ~LibpstFile() {
        if (m_open)
            pst_close(&m_file);
    }
    bool ok() const { return m_open && m_indexed; }
    pst_file *get() { return &m_file; }

    ItemPtr parse(pst_desc_tree *d) { return ItemPtr(pst_parse_item(&m_file, d, nullptr)); }

    // An embedded message, reached the way libpst's own tools do it.
    ItemPtr embedded(pst_item_attach *attach) {
        pst_desc_tree d;
        std::memset(&d, 0, sizeof d);
        d.desc = pst_getID(&m_file, attach->i_id);
        if (!d.desc)
            return nullptr;
        return ItemPtr(pst_parse_item(&m_file, &d, attach->id2_head));
    }

    std::string attachmentData(pst_item_attach *attach) {
        if (attach->data.data)
            return std::string(attach->data.data, attach->data.size);
        pst_binary b = pst_attach_to_mem(&m_file, attach);
        std::string out(b.data ? b.data : "", b.size);
        std::free(b.data);
        return out;
    }

private:
    pst_file m_file;
    bool m_open = false;
    bool m_indexed = false;
};

std::vector<pst_item_attach *> attachments(pst_item *item) {
    std::vector<pst_item_attach *> out;
    for (pst_item_attach *a = item->attach; a; a = a->next)
        out.push_back(a);
    return out;
}

class PstWriterLibpst : public ::testing::Test {
protected:
    std::string path(const std::string &name) const { return m_dir.filePath(QString::fromStdString(name)).toStdString(); }
    QTemporaryDir m_dir;
};

pstwriter::Store &fullStore(pstwriter::Store &store) {
    pstwriter::Folder &inbox = store.root().addFolder("Inbox");
    inbox.addFolder("Inbox").addFolder("Internet Newsgroups");
    store.root().addFolder("All Public Folders");

    pstwriter::Message m;
    m.subject = "Grüße";
    m.senderName = "Ann Example";
    m.senderAddress = "ann@example.org";
    m.senderAddressType = "SMTP";
    m.deliveryTime = pstwriter::utc(2024, 3, 1, 9, 30, 15);
    m.submitTime = pstwriter::utc(2024, 3, 1, 9, 29);
    m.body = std::string(6000, 'p');
    m.htmlBody = "<html><body>hi</body></html>";
    m.codePage = 65001;
    m.transportHeaders = "Subject: Grüße\r\n";
    m.attachments.push_back(pstwriter::Attachment::file("small.txt", pstwriter::Content::bytes("hello")));
    m.attachments.push_back(pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(300000, 4)));
    pstwriter::Attachment odd = pstwriter::Attachment::file("../up.txt", pstwriter::Content::bytes("up"));
    odd.fileName = "a/b.txt";
    m.attachments.push_back(odd);
    pstwriter::Message inner;
    inner.subject = "inner";
    inner.body = "inner body";
    inner.attachments.push_back(pstwriter::Attachment::file("inner.txt", pstwriter::Content::bytes("inside")));
    m.attachments.push_back(pstwriter::Attachment::embedded(inner, "inner"));
    m.attachments.push_back(pstwriter::Attachment::link("link.doc", "/srv/link.doc"));
    inbox.addMessage(m);

    pstwriter::Message ex;
    ex.messageClass = "REPORT.IPM.Note.NDR";
    ex.subject = "Undeliverable";
    ex.senderName = "System";
    ex.senderAddress = "/O=EXAMPLE/CN=SYSTEM";
    ex.senderAddressType = "EX";
    inbox.addMessage(ex);
    return store;
}

void checkFullStore(const std::string &file, const pstwriter::Store &store) {
    LibpstFile pst(file);
    ASSERT_TRUE(pst.ok());
    ItemPtr ms = pst.parse(pst.get()->d_head);
    ASSERT_TRUE(ms);
    ASSERT_TRUE(ms->message_store);
    EXPECT_EQ(str(ms.get(), ms->file_as), store.displayName());
    ASSERT_TRUE(ms->message_store->top_of_personal_folder);
    EXPECT_EQ(ms->message_store->top_of_personal_folder->id, store.ipmSubtreeId());

    pst_desc_tree *top = pst_getTopOfFolders(pst.get(), ms.get());
    ASSERT_TRUE(top);
    EXPECT_EQ(top->d_id, store.ipmSubtreeId());

    // Folder tree by name, depth first.
    std::vector<std::string> tree;
    std::map<std::string, pst_desc_tree *> byPath;
    auto walk = [&](auto &&self, pst_desc_tree *d, const std::string &prefix) -> void {
        for (pst_desc_tree *c = d->child; c; c = c->next) {
            ItemPtr item = pst.parse(c);
            if (!item || !item->folder)
                continue;
            const std::string p = prefix + "/" + str(item.get(), item->file_as);
            tree.push_back(p);
            byPath[p] = c;
            self(self, c, p);
        }
    };
    walk(walk, top, "");
    EXPECT_EQ(tree, (std::vector<std::string>{"/Deleted Items", "/Inbox", "/Inbox/Inbox",
                                              "/Inbox/Inbox/Internet Newsgroups", "/All Public Folders"}));

    std::vector<ItemPtr> messages;
    for (pst_desc_tree *c = byPath["/Inbox"]->child; c; c = c->next) {
        ItemPtr item = pst.parse(c);
        if (item && item->email)
            messages.push_back(std::move(item));
    }
    ASSERT_EQ(messages.size(), 2u);

    pst_item *m = messages[0].get();
    EXPECT_EQ(str(m, m->subject), "Grüße");
    EXPECT_STREQ(m->ascii_type, "IPM.Note");
    EXPECT_EQ(str(m, m->email->outlook_sender_name), "Ann Example");
    EXPECT_EQ(str(m, m->email->sender_address), "ann@example.org");
    EXPECT_EQ(filetime(m->email->arrival_date), filetimeOf(pstwriter::utc(2024, 3, 1, 9, 30, 15)));
    EXPECT_EQ(filetime(m->email->sent_date), filetimeOf(pstwriter::utc(2024, 3, 1, 9, 29)));
    EXPECT_EQ(str(m, m->body), std::string(6000, 'p'));
    EXPECT_EQ(str(m, m->email->htmlbody), "<html><body>hi</body></html>");
    EXPECT_EQ(m->message_codepage, 65001);
    EXPECT_EQ(str(m, m->email->header), "Subject: Grüße\r\n");
    EXPECT_EQ(m->flags & PST_FLAG_HAS_ATTACHMENT, PST_FLAG_HAS_ATTACHMENT);

    // libpst lists attachments last first; find them by long name or method.
    const auto atts = attachments(m);
    ASSERT_EQ(atts.size(), 5u);
    std::map<std::string, pst_item_attach *> byName;
    pst_item_attach *embeddedAttach = nullptr;
    for (pst_item_attach *a : atts) {
        if (a->method == PST_ATTACH_EMBEDDED)
            embeddedAttach = a;
        else
            byName[str(m, a->filename2)] = a;
    }
    ASSERT_EQ(byName.size(), 4u);
    pst_item_attach *small = byName["small.txt"];
    ASSERT_TRUE(small);
    EXPECT_EQ(small->method, PST_ATTACH_BY_VALUE);
    EXPECT_EQ(str(m, small->filename1), "small.txt");
    EXPECT_EQ(pst.attachmentData(small), "hello");
    ASSERT_TRUE(byName["big.bin"]);
    const std::string big = pst.attachmentData(byName["big.bin"]);
    EXPECT_EQ(big.size(), 300000u);
    EXPECT_TRUE(big == pstwriter::Content::generated(300000, 4).readAll()) << "big.bin differs";
    pst_item_attach *odd = byName["../up.txt"];
    ASSERT_TRUE(odd);
    EXPECT_EQ(str(m, odd->filename1), "a/b.txt");
    EXPECT_EQ(pst.attachmentData(odd), "up");

    ASSERT_TRUE(embeddedAttach);
    ItemPtr inner = pst.embedded(embeddedAttach);
    ASSERT_TRUE(inner);
    EXPECT_EQ(str(inner.get(), inner->subject), "inner");
    EXPECT_EQ(str(inner.get(), inner->body), "inner body");
    const auto innerAtts = attachments(inner.get());
    ASSERT_EQ(innerAtts.size(), 1u);
    EXPECT_EQ(str(inner.get(), innerAtts[0]->filename2), "inner.txt");
    EXPECT_EQ(pst.attachmentData(innerAtts[0]), "inside");

    ASSERT_TRUE(byName["link.doc"]);
    EXPECT_EQ(byName["link.doc"]->method, PST_ATTACH_BY_REF);

    pst_item *r = messages[1].get();
    EXPECT_STREQ(r->ascii_type, "REPORT.IPM.Note.NDR");
    EXPECT_EQ(str(r, r->email->outlook_sender_name), "System");
    EXPECT_EQ(str(r, r->email->sender_access), "EX");
    EXPECT_EQ(r->email->arrival_date, nullptr);
}

TEST_F(PstWriterLibpst, ReadsEveryFieldAndStructure) {
    pstwriter::Store store("Second Reader");
    store.write(path("full.pst"));  // an empty store must open too
    ASSERT_TRUE(LibpstFile(path("full.pst")).ok());
    fullStore(store).write(path("full.pst"));
    checkFullStore(path("full.pst"), store);
}

// The compressible encoding, and the offline layout with 4 KiB pages and
// zlib-compressed blocks (the 6,000-character body compresses, the 300 KB
// of random bytes stay as they are in blocks of 64 KB).
TEST_F(PstWriterLibpst, ReadsEncodedAndOfflineStores) {
    const struct {
        const char *file;
        pstwriter::Encryption encryption;
        pstwriter::Format format;
        bool compressed;
    } cases[] = {{"encoded.pst", pstwriter::Encryption::Compressible, pstwriter::Format::Pst, false},
                 {"offline.ost", pstwriter::Encryption::None, pstwriter::Format::Ost4k, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        pstwriter::StoreOptions options;
        options.encryption = c.encryption;
        options.format = c.format;
        options.compressBlocks = c.compressed;
        pstwriter::Store store("Second Reader", options);
        fullStore(store).write(path(c.file));
        checkFullStore(path(c.file), store);
    }
}

TEST_F(PstWriterLibpst, ReadsAFiftyMegabyteAttachment) {
    const pstwriter::Content content = pstwriter::Content::generated(50ull << 20, 51);
    pstwriter::Store store("Large");
    pstwriter::Message m;
    m.subject = "video";
    m.attachments.push_back(pstwriter::Attachment::file("video.mp4", content));
    pstwriter::Folder &inbox = store.root().addFolder("Inbox");
    inbox.addMessage(m);
    store.write(path("large.pst"));

    LibpstFile pst(path("large.pst"));
    ASSERT_TRUE(pst.ok());
    ItemPtr ms = pst.parse(pst.get()->d_head);
    pst_desc_tree *top = pst_getTopOfFolders(pst.get(), ms.get());
    ASSERT_TRUE(top);
    pst_desc_tree *folder = top->child;
    while (folder && folder->d_id != inbox.nodeId())
        folder = folder->next;
    ASSERT_TRUE(folder && folder->child);
    ItemPtr msg = pst.parse(folder->child);
    ASSERT_TRUE(msg && msg->attach);

    const std::string out = path("video.mp4");
    FILE *fp = std::fopen(out.c_str(), "wb");
    ASSERT_TRUE(fp);
    const size_t written = pst_attach_to_file(pst.get(), msg->attach, fp);
    std::fclose(fp);
    EXPECT_EQ(written, content.size());

    // Compared chunk by chunk, never whole.
    FILE *in = std::fopen(out.c_str(), "rb");
    ASSERT_TRUE(in);
    auto reader = content.open();
    std::vector<char> a(1 << 20), b(1 << 20);
    std::uint64_t total = 0;
    bool same = true;
    while (std::size_t n = std::fread(a.data(), 1, a.size(), in)) {
        std::size_t got = 0;
        while (got < n) {
            const std::size_t r = reader->read(b.data() + got, n - got);
            if (r == 0)
                break;
            got += r;
        }
        same = same && got == n && std::memcmp(a.data(), b.data(), n) == 0;
        total += n;
    }
    std::fclose(in);
    EXPECT_TRUE(same);
    EXPECT_EQ(total, content.size());
}

TEST_F(PstWriterLibpst, WalksThousandsOfMessages) {
    pstwriter::Store store("Bulk");
    pstwriter::Folder &bulk = store.root().addFolder("Bulk");
    for (int i = 0; i < 3000; ++i) {
        pstwriter::Message m;
        m.subject = "bulk " + std::to_string(i);
        bulk.addMessage(m);
    }
    store.write(path("bulk.pst"));

    LibpstFile pst(path("bulk.pst"));
    ASSERT_TRUE(pst.ok());
    ItemPtr ms = pst.parse(pst.get()->d_head);
    pst_desc_tree *top = pst_getTopOfFolders(pst.get(), ms.get());
    ASSERT_TRUE(top);
    pst_desc_tree *folder = nullptr;
    for (pst_desc_tree *c = top->child; c; c = c->next) {
        if (c->d_id == bulk.nodeId())
            folder = c;
    }
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->no_child, 3000);
    int i = 0;
    for (pst_desc_tree *c = folder->child; c; c = c->next, ++i) {
        if (i % 500 != 0 && c->next)
            continue;
        ItemPtr m = pst.parse(c);
        ASSERT_TRUE(m);
        EXPECT_EQ(str(m.get(), m->subject), "bulk " + std::to_string(i));
    }
    EXPECT_EQ(i, 3000);
}

}  // namespace
