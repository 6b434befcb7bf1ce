// Fault injection for tests: make the Nth grow or commit of a store fail, the
// Nth system call of the storage layer fail, or the Nth heap allocation of the
// whole process fail, and count live allocations to find leaks.
//
// All three share one shape: a Trigger is armed with n and lets n counted
// calls through; call n (counted from 0) fails, and with Failure::FromThenOn
// every later one too. A disarmed trigger counts nothing and fails nothing.
// Loop n from 0 until a run ends with the trigger not fired: that run saw
// every call succeed, and every earlier run failed exactly one call (or all
// calls from one on).
//
// Single-threaded use only; the counters are atomic only so that a stray
// allocation from another thread cannot corrupt them.
#ifndef TARN_TESTS_ENGINE_FAULT_SUPPORT_H
#define TARN_TESTS_ENGINE_FAULT_SUPPORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/database.h"
#include "engine/storage/os.h"
#include "engine/storage/store.h"

namespace tarn_fault {

enum class Failure { Once, FromThenOn };

class Trigger {
public:
    constexpr Trigger() = default;
    Trigger(const Trigger&) = delete;
    Trigger& operator=(const Trigger&) = delete;

    void arm(uint64_t n, Failure mode = Failure::Once);
    void disarm();
    // Counts one call while armed; true when that call must fail.
    bool hit();
    bool armed() const { return armed_.load(std::memory_order_relaxed); }
    // A call failed since the last arm.
    bool fired() const { return fired_.load(std::memory_order_relaxed); }
    // Calls counted since the last arm.
    uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> armed_{false};
    std::atomic<bool> sticky_{false};
    std::atomic<bool> fired_{false};
    std::atomic<uint64_t> target_{0};
    std::atomic<uint64_t> calls_{0};
};

// ---- store slots ---------------------------------------------------------------

// Wraps the grow and commit slots of an open database's store. A failed call
// does not reach the driver and returns the driver's own code for that step:
// grow 0x2009 (mapped) or 0x1001 (file, memory); commit 0x200B (mapped) or
// 0x2005 (file). The memory driver's commit cannot fail and is only counted.
//
// The wrappers stay in the store's table until the database is closed; once
// this object is gone they forward every call. Install at most one per store
// and at most kMaxStores at a time.
class StoreFaults {
public:
    static constexpr int kMaxStores = 8;

    explicit StoreFaults(lumdb* db);
    ~StoreFaults();
    StoreFaults(const StoreFaults&) = delete;
    StoreFaults& operator=(const StoreFaults&) = delete;

    Trigger& grow() { return grow_; }
    Trigger& commit() { return commit_; }
    uint32_t growCode() const { return growCode_; }
    uint32_t commitCode() const { return commitCode_; }
    // 0 when the driver's commit cannot fail.
    bool commitCanFail() const { return commitCode_ != 0; }

private:
    Trigger grow_;
    Trigger commit_;
    uint32_t growCode_ = 0;
    uint32_t commitCode_ = 0;
    int slot_ = -1;
};

// ---- system calls --------------------------------------------------------------

enum class SysCall {
    Open, Close, Flock, Stat, Fstat, Ftruncate, Fallocate, Mmap, Mremap, Munmap,
    Msync, Fsync, Pread, Pwrite, Futimens, Calloc, Realloc, Malloc, Sysconf, Unlink, Realpath,
    Access, ClockGettime, Nanosleep, FcntlLock, Count
};
const char* SysCallName(SysCall call);

// Replaces every entry of the storage layer's system-call table with a
// wrapper that counts the call and, when the trigger says so, fails it the
// way the system does (-1 with errno, MAP_FAILED, an errno result, null).
// close and munmap are performed before their failure is reported, so that an
// injected failure never leaks a descriptor or a mapping. The destructor puts
// the default table back. One instance at a time.
class SysFaults {
public:
    SysFaults();
    ~SysFaults();
    SysFaults(const SysFaults&) = delete;
    SysFaults& operator=(const SysFaults&) = delete;

    void arm(uint64_t n, Failure mode = Failure::Once);
    void disarm() { trigger_.disarm(); }
    const Trigger& trigger() const { return trigger_; }
    // The call that failed first since arm; SysCall::Count when none did.
    SysCall firstFailed() const { return firstFailed_; }
    // Calls of one kind made since construction, failed or not.
    uint64_t made(SysCall call) const { return made_[static_cast<int>(call)]; }

    // For the wrappers.
    bool fail(SysCall call);

private:
    Trigger trigger_;
    SysCall firstFailed_ = SysCall::Count;
    uint64_t made_[static_cast<int>(SysCall::Count)] = {};
};

// ---- heap allocations ----------------------------------------------------------

// True when this executable replaces malloc, calloc, realloc and free (not
// under AddressSanitizer, which owns the allocator there).
bool AllocInjectionAvailable();

// The trigger consulted by every malloc, calloc, realloc (to a nonzero size)
// and aligned allocation of the process. A failed call returns null with
// errno ENOMEM.
Trigger& Allocations();
// Allocations made and not yet freed; compare before and after.
long long LiveAllocations();

// ---- findings ------------------------------------------------------------------

// Problems noticed while injection may be armed or a leak is being measured:
// kept in a fixed buffer so that recording one allocates nothing. Overflow
// is cut and marked.
class Findings {
public:
    void add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool empty() const { return length_ == 0; }
    const char* text() const { return text_; }

private:
    char text_[4096] = {};
    size_t length_ = 0;
};

// Descriptors open in this process.
int OpenDescriptors();

}  // namespace tarn_fault

#endif
