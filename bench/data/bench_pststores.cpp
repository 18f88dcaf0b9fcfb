// Opens and walks the benchmark stores with libpff and with libpst and prints
// how long each step takes: every folder, every message's scan properties,
// every attachment's name, and the 50 MB attachment's bytes.
//
//   bench_pststores [store.pst ...]     (default: the two written stores)
#include "pffreader.h"

#ifdef PW_HAVE_LIBPST
#include <libpst/libpst.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Totals {
    long folders = 0;
    long messages = 0;
    long attachments = 0;
    unsigned long long attachmentBytes = 0;
    unsigned long long textBytes = 0;
};

void walkPff(const pffreader::Item &folder, Totals &t) {
    ++t.folders;
    const int n = folder.messageCount();
    for (int i = 0; i < n; ++i) {
        const pffreader::Item m = folder.message(i);
        ++t.messages;
        for (std::uint32_t id : {0x001Au, 0x0037u, 0x0C1Au, 0x0C1Fu, 0x0C1Eu}) {
            if (auto s = m.text(id))
                t.textBytes += s->size();
        }
        (void)m.filetime(0x0E06);
        for (const pffreader::Item &a : m.attachments()) {
            ++t.attachments;
            if (auto name = a.text(0x3707))
                t.textBytes += name->size();
            if (a.attachmentType() == LIBPFF_ATTACHMENT_TYPE_DATA && a.attachmentSize() > (1u << 20))
                a.readAttachment([&](const char *, std::size_t size) { t.attachmentBytes += size; });
        }
    }
    for (const pffreader::Item &sub : folder.subFolders())
        walkPff(sub, t);
}

void benchPff(const std::string &path) {
    Totals t;
    auto start = Clock::now();
    pffreader::File file(path);
    const double open = since(start);
    start = Clock::now();
    walkPff(file.ipmSubtree(), t);
    std::printf("libpff  %-40s open %6.2f s  walk %6.2f s  folders %ld messages %ld attachments %ld large-bytes %llu\n",
                path.substr(path.rfind('/') + 1).c_str(), open, since(start), t.folders, t.messages, t.attachments,
                t.attachmentBytes);
}

#ifdef PW_HAVE_LIBPST
void walkPst(pst_file *pf, pst_desc_tree *d, Totals &t) {
    for (pst_desc_tree *c = d; c; c = c->next) {
        pst_item *item = pst_parse_item(pf, c, nullptr);
        if (!item)
            continue;
        if (item->folder) {
            ++t.folders;
            if (c->child)
                walkPst(pf, c->child, t);
        } else if (item->email) {
            ++t.messages;
            if (item->subject.str)
                t.textBytes += std::strlen(item->subject.str);
            for (pst_item_attach *a = item->attach; a; a = a->next) {
                ++t.attachments;
                if (a->method == PST_ATTACH_BY_VALUE && !a->data.data) {
                    if (FILE *sink = std::fopen("/dev/null", "wb")) {
                        t.attachmentBytes += pst_attach_to_file(pf, a, sink);
                        std::fclose(sink);
                    }
                }
            }
        }
        pst_freeItem(item);
    }
}

void benchPst(const std::string &path) {
    Totals t;
    auto start = Clock::now();
    pst_file pf;
    std::memset(&pf, 0, sizeof pf);
    if (pst_open(&pf, path.c_str(), nullptr) != 0 || pst_load_index(&pf) != 0) {
        std::printf("libpst  %s: cannot open\n", path.c_str());
        return;
    }
    pst_load_extended_attributes(&pf);
    pst_item *store = pst_parse_item(&pf, pf.d_head, nullptr);
    pst_desc_tree *top = store ? pst_getTopOfFolders(&pf, store) : nullptr;
    const double open = since(start);
    start = Clock::now();
    if (top && top->child)
        walkPst(&pf, top->child, t);
    std::printf("libpst  %-40s open %6.2f s  walk %6.2f s  folders %ld messages %ld attachments %ld attachment-bytes %llu\n",
                path.substr(path.rfind('/') + 1).c_str(), open, since(start), t.folders, t.messages, t.attachments,
                t.attachmentBytes);
    if (store)
        pst_freeItem(store);
    pst_close(&pf);
}
#endif

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> stores(argv + 1, argv + argc);
    if (stores.empty())
        stores = {PW_BENCH_STORE_100K, PW_BENCH_STORE_50MB};
    for (const std::string &path : stores) {
        try {
            benchPff(path);
        } catch (const std::exception &e) {
            std::printf("libpff  %s: %s\n", path.c_str(), e.what());
        }
#ifdef PW_HAVE_LIBPST
        benchPst(path);
#endif
    }
    return 0;
}
