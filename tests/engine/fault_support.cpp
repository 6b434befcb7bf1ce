#include "tests/engine/fault_support.h"

#include <dirent.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/result_codes.h"

namespace tarn_fault {

// ---- Trigger -------------------------------------------------------------------

void Trigger::arm(uint64_t n, Failure mode) {
    armed_.store(false);
    target_.store(n);
    sticky_.store(mode == Failure::FromThenOn);
    calls_.store(0);
    fired_.store(false);
    armed_.store(true);
}

void Trigger::disarm() { armed_.store(false); }

bool Trigger::hit() {
    if (!armed_.load(std::memory_order_relaxed)) return false;
    const uint64_t call = calls_.fetch_add(1, std::memory_order_relaxed);
    const uint64_t target = target_.load(std::memory_order_relaxed);
    if (call == target || (call > target && sticky_.load(std::memory_order_relaxed))) {
        fired_.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// ---- StoreFaults ---------------------------------------------------------------

namespace {

// The original slots of one wrapped store, found again by its driver context.
struct StoreSlot {
    void* ctx = nullptr;
    uint32_t (*grow)(void*, uint32_t) = nullptr;
    uint32_t (*commit)(void*) = nullptr;
    StoreFaults* owner = nullptr;
};

StoreSlot gStoreSlots[StoreFaults::kMaxStores];

StoreSlot& slotOf(void* ctx) {
    for (StoreSlot& slot : gStoreSlots)
        if (slot.ctx == ctx) return slot;
    std::fprintf(stderr, "fault_support: a wrapped store slot lost its original\n");
    std::abort();
}

uint32_t faultyGrow(void* ctx, uint32_t n) {
    StoreSlot& slot = slotOf(ctx);
    if (slot.owner != nullptr && slot.owner->grow().hit()) {
        errno = slot.owner->growCode() == tarn::rc::kRealloc ? ENOMEM : ENOSPC;
        return slot.owner->growCode();
    }
    return slot.grow(ctx, n);
}

uint32_t faultyCommit(void* ctx) {
    StoreSlot& slot = slotOf(ctx);
    if (slot.owner != nullptr && slot.owner->commitCanFail() && slot.owner->commit().hit()) {
        errno = EIO;
        return slot.owner->commitCode();
    }
    return slot.commit(ctx);
}

// A slot already holding this store, else an empty one, else one whose
// injector is gone.
int pickSlot(void* ctx) {
    for (int i = 0; i < StoreFaults::kMaxStores; ++i)
        if (gStoreSlots[i].ctx == ctx) return i;
    for (int i = 0; i < StoreFaults::kMaxStores; ++i)
        if (gStoreSlots[i].ctx == nullptr) return i;
    for (int i = 0; i < StoreFaults::kMaxStores; ++i)
        if (gStoreSlots[i].owner == nullptr) return i;
    std::fprintf(stderr, "fault_support: too many stores wrapped at once\n");
    std::abort();
}

}  // namespace

StoreFaults::StoreFaults(lumdb* db) {
    tarn::Store* store = db->store;
    switch (store->params.driver) {
        case 1:
            growCode_ = tarn::rc::kCreateMapping;
            commitCode_ = tarn::rc::kFlushView;
            break;
        case 3:
            growCode_ = tarn::rc::kRealloc;
            commitCode_ = tarn::rc::kWriteFile;
            break;
        default:
            growCode_ = tarn::rc::kRealloc;
            commitCode_ = 0;
            break;
    }
    slot_ = pickSlot(store->ctx);
    StoreSlot& slot = gStoreSlots[slot_];
    // Wrapping a store twice must not make the wrapper its own original.
    if (store->ops.grow != faultyGrow) {
        slot.grow = store->ops.grow;
        slot.commit = store->ops.commit;
    }
    slot.ctx = store->ctx;
    slot.owner = this;
    store->ops.grow = faultyGrow;
    store->ops.commit = faultyCommit;
}

StoreFaults::~StoreFaults() {
    if (gStoreSlots[slot_].owner == this) gStoreSlots[slot_].owner = nullptr;
}

// ---- SysFaults -----------------------------------------------------------------

namespace {

SysFaults* gSysFaults = nullptr;

const tarn::os::SysTable& real() { return tarn::os::DefaultSys(); }

bool failing(SysCall call) { return gSysFaults != nullptr && gSysFaults->fail(call); }

int fOpen(const char* path, int flags, mode_t mode) {
    if (failing(SysCall::Open)) return errno = EIO, -1;
    return real().open(path, flags, mode);
}
int fClose(int fd) {
    const bool fail = failing(SysCall::Close);
    const int r = real().close(fd);
    if (fail) return errno = EIO, -1;
    return r;
}
int fFlock(int fd, int op) {
    if (failing(SysCall::Flock)) return errno = ENOLCK, -1;
    return real().flock(fd, op);
}
int fStat(const char* path, struct stat* st) {
    if (failing(SysCall::Stat)) return errno = EACCES, -1;
    return real().stat(path, st);
}
int fFstat(int fd, struct stat* st) {
    if (failing(SysCall::Fstat)) return errno = EIO, -1;
    return real().fstat(fd, st);
}
int fFtruncate(int fd, off_t size) {
    if (failing(SysCall::Ftruncate)) return errno = EIO, -1;
    return real().ftruncate(fd, size);
}
int fFallocate(int fd, off_t off, off_t len) {
    if (failing(SysCall::Fallocate)) return ENOSPC;
    return real().fallocate(fd, off, len);
}
void* fMmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (failing(SysCall::Mmap)) return errno = ENOMEM, MAP_FAILED;
    return real().mmap(addr, len, prot, flags, fd, off);
}
void* fMremap(void* old, size_t oldLen, size_t newLen, int flags) {
    if (failing(SysCall::Mremap)) return errno = ENOMEM, MAP_FAILED;
    return real().mremap(old, oldLen, newLen, flags);
}
int fMunmap(void* addr, size_t len) {
    const bool fail = failing(SysCall::Munmap);
    const int r = real().munmap(addr, len);
    if (fail) return errno = EINVAL, -1;
    return r;
}
int fMsync(void* addr, size_t len, int flags) {
    if (failing(SysCall::Msync)) return errno = EIO, -1;
    return real().msync(addr, len, flags);
}
int fFsync(int fd) {
    if (failing(SysCall::Fsync)) return errno = EIO, -1;
    return real().fsync(fd);
}
ssize_t fPread(int fd, void* buf, size_t len, off_t off) {
    if (failing(SysCall::Pread)) return errno = EIO, -1;
    return real().pread(fd, buf, len, off);
}
ssize_t fPwrite(int fd, const void* buf, size_t len, off_t off) {
    if (failing(SysCall::Pwrite)) return errno = ENOSPC, -1;
    return real().pwrite(fd, buf, len, off);
}
int fFutimens(int fd, const struct timespec times[2]) {
    if (failing(SysCall::Futimens)) return errno = EPERM, -1;
    return real().futimens(fd, times);
}
void* fCalloc(size_t count, size_t size) {
    if (failing(SysCall::Calloc)) return errno = ENOMEM, nullptr;
    return real().calloc(count, size);
}
void* fRealloc(void* p, size_t size) {
    if (failing(SysCall::Realloc)) return errno = ENOMEM, nullptr;
    return real().realloc(p, size);
}
void* fMalloc(size_t size) {
    if (failing(SysCall::Malloc)) return errno = ENOMEM, nullptr;
    return real().malloc(size);
}

long fSysconf(int name) {
    if (failing(SysCall::Sysconf)) return errno = EINVAL, -1;
    return real().sysconf(name);
}

int fUnlink(const char* path) {
    if (failing(SysCall::Unlink)) return errno = EIO, -1;
    return real().unlink(path);
}
char* fRealpath(const char* path, char* resolved) {
    if (failing(SysCall::Realpath)) return errno = EIO, nullptr;
    return real().realpath(path, resolved);
}
int fAccess(const char* path, int mode) {
    if (failing(SysCall::Access)) return errno = EACCES, -1;
    return real().access(path, mode);
}
int fClockGettime(clockid_t clock, struct timespec* now) {
    if (failing(SysCall::ClockGettime)) return errno = EINVAL, -1;
    return real().clockGettime(clock, now);
}
int fNanosleep(const struct timespec* request, struct timespec* remaining) {
    if (failing(SysCall::Nanosleep)) return errno = EINTR, -1;
    return real().nanosleep(request, remaining);
}
int fFcntlLock(int fd, int command, struct flock* lock) {
    if (failing(SysCall::FcntlLock)) return errno = ENOLCK, -1;
    return real().fcntlLock(fd, command, lock);
}

constexpr tarn::os::SysTable kFaultySys = {
    fOpen,  fClose,  fFlock,  fStat,  fFstat,  fFtruncate, fFallocate, fMmap,    fMremap,
    fMunmap, fMsync, fFsync, fPread, fPwrite, fFutimens,  fCalloc,    fRealloc, fMalloc,
    fSysconf, fUnlink, fRealpath, fAccess, fClockGettime, fNanosleep, fFcntlLock,
};

constexpr const char* kSysCallNames[] = {
    "open",   "close", "flock", "stat",  "fstat",  "ftruncate", "fallocate", "mmap",   "mremap",
    "munmap", "msync", "fsync", "pread", "pwrite", "futimens",  "calloc",    "realloc", "malloc",
    "sysconf", "unlink", "realpath", "access", "clock_gettime", "nanosleep", "fcntl",
};
static_assert(sizeof kSysCallNames / sizeof kSysCallNames[0] == size_t(SysCall::Count));

}  // namespace

const char* SysCallName(SysCall call) {
    return call < SysCall::Count ? kSysCallNames[size_t(call)] : "none";
}

SysFaults::SysFaults() {
    gSysFaults = this;
    tarn::os::Sys() = kFaultySys;
}

SysFaults::~SysFaults() {
    tarn::os::Sys() = tarn::os::DefaultSys();
    gSysFaults = nullptr;
}

void SysFaults::arm(uint64_t n, Failure mode) {
    firstFailed_ = SysCall::Count;
    trigger_.arm(n, mode);
}

bool SysFaults::fail(SysCall call) {
    ++made_[static_cast<int>(call)];
    if (!trigger_.hit()) return false;
    if (firstFailed_ == SysCall::Count) firstFailed_ = call;
    return true;
}

// ---- Findings ------------------------------------------------------------------

void Findings::add(const char* format, ...) {
    constexpr size_t kRoom = sizeof text_ - 1;
    if (length_ >= kRoom) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text_ + length_, kRoom - length_, format, args);
    va_end(args);
    if (n < 0) return;
    length_ += size_t(n);
    if (length_ >= kRoom) {
        length_ = kRoom;
        std::memcpy(text_ + kRoom - 4, "...", 4);
        return;
    }
    text_[length_++] = '\n';
    text_[length_] = 0;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

}  // namespace tarn_fault

// ---- Allocator -------------------------------------------------------------------
//
// The executable defines the C allocator's entry points; the dynamic linker
// binds every library of the process (libstdc++, expat, libc itself) to them.
// They forward to glibc's own implementation. AddressSanitizer replaces the
// allocator itself, so there nothing is defined and injection is unavailable.

#if defined(__SANITIZE_ADDRESS__)
#define TARN_FAULT_NO_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_FAULT_NO_ALLOCATOR 1
#endif
#endif

namespace tarn_fault {
namespace {

// Constant-initialised: the allocator runs before any constructor does.
Trigger gAllocations;
std::atomic<long long> gLive{0};

}  // namespace

Trigger& Allocations() { return gAllocations; }
long long LiveAllocations() { return gLive.load(); }

#ifdef TARN_FAULT_NO_ALLOCATOR
bool AllocInjectionAvailable() { return false; }
#else
bool AllocInjectionAvailable() { return true; }
#endif

}  // namespace tarn_fault

#ifndef TARN_FAULT_NO_ALLOCATOR

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

using tarn_fault::gAllocations;
using tarn_fault::gLive;

void* counted(void* p) {
    if (p != nullptr) gLive.fetch_add(1, std::memory_order_relaxed);
    return p;
}

bool refused() {
    if (!gAllocations.hit()) return false;
    errno = ENOMEM;
    return true;
}

bool validAlignment(size_t alignment) {
    return alignment != 0 && (alignment & (alignment - 1)) == 0;
}

}  // namespace

#define TARN_FAULT_EXPORT __attribute__((visibility("default")))

extern "C" TARN_FAULT_EXPORT void* malloc(size_t size) noexcept {
    return refused() ? nullptr : counted(__libc_malloc(size));
}

extern "C" TARN_FAULT_EXPORT void* calloc(size_t count, size_t size) noexcept {
    return refused() ? nullptr : counted(__libc_calloc(count, size));
}

extern "C" TARN_FAULT_EXPORT void* realloc(void* p, size_t size) noexcept {
    if (p == nullptr) return malloc(size);
    if (size == 0) {  // glibc frees and answers null
        gLive.fetch_sub(1, std::memory_order_relaxed);
        __libc_free(p);
        return nullptr;
    }
    return refused() ? nullptr : __libc_realloc(p, size);
}

extern "C" TARN_FAULT_EXPORT void free(void* p) noexcept {
    if (p == nullptr) return;
    gLive.fetch_sub(1, std::memory_order_relaxed);
    __libc_free(p);
}

extern "C" TARN_FAULT_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
    return refused() ? nullptr : counted(__libc_memalign(alignment, size));
}

extern "C" TARN_FAULT_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
    if (!validAlignment(alignment)) return errno = EINVAL, nullptr;
    return memalign(alignment, size);
}

extern "C" TARN_FAULT_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    if (!validAlignment(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    void* p = memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

#endif
