// The operating-system layer of the file-backed drivers: size query,
// mapping, remapping, flushing, whole-file transfers, and the staging memory
// of new files with its filler. Opening, locking and recovering a database
// file build on it (engine/storage/db_file.h).
//
// Every function returns a result code naming the step that failed and leaves
// errno holding the failing call's error (cleanup on the way out saves and
// restores it), so that LumErrorMessage can describe the failure.
//
// System and allocator calls go through one replaceable table, Sys(), the
// seam tests use to fail a chosen call. Every heap block of the engine comes
// from its calloc, malloc or realloc, but for these, which do not and why:
//  - the standard containers of query execution, sorted result lists and
//    LumCursorEraseRecord allocate through operator new, as containers do;
//    their failure is std::bad_alloc, which the C boundary turns into 0x1000
//    (engine/c_boundary.h);
//  - the staging memory of a new file and the filler's thread with its
//    shared state (ReserveStaging, StagingFiller): they are only a faster way
//    to the same file, and when they cannot be had the file is mapped and
//    faulted in as before, so no failure of theirs is to be reported;
//  - the text converters of encoding/, a library of their own that the XML
//    layer links too, allocate with the C library's malloc.
// Tests reach these through their replacement of the process's allocator
// (tests/engine/fault_support.h).
#ifndef TARN_STORAGE_OS_H
#define TARN_STORAGE_OS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "engine/storage/format.h"

namespace tarn::os {

struct SysTable {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*flock)(int fd, int op);
    int (*stat)(const char* path, struct stat* st);
    int (*fstat)(int fd, struct stat* st);
    int (*ftruncate)(int fd, off_t size);
    int (*fallocate)(int fd, off_t off, off_t len);  // returns an errno value, like posix_fallocate
    void* (*mmap)(void* addr, size_t len, int prot, int flags, int fd, off_t off);
    void* (*mremap)(void* old, size_t oldLen, size_t newLen, int flags);
    int (*munmap)(void* addr, size_t len);
    int (*msync)(void* addr, size_t len, int flags);
    int (*fsync)(int fd);
    ssize_t (*pread)(int fd, void* buf, size_t len, off_t off);
    ssize_t (*pwrite)(int fd, const void* buf, size_t len, off_t off);
    int (*futimens)(int fd, const struct timespec times[2]);
    void* (*calloc)(size_t count, size_t size);
    void* (*realloc)(void* p, size_t size);
    void* (*malloc)(size_t size);
    long (*sysconf)(int name);
    int (*unlink)(const char* path);
    char* (*realpath)(const char* path, char* resolved);  // resolved: PATH_MAX bytes
    int (*access)(const char* path, int mode);
    int (*clockGettime)(clockid_t clock, struct timespec* now);
    int (*nanosleep)(const struct timespec* request, struct timespec* remaining);
    int (*fcntlLock)(int fd, int command, struct flock* lock);  // F_OFD_SETLK and the like
};

// The live table. Tests may replace entries and must restore DefaultSys().
SysTable& Sys();
const SysTable& DefaultSys();

// The error behind a 0x2000-range code; on this platform that is errno.
inline int LastSystemError() { return errno; }

// Keeps errno across cleanup that follows a failure.
class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

private:
    int saved_;
};

// Largest data area whose file, header included, stays below 4 GiB (larger
// files cannot be opened again).
constexpr uint32_t kMaxDataSize = 0xFFFFFFFFu - fmt::kHeaderSize;

void CloseFile(int fd);

// Maps `size` bytes of the file whole (shared), first reserving the disk
// blocks up to `size` so that a full disk is a code here rather than a fault
// on a mapped page later. A file `allocated` already has them: only its
// header area, `headerSize` bytes rewritten by every commit, is reserved
// again, since a reservation walks every page of its range. 0x2009
// reservation, 0x2008 mapping.
uint32_t MapFile(int fd, size_t size, bool readOnly, bool allocated, uint32_t headerSize,
                 uint8_t** base);
// Extends the file from oldSize to newSize bytes, reserving the new blocks.
// On failure the file size is as before: 0x2009.
uint32_t ExtendFile(int fd, size_t oldSize, size_t newSize);
// Enlarges a mapping; the view may move. On failure the old view and the
// file size are as before. 0x2009 reservation, 0x2008 remapping.
uint32_t RemapFile(int fd, uint8_t* base, size_t oldSize, size_t newSize, uint8_t** out);
// 0x200A on failure.
uint32_t UnmapFile(uint8_t* base, size_t size);
// Writes the mapped pages to disk: 0x200B on failure.
uint32_t FlushView(uint8_t* base, size_t size);
// Writes the file's data to disk: 0x2001 on failure.
uint32_t FlushFile(int fd);
// The folder that holds `path` (false, errno ENAMETOOLONG, when it does
// not fit).
bool FolderOf(const char* path, char (&folder)[PATH_MAX]);
// Makes the names in the folder of `path` (created, renamed or removed
// ones) durable: 0x2001 on failure.
uint32_t FlushFolderOf(const char* path);
// Sets the last-write time to now; the access time is left alone, or set
// to *access when given (what it was before a mapping touched it). Failure
// is not reported: the time is a courtesy, not part of the content.
void TouchWriteTime(int fd, const struct timespec* access = nullptr);

// The size of a huge page, to which huge-page memory is aligned.
constexpr size_t kHugePage = size_t(2) << 20;

// The private view of an existing file that is changed: the span of the
// largest file reserved (as for staging, below), with the file's `size`
// bytes mapped copy-on-write at its start. Writes to it never reach the
// file; what lies past the file is anonymous memory for growth, so the
// view never moves. Null when it cannot be had, errno telling why.
uint8_t* ReservePrivateView(int fd, size_t size);
// 0x200A when the span cannot be unmapped.
uint32_t ReleasePrivateView(uint8_t* base);

// Staging memory: anonymous memory that stands in for a new file's mapping
// until the file is first written whole. Unlike a mapping of the file it may
// be backed by huge pages, which spare a large load most of its address
// translation misses. The span of the largest file is reserved at once, so
// that growth never moves it; pages are committed as they are touched.
// Null when the span cannot be had: the caller maps the file instead.
uint8_t* ReserveStaging();
void ReleaseStaging(uint8_t* base);
// Bytes of file a session may stage: a quarter of physical memory, since
// staged bytes cannot be written back under memory pressure the way mapped
// file pages can. 0 when the size of memory is unknown.
size_t StagingLimit();

// Faults staging memory in ahead of a store's growth on a thread of its
// own: the kernel zeroes every fresh page, and the thread that fills the
// store need not wait for it. Contents are never touched, so the store's
// thread may write anywhere meanwhile. Only a hint: when the thread cannot
// be had or the kernel cannot fault ahead, the pages are faulted in as they
// are first written, as before.
class StagingFiller {
public:
    StagingFiller() = default;
    StagingFiller(const StagingFiller&) = delete;
    StagingFiller& operator=(const StagingFiller&) = delete;
    ~StagingFiller() { stop(); }

    // Asks for the first `upTo` bytes of the staging at `base` (the same at
    // every call) to be faulted in; the thread starts at the first call.
    void fillTo(uint8_t* base, size_t upTo);
    // Ends the thread; to be called before the staging is released.
    void stop();

private:
    struct Shared;
    Shared* _shared = nullptr;
};

// Zeroed memory for a large table that is read at random: `size` bytes from
// Sys().calloc, placed and marked so that the kernel may back it with huge
// pages, which spare the lookups most of their address translation misses.
// Null when the memory cannot be had; *block is what to free() afterwards.
void* AllocTable(size_t size, void** block);

// Whole transfers at a file offset, retrying short transfers and EINTR.
// 0x2004 / 0x2005 on failure; reading past the end of the file is a failure.
uint32_t ReadAll(int fd, uint64_t off, void* dst, size_t len);
uint32_t WriteAll(int fd, uint64_t off, const void* src, size_t len);

}  // namespace tarn::os

#endif
