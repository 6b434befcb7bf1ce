#include "engine/storage/journal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "engine/result_codes.h"
#include "engine/storage/bytes.h"
#include "engine/storage/os.h"

namespace tarn::journal {
namespace {

constexpr uint64_t kPage = fmt::kJournalPage;
constexpr uint32_t kBatch = 64;  // records per transfer
constexpr size_t kBufferSize = fmt::kJournalHeaderSize + size_t(kBatch) * fmt::kJournalRecordSize;

uint64_t pagesOf(uint64_t bytes) { return (bytes + kPage - 1) / kPage; }
uint64_t rotl(uint64_t x, int r) { return x << r | x >> (64 - r); }

// A transfer buffer from the engine's allocator, freed on every way out.
class Buffer {
public:
    Buffer() : _bytes(static_cast<uint8_t*>(os::Sys().malloc(kBufferSize))) {}
    ~Buffer() { std::free(_bytes); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    uint8_t* get() const { return _bytes; }

private:
    uint8_t* _bytes;
};

// A descriptor closed on every way out, errno kept.
class Descriptor {
public:
    explicit Descriptor(int fd) : _fd(fd) {}
    ~Descriptor() {
        os::ErrnoGuard keep;
        os::CloseFile(_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return _fd; }

private:
    int _fd;
};

struct Header {
    uint64_t device = 0, inode = 0, sizeBefore = 0, sizeAfter = 0, salt = 0;
    uint32_t records = 0;
};

void encode(const Header& h, uint8_t* out) {
    std::memset(out, 0, fmt::kJournalHeaderSize);
    std::memcpy(out + fmt::kJournalMagicOffset, fmt::kJournalMagic, sizeof fmt::kJournalMagic);
    putU32(out + fmt::kJournalVersionOffset, fmt::kJournalVersion);
    putU32(out + fmt::kJournalPageSizeOffset, fmt::kJournalPage);
    putU64(out + fmt::kJournalDeviceOffset, h.device);
    putU64(out + fmt::kJournalInodeOffset, h.inode);
    putU64(out + fmt::kJournalSizeBeforeOffset, h.sizeBefore);
    putU64(out + fmt::kJournalSizeAfterOffset, h.sizeAfter);
    putU64(out + fmt::kJournalSaltOffset, h.salt);
    putU32(out + fmt::kJournalRecordsOffset, h.records);
    putU64(out + fmt::kJournalHeaderChecksum, Checksum(0, out, fmt::kJournalHeaderChecksum));
}

// A header whole and of this format; says nothing yet about the database.
bool decode(const uint8_t* in, Header* h) {
    if (std::memcmp(in + fmt::kJournalMagicOffset, fmt::kJournalMagic, sizeof fmt::kJournalMagic) != 0 ||
        getU64(in + fmt::kJournalHeaderChecksum) != Checksum(0, in, fmt::kJournalHeaderChecksum) ||
        getU32(in + fmt::kJournalVersionOffset) != fmt::kJournalVersion ||
        getU32(in + fmt::kJournalPageSizeOffset) != fmt::kJournalPage)
        return false;
    h->device = getU64(in + fmt::kJournalDeviceOffset);
    h->inode = getU64(in + fmt::kJournalInodeOffset);
    h->sizeBefore = getU64(in + fmt::kJournalSizeBeforeOffset);
    h->sizeAfter = getU64(in + fmt::kJournalSizeAfterOffset);
    h->salt = getU64(in + fmt::kJournalSaltOffset);
    h->records = getU32(in + fmt::kJournalRecordsOffset);
    return true;
}

// The header names this file, at a size the change may have left, and the
// journal is long enough for all its records.
bool belongs(const Header& h, const FileIdentity& file, uint64_t journalSize) {
    return h.device == file.device && h.inode == file.inode && h.sizeBefore >= fmt::kHeaderSize &&
           h.sizeBefore <= file.size && file.size <= h.sizeAfter && h.records <= pagesOf(h.sizeBefore) &&
           journalSize >= fmt::kJournalHeaderSize + uint64_t(h.records) * fmt::kJournalRecordSize;
}

uint64_t recordChecksum(uint64_t salt, const uint8_t* record) {
    return Checksum(Checksum(salt, record, fmt::kRecordChecksum), record + fmt::kRecordBytes, kPage);
}

// Bytes of page `page` that lie in a file of `size` bytes.
uint32_t bytesIn(uint64_t page, uint64_t size) {
    const uint64_t start = page * kPage;
    return uint32_t(size - start < kPage ? size - start : kPage);
}

// Calls f(page) for every page below `pages` marked written, in order.
template <typename F>
uint32_t forEachWritten(const AreaView* v, uint64_t pages, F&& f) {
    for (uint64_t word = 0; word * 64 < pages; ++word) {
        for (uint64_t bits = v->dirty[word]; bits != 0; bits &= bits - 1) {
            const uint64_t page = word * 64 + uint64_t(__builtin_ctzll(bits));
            if (page >= pages) return rc::kOk;
            if (uint32_t r = f(page)) return r;
        }
    }
    return rc::kOk;
}

uint32_t countWritten(const Change& c) {
    uint32_t n = 0;
    forEachWritten(c.view, pagesOf(c.file.size), [&](uint64_t) { return ++n, rc::kOk; });
    return n;
}

// Writes file bytes [from, to) from the areas, split where they meet.
uint32_t writeRange(int fd, const AreaView* v, uint64_t from, uint64_t to) {
    if (from < fmt::kHeaderSize && from < to) {
        const uint64_t end = to < fmt::kHeaderSize ? to : fmt::kHeaderSize;
        if (uint32_t r = os::WriteAll(fd, from, FileBytes(v, from), size_t(end - from))) return r;
        from = end;
    }
    return from < to ? os::WriteAll(fd, from, FileBytes(v, from), size_t(to - from)) : rc::kOk;
}

uint64_t freshSalt(const Change& c) {
    static std::atomic<uint64_t> counter{0};
    struct timespec now {};
    os::Sys().clockGettime(CLOCK_REALTIME, &now);
    uint8_t seed[24];
    putU64(seed, uint64_t(now.tv_sec));
    putU64(seed + 8, uint64_t(now.tv_nsec));
    putU64(seed + 16, counter.fetch_add(1) ^ c.file.inode);
    return Checksum(c.file.device, seed, sizeof seed);
}

// The committed bytes of the database, read through a mapping of the
// file, which still holds them: no call per page saved.
class CommittedBytes {
public:
    CommittedBytes(int fd, uint64_t size) : _size(size_t(size)) {
        void* p = os::Sys().mmap(nullptr, _size, PROT_READ, MAP_SHARED, fd, 0);
        _bytes = p == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(p);
    }
    ~CommittedBytes() {
        if (_bytes != nullptr) release();
    }
    CommittedBytes(const CommittedBytes&) = delete;
    CommittedBytes& operator=(const CommittedBytes&) = delete;
    const uint8_t* get() const { return _bytes; }
    uint32_t release() {
        const uint32_t r = os::UnmapFile(const_cast<uint8_t*>(_bytes), _size);
        _bytes = nullptr;
        return r;
    }

private:
    const uint8_t* _bytes;
    size_t _size;
};

// Step 1: header and records of every written page below the committed
// size.
uint32_t writeJournal(const Change& c, const Header& h) {
    Buffer buffer;
    if (buffer.get() == nullptr) return rc::kMalloc;
    CommittedBytes committed(c.fd, h.sizeBefore);
    if (committed.get() == nullptr) return rc::kMapView;
    const Descriptor fd(os::Sys().open(c.journal, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, c.mode));
    if (fd.get() < 0) return rc::kCreateFile;
    uint8_t* const base = buffer.get();
    encode(h, base);
    size_t filled = fmt::kJournalHeaderSize;
    uint64_t at = 0;
    uint32_t r = forEachWritten(c.view, pagesOf(h.sizeBefore), [&](uint64_t page) {
        uint8_t* record = base + filled;
        std::memset(record, 0, fmt::kJournalRecordSize);
        putU32(record + fmt::kRecordPage, uint32_t(page));
        std::memcpy(record + fmt::kRecordBytes, committed.get() + page * kPage, bytesIn(page, h.sizeBefore));
        putU64(record + fmt::kRecordChecksum, recordChecksum(h.salt, record));
        filled += fmt::kJournalRecordSize;
        if (filled + fmt::kJournalRecordSize <= kBufferSize) return rc::kOk;
        const uint32_t e = os::WriteAll(fd.get(), at, base, filled);
        at += filled;
        filled = 0;
        return e;
    });
    if (r == rc::kOk && filled > 0) r = os::WriteAll(fd.get(), at, base, filled);
    if (r == rc::kOk) r = committed.release();
    if (r == rc::kOk) r = os::FlushFile(fd.get());
    return r != rc::kOk ? r : os::FlushFolderOf(c.journal);
}

// Step 2: the written pages of the committed part, then the grown tail.
uint32_t writeDatabase(const Change& c) {
    const uint64_t before = c.file.size;
    uint64_t runStart = 0, runEnd = 0;  // file bytes of consecutive written pages
    uint32_t r = forEachWritten(c.view, pagesOf(before), [&](uint64_t page) {
        const uint64_t start = page * kPage, end = start + bytesIn(page, before);
        if (start == runEnd && runEnd != 0) {
            runEnd = end;
            return rc::kOk;
        }
        const uint32_t e = writeRange(c.fd, c.view, runStart, runEnd);
        runStart = start;
        runEnd = end;
        return e;
    });
    if (r == rc::kOk) r = writeRange(c.fd, c.view, runStart, runEnd);
    if (r == rc::kOk) r = writeRange(c.fd, c.view, before, c.sizeAfter);
    return r != rc::kOk ? r : os::FlushFile(c.fd);
}

// Step 3, also the end of a rollback: afterwards no journal applies.
uint32_t invalidate(const char* journal) {
    if (os::Sys().unlink(journal) == 0 || errno == ENOENT) return os::FlushFolderOf(journal);
    const Descriptor fd(os::Sys().open(journal, O_WRONLY | O_CLOEXEC, 0));
    if (fd.get() < 0) return rc::kCreateFile;
    const uint8_t zeros[fmt::kJournalHeaderSize] = {};
    if (uint32_t r = os::WriteAll(fd.get(), 0, zeros, sizeof zeros)) return r;
    return os::FlushFile(fd.get());
}

// Reads the journal at fd whole, checking every record; *whole when it is
// a journal of `file`. With `apply`, each record is also written back to
// the database at dbFd as it is read (the caller checked the whole first).
uint32_t readJournal(int fd, const FileIdentity& file, bool* whole, Header* h, int dbFd = -1) {
    *whole = false;
    struct stat st {};
    if (os::Sys().fstat(fd, &st) != 0) return rc::kGetFileSize;
    const uint64_t size = uint64_t(st.st_size);
    Buffer buffer;
    if (buffer.get() == nullptr) return rc::kMalloc;
    uint8_t* const base = buffer.get();
    if (size < fmt::kJournalHeaderSize) return rc::kOk;
    if (uint32_t r = os::ReadAll(fd, 0, base, fmt::kJournalHeaderSize)) return r;
    if (!decode(base, h) || !belongs(*h, file, size)) return rc::kOk;
    uint64_t at = fmt::kJournalHeaderSize, previous = UINT64_MAX;
    for (uint32_t done = 0; done < h->records;) {
        const uint32_t n = h->records - done < kBatch ? h->records - done : kBatch;
        if (uint32_t r = os::ReadAll(fd, at, base, size_t(n) * fmt::kJournalRecordSize)) return r;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* record = base + size_t(i) * fmt::kJournalRecordSize;
            const uint64_t page = getU32(record + fmt::kRecordPage);
            if ((previous != UINT64_MAX && page <= previous) || page >= pagesOf(h->sizeBefore) ||
                getU32(record + fmt::kRecordReserved) != 0 || getU64(record + fmt::kRecordChecksum) != recordChecksum(h->salt, record))
                return rc::kOk;
            previous = page;
            if (dbFd >= 0) {
                if (uint32_t r = os::WriteAll(dbFd, page * kPage, record + fmt::kRecordBytes,
                                              bytesIn(page, h->sizeBefore)))
                    return r;
            }
        }
        at += uint64_t(n) * fmt::kJournalRecordSize;
        done += n;
    }
    *whole = true;
    return rc::kOk;
}

}  // namespace

uint64_t Checksum(uint64_t seed, const uint8_t* bytes, size_t length) {
    constexpr uint64_t kOdd = 0x9E3779B97F4A7C15ull;
    uint64_t h = seed ^ 0x6A09E667F3BCC909ull;
    // Every step is a bijection of h: one changed word or byte changes all
    // that follows.
    for (; length >= 8; bytes += 8, length -= 8) h = (rotl(h, 23) ^ getLE64(bytes)) * kOdd;
    for (; length > 0; ++bytes, --length) h = (rotl(h, 23) ^ *bytes) * kOdd;
    return h ^ (h >> 31);
}

uint32_t Commit(const Change& c, bool* broken) {
    *broken = false;
    if (c.file.size == 0) {  // a new file: written whole, nothing to go back to
        const uint32_t r = writeRange(c.fd, c.view, 0, c.sizeAfter);
        return r != rc::kOk ? r : os::FlushFile(c.fd);
    }
    Header h;
    h.records = countWritten(c);
    if (h.records == 0 && c.sizeAfter == c.file.size) return rc::kOk;
    h.device = c.file.device;
    h.inode = c.file.inode;
    h.sizeBefore = c.file.size;
    h.sizeAfter = c.sizeAfter;
    h.salt = freshSalt(c);
    if (uint32_t r = writeJournal(c, h)) {
        // The database is untouched; a journal left whole would only put
        // back what it holds.
        os::ErrnoGuard keep;
        os::Sys().unlink(c.journal);
        return r;
    }
    uint32_t r = writeDatabase(c);
    if (r == rc::kOk) r = invalidate(c.journal);
    if (r != rc::kOk) {
        os::ErrnoGuard keep;
        struct stat st {};
        FileIdentity now = c.file;
        now.size = os::Sys().fstat(c.fd, &st) == 0 ? uint64_t(st.st_size) : 0;
        *broken = now.size == 0 || RollBack(c.fd, c.journal, now) != rc::kOk;
    }
    return r;
}

uint32_t CommitView(const os::DbFile& file, AreaView* view, CommitState* state) {
    if (state->brokenCode != 0) return state->brokenCode;
    Change change;
    change.fd = file.fd;
    change.journal = file.journal;
    change.mode = file.permissions;
    change.file = {file.device, file.inode, state->committed};
    change.sizeAfter = uint64_t(fmt::kHeaderSize) + view->dataSize;
    change.view = view;
    bool broken = false;
    if (uint32_t r = Commit(change, &broken)) {
        if (broken) state->brokenCode = r;
        return r;
    }
    if (view->trackedEnd != 0) {
        const uint64_t words = (view->trackedEnd >> fmt::kJournalPageShift) / 64 + 1;
        std::memset(view->dirty, 0, size_t(words < kDirtyWords ? words : kDirtyWords) * sizeof(uint64_t));
    }
    state->committed = change.sizeAfter;
    view->trackedEnd = change.sizeAfter;
    return rc::kOk;
}

uint32_t Inspect(const char* journal, const FileIdentity& file, bool* hot) {
    *hot = false;
    const Descriptor fd(os::Sys().open(journal, O_RDONLY | O_CLOEXEC, 0));
    if (fd.get() < 0) return errno == ENOENT ? rc::kOk : rc::kCreateFile;
    Header h;
    return readJournal(fd.get(), file, hot, &h);
}

uint32_t RollBack(int dbFd, const char* journal, const FileIdentity& file) {
    const Descriptor fd(os::Sys().open(journal, O_RDONLY | O_CLOEXEC, 0));
    if (fd.get() < 0) return errno == ENOENT ? rc::kReadFile : rc::kCreateFile;
    bool whole = false;
    Header h;
    if (uint32_t r = readJournal(fd.get(), file, &whole, &h)) return r;
    if (!whole) {
        errno = ENOENT;
        return rc::kReadFile;
    }
    if (uint32_t r = readJournal(fd.get(), file, &whole, &h, dbFd)) return r;
    if (!whole) {  // changed under the lock: nothing sound to go on with
        errno = EIO;
        return rc::kReadFile;
    }
    if (os::Sys().ftruncate(dbFd, off_t(h.sizeBefore)) != 0) return rc::kWriteFile;
    if (uint32_t r = os::FlushFile(dbFd)) return r;
    return invalidate(journal);
}

bool CanInvalidate(const char* journal) {
    os::ErrnoGuard keep;
    const Descriptor fd(os::Sys().open(journal, O_WRONLY | O_CLOEXEC, 0));
    if (fd.get() >= 0) return true;
    char folder[PATH_MAX];
    return os::FolderOf(journal, folder) && os::Sys().access(folder, W_OK | X_OK) == 0;
}

uint32_t Discard(const char* journal) {
    if (os::Sys().unlink(journal) == 0) return os::FlushFolderOf(journal);
    return errno == ENOENT ? rc::kOk : rc::kCreateFile;
}

}  // namespace tarn::journal
