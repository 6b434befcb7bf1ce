// Driver 3: the database file read whole into two heap buffers at open.
// Nothing reaches the file before a commit (or the close, which commits):
// a new file's first is written whole; after that a commit writes only the
// pages the store marked and the grown tail, whole or not at all
// (engine/storage/journal.h). The file never shrinks.
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

struct FileContext {
    AreaView view;  // first: Store::view points here; owns both buffers and the marks
    os::DbFile file;
    journal::CommitState commits;
};
static_assert(std::is_standard_layout_v<FileContext> && offsetof(FileContext, view) == 0);

void freeContext(FileContext* c) {
    os::ErrnoGuard keep;
    os::CloseDatabaseFile(&c->file);
    std::free(c->view.dirty);
    std::free(c->view.data);
    std::free(c->view.header);
    c->~FileContext();
    std::free(c);
}

// Zeroed buffers: bytes past highWater reach the file too, and must not be
// whatever the heap held before.
uint32_t allocateAreas(FileContext* c) {
    const uint32_t dataSize = c->file.dataSize;
    if (dataSize > os::kMaxDataSize) {  // its file could never be opened again
        errno = ENOMEM;
        return rc::kMalloc;
    }
    if (dataSize > 0) {
        c->view.data = static_cast<uint8_t*>(os::Sys().calloc(dataSize, 1));
        if (c->view.data == nullptr) return rc::kMalloc;
    }
    c->view.header = static_cast<uint8_t*>(os::Sys().calloc(fmt::kHeaderSize, 1));
    if (c->view.header == nullptr) return rc::kMalloc;
    c->view.dataSize = dataSize;
    if (c->file.mode.readOnly) return rc::kOk;
    c->view.dirty = static_cast<uint64_t*>(os::Sys().calloc(kDirtyWords, sizeof(uint64_t)));
    return c->view.dirty != nullptr ? rc::kOk : rc::kMalloc;
}

uint32_t readAreas(FileContext* c) {
    const int fd = c->file.fd;
    if (uint32_t r = os::ReadAll(fd, 0, c->view.header, fmt::kHeaderSize)) return r;
    return os::ReadAll(fd, fmt::kHeaderSize, c->view.data, c->view.dataSize);
}

uint32_t fileCommit(void* ctx) {
    auto* c = static_cast<FileContext*>(ctx);
    if (c->file.mode.readOnly) {  // what a write on the read-only descriptor would report
        errno = EBADF;
        return rc::kWriteFile;
    }
    return journal::CommitView(c->file, &c->view, &c->commits);
}

uint32_t fileGrow(void* ctx, uint32_t n) {
    auto* c = static_cast<FileContext*>(ctx);
    if (n == 0) return rc::kOk;
    if (n > os::kMaxDataSize - c->view.dataSize) {
        errno = ENOMEM;
        return rc::kRealloc;
    }
    const uint32_t oldSize = c->view.dataSize;
    void* p = os::Sys().realloc(c->view.data, size_t(oldSize) + n);
    if (p == nullptr) return rc::kRealloc;  // the old buffer stays in use
    c->view.data = static_cast<uint8_t*>(p);
    std::memset(c->view.data + oldSize, 0, n);
    c->view.dataSize = oldSize + n;
    return rc::kOk;
}

uint32_t fileClose(void* ctx) {
    auto* c = static_cast<FileContext*>(ctx);
    fileCommit(c);  // unreported, as is the close itself
    freeContext(c);
    return rc::kOk;
}

uint32_t fileDiscard(void* ctx) {
    freeContext(static_cast<FileContext*>(ctx));
    return rc::kOk;
}

}  // namespace

uint32_t FileDriverOpen(Store* s, uint32_t headerSize, const char* name,
                        const LumDbParams* p, bool* isNew) {
    if (headerSize != fmt::kHeaderSize || name == nullptr) return rc::kBadParameter;
    void* mem = os::Sys().calloc(1, sizeof(FileContext));
    if (mem == nullptr) return rc::kMalloc;
    auto* c = new (mem) FileContext();
    uint32_t r = os::OpenDatabaseFile(name, p->flags, p->initialSize, headerSize, p->spare1, &c->file);
    if (r == rc::kOk) r = allocateAreas(c);
    if (r == rc::kOk && !c->file.mode.isNew) r = readAreas(c);
    if (r == rc::kOk && !c->file.mode.isNew && !c->file.mode.readOnly) {
        c->commits.committed = uint64_t(fmt::kHeaderSize) + c->view.dataSize;
        c->view.trackedEnd = c->commits.committed;
    }
    if (r != rc::kOk) {
        freeContext(c);
        return r;
    }
    s->ctx = c;
    s->view = &c->view;
    s->ops.commit = fileCommit;
    s->ops.close = fileClose;
    s->ops.grow = fileGrow;
    s->ops.discard = fileDiscard;
    FillAreaSlots(s->ops);
    *isNew = c->file.mode.isNew;
    return rc::kOk;
}

}  // namespace tarn
