#include "xml/file_locks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include "engine/tarn20.h"

namespace tarnxml_detail {
namespace {

// The engine's gate byte and pauses (engine/storage/db_file.h).
constexpr off_t kGateOffset = off_t(1) << 62;
constexpr long kFirstPauseNs = 1000000;
constexpr long kLongestPauseNs = 16000000;

int setLock(int fd, short type, off_t start, off_t length) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return fcntl(fd, F_OFD_SETLK, &lock);
}

int64_t nowNs() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Retries `attempt` while another holds the lock, until `end` (ns).
template <typename Attempt>
unsigned int waitFor(bool waits, int64_t end, long* pause, Attempt&& attempt) {
    for (;;) {
        if (attempt() == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES) return LUM_ERR_CREATE_FILE;
        errno = EWOULDBLOCK;
        if (!waits) return LUM_ERR_CREATE_FILE;
        const int64_t left = end - nowNs();
        if (left <= 0) return LUM_ERR_BUSY;
        const long ns = left < *pause ? long(left) : *pause;
        const struct timespec request = {0, ns};
        nanosleep(&request, nullptr);
        if (*pause < kLongestPauseNs) *pause *= 2;
    }
}

// "<base>.tmp." and six letters or digits, nothing else.
bool isTemporaryOf(const char* name, const std::string& base) {
    const size_t prefix = base.size() + sizeof kTemporaryMark - 1;
    if (std::strlen(name) != prefix + kTemporarySuffixLength) return false;
    if (std::strncmp(name, base.c_str(), base.size()) != 0 ||
        std::strncmp(name + base.size(), kTemporaryMark, sizeof kTemporaryMark - 1) != 0)
        return false;
    for (int i = 0; i < kTemporarySuffixLength; ++i) {
        const char c = name[prefix + i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

// Removes `path` when it is a regular file no live process holds. The
// hold taken here is kept until the name is gone, so that a creator that
// takes its hold meanwhile finds its file renamed away and makes another.
void removeUnheld(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat held {}, named {};
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && setLock(fd, F_RDLCK, 0, 1) == 0 &&
        lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino)
        unlink(path.c_str());
    close(fd);
}

// The input files this process holds shared (LockInput), by identity.
struct HeldInput {
    dev_t device;
    ino_t inode;
    int fd;
};
std::mutex gInputsMutex;
std::vector<HeldInput> gInputs;

bool isHeldInput(const struct stat& st) {
    std::lock_guard<std::mutex> lock(gInputsMutex);
    for (const HeldInput& input : gInputs)
        if (input.device == st.st_dev && input.inode == st.st_ino) return true;
    return false;
}

}  // namespace

bool LockInput(int fd) {
    struct stat st {};
    if (flock(fd, LOCK_SH | LOCK_NB) != 0 || fstat(fd, &st) != 0) return false;
    try {
        std::lock_guard<std::mutex> lock(gInputsMutex);
        gInputs.push_back({st.st_dev, st.st_ino, fd});
    } catch (const std::bad_alloc&) {
        // Unremembered, a replacement of this very file waits for the lock
        // in vain and then reports the file busy: still refused.
    }
    return true;
}

void ForgetInput(int fd) {
    std::lock_guard<std::mutex> lock(gInputsMutex);
    for (size_t i = 0; i < gInputs.size(); ++i) {
        if (gInputs[i].fd != fd) continue;
        gInputs.erase(gInputs.begin() + long(i));
        return;
    }
}

unsigned int LockExclusively(int fd, unsigned int busyMilliseconds) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return LUM_ERR_CREATE_FILE;
    if (isHeldInput(st)) {
        errno = EWOULDBLOCK;
        return LUM_ERR_CREATE_FILE;
    }
    const bool waits = busyMilliseconds > 0;
    const int64_t end = waits ? nowNs() + int64_t(busyMilliseconds) * 1000000 : 0;
    long pause = kFirstPauseNs;
    if (unsigned int r = waitFor(waits, end, &pause, [&] { return setLock(fd, F_WRLCK, kGateOffset, 1); }))
        return r;
    const unsigned int r = waitFor(waits, end, &pause, [&] { return flock(fd, LOCK_EX | LOCK_NB); });
    ErrnoKept keep;
    setLock(fd, F_UNLCK, kGateOffset, 1);
    return r;
}

// The hold of a temporary file: its first byte, clear of the gate the
// engine takes when it opens the file.
bool HoldTemporary(int fd) { return setLock(fd, F_WRLCK, 0, 1) == 0; }

void RemoveLeftoverTemporaries(const std::string& target) noexcept {
    ErrnoKept keep;
    try {
        const size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        std::vector<std::string> found;
        if (DIR* dir = opendir(folder.c_str())) {
            try {
                while (const dirent* entry = readdir(dir))
                    if (isTemporaryOf(entry->d_name, base)) found.push_back(folder + "/" + entry->d_name);
            } catch (const std::bad_alloc&) {
                closedir(dir);
                throw;
            }
            closedir(dir);
        }
        for (const std::string& path : found) removeUnheld(path);
    } catch (const std::bad_alloc&) {
        // Leftovers only take room; the next sweep may have the memory.
    }
}

}  // namespace tarnxml_detail
