/* The yardstick of the engine's scan: a bare libpst walk in C that opens a
 * mail file the way libpst's own tools do (pst_open, pst_load_index, which
 * also links libpst's node tree, pst_load_extended_attributes) and reads,
 * for every item under the visible folder tree, what the scan reads: the
 * message class, subject, sender name, address and address type, the
 * received date with its fallbacks and the attachment count.
 *
 *   bare_libpst_walk file.pst
 *
 * Built twice: as a program of its own (for whole-process figures) and as
 * a function bench_engine calls between its own walks. The program prints
 * the folder, item and mail counts and a checksum of the bytes read,
 * so the reads cannot be optimised away and two walks can be compared. */
#include <libpst/libpst.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "bare_libpst_walk.h"

static size_t text_size(const pst_string *s) {
    return s->str ? strlen(s->str) : 0;
}

/* The first of two fields that is present, as the engine takes it. */
static size_t first_present(const pst_string *a, const pst_string *b) {
    return a->str ? text_size(a) : text_size(b);
}

static void read_item(const pst_item *item, struct bare_counts *c) {
    ++c->items;
    const char *cls = item->ascii_type;
    if (cls && strncmp(cls, "IPM.Note", 8) != 0)
        return;
    ++c->mails;
    long attachments = 0;
    for (const pst_item_attach *a = item->attach; a; a = a->next)
        ++attachments;
    c->bytes += (unsigned long long)attachments;
    const FILETIME *when = NULL;
    if (item->email)
        when = item->email->arrival_date ? item->email->arrival_date : item->email->sent_date;
    if (!when)
        when = item->create_date;
    if (when)
        c->bytes += when->dwLowDateTime & 1;
    c->bytes += text_size(&item->subject);
    if (item->email) {
        const pst_item_email *e = item->email;
        c->bytes += first_present(&e->outlook_sender_name2, &e->outlook_sender_name);
        const pst_string *type = e->sender2_access.str ? &e->sender2_access : &e->sender_access;
        if (type->str && strcmp(type->str, "SMTP") == 0)
            c->bytes += first_present(&e->sender2_address, &e->sender_address);
    }
}

static void walk(pst_file *pf, pst_desc_tree *folder, struct bare_counts *c, int depth) {
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
        else if (item->folder)
            ++c->folders;
        else
            read_item(item, c);
        pst_freeItem(item);
    }
}

int bare_libpst_walk(const char *path, struct bare_counts *out) {
    pst_file pf;
    memset(&pf, 0, sizeof pf);
    memset(out, 0, sizeof *out);
    if (pst_open(&pf, path, NULL) != 0)
        return 0;
    pst_load_index(&pf);
    pst_load_extended_attributes(&pf);
    pst_item *store = pst_parse_item(&pf, pf.d_head, NULL);
    pst_desc_tree *top = store ? pst_getTopOfFolders(&pf, store) : NULL;
    if (top)
        walk(&pf, top, out, 0);
    if (store)
        pst_freeItem(store);
    pst_close(&pf);
    return top != NULL;
}

#ifdef BARE_WALK_MAIN
int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: bare_libpst_walk file.pst\n");
        return 2;
    }
    struct bare_counts c;
    if (!bare_libpst_walk(argv[1], &c)) {
        fprintf(stderr, "%s: cannot open or walk\n", argv[1]);
        return 1;
    }
    printf("%ld folders, %ld items, %ld mail, checksum %llu\n", c.folders, c.items, c.mails, c.bytes);
    return 0;
}
#endif
