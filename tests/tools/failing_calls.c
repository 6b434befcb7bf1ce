/* Preloaded into a program to fail one chosen system call, the way a full
 * disk, a dying device or a racing process would make it fail, to kill it
 * at a chosen call, or to cut its power at a chosen sync.
 *
 *   TARN_FAIL=name:n[:errno]  the n-th call (from 1) of `name` fails with
 *                             errno (default EIO) without doing anything
 *   TARN_KILL=n               the process sends itself SIGKILL instead of
 *                             making its n-th call (of any name, from 1)
 *   TARN_CUT=n:folder         a power cut: SIGKILL instead of the n-th fsync;
 *                             each fsync before it leaves in `folder` what
 *                             it made durable, for the test to rebuild the
 *                             disk from: "ino-INODE", the file's bytes, for
 *                             a file; "dir-INODE", lines "INODE NAME" of its
 *                             regular files, for a folder
 *   TARN_CALLS=path           at exit, "name count" for every call made
 *
 * Only calls the program and its libraries make through the dynamic linker
 * are seen; the C library's internal ones are not (nor those made here). */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum {
    kOpen, kOpenat, kClose, kFlock, kFstat, kStat, kFtruncate, kFallocate, kMmap, kMremap,
    kMunmap, kMsync, kFsync, kPread, kPwrite, kFutimens, kRename, kUnlink, kRealpath,
    kFchmod, kFchown, kCallKinds
};

static const char* const kNames[kCallKinds] = {
    "open", "openat", "close", "flock", "fstat", "stat", "ftruncate", "posix_fallocate", "mmap",
    "mremap", "munmap", "msync", "fsync", "pread", "pwrite", "futimens", "rename", "unlink",
    "realpath", "fchmod", "fchown"};

static unsigned long gCounts[kCallKinds];
static int gFailKind = -1;
static unsigned long gFailAt;
static int gFailErrno = EIO;
static unsigned long gCalls;   /* of every name */
static unsigned long gKillAt;  /* 0: never */
static unsigned long gCutAt;   /* 0: never */
static char gCutFolder[PATH_MAX];

static void readKillAndCut(void) {
    const char* kill = getenv("TARN_KILL");
    if (kill != NULL) gKillAt = strtoul(kill, NULL, 10);
    const char* cut = getenv("TARN_CUT");
    if (cut == NULL) return;
    char* end = NULL;
    gCutAt = strtoul(cut, &end, 10);
    if (end == NULL || *end != ':' || strlen(end + 1) >= sizeof gCutFolder) gCutAt = 0;
    else strcpy(gCutFolder, end + 1);
}

/* Calls before the plan is read are not counted: a sanitizer's runtime
 * makes some before the constructors run, which would shift every number. */
static int gPlanRead;

static void readFailPlan(void) {
    const char* plan = getenv("TARN_FAIL");
    if (plan == NULL) return;
    const char* colon = strchr(plan, ':');
    if (colon == NULL) return;
    for (int k = 0; k < kCallKinds; ++k) {
        if (strlen(kNames[k]) == (size_t)(colon - plan) && strncmp(kNames[k], plan, colon - plan) == 0)
            gFailKind = k;
    }
    char* end = NULL;
    gFailAt = strtoul(colon + 1, &end, 10);
    if (end != NULL && *end == ':') gFailErrno = atoi(end + 1);
}

__attribute__((constructor)) static void readPlan(void) {
    readKillAndCut();
    readFailPlan();
    __atomic_store_n(&gPlanRead, 1, __ATOMIC_RELEASE);
}

__attribute__((destructor)) static void writeCounts(void) {
    const char* path = getenv("TARN_CALLS");
    if (path == NULL) return;
    FILE* out = fopen(path, "w");
    if (out == NULL) return;
    for (int k = 0; k < kCallKinds; ++k) fprintf(out, "%s %lu\n", kNames[k], gCounts[k]);
    fclose(out);
}

/* Counts the call; true when it is the one to fail (errno is then set). The
 * call to be killed at never returns. */
static int failing(int kind) {
    if (!__atomic_load_n(&gPlanRead, __ATOMIC_ACQUIRE)) return 0;
    if (__atomic_add_fetch(&gCalls, 1, __ATOMIC_RELAXED) == gKillAt) raise(SIGKILL);
    const unsigned long n = __atomic_add_fetch(&gCounts[kind], 1, __ATOMIC_RELAXED);
    if (kind != gFailKind || n != gFailAt) return 0;
    errno = gFailErrno;
    return 1;
}

static void* next(const char* name) { return dlsym(RTLD_NEXT, name); }

#define FORWARD(type, name, params, args, kind, failed)            \
    EXPORT type name params {                                      \
        static type(*real) params;                                 \
        if (failing(kind)) return failed;                          \
        if (real == NULL) real = (type(*) params)next(#name);      \
        return real args;                                          \
    }

static mode_t modeOf(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
}

EXPORT int open(const char* path, int flags, ...) {
    static int (*real)(const char*, int, ...);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (failing(kOpen)) return -1;
    if (real == NULL) real = (int (*)(const char*, int, ...))next("open");
    return real(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return open(path, flags, mode);
}

EXPORT int openat(int dir, const char* path, int flags, ...) {
    static int (*real)(int, const char*, int, ...);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    if (failing(kOpenat)) return -1;
    if (real == NULL) real = (int (*)(int, const char*, int, ...))next("openat");
    return real(dir, path, flags, mode);
}

EXPORT void* mremap(void* old, size_t oldSize, size_t newSize, int flags, ...) {
    static void* (*real)(void*, size_t, size_t, int, ...);
    va_list args;
    va_start(args, flags);
    void* where = (flags & MREMAP_FIXED) ? va_arg(args, void*) : NULL;
    va_end(args);
    if (failing(kMremap)) return MAP_FAILED;
    if (real == NULL) real = (void* (*)(void*, size_t, size_t, int, ...))next("mremap");
    return real(old, oldSize, newSize, flags, where);
}

/* Returns an error number instead of setting errno. */
EXPORT int posix_fallocate(int fd, off_t offset, off_t length) {
    static int (*real)(int, off_t, off_t);
    if (failing(kFallocate)) return errno;
    if (real == NULL) real = (int (*)(int, off_t, off_t))next("posix_fallocate");
    return real(fd, offset, length);
}

FORWARD(int, close, (int fd), (fd), kClose, -1)
FORWARD(int, flock, (int fd, int op), (fd, op), kFlock, -1)
FORWARD(int, fstat, (int fd, struct stat* st), (fd, st), kFstat, -1)
FORWARD(int, stat, (const char* path, struct stat* st), (path, st), kStat, -1)
FORWARD(int, ftruncate, (int fd, off_t size), (fd, size), kFtruncate, -1)
FORWARD(void*, mmap, (void* a, size_t n, int p, int f, int fd, off_t o), (a, n, p, f, fd, o), kMmap,
        MAP_FAILED)
FORWARD(int, munmap, (void* a, size_t n), (a, n), kMunmap, -1)
FORWARD(int, msync, (void* a, size_t n, int f), (a, n, f), kMsync, -1)
FORWARD(ssize_t, pread, (int fd, void* b, size_t n, off_t o), (fd, b, n, o), kPread, -1)
FORWARD(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o), kPwrite, -1)
FORWARD(int, futimens, (int fd, const struct timespec t[2]), (fd, t), kFutimens, -1)
FORWARD(int, rename, (const char* from, const char* to), (from, to), kRename, -1)
FORWARD(int, unlink, (const char* path), (path), kUnlink, -1)
FORWARD(char*, realpath, (const char* path, char* out), (path, out), kRealpath, NULL)
FORWARD(int, fchmod, (int fd, mode_t mode), (fd, mode), kFchmod, -1)
FORWARD(int, fchown, (int fd, uid_t u, gid_t g), (fd, u, g), kFchown, -1)

/* ---- power cuts ---------------------------------------------------------- */

/* Copies what the file open at fd holds now into `to`. */
static void copyFile(int fd, const char* to) {
    char from[64];
    snprintf(from, sizeof from, "/proc/self/fd/%d", fd);
    FILE* in = fopen(from, "rb");
    FILE* out = in != NULL ? fopen(to, "wb") : NULL;
    char buffer[65536];
    size_t n;
    while (out != NULL && (n = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, n, out);
    if (out != NULL) fclose(out);
    if (in != NULL) fclose(in);
}

/* Lists the regular files of the folder open at fd into `to`. */
static void listFolder(int fd, const char* to) {
    char from[64];
    snprintf(from, sizeof from, "/proc/self/fd/%d", fd);
    DIR* dir = opendir(from);
    FILE* out = dir != NULL ? fopen(to, "w") : NULL;
    struct dirent* entry;
    while (out != NULL && (entry = readdir(dir)) != NULL) {
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            fprintf(out, "%lu %s\n", (unsigned long)st.st_ino, entry->d_name);
    }
    if (out != NULL) fclose(out);
    if (dir != NULL) closedir(dir);
}

/* What a sync of fd made durable, noted in the cut's folder. */
static void noteDurable(int fd) {
    static int (*realFstat)(int, struct stat*);
    struct stat st;
    char to[PATH_MAX + 32];
    if (realFstat == NULL) realFstat = (int (*)(int, struct stat*))next("fstat");
    if (realFstat(fd, &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        snprintf(to, sizeof to, "%s/dir-%lu", gCutFolder, (unsigned long)st.st_ino);
        listFolder(fd, to);
    } else if (S_ISREG(st.st_mode)) {
        snprintf(to, sizeof to, "%s/ino-%lu", gCutFolder, (unsigned long)st.st_ino);
        copyFile(fd, to);
    }
}

EXPORT int fsync(int fd) {
    static int (*real)(int);
    static unsigned long syncs;
    if (failing(kFsync)) return -1;
    if (gCutAt != 0 && __atomic_add_fetch(&syncs, 1, __ATOMIC_RELAXED) == gCutAt) raise(SIGKILL);
    if (real == NULL) real = (int (*)(int))next("fsync");
    const int r = real(fd);
    if (r == 0 && gCutAt != 0) noteDurable(fd);
    return r;
}
