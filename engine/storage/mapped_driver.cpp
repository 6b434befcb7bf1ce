// Driver 1: the database file mapped whole into memory. Every write lands in
// the shared mapping at once; commit only forces it to disk. Growth extends
// the file and remaps it, so the areas may move.
//
// A new file is staged first: its areas live in anonymous memory (see
// os::ReserveStaging), which huge pages make much cheaper to fill at random
// than a mapping of the file. The file's blocks are still reserved at every
// growth, so a full disk is reported where it is for a mapping. The first
// commit, a close, or growth past os::StagingLimit() writes the staged bytes
// to the file and maps it; from then on the driver works as above. While a
// large store is staged, os::StagingFiller faults its next pages in on a
// thread of its own.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "engine/result_codes.h"
#include "engine/storage/os.h"
#include "engine/storage/store.h"

namespace tarn {
namespace {

// Staged stores of this size and more are faulted in kFillAhead bytes ahead.
constexpr size_t kFillFrom = size_t(16) << 20;
constexpr size_t kFillAhead = size_t(16) << 20;

struct MappedContext {
    AreaView view;  // first: Store::view points here
    uint8_t* base = nullptr;
    size_t mapSize = 0;  // header + data, the whole file
    os::DbFile file;
    bool staged = false;     // base is staging memory, not yet a mapping of the file
    size_t stageLimit = 0;   // file size past which staging ends
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

void freeContext(MappedContext* c) {
    os::ErrnoGuard keep;
    os::CloseFile(c->file.fd);
    c->~MappedContext();
    std::free(c);
}

// Writes the staged bytes to the file (forced to disk when `durable`) and
// maps it in their place. On failure the staging stays in use, whole.
uint32_t unstage(MappedContext* c, bool durable) {
    const int fd = c->file.fd;
    if (uint32_t r = os::WriteAll(fd, 0, c->base, c->mapSize)) return r;
    if (durable) {
        if (uint32_t r = os::FlushFile(fd)) return r;
    }
    uint8_t* mapped = nullptr;
    if (uint32_t r = os::MapFile(fd, c->mapSize, false, true, fmt::kHeaderSize, &mapped)) return r;
    c->filler.stop();
    os::ReleaseStaging(c->base);
    c->base = mapped;
    c->staged = false;
    publish(c, c->view.dataSize);
    return rc::kOk;
}

uint32_t mappedCommit(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    if (c->staged) return unstage(c, true);
    // A read-only open leaves the file as it found it, times included.
    if (!c->file.mode.readOnly) os::TouchWriteTime(c->file.fd);
    return os::FlushView(c->base, c->mapSize);
}

uint32_t mappedGrow(void* ctx, uint32_t n) {
    auto* c = static_cast<MappedContext*>(ctx);
    if (n == 0) return rc::kOk;
    if (n > os::kMaxDataSize - c->view.dataSize) {
        errno = EFBIG;
        return rc::kCreateMapping;
    }
    const uint32_t dataSize = c->view.dataSize + n;
    if (c->staged && fileSizeFor(dataSize) > c->stageLimit) {
        if (uint32_t r = unstage(c, false)) return r;
    }
    if (c->staged) {
        if (uint32_t r = os::ExtendFile(c->file.fd, c->mapSize, fileSizeFor(dataSize))) return r;
        publish(c, dataSize);
        // A store this large goes on growing: its next pages are faulted in
        // on the filler's thread, whole huge pages ahead of the writes.
        if (c->mapSize >= kFillFrom)
            c->filler.fillTo(c->base, std::min(c->stageLimit, c->mapSize + kFillAhead) & ~(os::kHugePage - 1));
        return rc::kOk;
    }
    uint8_t* base = nullptr;
    if (uint32_t r = os::RemapFile(c->file.fd, c->base, c->mapSize, fileSizeFor(dataSize), &base))
        return r;
    c->base = base;
    publish(c, dataSize);
    return rc::kOk;
}

uint32_t mappedClose(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    uint32_t r = rc::kOk;
    if (c->staged) {
        c->filler.stop();
        r = os::WriteAll(c->file.fd, 0, c->base, c->mapSize);
        os::ReleaseStaging(c->base);
    } else {
        r = os::UnmapFile(c->base, c->mapSize);
    }
    freeContext(c);
    return r;
}

// Staged bytes are dropped unwritten; a mapping's writes are in the file
// already.
uint32_t mappedDiscard(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    uint32_t r = rc::kOk;
    if (c->staged) {
        c->filler.stop();
        os::ReleaseStaging(c->base);
    } else {
        r = os::UnmapFile(c->base, c->mapSize);
    }
    freeContext(c);
    return r;
}

// Stages a new file that fits the limit; maps any other.
uint32_t openView(MappedContext* c, size_t size) {
    if (c->file.mode.isNew) {
        c->stageLimit = os::StagingLimit();
        if (size <= c->stageLimit) c->base = os::ReserveStaging();
        if (c->base != nullptr) {
            const uint32_t r = os::ExtendFile(c->file.fd, 0, size);
            if (r == rc::kOk) {
                c->staged = true;
                return r;
            }
            os::ReleaseStaging(c->base);
            c->base = nullptr;
            return r;
        }
    }
    return os::MapFile(c->file.fd, size, c->file.mode.readOnly, c->file.allocated,
                       fmt::kHeaderSize, &c->base);
}

}  // namespace

uint32_t MappedDriverOpen(Store* s, uint32_t headerSize, const char* name,
                          const LumDbParams* p, bool* isNew) {
    if (headerSize != fmt::kHeaderSize || name == nullptr) return rc::kBadParameter;
    void* mem = os::Sys().calloc(1, sizeof(MappedContext));
    if (mem == nullptr) return rc::kMalloc;
    auto* c = new (mem) MappedContext();
    if (uint32_t r = os::OpenDatabaseFile(name, p->flags, p->initialSize, headerSize, &c->file)) {
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
