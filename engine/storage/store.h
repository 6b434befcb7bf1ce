// The Store: one per open database, the only way to reach its bytes.
//
// Every driver keeps the two areas in memory (a mapped view or heap buffers)
// and publishes them through an AreaView at the start of its context, so the
// accessors below are a bounds check and a copy: no call per access.
//
// Sound handling of untrusted files: every access is checked against the area
// it addresses. An out-of-range read returns zeros, an out-of-range write does
// nothing, and both mark the Store damaged; API calls that find it damaged
// return 29 "Illegal database file". Writes on a read-only Store are refused
// the same way (writeRefused), and API calls check readOnly before writing.
//
// Lifecycle: StoreOpen (driver open, header formatted or verified) ->
// accessors / StoreGrow / commit any number of times -> StoreClose.
//
// Changes and their commit. Nothing a store changes in an existing file
// reaches it before a commit, and the commit writes it whole or not at all
// (engine/storage/journal.h). Its syncs, in this order, each before the
// next step begins:
//   1. journal "<file>-journal": the committed bytes of every page to be
//      overwritten, with the committed size, written; fsync(journal), then
//      fsync(folder) so that the journal's name is durable too;
//   2. database: the changed pages and the grown tail written; fsync(file);
//   3. journal removed, fsync(folder) (or, when it cannot be removed, its
//      header zeroed, fsync(journal)); only then does the commit report 0.
// The next open of any kind rolls a whole journal of this file back before
// reading (engine/storage/db_file.h).
//
// What to write comes from marks the accessors set: every write entry point
// below (the Put functions, HeaderFill, DataPutBytes, DataWritePtr,
// DataRawWrite and the write slots of FillAreaSlots) marks the pages of the
// bytes it may change, and no other pointer through which the areas can be
// changed leaves this header (DataPtr and DataRaw are const) but
// DataPlainBase's, which is null whenever marks are kept. Pages past the
// committed size need no mark: the commit writes all of them.
#ifndef TARN_STORAGE_STORE_H
#define TARN_STORAGE_STORE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/storage/bytes.h"
#include "engine/storage/format.h"
#include "engine/tarn20.h"

namespace tarn {

// One bit for every page of the largest file, to mark those written.
constexpr uint32_t kTrackedPages = uint32_t((uint64_t(1) << 32) >> fmt::kJournalPageShift);
constexpr uint32_t kDirtyWords = kTrackedPages / 64;

// Where the areas lie right now; first member of every driver context.
struct AreaView {
    uint8_t* header = nullptr;  // kHeaderSize bytes
    uint8_t* data = nullptr;    // dataSize bytes (may be null when 0)
    uint32_t dataSize = 0;
    // A write below this file offset (the file as last committed) marks its
    // pages in `dirty` (kDirtyWords words): what the next commit saves in the
    // journal and writes back. 0 marks nothing (a new file before its first
    // commit, a read-only one, memory): `dirty` may then be null.
    uint64_t trackedEnd = 0;
    uint64_t* dirty = nullptr;
};

// Marks the pages of file bytes [off, off + len) that lie below trackedEnd
// (out of line: the inline test keeps the write paths short).
void MarkPages(AreaView* v, uint64_t off, uint64_t len);
inline void MarkWritten(AreaView* v, uint64_t off, uint64_t len) {
    if (off < v->trackedEnd && len != 0) MarkPages(v, off, len);
}
inline bool PageWritten(const AreaView* v, uint64_t page) {
    return (v->dirty[page >> 6] >> (page & 63)) & 1;
}
// File bytes at file offset off, of a range that stays within one area.
inline const uint8_t* FileBytes(const AreaView* v, uint64_t off) {
    return off < fmt::kHeaderSize ? v->header + off : v->data + (off - fmt::kHeaderSize);
}

// Operation table, in slot order. Each takes the driver context first.
struct StoreOps {
    uint32_t (*commit)(void* ctx);
    uint32_t (*close)(void* ctx);
    uint32_t (*grow)(void* ctx, uint32_t n);
    uint32_t (*readHeader)(void* ctx, uint32_t off, uint32_t len, void* dst);
    uint32_t (*writeHeader)(void* ctx, uint32_t off, uint32_t len, const void* src);
    uint32_t (*fillHeader)(void* ctx, uint32_t off, uint32_t len, uint8_t value);
    uint32_t (*readData)(void* ctx, uint32_t off, uint32_t len, void* dst);
    uint32_t (*writeData)(void* ctx, uint32_t off, uint32_t len, const void* src);
    uint32_t (*strLen)(void* ctx, uint32_t off, uint32_t* out);
    uint32_t (*strCmp)(void* ctx, uint32_t off, const char* s, int* out);
    uint32_t (*strCmpData)(void* ctx, uint32_t off1, uint32_t off2, int* out);
    uint32_t (*strFind)(void* ctx, uint32_t off, const char* s, int* out);
    uint32_t (*dataSize)(void* ctx);
    // Closes without writing anything more to the file: what was not yet
    // committed is dropped where the driver holds it apart from the file.
    uint32_t (*discard)(void* ctx);
};

// The value index's memory of a session (engine/storage/index_memory.h).
struct IndexState;

struct Store {
    void* ctx = nullptr;  // driver context; begins with an AreaView
    LumDbParams params{};
    StoreOps ops{};
    AreaView* view = nullptr;  // == (AreaView*)ctx
    bool readOnly = false;
    // Writes need neither a refusal nor marks: not read-only, and the view
    // tracks nothing (view->trackedEnd 0). Set by StoreOpen and after every
    // commit, the only times a driver changes what it tracks; one test on
    // the path of every write, as readOnly alone was.
    bool plainWrites = false;
    bool damaged = false;       // an access fell outside its area
    bool writeRefused = false;  // a write reached a read-only store
    // The value index's memory of this session: made by the index at its
    // first need, which sets releaseIndex whether or not the memory could be
    // had; StoreClose hands it back through that. The store lies below the
    // index and never looks inside.
    IndexState* index = nullptr;
    void (*releaseIndex)(IndexState*) = nullptr;
};

// Generic slots 3..12 over an AreaView context; drivers fill them with these.
void FillAreaSlots(StoreOps& ops);

// Driver entries: fill s->ctx, s->view, s->ops and report a new database.
uint32_t MappedDriverOpen(Store* s, uint32_t headerSize, const char* name,
                          const LumDbParams* p, bool* isNew);
uint32_t FileDriverOpen(Store* s, uint32_t headerSize, const char* name,
                        const LumDbParams* p, bool* isNew);
uint32_t MemoryDriverOpen(Store* s, uint32_t headerSize, const char* name,
                          const LumDbParams* p, bool* isNew);
// For tests: a driver 1 store whose new file, once committed, could not be
// mapped and kept its staging memory as the view (the commit then succeeds
// although a mapping failed).
bool MappedTestHookKeptStaging(const Store* s);

// Applies defaults to *params (written back), opens the driver, formats a new
// header or verifies an existing one. On failure nothing stays open.
uint32_t StoreOpen(Store** out, LumDbParams* params, const char* name);
// Closes the driver and frees the Store; returns the driver's close code.
uint32_t StoreClose(Store* s);
// The same through the driver's discard slot: nothing more is written.
uint32_t StoreDiscard(Store* s);
// Grows the data area by params.growSize. Refused (3) on a read-only store.
uint32_t StoreGrow(Store* s);
uint32_t StoreCommit(Store* s);

inline uint32_t StoreDataSize(const Store* s) { return s->view->dataSize; }

// Upper bound on objects in the data area: bounds every walk over a chain,
// free list or tree so that a corrupt file cannot make one endless.
inline uint64_t StoreMaxSteps(const Store* s) { return uint64_t(s->view->dataSize) / 8 + 2; }

// 29 when the store was found damaged, else 0.
inline uint32_t StoreStatus(const Store* s) { return s->damaged ? 29u : 0u; }

// ---- checked accessors -------------------------------------------------------

inline bool dataInRange(Store* s, uint32_t off, uint32_t len) {
    if (uint64_t(off) + len <= s->view->dataSize) return true;
    s->damaged = true;
    return false;
}
inline bool headerInRange(Store* s, uint32_t off, uint32_t len) {
    if (uint64_t(off) + len <= fmt::kHeaderSize) return true;
    s->damaged = true;
    return false;
}
inline bool writable(Store* s) {
    if (!s->readOnly) return true;
    s->writeRefused = true;
    return false;
}

inline uint8_t HeaderGetU8(Store* s, uint32_t off) {
    return headerInRange(s, off, 1) ? getU8(s->view->header + off) : 0;
}
inline uint16_t HeaderGetU16(Store* s, uint32_t off) {
    return headerInRange(s, off, 2) ? getU16(s->view->header + off) : 0;
}
inline uint32_t HeaderGetU32(Store* s, uint32_t off) {
    return headerInRange(s, off, 4) ? getU32(s->view->header + off) : 0;
}
// The header's bytes at off, to be changed: null (and the store marked)
// unless the store is writable and [off, off + len) lies in the area.
inline uint8_t* headerForWrite(Store* s, uint32_t off, uint32_t len) {
    if (!s->plainWrites) {
        if (!writable(s) || !headerInRange(s, off, len)) return nullptr;
        MarkWritten(s->view, off, len);
    } else if (!headerInRange(s, off, len)) {
        return nullptr;
    }
    return s->view->header + off;
}
inline void HeaderPutU8(Store* s, uint32_t off, uint8_t v) {
    if (uint8_t* p = headerForWrite(s, off, 1)) putU8(p, v);
}
inline void HeaderPutU16(Store* s, uint32_t off, uint16_t v) {
    if (uint8_t* p = headerForWrite(s, off, 2)) putU16(p, v);
}
inline void HeaderPutU32(Store* s, uint32_t off, uint32_t v) {
    if (uint8_t* p = headerForWrite(s, off, 4)) putU32(p, v);
}
inline void HeaderFill(Store* s, uint32_t off, uint32_t len, uint8_t v) {
    if (uint8_t* p = headerForWrite(s, off, len)) std::memset(p, v, len);
}

inline uint8_t DataGetU8(Store* s, uint32_t off) {
    return dataInRange(s, off, 1) ? getU8(s->view->data + off) : 0;
}
inline uint16_t DataGetU16(Store* s, uint32_t off) {
    return dataInRange(s, off, 2) ? getU16(s->view->data + off) : 0;
}
inline uint32_t DataGetU32(Store* s, uint32_t off) {
    return dataInRange(s, off, 4) ? getU32(s->view->data + off) : 0;
}
// The same for the data area: every changed byte of it passes here (or
// through DataRawWrite), which marks its page for the next commit.
inline uint8_t* dataForWrite(Store* s, uint32_t off, uint32_t len) {
    if (!s->plainWrites) {
        if (!writable(s) || !dataInRange(s, off, len)) return nullptr;
        MarkWritten(s->view, uint64_t(fmt::kHeaderSize) + off, len);
    } else if (!dataInRange(s, off, len)) {
        return nullptr;
    }
    return s->view->data + off;
}
inline void DataPutU8(Store* s, uint32_t off, uint8_t v) {
    if (uint8_t* p = dataForWrite(s, off, 1)) putU8(p, v);
}
inline void DataPutU16(Store* s, uint32_t off, uint16_t v) {
    if (uint8_t* p = dataForWrite(s, off, 2)) putU16(p, v);
}
inline void DataPutU32(Store* s, uint32_t off, uint32_t v) {
    if (uint8_t* p = dataForWrite(s, off, 4)) putU32(p, v);
}
// Out of range: the destination is zero-filled.
inline void DataGetBytes(Store* s, uint32_t off, uint32_t len, void* dst) {
    if (len == 0) return;
    if (dataInRange(s, off, len))
        std::memcpy(dst, s->view->data + off, len);
    else
        std::memset(dst, 0, len);
}
inline void DataPutBytes(Store* s, uint32_t off, uint32_t len, const void* src) {
    if (len == 0) return;
    if (uint8_t* p = dataForWrite(s, off, len)) std::memcpy(p, src, len);
}
// Direct pointer to [off, off+len) for reading, or null (and damaged).
// Valid until the next StoreGrow.
inline const uint8_t* DataPtr(Store* s, uint32_t off, uint32_t len) {
    return dataInRange(s, off, len) ? s->view->data + off : nullptr;
}
// The same for changing the bytes: null on a read-only store too, which is
// then marked as a refused write marks it. Only [off, off + len) may be
// changed through it.
inline uint8_t* DataWritePtr(Store* s, uint32_t off, uint32_t len) { return dataForWrite(s, off, len); }

// The one door to the data area's bytes without a check, for the loops of
// the value index that cannot afford one per byte. Precondition: the caller
// has already checked every byte it touches at `off` (a node found sound, a
// word within an object checked whole), or has just checked `off` against
// StoreDataSize for a prefetch. What was checked stays in the area, as the
// area never shrinks. The pointer is valid until the next StoreGrow.
inline const uint8_t* DataRaw(Store* s, uint32_t off) { return s->view->data + off; }
// Its writing twin, under the same precondition and only after writable():
// marks the page of [off, off + len), the only bytes to change through it.
inline uint8_t* DataRawWrite(Store* s, uint32_t off, uint32_t len) {
    if (!s->plainWrites) MarkWritten(s->view, uint64_t(fmt::kHeaderSize) + off, len);
    return s->view->data + off;
}
// For a loop of such writes: the data area's base when no write needs a
// mark (plainWrites), else null, and the loop writes through DataRawWrite.
inline uint8_t* DataPlainBase(Store* s) { return s->plainWrites ? s->view->data : nullptr; }

// [off, off + len) lies in the data area. Unlike dataInRange, a miss marks
// nothing: for readers that only look ahead and must leave the store as it is.
inline bool DataFits(const Store* s, uint32_t off, uint64_t len) {
    return off + len <= s->view->dataSize;
}

// The last byte of the area is a NUL, so every string stored in it ends in
// it: a comparison may stop at the first difference without missing damage.
inline bool DataEndsInNul(const Store* s) {
    const AreaView& v = *s->view;
    return v.dataSize != 0 && v.data[v.dataSize - 1] == 0;
}

// Length of the NUL-terminated string at off. A string that runs off the
// end of the area marks the store damaged and is cut at the end.
uint32_t DataStrLen(Store* s, uint32_t off);
// Sign of (stored string at off) - (s), bytes unsigned.
int DataStrCmp(Store* s, uint32_t off, const char* str);
int DataStrCmpData(Store* s, uint32_t off1, uint32_t off2);
// Nonzero when the stored string at off contains str.
int DataStrFind(Store* s, uint32_t off, const char* str);

// IndexRootTable entry of the class of base type `code` and a bucket byte.
inline uint32_t IndexRootGet(Store* s, uint32_t code, uint32_t bucket) {
    return HeaderGetU32(s, fmt::indexRoot(uint32_t(fmt::baseTypeClass(code)), bucket & 0xFF));
}
inline void IndexRootSet(Store* s, uint32_t code, uint32_t bucket, uint32_t off) {
    HeaderPutU32(s, fmt::indexRoot(uint32_t(fmt::baseTypeClass(code)), bucket & 0xFF), off);
}

}  // namespace tarn

#endif
