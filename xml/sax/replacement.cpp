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
#include "xml/lumxmlexception.h"

namespace tarnxml_detail {
namespace {

constexpr char kTemporaryMark[] = ".tmp.";
constexpr int kNameTries = 100;

class ErrnoKept {
public:
    ErrnoKept() : _saved(errno) {}
    ~ErrnoKept() { errno = _saved; }
    ErrnoKept(const ErrnoKept&) = delete;
    ErrnoKept& operator=(const ErrnoKept&) = delete;

private:
    int _saved;
};

[[noreturn]] void failCreating() { throw LumXMLException(LUM_ERR_CREATE_FILE); }

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
    for (int i = 0; i < 6; ++i, x /= 62) suffix += kAlphabet[x % 62];
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
    struct stat existing {};
    const int lock = open(_resolved.c_str(), O_RDWR | O_CLOEXEC);
    if (lock < 0 && errno != ENOENT) failCreating();
    if (lock >= 0) {
        // The same checks, in the same order, as opening the file to
        // create the database in it would make.
        _lock = lock;
        if (flock(lock, LOCK_EX | LOCK_NB) != 0 || fstat(lock, &existing) != 0) {
            abandon();
            failCreating();
        }
        if (!S_ISREG(existing.st_mode)) {
            abandon();
            errno = S_ISDIR(existing.st_mode) ? EISDIR : EINVAL;
            failCreating();
        }
    }
    int fd = -1;
    std::string name;
    for (int attempt = 0; fd < 0 && attempt < kNameTries; ++attempt) {
        name = _resolved + kTemporaryMark + uniqueSuffix();
        fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        abandon();
        failCreating();
    }
    if (_lock >= 0) {
        // Owner first, since changing it may clear the set-id bits.
        courtesy(fchown(fd, existing.st_uid, existing.st_gid));
        courtesy(fchmod(fd, existing.st_mode & 07777));
    }
    close(fd);
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
    syncDirectory(_resolved);
    abandon();
}

void Replacement::abandon() noexcept {
    ErrnoKept keep;
    if (!_temporary.empty()) unlink(_temporary.c_str());
    disarm(_slot);
    _slot = -1;
    _temporary.clear();
    if (_lock >= 0) close(_lock);  // also drops the lock
    _lock = -1;
}

void Replacement::removeAll() noexcept {
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) == kArmed) unlink(slot.path);
    }
}

}  // namespace tarnxml_detail
