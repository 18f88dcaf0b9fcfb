/* Preloaded into a test to make the file system look like FAT, exFAT or a
 * network share: no unnamed temporary files, no hard links, no rename that
 * refuses to replace. PW_SHIM_REFUSE lists what is refused, separated by
 * commas: "tmpfile", "link", "renameat2"; unset refuses all three. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static int refuses(const char *what) {
    const char *list = getenv("PW_SHIM_REFUSE");
    if (!list)
        return 1;
    const size_t length = strlen(what);
    for (const char *p = list; (p = strstr(p, what)) != NULL; p += length) {
        const int starts = p == list || p[-1] == ',';
        const int ends = p[length] == '\0' || p[length] == ',';
        if (starts && ends)
            return 1;
    }
    return 0;
}

static int isTmpfile(int flags) {
    return (flags & O_TMPFILE) == O_TMPFILE;
}

static mode_t modeOf(int flags, va_list args) {
    return (flags & O_CREAT) || isTmpfile(flags) ? (mode_t)va_arg(args, int) : 0;
}

#define PASS_OPEN(name, ...)                                                                   \
    static int (*next)(__VA_ARGS__);                                                           \
    if (!next)                                                                                 \
        next = (int (*)(__VA_ARGS__))dlsym(RTLD_NEXT, name)

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (isTmpfile(flags) && refuses("tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    PASS_OPEN("open", const char *, int, ...);
    return next(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (isTmpfile(flags) && refuses("tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    PASS_OPEN("open64", const char *, int, ...);
    return next(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (isTmpfile(flags) && refuses("tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    PASS_OPEN("openat", int, const char *, int, ...);
    return next(dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (isTmpfile(flags) && refuses("tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    PASS_OPEN("openat64", int, const char *, int, ...);
    return next(dir, path, flags, mode);
}

int link(const char *from, const char *to) {
    if (refuses("link")) {
        errno = EPERM;
        return -1;
    }
    static int (*next)(const char *, const char *);
    if (!next)
        next = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "link");
    return next(from, to);
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags) {
    if (refuses("link")) {
        errno = EPERM;
        return -1;
    }
    static int (*next)(int, const char *, int, const char *, int);
    if (!next)
        next = (int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat");
    return next(fromDir, from, toDir, to, flags);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) {
    if (refuses("renameat2")) {
        errno = EINVAL;
        return -1;
    }
    static int (*next)(int, const char *, int, const char *, unsigned int);
    if (!next)
        next = (int (*)(int, const char *, int, const char *, unsigned int))dlsym(RTLD_NEXT, "renameat2");
    return next(fromDir, from, toDir, to, flags);
}
