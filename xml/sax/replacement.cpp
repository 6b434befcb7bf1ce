#include "xml/sax/replacement.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/tarn20.h"
#include "xml/file_locks.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"

namespace tarnxml_detail {
namespace {

constexpr int kNameTries = 100;

[[noreturn]] void failCreating() { throw LumXMLException(LUM_ERR_CREATE_FILE); }

// The engine's name for a database's journal (engine/storage/format.h).
constexpr char kJournalSuffix[] = "-journal";

// The temporary files a signal handler removes: fixed storage, since the
// handler may neither allocate nor lock. A replacement that finds no free
// slot still works; only a signal could then leave its file behind.
enum SlotState : int { kFree, kWriting, kArmed };
constexpr int kSlots = 16;
struct Slot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};
Slot gSlots[kSlots];

int arm(const std::string& path) {
    if (path.size() >= sizeof gSlots[0].path) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!gSlots[i].state.compare_exchange_strong(expected, kWriting)) continue;
        std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
        gSlots[i].state.store(kArmed, std::memory_order_release);
        return i;
    }
    return -1;
}

void disarm(int slot) {
    if (slot >= 0) gSlots[slot].state.store(kFree, std::memory_order_release);
}

// Six letters or digits, different in every call and every process.
std::string uniqueSuffix() {
    static std::atomic<uint64_t> counter{0};
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = (uint64_t(getpid()) << 32) ^ uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 20) ^
                 (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    // splitmix64 finaliser: neighbouring inputs give unrelated names.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix;
    for (int i = 0; i < kTemporarySuffixLength; ++i, x /= 62) suffix += kAlphabet[x % 62];
    return suffix;
}

// The result of a call whose failure changes nothing that matters (a process
// that may not give a file away keeps it as its own).
void courtesy(int) {}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Only narrows the window in which a crash could bring the old name back.
void syncDirectory(const std::string& path) {
    ErrnoKept keep;
    const int fd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A new temporary file beside `resolved`, held (see xml/file_locks.h):
// its descriptor, or -1 with errno set. A name that a sweep removed before
// the hold was taken is given up for another.
int createHeld(const std::string& resolved, std::string* name) {
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        *name = resolved + kTemporaryMark + uniqueSuffix();
        const int fd = open(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return -1;
        if (!HoldTemporary(fd)) {  // a sweep holds it, and removes it
            close(fd);
            continue;
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) != 0 || stat(name->c_str(), &named) != 0) {
            ErrnoKept keep;
            unlink(name->c_str());
            close(fd);
            return -1;
        }
        if (held.st_dev == named.st_dev && held.st_ino == named.st_ino) return fd;
        close(fd);  // a sweep removed the name before the hold was taken
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

Replacement::Replacement(const char* target) : _target(target != nullptr ? target : "") {}

Replacement::~Replacement() { abandon(); }

void Replacement::begin() {
    abandon();
    if (_target.empty()) throw LumXMLException(XMLERR_NO_DATABASE_NAME);
    _resolved = _target;
    if (char* real = realpath(_target.c_str(), nullptr)) {
        _resolved = real;
        std::free(real);
    }
    _replacedJournal = _resolved + kJournalSuffix;
    struct stat existing {};
    const int lock = open(_resolved.c_str(), O_RDWR | O_CLOEXEC);
    if (lock < 0 && errno != ENOENT) failCreating();
    if (lock >= 0) {
        // The same checks, in the same order, as opening the file to
        // create the database in it would make.
        _lock = lock;
        if (const unsigned int code = LockExclusively(lock, LumXMLDb::BusyTimeout())) {
            abandon();
            throw LumXMLException(static_cast<int>(code));
        }
        if (fstat(lock, &existing) != 0) {
            abandon();
            failCreating();
        }
        if (!S_ISREG(existing.st_mode)) {
            abandon();
            errno = S_ISDIR(existing.st_mode) ? EISDIR : EINVAL;
            failCreating();
        }
    }
    RemoveLeftoverTemporaries(_resolved);
    std::string name;
    const int fd = createHeld(_resolved, &name);
    if (fd < 0) {
        abandon();
        failCreating();
    }
    if (_lock >= 0) {
        // Owner first, since changing it may clear the set-id bits.
        courtesy(fchown(fd, existing.st_uid, existing.st_gid));
        courtesy(fchmod(fd, existing.st_mode & 07777));
    }
    _held = fd;
    // Moved, not copied: an allocation failing now would lose the file.
    _temporary = std::move(name);
    _slot = arm(_temporary);
}

void Replacement::complete() {
    if (_temporary.empty()) failCreating();
    if (rename(_temporary.c_str(), _resolved.c_str()) != 0) failCreating();
    disarm(_slot);
    _slot = -1;
    _temporary.clear();
    // A journal of the file replaced could only ever apply to that file.
    unlink(_replacedJournal.c_str());
    syncDirectory(_resolved);
    abandon();
}

void Replacement::abandon() noexcept {
    ErrnoKept keep;
    if (!_temporary.empty()) unlink(_temporary.c_str());
    disarm(_slot);
    _slot = -1;
    _temporary.clear();
    if (_held >= 0) close(_held);  // the hold of the temporary file ends with it
    _held = -1;
    if (_lock >= 0) close(_lock);  // also drops the lock
    _lock = -1;
}

void Replacement::removeAll() noexcept {
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) == kArmed) unlink(slot.path);
    }
}

}  // namespace tarnxml_detail
