// libFuzzer target: any bytes as a PST/OST file, read by the engine's own
// reader layer by layer, below the object model: the store, every folder
// reachable from the root (each once), every message of each, every one of
// its properties by the property context's own list, its recipients, and
// every attachment: properties, data streamed, attached messages read the
// same way. pw::Error (ndb::Damage among them) is an answer, not a failure.
#include "fuzzsupport.h"

#include "core/error.h"
#include "platform/pst/messaging/messaging.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>

namespace {

using namespace pw::pst;

struct Limits {
    int folders = 256;
    int messages = 512;
    int attachments = 64;
    int depth = 16;  // attached messages within attached messages
};

template <typename F>
void tolerate(F &&f) {
    try {
        f();
    } catch (const pw::Error &) {
    }
}

void readProperties(const messaging::Properties &props) {
    for (const auto &entry : props.context().list()) {
        const std::uint16_t id = entry.first;
        tolerate([&] { (void)props.get(id); });
        tolerate([&] { (void)props.text(id); });
    }
}

void readMessage(const messaging::Message &message, int depth, const Limits &limits);

void readAttachment(const messaging::Attachment &attachment, int depth, const Limits &limits) {
    readProperties(attachment.properties());
    tolerate([&] {
        (void)attachment.method();
        (void)attachment.longFileName();
        (void)attachment.fileName();
        (void)attachment.displayName();
    });
    tolerate([&] {
        std::uint64_t total = 0;
        attachment.streamData(1 << 20, [&](const std::uint8_t *data, std::size_t size) {
            if (size > 0)
                total += data[0] + data[size - 1];
            return true;
        });
    });
    if (depth < limits.depth) {
        tolerate([&] {
            if (attachment.method() == 5) {
                const auto inner = attachment.attachedMessage();
                if (inner)
                    readMessage(*inner, depth + 1, limits);
            }
        });
    }
}

void readMessage(const messaging::Message &message, int depth, const Limits &limits) {
    readProperties(message.properties());
    tolerate([&] { (void)message.recipients(); });
    tolerate([&] {
        int n = 0;
        for (std::uint32_t id : message.attachmentIds()) {
            if (++n > limits.attachments)
                break;
            tolerate([&] { readAttachment(message.attachment(id), depth, limits); });
        }
    });
}

struct Walk {
    std::shared_ptr<messaging::Store> store;
    Limits limits;
    std::set<std::uint32_t> seen;
    int messages = 0;

    void folder(std::uint32_t nid) {
        if (!seen.insert(nid).second || int(seen.size()) > limits.folders)
            return;
        tolerate([&] { (void)store->folderName(nid); });
        tolerate([&] { readProperties(store->properties(nid)); });
        tolerate([&] {
            for (std::uint32_t m : store->children(nid, messaging::kNodeTypeMessage)) {
                if (++messages > limits.messages)
                    return;
                tolerate([&] { readMessage(messaging::Message(store, m), 0, limits); });
            }
        });
        tolerate([&] {
            for (std::uint32_t f : store->children(nid, messaging::kNodeTypeFolder))
                folder(f);
        });
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = pwfuzz::scratchPath("reader.pst");
    pwfuzz::writeFile(path, data, size);
    tolerate([&] {
        Walk walk;
        walk.store = messaging::Store::open(QString::fromStdString(path));
        (void)walk.store->displayName();
        (void)walk.store->recordKey();
        tolerate([&] { readProperties(walk.store->properties(messaging::kMessageStoreNode)); });
        walk.folder(messaging::kRootFolderNode);
        if (walk.store->ipmSubtree())
            walk.folder(walk.store->ipmSubtree());
    });
    return 0;
}
