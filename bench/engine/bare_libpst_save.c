/* The yardstick of `parcelwise-cli save`: a bare libpst walk-and-save in C.
 * It opens the file as bare_libpst_walk does, walks the visible folder tree
 * and writes every attachment that has data (by value, not attached
 * messages) into a folder, each under a name of its own (a running number
 * before the attachment's file name, so no name is ever looked up twice),
 * through libpst's own pst_attach_to_file.
 *
 *   bare_libpst_save file.pst target-folder
 *
 * Prints the counts of items, attachments saved and bytes written. */
#include <libpst/libpst.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

struct save_counts {
    long folders, items, saved, failed;
    unsigned long long bytes;
};

static const char *target;

static const char *base_name(const pst_item_attach *a) {
    const char *name = a->filename2.str ? a->filename2.str : a->filename1.str;
    if (!name || !*name)
        return "attachment";
    const char *slash = strrchr(name, '/');
    return slash ? slash + 1 : name;
}

static void save_item(pst_file *pf, pst_item *item, struct save_counts *c) {
    ++c->items;
    for (pst_item_attach *a = item->attach; a; a = a->next) {
        if (a->method == PST_ATTACH_EMBEDDED || (!a->data.data && !a->i_id))
            continue;
        char path[4096];
        snprintf(path, sizeof path, "%s/%ld-%s", target, c->saved + c->failed, base_name(a));
        FILE *out = fopen(path, "wxb");
        if (!out) {
            ++c->failed;
            continue;
        }
        c->bytes += pst_attach_to_file(pf, a, out);
        if (fclose(out) != 0)
            ++c->failed;
        else
            ++c->saved;
    }
}

static void walk(pst_file *pf, pst_desc_tree *folder, struct save_counts *c, int depth) {
    ++c->folders;
    if (depth > 64)
        return;
    for (pst_desc_tree *d = folder->child; d; d = d->next) {
        if (!d->desc)
            continue;
        pst_item *item = pst_parse_item(pf, d, NULL);
        if (!item)
            continue;
        if (item->folder && d->child)
            walk(pf, d, c, depth + 1);
        else if (!item->folder)
            save_item(pf, item, c);
        pst_freeItem(item);
    }
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bare_libpst_save file.pst target-folder\n");
        return 2;
    }
    target = argv[2];
    if (mkdir(target, 0755) != 0 && errno != EEXIST) {
        perror(target);
        return 2;
    }
    pst_file pf;
    memset(&pf, 0, sizeof pf);
    if (pst_open(&pf, argv[1], NULL) != 0) {
        fprintf(stderr, "%s: cannot open\n", argv[1]);
        return 1;
    }
    pst_load_index(&pf);
    pst_load_extended_attributes(&pf);
    struct save_counts c;
    memset(&c, 0, sizeof c);
    pst_item *store = pst_parse_item(&pf, pf.d_head, NULL);
    pst_desc_tree *top = store ? pst_getTopOfFolders(&pf, store) : NULL;
    if (top)
        walk(&pf, top, &c, 0);
    if (store)
        pst_freeItem(store);
    pst_close(&pf);
    printf("%ld folders, %ld items, %ld saved, %ld failed, %llu bytes\n", c.folders, c.items, c.saved, c.failed,
           c.bytes);
    return top && c.failed == 0 ? 0 : 1;
}
