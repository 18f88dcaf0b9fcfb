/* Preloaded into a program to make the disk fill up: once
 * PW_SHIM_FULL_AFTER bytes have been written to ordinary files, every
 * further write to one fails with ENOSPC, as on a full file system. Writes
 * to pipes and terminals pass. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static long long written;

static int full(int fd, size_t count) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    const char *limit = getenv("PW_SHIM_FULL_AFTER");
    if (!limit)
        return 0;
    if (written + (long long)count > atoll(limit))
        return 1;
    written += (long long)count;
    return 0;
}

ssize_t write(int fd, const void *buffer, size_t count) {
    static ssize_t (*next)(int, const void *, size_t);
    if (!next)
        next = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    if (full(fd, count)) {
        errno = ENOSPC;
        return -1;
    }
    return next(fd, buffer, count);
}
