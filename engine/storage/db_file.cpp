#include "engine/storage/db_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/result_codes.h"
#include "engine/storage/format.h"
#include "engine/storage/journal.h"
#include "engine/storage/os.h"

namespace tarn::os {
namespace {

constexpr mode_t kCreateMode = 0666;  // narrowed by the umask
// Openings of one call: each further one follows a rename over the file or
// a recovery, so only a file replaced again and again uses them up.
constexpr int kMaxOpenings = 64;
constexpr uint64_t kFirstPauseNs = 1000000;
constexpr uint64_t kLongestPauseNs = 16000000;

int openFlags(const OpenMode& m) {
    // O_NONBLOCK keeps a FIFO from stalling the open; it is refused below.
    int f = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    f |= m.readOnly ? O_RDONLY : O_RDWR;
    // No O_TRUNC: a new file is emptied only once the lock is held.
    if (m.isNew) f |= O_CREAT;
    return f;
}

uint32_t failClosing(int fd, uint32_t code) {
    ErrnoGuard keep;
    CloseFile(fd);
    return code;
}

// Size checks of an existing file, after the lock is held.
uint32_t existingDataSize(const struct stat& st, uint32_t headerSize, uint32_t* out) {
    if (uint64_t(st.st_size) > 0xFFFFFFFFu) {
        errno = EFBIG;
        return rc::kFileTooLarge;
    }
    if (uint64_t(st.st_size) < headerSize) return rc::kIllegalFile;
    *out = uint32_t(st.st_size) - headerSize;
    return rc::kOk;
}

// The end of a wait for locks, shared by every lock of one open.
class Deadline {
public:
    explicit Deadline(uint32_t busyMs)
        : _waits(busyMs > 0), _end(_waits ? now() + uint64_t(busyMs) * 1000000 : 0) {}
    bool waits() const { return _waits; }
    // Sleeps a little, longer each time; false once the time is up.
    bool pause() {
        const uint64_t t = now();
        if (t >= _end) return false;
        const uint64_t ns = _end - t < _pause ? _end - t : _pause;
        const struct timespec request = {time_t(ns / 1000000000), long(ns % 1000000000)};
        Sys().nanosleep(&request, nullptr);
        if (_pause < kLongestPauseNs) _pause *= 2;
        return true;
    }

private:
    // A clock that cannot be read ends the wait at once.
    static uint64_t now() {
        struct timespec t {};
        if (Sys().clockGettime(CLOCK_MONOTONIC, &t) != 0) return UINT64_MAX / 2;
        return uint64_t(t.tv_sec) * 1000000000 + uint64_t(t.tv_nsec);
    }

    bool _waits;
    uint64_t _end;
    uint64_t _pause = kFirstPauseNs;
};

// Retries `attempt` (a call that fails with EWOULDBLOCK or EAGAIN while
// another holds the lock) until it succeeds or the deadline passes.
template <typename Attempt>
uint32_t waitFor(Deadline& deadline, Attempt&& attempt) {
    for (;;) {
        if (attempt() == 0) return rc::kOk;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES) return rc::kCreateFile;
        errno = EWOULDBLOCK;
        if (!deadline.waits()) return rc::kCreateFile;
        if (!deadline.pause()) {
            errno = EWOULDBLOCK;
            return rc::kBusy;
        }
    }
}

int setGate(int fd, short type) {
    struct flock gate {};
    gate.l_type = type;
    gate.l_whence = SEEK_SET;
    gate.l_start = off_t(kGateOffset);
    gate.l_len = 1;
    return Sys().fcntlLock(fd, F_OFD_SETLK, &gate);
}

// The gate, then the lock `op` (see db_file.h); the gate is left open again.
uint32_t lockFairly(int fd, int op, Deadline& deadline) {
    const short gateType = op == LOCK_EX ? F_WRLCK : F_RDLCK;
    if (uint32_t r = waitFor(deadline, [&] { return setGate(fd, gateType); })) return r;
    const uint32_t r = waitFor(deadline, [&] { return Sys().flock(fd, op | LOCK_NB); });
    if (r != rc::kOk) {
        ErrnoGuard keep;
        setGate(fd, F_UNLCK);
        return r;
    }
    // A gate left shut would keep writers waiting as long as this opener lives.
    return setGate(fd, F_UNLCK) == 0 ? rc::kOk : rc::kCreateFile;
}

// Whether the name still leads to the file open at fd, whose status is st:
// *named false when it was renamed over or removed. 0x2000 when the name
// cannot be looked up.
uint32_t stillNamed(const char* name, const struct stat& st, bool* named) {
    struct stat now {};
    if (Sys().stat(name, &now) != 0) {
        *named = false;
        return errno == ENOENT ? rc::kOk : rc::kCreateFile;
    }
    *named = now.st_dev == st.st_dev && now.st_ino == st.st_ino;
    return rc::kOk;
}

// "<name, links resolved>-journal" into out.
uint32_t journalName(const char* name, char (&out)[sizeof DbFile::journal]) {
    char resolved[PATH_MAX];
    if (Sys().realpath(name, resolved) == nullptr) return rc::kCreateFile;
    const size_t length = std::strlen(resolved);
    std::memcpy(out, resolved, length);
    std::memcpy(out + length, fmt::kJournalSuffix, sizeof fmt::kJournalSuffix);
    return rc::kOk;
}

journal::FileIdentity identityOf(const struct stat& st) {
    return {uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size)};
}

// A reader's rollback (see db_file.h): through a descriptor of its own
// opened for writing, which takes the exclusive lock once the shared one is
// let go. Nothing is tried without the rights to finish. The caller then
// opens afresh.
uint32_t recoverAsReader(const char* name, int fd, const char* journalPath, Deadline& deadline) {
    if (!journal::CanInvalidate(journalPath)) return rc::kNeedsRecovery;
    const int writer = Sys().open(name, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (writer < 0) {
        return errno == EACCES || errno == EPERM || errno == EROFS ? rc::kNeedsRecovery : rc::kCreateFile;
    }
    Sys().flock(fd, LOCK_UN);
    uint32_t r = lockFairly(writer, LOCK_EX, deadline);
    struct stat st {};
    if (r == rc::kOk && Sys().fstat(writer, &st) != 0) r = rc::kGetFileSize;
    bool named = false, hot = false;
    if (r == rc::kOk) r = stillNamed(name, st, &named);
    // Another opener may have rolled it back meanwhile.
    if (r == rc::kOk && named) r = journal::Inspect(journalPath, identityOf(st), &hot);
    if (r == rc::kOk && hot) r = journal::RollBack(writer, journalPath, identityOf(st));
    return failClosing(writer, r);
}

// What a locked open does about a journal before the file is read. Sets
// *again when the file must be opened afresh.
uint32_t settleJournal(const char* name, DbFile* f, struct stat* st, Deadline& deadline, bool* again) {
    if (f->mode.isNew) return journal::Discard(f->journal);
    bool hot = false;
    if (uint32_t r = journal::Inspect(f->journal, identityOf(*st), &hot)) return r;
    // A journal that does not apply to the file is of no use to anyone: a
    // writer, which alone could have left one, removes it.
    if (!hot) return f->mode.readOnly ? rc::kOk : journal::Discard(f->journal);
    if (f->mode.readOnly) {
        *again = true;
        return recoverAsReader(name, f->fd, f->journal, deadline);
    }
    if (!journal::CanInvalidate(f->journal)) return rc::kNeedsRecovery;
    if (uint32_t r = journal::RollBack(f->fd, f->journal, identityOf(*st))) return r;
    return Sys().fstat(f->fd, st) == 0 ? rc::kOk : rc::kGetFileSize;
}

// One opening: open, lock, check, settle the journal, size. *again as above.
uint32_t openOnce(const char* name, const OpenMode& mode, uint32_t initialSize, uint32_t headerSize,
                  Deadline& deadline, DbFile* f, bool* again) {
    f->fd = Sys().open(name, openFlags(mode), kCreateMode);
    if (f->fd < 0) return rc::kCreateFile;
    f->mode = mode;
    if (uint32_t r = lockFairly(f->fd, mode.readOnly ? LOCK_SH : LOCK_EX, deadline)) return r;
    struct stat st {};
    if (Sys().fstat(f->fd, &st) != 0) return rc::kGetFileSize;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return rc::kCreateFile;
    }
    bool named = false;
    if (uint32_t r = stillNamed(name, st, &named)) return r;
    if (!named) {
        *again = true;
        return rc::kOk;
    }
    if (uint32_t r = journalName(name, f->journal)) return r;
    if (uint32_t r = settleJournal(name, f, &st, deadline, again); r != rc::kOk || *again) return r;
    f->dataSize = initialSize;
    if (mode.isNew) {
        if (Sys().ftruncate(f->fd, 0) != 0) return rc::kCreateFile;
    } else if (uint32_t r = existingDataSize(st, headerSize, &f->dataSize)) {
        return r;
    }
    f->device = uint64_t(st.st_dev);
    f->inode = uint64_t(st.st_ino);
    f->permissions = uint32_t(st.st_mode & 0666);
    return rc::kOk;
}

}  // namespace

uint32_t ChooseOpenMode(uint32_t flags, const char* name, OpenMode* out) {
    const bool keep = (flags & 1) != 0;
    const bool existing = (flags & 16) != 0;
    if (existing) {
        *out = OpenMode{false, keep};
        return rc::kOk;
    }
    if (!keep) {
        *out = OpenMode{true, false};
        return rc::kOk;
    }
    struct stat st;
    if (Sys().stat(name, &st) == 0) {
        *out = OpenMode{false, false};
        return rc::kOk;
    }
    if (errno != ENOENT) return rc::kGetFileAttributes;
    *out = OpenMode{true, false};
    return rc::kOk;
}

uint32_t OpenDatabaseFile(const char* name, uint32_t flags, uint32_t initialSize,
                          uint32_t headerSize, uint32_t busyMs, DbFile* out) {
    OpenMode mode;
    if (uint32_t r = ChooseOpenMode(flags, name, &mode)) return r;
    Deadline deadline(busyMs);
    for (int opening = 0; opening < kMaxOpenings; ++opening) {
        DbFile f;
        bool again = false;
        const uint32_t r = openOnce(name, mode, initialSize, headerSize, deadline, &f, &again);
        if (r == rc::kOk && !again) {
            *out = f;
            return rc::kOk;
        }
        CloseDatabaseFile(&f);
        if (r != rc::kOk) return r;
    }
    errno = EAGAIN;
    return rc::kCreateFile;
}

void CloseDatabaseFile(DbFile* file) {
    ErrnoGuard keep;
    CloseFile(file->fd);
    file->fd = -1;
}

}  // namespace tarn::os
