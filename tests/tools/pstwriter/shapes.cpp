#include "shapes.h"

#include <functional>
#include <map>
#include <stdexcept>

namespace pstwriter::shapes {

namespace {

Message mail(const std::string &subject) {
    Message m;
    m.subject = subject;
    m.senderName = "Shape Writer";
    m.senderAddress = "shapes@example.org";
    m.senderAddressType = "SMTP";
    m.deliveryTime = utc(2025, 2, 3, 4, 5, 6);
    m.body = "body of " + subject;
    return m;
}

// Numbered lines of text up to `size` bytes: content that compresses.
std::string report(std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "line " + std::to_string(i) + " of the quarterly report\r\n";
    text.resize(size);
    return text;
}

// Adds a file attachment to the message and to what must be saved.
void attach(Message &m, std::vector<Expected::File> &expected, const std::string &name, Content content) {
    expected.emplace_back(name, content.readAll());
    m.attachments.push_back(Attachment::file(name, std::move(content)));
}

// Every shape keeps a plain message beside the crafted ones, so damage of
// one item that spreads to its neighbours shows.
struct Builder {
    Shape shape;
    Folder *inbox = nullptr;

    explicit Builder(const std::string &name, StoreOptions options = {}) {
        shape.name = name;
        shape.store = std::make_unique<Store>("Shapes", options);
        inbox = &shape.store->root().addFolder("Inbox");
        shape.expected.folders = {"Inbox"};
    }
    void addWitness() {
        Message m = mail("intact neighbour");
        attach(m, shape.expected.files, "intact.txt", Content::bytes("nothing wrong with this one\n"));
        shape.expected.subjects.push_back(*m.subject);
        inbox->addMessage(std::move(m));
    }
    void add(Message m) {
        shape.expected.subjects.push_back(*m.subject);
        inbox->addMessage(std::move(m));
    }
    // A crafted message a reader may reject whole, saying so.
    void addDamaged(Message m) {
        shape.expected.subjectsOrDamage.push_back(*m.subject);
        inbox->addMessage(std::move(m));
    }
};

// Attached messages `depth` deep: level 1 is attached to the top message,
// the last holds `leaf` beside nothing else.
Message chain(int depth, const Attachment &leaf, int damagedLevel, std::vector<Expected::File> *besides) {
    Message inner = mail("level " + std::to_string(depth));
    inner.attachments.push_back(leaf);
    if (depth == damagedLevel)
        inner.craft = Craft::MissingData;
    for (int level = depth - 1; level >= 1; --level) {
        Message outer = mail("level " + std::to_string(level));
        if (level == damagedLevel - 1 && besides) {
            const std::string name = "beside-level-" + std::to_string(level) + ".txt";
            attach(outer, *besides, name, Content::bytes("kept beside the damaged message\n"));
        }
        outer.attachments.push_back(Attachment::embedded(std::move(inner), "level " + std::to_string(level + 1)));
        inner = std::move(outer);
    }
    return inner;
}

// The offline layout with 4 KiB pages and compressed blocks, all sound: a
// text attachment over three compressed blocks, random bytes kept as they
// are, an attached message. Small, for the fuzz seeds and the damage sweep.
void offlineCompressed(Builder &b) {
    Message m = mail("offline report");
    attach(m, b.shape.expected.files, "report.txt", Content::bytes(report(150000)));
    attach(m, b.shape.expected.files, "random.bin", Content::generated(5000, 11));
    Message inner = mail("offline inner");
    inner.attachments.push_back(Attachment::file("inner.txt", Content::bytes(report(6000))));
    b.shape.expected.nestedFiles.emplace_back("inner.txt", report(6000));
    m.attachments.push_back(Attachment::embedded(std::move(inner), "offline inner"));
    b.add(std::move(m));
    b.addWitness();
}

StoreOptions offlineOptions() {
    StoreOptions options;
    options.format = Format::Ost4k;
    options.compressBlocks = true;
    return options;
}

const std::map<std::string, std::function<void(Builder &)>> &table() {
    static const std::map<std::string, std::function<void(Builder &)>> shapes = {
        // More attachments than one subnode block holds: a two-level subnode tree.
        {"attachments-400",
         [](Builder &b) {
             Message m = mail("four hundred attachments");
             for (int i = 0; i < 400; ++i) {
                 const std::uint64_t size = std::uint64_t(i) * 97 % 6000 + 1;  // some past the heap's limit
                 attach(m, b.shape.expected.files, "part-" + std::to_string(i) + ".bin",
                        Content::generated(size, std::uint32_t(i + 1)));
             }
             b.add(std::move(m));
             b.addWitness();
         }},
        // More data blocks than one XBLOCK lists: a two-level data tree.
        {"data-tree-two-levels",
         [](Builder &b) {
             Message m = mail("large attachment");
             attach(m, b.shape.expected.files, "large.bin", Content::generated(9u << 20, 7));
             attach(m, b.shape.expected.files, "small.txt", Content::bytes("after the large one\n"));
             b.add(std::move(m));
             b.addWitness();
         }},
        // Two message nodes on the same blocks (legal: blocks are shared by reference count).
        {"shared-blocks",
         [](Builder &b) {
             for (int i = 0; i < 2; ++i) {
                 Message m = mail("shared");
                 m.attachments.push_back(Attachment::file("shared.txt", Content::bytes("one copy, two messages\n")));
                 if (i == 1)
                     m.craft = Craft::ShareWithPrevious;
                 b.inbox->addMessage(std::move(m));
             }
             b.shape.expected.subjects.push_back("shared");
             b.shape.expected.files.emplace_back("shared.txt", "one copy, two messages\n");
             b.addWitness();
         }},
        // Shared subnode blocks that double at each of 40 levels.
        {"subnode-fan-out",
         [](Builder &b) {
             Message m = mail("fan-out");
             m.craft = Craft::SubnodeFanOut;
             m.craftDepth = 40;
             attach(m, b.shape.expected.filesOrDamage, "fan-a.txt", Content::bytes("first\n"));
             attach(m, b.shape.expected.filesOrDamage, "fan-b.bin", Content::generated(5000, 3));
             b.addDamaged(std::move(m));
             b.addWitness();
             b.shape.expected.damage = Damage::Either;
         }},
        // A message whose attachment's subnode tree is the message's own.
        {"subnode-cycle-self",
         [](Builder &b) {
             Message m = mail("subnode cycle");
             m.craft = Craft::SubnodeCycle;
             attach(m, b.shape.expected.filesOrDamage, "cycle-a.txt", Content::bytes("in the heap\n"));
             attach(m, b.shape.expected.filesOrDamage, "cycle-b.bin", Content::generated(6000, 4));
             b.addDamaged(std::move(m));
             b.addWitness();
             // A reader that looks subnodes up only when it needs them may
             // never meet the loop; then nothing may be missing either.
             b.shape.expected.damage = Damage::Either;
         }},
        // Two messages whose subnode blocks point at each other.
        {"subnode-cycle-pair",
         [](Builder &b) {
             for (const char *tag : {"x", "y"}) {
                 Message m = mail(std::string("paired cycle ") + tag);
                 m.craft = Craft::SubnodeCycle;
                 attach(m, b.shape.expected.filesOrDamage, std::string("pair-") + tag + ".txt",
                        Content::bytes(std::string("paired ") + tag + "\n"));
                 attach(m, b.shape.expected.filesOrDamage, std::string("pair-") + tag + ".bin",
                        Content::generated(4500, tag[0]));
                 b.addDamaged(std::move(m));
             }
             b.addWitness();
             b.shape.expected.damage = Damage::Either;
         }},
        // A data tree that lists itself: the attachment is damaged, its sibling is not.
        {"data-tree-cycle",
         [](Builder &b) {
             Message m = mail("data tree cycle");
             m.craft = Craft::DataTreeCycle;
             m.attachments.push_back(Attachment::file("looped.bin", Content::generated(20000, 5)));
             attach(m, b.shape.expected.files, "after-loop.txt", Content::bytes("not part of the loop\n"));
             b.add(std::move(m));
             b.addWitness();
             b.shape.expected.damage = Damage::Required;
         }},
        // A folder whose parent field and hierarchy table name itself.
        {"folder-own-child",
         [](Builder &b) {
             Folder &loop = b.inbox->addFolder("Loop");
             loop.setParentId(loop.nodeId());
             loop.linkFolder(loop);
             Message m = mail("in the looped folder");
             attach(m, b.shape.expected.files, "looped-folder.txt", Content::bytes("found once\n"));
             b.shape.expected.subjects.push_back(*m.subject);
             loop.addMessage(std::move(m));
             b.shape.expected.folders.push_back("Loop");
             b.addWitness();
             b.shape.expected.damage = Damage::Required;
         }},
        // Two folders each the other's parent (one parent field changed) and child.
        {"folder-cycle",
         [](Builder &b) {
             Folder &outer = b.inbox->addFolder("Outer");
             Folder &inner = outer.addFolder("Inner");
             outer.setParentId(inner.nodeId());
             inner.linkFolder(outer);
             for (Folder *f : {&outer, &inner}) {
                 Message m = mail("in " + f->name());
                 attach(m, b.shape.expected.files, f->name() + ".txt", Content::bytes("in " + f->name() + "\n"));
                 b.shape.expected.subjects.push_back(*m.subject);
                 f->addMessage(std::move(m));
                 b.shape.expected.folders.push_back(f->name());
             }
             b.addWitness();
             b.shape.expected.damage = Damage::Required;
         }},
        // Attached messages twelve deep, all sound.
        {"attached-12-deep",
         [](Builder &b) {
             const std::string deepest = "twelve levels down\n";
             Message m = mail("deep outer");
             m.attachments.push_back(Attachment::embedded(
                 chain(12, Attachment::file("deepest.txt", Content::bytes(deepest)), 0, nullptr), "level 1"));
             attach(m, b.shape.expected.files, "outer.txt", Content::bytes("at the top\n"));
             b.shape.expected.nestedFiles.emplace_back("deepest.txt", deepest);
             b.add(std::move(m));
             b.addWitness();
         }},
        // Attached messages nine deep whose innermost is damaged, beside plain attachments.
        {"attached-9-deep-damaged",
         [](Builder &b) {
             Message m = mail("deep with damage");
             attach(m, b.shape.expected.files, "first-plain.txt", Content::bytes("before the chain\n"));
             m.attachments.push_back(Attachment::embedded(
                 chain(9, Attachment::file("lost.txt", Content::bytes("unreadable\n")), 9,
                       &b.shape.expected.nestedFiles),
                 "level 1"));
             attach(m, b.shape.expected.files, "last-plain.bin", Content::generated(12000, 9));
             b.add(std::move(m));
             b.addWitness();
             b.shape.expected.damage = Damage::Required;
         }},
        // Unpaired surrogates in a subject and an attachment's name.
        {"lone-surrogates",
         [](Builder &b) {
             Message m = mail("placeholder");
             m.subject.reset();
             m.extraProperties.push_back(Property::utf16Units(0x0037, u"sub\xD800ject"));
             Attachment a = Attachment::file("x", Content::bytes("surrogate\n"));
             a.fileName.reset();
             a.longFileName.reset();
             a.displayName.reset();
             a.extraProperties = {Property::utf16Units(0x3704, u"sur\xD800.txt"),
                                  Property::utf16Units(0x3707, u"sur\xD800.txt"),
                                  Property::utf16Units(0x3001, u"sur\xD800.txt")};
             m.attachments.push_back(std::move(a));
             b.shape.expected.subjects.push_back("sub\xEF\xBF\xBDject");  // U+FFFD
             b.shape.expected.files.emplace_back("sur\xEF\xBF\xBD.txt", "surrogate\n");
             b.inbox->addMessage(std::move(m));
             b.addWitness();
         }},
    };
    return shapes;
}

}  // namespace

std::vector<std::string> names() {
    return {"attachments-400",  "data-tree-two-levels", "shared-blocks",    "subnode-fan-out",
            "subnode-cycle-self", "subnode-cycle-pair", "data-tree-cycle",  "folder-own-child",
            "folder-cycle",     "attached-12-deep",     "attached-9-deep-damaged", "lone-surrogates",
            "offline-compressed"};
}

Shape make(const std::string &name) {
    if (name == "offline-compressed") {
        Builder builder(name, offlineOptions());
        offlineCompressed(builder);
        return std::move(builder.shape);
    }
    const auto &shapes = table();
    const auto it = shapes.find(name);
    if (it == shapes.end())
        throw std::invalid_argument("pstwriter: no shape named " + name);
    Builder builder(name);
    it->second(builder);
    return std::move(builder.shape);
}

}  // namespace pstwriter::shapes
