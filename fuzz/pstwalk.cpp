#include "pstwalk.h"

#include "core/error.h"

namespace pwfuzz {

namespace {

using namespace pw::outlook;

template <typename F>
void tolerate(F &&f) {
    try {
        f();
    } catch (const pw::Error &) {
    }
}

struct Budget {
    WalkLimits limits;
    int folders = 0;
    int items = 0;
};

void walkFolder(const FolderPtr &folder, int depth, Budget &budget) {
    if (!folder || depth > budget.limits.depth || ++budget.folders > budget.limits.folders)
        return;
    tolerate([&] { (void)folder->name(); });
    tolerate([&] {
        const ItemsPtr items = folder->Items();
        const int count = items ? items->count() : 0;
        for (int i = 1; i <= count && budget.items < budget.limits.items; ++i) {
            ++budget.items;
            tolerate([&] { readItem(items->Item(i), budget.limits.attachmentsPerItem); });
        }
    });
    tolerate([&] {
        const FoldersPtr children = folder->Folders();
        const int count = children ? children->count() : 0;
        for (int i = 1; i <= count && budget.folders < budget.limits.folders; ++i)
            tolerate([&] { walkFolder(children->Item(i), depth + 1, budget); });
    });
}

} // namespace

void readItem(const ItemPtr &item, int attachmentLimit) {
    if (!item)
        return;
    tolerate([&] { (void)item->Class(); });
    tolerate([&] { (void)item->ReceivedTime(); });
    tolerate([&] { (void)item->SenderName(); });
    tolerate([&] { (void)item->SenderEmailType(); });
    tolerate([&] { (void)item->SenderEmailAddress(); });
    tolerate([&] { (void)item->Subject(); });
    tolerate([&] { (void)item->Body(); });
    tolerate([&] { (void)item->EntryID(); });
    tolerate([&] {
        const AttachmentsPtr attachments = item->Attachments();
        const int count = attachments ? attachments->count() : 0;
        for (int i = 1; i <= count && i <= attachmentLimit; ++i)
            tolerate([&] { (void)attachments->Item(i)->fileName(); });
    });
}

int walkNamespace(const NamespacePtr &ns, const WalkLimits &limits) {
    Budget budget{limits};
    tolerate([&] {
        const FoldersPtr roots = ns->Folders();
        const int count = roots ? roots->count() : 0;
        for (int i = 1; i <= count; ++i)
            tolerate([&] { walkFolder(roots->Item(i), 0, budget); });
    });
    return budget.items;
}

} // namespace pwfuzz
