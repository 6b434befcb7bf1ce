#include "engine/storage/os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "engine/result_codes.h"

namespace tarn::os {
namespace {

// Wrappers for the calls whose libc declarations are variadic or overloaded.
int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sysStat(const char* path, struct stat* st) { return ::stat(path, st); }
int sysFstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int sysFcntlLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
void* sysMremap(void* old, size_t oldLen, size_t newLen, int flags) {
    return ::mremap(old, oldLen, newLen, flags);
}

constexpr SysTable kDefaultSys = {
    sysOpen,  ::close,  ::flock,  sysStat,   sysFstat,   ::ftruncate, ::posix_fallocate,
    ::mmap,   sysMremap, ::munmap, ::msync,  ::fsync,    ::pread,     ::pwrite,
    ::futimens, std::calloc, std::realloc, std::malloc, ::sysconf,
    ::unlink, ::realpath, ::access, ::clock_gettime, ::nanosleep, sysFcntlLock,
};

SysTable gSys = kDefaultSys;

// The grown tail will be written soon: mapping its pages in one call costs
// less than a fault on each. Only a hint, so neither injected nor reported.
void prepareForWriting(uint8_t* start, size_t length) {
#ifdef MADV_POPULATE_WRITE
    ErrnoGuard keep;
    madvise(start, length, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)length;
#endif
}

}  // namespace

SysTable& Sys() { return gSys; }
const SysTable& DefaultSys() { return kDefaultSys; }

void CloseFile(int fd) {
    if (fd >= 0) Sys().close(fd);
}

uint32_t MapFile(int fd, size_t size, bool readOnly, bool allocated, uint32_t headerSize,
                 uint8_t** base) {
    if (!readOnly) {
        const size_t reserve = allocated && size > headerSize ? headerSize : size;
        if (int e = Sys().fallocate(fd, 0, off_t(reserve))) {
            errno = e;
            return rc::kCreateMapping;
        }
    }
    const int prot = readOnly ? PROT_READ : PROT_READ | PROT_WRITE;
    void* p = Sys().mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return rc::kMapView;
    *base = static_cast<uint8_t*>(p);
    return rc::kOk;
}

uint32_t ExtendFile(int fd, size_t oldSize, size_t newSize) {
    // Only the new tail: the blocks before it were reserved already, and a
    // reservation walks every page of its range.
    if (int e = Sys().fallocate(fd, off_t(oldSize), off_t(newSize - oldSize))) {
        errno = e;
        ErrnoGuard keep;
        Sys().ftruncate(fd, off_t(oldSize));  // a partial reservation may have extended it
        return rc::kCreateMapping;
    }
    return rc::kOk;
}

uint32_t RemapFile(int fd, uint8_t* base, size_t oldSize, size_t newSize, uint8_t** out) {
    if (uint32_t r = ExtendFile(fd, oldSize, newSize)) return r;
    void* p = Sys().mremap(base, oldSize, newSize, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
        ErrnoGuard keep;
        Sys().ftruncate(fd, off_t(oldSize));
        return rc::kMapView;
    }
    *out = static_cast<uint8_t*>(p);
    prepareForWriting(*out + oldSize, newSize - oldSize);
    return rc::kOk;
}

uint32_t UnmapFile(uint8_t* base, size_t size) {
    return Sys().munmap(base, size) == 0 ? rc::kOk : rc::kUnmapView;
}

uint32_t FlushView(uint8_t* base, size_t size) {
    return Sys().msync(base, size, MS_SYNC) == 0 ? rc::kOk : rc::kFlushView;
}

uint32_t FlushFile(int fd) { return Sys().fsync(fd) == 0 ? rc::kOk : rc::kFlushFileBuffers; }

bool FolderOf(const char* path, char (&folder)[PATH_MAX]) {
    // What comes before the last slash: "." without one, "/" for a name
    // right under the root.
    const char* slash = std::strrchr(path, '/');
    const size_t length = slash == nullptr || slash == path ? 1 : size_t(slash - path);
    if (length >= sizeof folder) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(folder, slash == nullptr ? "." : path, length);
    folder[length] = 0;
    return true;
}

uint32_t FlushFolderOf(const char* path) {
    char folder[PATH_MAX];
    if (!FolderOf(path, folder)) return rc::kFlushFileBuffers;
    const int fd = Sys().open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return rc::kFlushFileBuffers;
    const uint32_t r = FlushFile(fd);
    ErrnoGuard keep;
    CloseFile(fd);
    return r;
}

void TouchWriteTime(int fd, const struct timespec* access) {
    const struct timespec times[2] = {access != nullptr ? *access : timespec{0, UTIME_OMIT}, {0, UTIME_NOW}};
    Sys().futimens(fd, times);
}

// Staging is only a faster way to the same file, so its calls stay outside
// the table of injectable calls: a failure merely maps the file at once.
constexpr size_t kStagingSpan = size_t(fmt::kHeaderSize) + kMaxDataSize;

uint8_t* ReserveStaging() {
    ErrnoGuard keep;
    void* p = ::mmap(nullptr, kStagingSpan, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, kStagingSpan, MADV_HUGEPAGE);
#endif
    return static_cast<uint8_t*>(p);
}

uint8_t* ReservePrivateView(int fd, size_t size) {
    void* span = Sys().mmap(nullptr, kStagingSpan, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (span == MAP_FAILED) return nullptr;
    // Fixed over the span just reserved, which holds nothing yet.
    if (Sys().mmap(span, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
        ErrnoGuard keep;
        ::munmap(span, kStagingSpan);
        return nullptr;
    }
    return static_cast<uint8_t*>(span);
}

uint32_t ReleasePrivateView(uint8_t* base) {
    return Sys().munmap(base, kStagingSpan) == 0 ? rc::kOk : rc::kUnmapView;
}

void ReleaseStaging(uint8_t* base) {
    ErrnoGuard keep;
    ::munmap(base, kStagingSpan);
}

size_t StagingLimit() {
    ErrnoGuard keep;
    const long pages = Sys().sysconf(_SC_PHYS_PAGES);
    const long pageSize = Sys().sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return size_t(pages) / 4 * size_t(pageSize);
}

// What the caller and the filling thread share; the thread ends once it
// has nothing to do and `stopping` is set, or once the kernel refuses.
struct StagingFiller::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    uint8_t* base = nullptr;
    size_t target = 0;  // bytes asked for
    size_t done = 0;    // bytes faulted in
    bool stopping = false;
    bool refused = false;

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || target > done; });
            if (stopping) return;
            const size_t from = done, to = target;
            lock.unlock();
#ifdef MADV_POPULATE_WRITE
            const bool faulted = madvise(base + from, to - from, MADV_POPULATE_WRITE) == 0;
#else
            const bool faulted = false;
#endif
            lock.lock();
            done = to;
            if (!faulted) {
                refused = true;
                return;
            }
        }
    }
};

void StagingFiller::fillTo(uint8_t* base, size_t upTo) {
    if (_shared == nullptr) {
        _shared = new (std::nothrow) Shared;
        if (_shared == nullptr) return;
        _shared->base = base;
        try {
            _shared->thread = std::thread([s = _shared] { s->run(); });
        } catch (...) {  // no thread to be had: nothing is faulted ahead
            _shared->refused = true;
        }
    }
    std::lock_guard<std::mutex> lock(_shared->mutex);
    if (_shared->refused || upTo <= _shared->target) return;
    _shared->target = upTo;
    _shared->wake.notify_one();
}

void StagingFiller::stop() {
    if (_shared == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(_shared->mutex);
        _shared->stopping = true;
        _shared->wake.notify_one();
    }
    if (_shared->thread.joinable()) _shared->thread.join();
    delete _shared;
    _shared = nullptr;
}

void* AllocTable(size_t size, void** block) {
    *block = Sys().calloc(1, size + kHugePage);
    if (*block == nullptr) return nullptr;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(*block) + kHugePage - 1) & ~(kHugePage - 1);
    void* table = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    ErrnoGuard keep;
    madvise(table, size & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
    return table;
}

uint32_t ReadAll(int fd, uint64_t off, void* dst, size_t len) {
    auto* p = static_cast<uint8_t*>(dst);
    while (len > 0) {
        const ssize_t n = Sys().pread(fd, p, len, off_t(off));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return rc::kReadFile;
        if (n == 0) {  // the file ended early
            errno = EIO;
            return rc::kReadFile;
        }
        p += n;
        off += uint64_t(n);
        len -= size_t(n);
    }
    return rc::kOk;
}

uint32_t WriteAll(int fd, uint64_t off, const void* src, size_t len) {
    auto* p = static_cast<const uint8_t*>(src);
    while (len > 0) {
        const ssize_t n = Sys().pwrite(fd, p, len, off_t(off));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return rc::kWriteFile;
        if (n == 0) {  // no progress: give up rather than spin
            errno = EIO;
            return rc::kWriteFile;
        }
        p += n;
        off += uint64_t(n);
        len -= size_t(n);
    }
    return rc::kOk;
}

}  // namespace tarn::os
