// Driver 4: both areas on the heap, never a file. Every database is new.
#include <cstdlib>
#include <cstring>

#include "engine/result_codes.h"
#include "engine/storage/os.h"
#include "engine/storage/store.h"

namespace tarn {
namespace {

struct MemoryContext {
    AreaView view;  // must stay first: the store reads it through ctx
};

uint32_t memCommit(void*) { return rc::kOk; }

uint32_t memClose(void* ctx) {
    auto* m = static_cast<MemoryContext*>(ctx);
    std::free(m->view.header);
    std::free(m->view.data);
    std::free(m);
    return rc::kOk;
}

// Growth keeps the old buffer on failure, and zeroes the new tail so that
// the area's content never depends on what the heap held.
uint32_t memGrow(void* ctx, uint32_t n) {
    auto* m = static_cast<MemoryContext*>(ctx);
    const uint32_t oldSize = m->view.dataSize;
    auto* data = static_cast<uint8_t*>(os::Sys().realloc(m->view.data, size_t(oldSize) + n));
    if (data == nullptr) return rc::kRealloc;
    std::memset(data + oldSize, 0, n);
    m->view.data = data;
    m->view.dataSize = oldSize + n;
    return rc::kOk;
}

}  // namespace

uint32_t MemoryDriverOpen(Store* s, uint32_t headerSize, const char*, const LumDbParams* p,
                          bool* isNew) {
    auto* m = static_cast<MemoryContext*>(os::Sys().calloc(1, sizeof(MemoryContext)));
    if (m == nullptr) return rc::kMalloc;
    m->view.data = static_cast<uint8_t*>(os::Sys().calloc(p->initialSize ? p->initialSize : 1, 1));
    m->view.header = static_cast<uint8_t*>(os::Sys().calloc(headerSize, 1));
    if (m->view.data == nullptr || m->view.header == nullptr) {
        memClose(m);
        return rc::kMalloc;
    }
    m->view.dataSize = p->initialSize;
    s->ctx = m;
    s->ops.commit = memCommit;
    s->ops.close = memClose;
    s->ops.grow = memGrow;
    s->ops.discard = memClose;
    FillAreaSlots(s->ops);
    *isNew = true;
    return rc::kOk;
}

}  // namespace tarn
