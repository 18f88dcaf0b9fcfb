/* A bare libpst walk of a mail file reading the scan's properties; see
 * bare_libpst_walk.c. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct bare_counts {
    long folders;
    long items;
    long mails;
    unsigned long long bytes; /* a checksum of what was read */
};

/* Walks `path`; 0 when it cannot be opened or has no folders. */
int bare_libpst_walk(const char *path, struct bare_counts *out);

#ifdef __cplusplus
}
#endif
