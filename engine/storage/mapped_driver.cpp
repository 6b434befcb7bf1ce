// Driver 1: the database file mapped whole into memory.
//
// An existing file opened for writing is mapped privately (os::
// ReservePrivateView): writes change only this process's copy, growth lies
// in anonymous memory behind it, and nothing reaches the file before a
// commit writes the change whole or not at all (engine/storage/journal.h).
// The store marks every page it writes, which tells the commit what to save
// and write back.
//
// A new file is staged first: its areas live in anonymous memory (see
// os::ReserveStaging), which huge pages make much cheaper to fill at random
// than a mapping of the file. The file's blocks are still reserved at every
// growth, so a full disk is reported where it is for a mapping. The first
// commit writes the staged bytes to the file whole; from then on the file
// is an existing one, viewed privately as above. Growth past
// os::StagingLimit() before that maps the new file shared instead, so that
// it may be written back under memory pressure: until its first commit every
// write then lands in the file at once, as nothing was committed before.
// While a large store is staged, os::StagingFiller faults its next pages in
// on a thread of its own.
//
// Read-only, the file is mapped shared and read-only.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "engine/result_codes.h"
#include "engine/storage/db_file.h"
#include "engine/storage/journal.h"
#include "engine/storage/os.h"
#include "engine/storage/store.h"

namespace tarn {
namespace {

// Staged stores of this size and more are faulted in kFillAhead bytes ahead.
constexpr size_t kFillFrom = size_t(16) << 20;
constexpr size_t kFillAhead = size_t(16) << 20;

enum class Kind {
    Staged,    // a new file, in staging memory
    Shared,    // a new file past the staging limit, mapped shared
    Private,   // a committed file, viewed privately within a span
    ReadOnly,  // mapped shared, read-only
};

struct MappedContext {
    AreaView view;  // first: Store::view points here
    uint8_t* base = nullptr;
    size_t mapSize = 0;  // header + data, the whole file
    os::DbFile file;
    Kind kind = Kind::ReadOnly;
    journal::CommitState commits;  // Private
    bool onStaging = false;        // Private: the view is the staging memory it began in
    size_t stageLimit = 0;   // file size past which staging (or a private change) ends
    os::StagingFiller filler;
};
static_assert(std::is_standard_layout_v<MappedContext> && offsetof(MappedContext, view) == 0);

size_t fileSizeFor(uint32_t dataSize) { return size_t(fmt::kHeaderSize) + dataSize; }

void publish(MappedContext* c, uint32_t dataSize) {
    c->mapSize = fileSizeFor(dataSize);
    c->view.header = c->base;
    c->view.data = c->base + fmt::kHeaderSize;
    c->view.dataSize = dataSize;
}

// Unmaps or releases the view, whatever it is; the result of an unmap.
uint32_t dropView(MappedContext* c) {
    uint32_t r = rc::kOk;
    if (c->base == nullptr) return r;
    if (c->kind == Kind::Staged || (c->kind == Kind::Private && c->onStaging)) {
        c->filler.stop();
        os::ReleaseStaging(c->base);
    } else if (c->kind == Kind::Private) {
        r = os::ReleasePrivateView(c->base);
    } else {
        r = os::UnmapFile(c->base, c->mapSize);
    }
    c->base = nullptr;
    return r;
}

void freeContext(MappedContext* c) {
    os::ErrnoGuard keep;
    os::CloseDatabaseFile(&c->file);
    std::free(c->view.dirty);
    c->~MappedContext();
    std::free(c);
}

// From now on the file is as committed at its current size.
void becomePrivate(MappedContext* c, uint8_t* base) {
    c->onStaging = base == c->base;
    if (!c->onStaging) {
        dropView(c);
        c->base = base;
    }
    c->filler.stop();
    c->kind = Kind::Private;
    publish(c, c->view.dataSize);
}

uint32_t commitPrivate(MappedContext* c) {
    if (uint32_t r = journal::CommitView(c->file, &c->view, &c->commits)) return r;
    os::TouchWriteTime(c->file.fd);
    return rc::kOk;
}

// A new file's first commit: the staged bytes written whole, then the file
// viewed privately in their place, which hands their memory back (the
// staging stays the view should the file not be mapped).
uint32_t commitStaged(MappedContext* c) {
    if (uint32_t r = journal::CommitView(c->file, &c->view, &c->commits)) return r;
    uint8_t* base = os::ReservePrivateView(c->file.fd, c->mapSize);
    becomePrivate(c, base != nullptr ? base : c->base);
    return rc::kOk;
}

// The first commit of a new file mapped shared: its bytes are in the file
// already and only need forcing to disk. The private view is had first, so
// that a failure leaves everything as it was.
uint32_t commitShared(MappedContext* c) {
    struct stat before {};  // the mapping below touches the access time, which is kept
    if (os::Sys().fstat(c->file.fd, &before) != 0) return rc::kGetFileSize;
    uint8_t* base = os::ReservePrivateView(c->file.fd, c->mapSize);
    if (base == nullptr) return rc::kMapView;
    os::TouchWriteTime(c->file.fd, &before.st_atim);
    if (uint32_t r = os::FlushView(c->base, c->mapSize)) {
        os::ErrnoGuard keep;
        os::ReleasePrivateView(base);
        return r;
    }
    c->commits.committed = c->mapSize;
    c->view.trackedEnd = c->mapSize;
    becomePrivate(c, base);
    return rc::kOk;
}

uint32_t mappedCommit(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    switch (c->kind) {
        case Kind::Staged: return commitStaged(c);
        case Kind::Shared: return commitShared(c);
        case Kind::Private: return commitPrivate(c);
        case Kind::ReadOnly: break;
    }
    // A read-only open leaves the file as it found it, times included.
    return os::FlushView(c->base, c->mapSize);
}

// Writes the staged bytes to the new file and maps it shared in their place.
// On failure the staging stays in use, whole.
uint32_t unstage(MappedContext* c) {
    const int fd = c->file.fd;
    if (uint32_t r = os::WriteAll(fd, 0, c->base, c->mapSize)) return r;
    uint8_t* mapped = nullptr;
    if (uint32_t r = os::MapFile(fd, c->mapSize, false, true, fmt::kHeaderSize, &mapped)) return r;
    dropView(c);
    c->base = mapped;
    c->kind = Kind::Shared;
    publish(c, c->view.dataSize);
    return rc::kOk;
}

uint32_t growStaged(MappedContext* c, uint32_t dataSize) {
    if (uint32_t r = os::ExtendFile(c->file.fd, c->mapSize, fileSizeFor(dataSize))) return r;
    publish(c, dataSize);
    // A store this large goes on growing: its next pages are faulted in
    // on the filler's thread, whole huge pages ahead of the writes.
    if (c->mapSize >= kFillFrom)
        c->filler.fillTo(c->base, std::min(c->stageLimit, c->mapSize + kFillAhead) & ~(os::kHugePage - 1));
    return rc::kOk;
}

uint32_t mappedGrow(void* ctx, uint32_t n) {
    auto* c = static_cast<MappedContext*>(ctx);
    if (n == 0) return rc::kOk;
    if (n > os::kMaxDataSize - c->view.dataSize) {
        errno = EFBIG;
        return rc::kCreateMapping;
    }
    const uint32_t dataSize = c->view.dataSize + n;
    if (c->kind == Kind::Staged && fileSizeFor(dataSize) > c->stageLimit) {
        if (uint32_t r = unstage(c)) return r;
    }
    if (c->kind == Kind::Staged) return growStaged(c, dataSize);
    if (c->kind == Kind::Private) {
        // The growth of one change is memory until its commit: as much as
        // may be staged.
        if (c->stageLimit != 0 && fileSizeFor(dataSize) - c->commits.committed > c->stageLimit) {
            errno = ENOMEM;
            return rc::kCreateMapping;
        }
        publish(c, dataSize);
        return rc::kOk;
    }
    uint8_t* base = nullptr;
    if (uint32_t r = os::RemapFile(c->file.fd, c->base, c->mapSize, fileSizeFor(dataSize), &base))
        return r;
    c->base = base;
    publish(c, dataSize);
    return rc::kOk;
}

// Staged bytes still go to the file; a private view holds nothing that a
// commit did not write already, or that it failed to.
uint32_t mappedClose(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    uint32_t r = rc::kOk;
    if (c->kind == Kind::Staged) {
        c->filler.stop();
        r = os::WriteAll(c->file.fd, 0, c->base, c->mapSize);
    }
    const uint32_t dropped = dropView(c);
    freeContext(c);
    return r != rc::kOk ? r : dropped;
}

// Staged bytes and a private view are dropped unwritten; a shared
// mapping's writes are in the new file already.
uint32_t mappedDiscard(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    const uint32_t r = dropView(c);
    freeContext(c);
    return r;
}

// Stages a new file that fits the limit; maps any other.
uint32_t openView(MappedContext* c, size_t size) {
    const os::OpenMode& mode = c->file.mode;
    if (mode.readOnly) {
        c->kind = Kind::ReadOnly;
        return os::MapFile(c->file.fd, size, true, false, fmt::kHeaderSize, &c->base);
    }
    c->stageLimit = os::StagingLimit();
    c->view.dirty = static_cast<uint64_t*>(os::Sys().calloc(kDirtyWords, sizeof(uint64_t)));
    if (c->view.dirty == nullptr) return rc::kMalloc;
    if (!mode.isNew) {
        c->base = os::ReservePrivateView(c->file.fd, size);
        if (c->base == nullptr) return rc::kMapView;
        c->kind = Kind::Private;
        c->commits.committed = size;
        c->view.trackedEnd = size;
        return rc::kOk;
    }
    if (size <= c->stageLimit) c->base = os::ReserveStaging();
    if (c->base != nullptr) {
        c->kind = Kind::Staged;
        const uint32_t r = os::ExtendFile(c->file.fd, 0, size);
        if (r != rc::kOk) dropView(c);
        return r;
    }
    c->kind = Kind::Shared;
    return os::MapFile(c->file.fd, size, false, false, fmt::kHeaderSize, &c->base);
}

}  // namespace

bool MappedTestHookKeptStaging(const Store* s) {
    if (s->ops.commit != mappedCommit) return false;
    const auto* c = static_cast<const MappedContext*>(s->ctx);
    return c->kind == Kind::Private && c->onStaging;
}

uint32_t MappedDriverOpen(Store* s, uint32_t headerSize, const char* name,
                          const LumDbParams* p, bool* isNew) {
    if (headerSize != fmt::kHeaderSize || name == nullptr) return rc::kBadParameter;
    void* mem = os::Sys().calloc(1, sizeof(MappedContext));
    if (mem == nullptr) return rc::kMalloc;
    auto* c = new (mem) MappedContext();
    if (uint32_t r = os::OpenDatabaseFile(name, p->flags, p->initialSize, headerSize, p->spare1,
                                          &c->file)) {
        freeContext(c);
        return r;
    }
    const uint32_t dataSize = c->file.dataSize;
    if (dataSize > os::kMaxDataSize) {  // a new file that could never be opened again
        errno = EFBIG;
        freeContext(c);
        return rc::kCreateMapping;
    }
    if (uint32_t r = openView(c, fileSizeFor(dataSize))) {
        freeContext(c);
        return r;
    }
    publish(c, dataSize);
    s->ctx = c;
    s->view = &c->view;
    s->ops.commit = mappedCommit;
    s->ops.close = mappedClose;
    s->ops.grow = mappedGrow;
    s->ops.discard = mappedDiscard;
    FillAreaSlots(s->ops);
    *isNew = c->file.mode.isNew;
    return rc::kOk;
}

}  // namespace tarn
