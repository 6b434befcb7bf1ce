// Driver 1: the database file mapped whole into memory. Every write lands in
// the shared mapping at once; commit only forces it to disk. Growth extends
// the file and remaps it, so the areas may move.
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

struct MappedContext {
    AreaView view;  // first: Store::view points here
    uint8_t* base = nullptr;
    size_t mapSize = 0;  // header + data, the whole file
    os::DbFile file;
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

uint32_t mappedCommit(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
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
    uint8_t* base = nullptr;
    if (uint32_t r = os::RemapFile(c->file.fd, c->base, c->mapSize, fileSizeFor(dataSize), &base))
        return r;
    c->base = base;
    publish(c, dataSize);
    return rc::kOk;
}

uint32_t mappedClose(void* ctx) {
    auto* c = static_cast<MappedContext*>(ctx);
    const uint32_t r = os::UnmapFile(c->base, c->mapSize);
    freeContext(c);
    return r;
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
    if (uint32_t r = os::MapFile(c->file.fd, fileSizeFor(dataSize), c->file.mode.readOnly,
                                 c->file.allocated, headerSize, &c->base)) {
        freeContext(c);
        return r;
    }
    publish(c, dataSize);
    s->ctx = c;
    s->view = &c->view;
    s->ops.commit = mappedCommit;
    s->ops.close = mappedClose;
    s->ops.grow = mappedGrow;
    FillAreaSlots(s->ops);
    *isNew = c->file.mode.isNew;
    return rc::kOk;
}

}  // namespace tarn
