// StoreOpen/StoreClose, the header checks of an existing file, and the area
// slots shared by all drivers (every driver keeps its areas in memory).
#include "engine/storage/store.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "engine/result_codes.h"
#include "engine/storage/os.h"

namespace tarn {
namespace {

AreaView& viewOf(void* ctx) { return *static_cast<AreaView*>(ctx); }

uint32_t readHeader(void* ctx, uint32_t off, uint32_t len, void* dst) {
    std::memcpy(dst, viewOf(ctx).header + off, len);
    return 0;
}
uint32_t writeHeader(void* ctx, uint32_t off, uint32_t len, const void* src) {
    MarkWritten(&viewOf(ctx), off, len);
    std::memcpy(viewOf(ctx).header + off, src, len);
    return 0;
}
uint32_t fillHeader(void* ctx, uint32_t off, uint32_t len, uint8_t value) {
    MarkWritten(&viewOf(ctx), off, len);
    std::memset(viewOf(ctx).header + off, value, len);
    return 0;
}
uint32_t readData(void* ctx, uint32_t off, uint32_t len, void* dst) {
    std::memcpy(dst, viewOf(ctx).data + off, len);
    return 0;
}
uint32_t writeData(void* ctx, uint32_t off, uint32_t len, const void* src) {
    MarkWritten(&viewOf(ctx), uint64_t(fmt::kHeaderSize) + off, len);
    std::memcpy(viewOf(ctx).data + off, src, len);
    return 0;
}

// The slots below trust their offsets like the others; the checked Data*
// functions further down are what the engine calls.
uint32_t strLenSlot(void* ctx, uint32_t off, uint32_t* out) {
    *out = uint32_t(std::strlen(reinterpret_cast<const char*>(viewOf(ctx).data + off)));
    return 0;
}
int signOf(int v) { return (v > 0) - (v < 0); }
uint32_t strCmpSlot(void* ctx, uint32_t off, const char* s, int* out) {
    *out = signOf(std::strcmp(reinterpret_cast<const char*>(viewOf(ctx).data + off), s));
    return 0;
}
uint32_t strCmpDataSlot(void* ctx, uint32_t off1, uint32_t off2, int* out) {
    const uint8_t* d = viewOf(ctx).data;
    *out = signOf(std::strcmp(reinterpret_cast<const char*>(d + off1),
                              reinterpret_cast<const char*>(d + off2)));
    return 0;
}
uint32_t strFindSlot(void* ctx, uint32_t off, const char* s, int* out) {
    *out = std::strstr(reinterpret_cast<const char*>(viewOf(ctx).data + off), s) != nullptr;
    return 0;
}
uint32_t dataSizeSlot(void* ctx) { return viewOf(ctx).dataSize; }

// Bytes of the stored string at off up to (not including) its NUL, or to the
// end of the area when it has none (the store is then damaged).
const uint8_t* storedString(Store* s, uint32_t off, uint32_t* len) {
    const AreaView& v = *s->view;
    if (off >= v.dataSize) {
        s->damaged = true;
        *len = 0;
        return nullptr;
    }
    const uint8_t* p = v.data + off;
    const void* nul = std::memchr(p, 0, v.dataSize - off);
    if (nul == nullptr) {
        s->damaged = true;
        *len = v.dataSize - off;
    } else {
        *len = uint32_t(static_cast<const uint8_t*>(nul) - p);
    }
    return p;
}

// Compares a[0..alen) + NUL with b[0..blen) + NUL as unsigned bytes.
int compareTerminated(const uint8_t* a, uint32_t alen, const uint8_t* b, uint32_t blen) {
    int c = std::memcmp(a, b, std::min(alen, blen));
    if (c != 0) return signOf(c);
    return (alen > blen) - (alen < blen);
}

void formatHeader(Store* s) {
    HeaderFill(s, 0, fmt::kFormattedPrefix, 0);
    for (uint32_t i = 0; i < sizeof fmt::kMagic; ++i)
        HeaderPutU8(s, fmt::kMagicOffset + i, uint8_t(fmt::kMagic[i]));
    HeaderPutU8(s, fmt::kVersionOffset, fmt::kVersion);
    HeaderPutU32(s, fmt::kLargeFreeOffset, 0);
    for (uint32_t size = fmt::kSmallMin; size <= fmt::kSmallMax; ++size)
        HeaderPutU32(s, fmt::smallFreeHead(size), 0);
    HeaderPutU32(s, fmt::kHighWaterOffset, fmt::kFirstObject);
    HeaderFill(s, fmt::kFormattedPrefix, fmt::kHeaderSize - fmt::kFormattedPrefix, 0);
}

// An object reference from the header must name a whole object in the area.
bool objectFits(const Store* s, uint32_t off, uint32_t size) {
    return off == 0 || (off >= fmt::kFirstObject && uint64_t(off) + size <= s->view->dataSize);
}

// 0, 29 (not a database or impossible header words) or 30 (other version).
uint32_t verifyHeader(Store* s) {
    for (uint32_t i = 0; i < sizeof fmt::kMagic; ++i)
        if (HeaderGetU8(s, fmt::kMagicOffset + i) != uint8_t(fmt::kMagic[i])) return rc::kIllegalFile;
    if (HeaderGetU8(s, fmt::kVersionOffset) != fmt::kVersion) return rc::kBadVersion;
    const uint32_t highWater = HeaderGetU32(s, fmt::kHighWaterOffset);
    // A database that never stored an object may have no data area at all.
    if (highWater < fmt::kFirstObject ||
        (highWater > s->view->dataSize && highWater != fmt::kFirstObject))
        return rc::kIllegalFile;
    for (uint32_t size = fmt::kSmallMin; size <= fmt::kSmallMax; ++size)
        if (!objectFits(s, HeaderGetU32(s, fmt::smallFreeHead(size)), size)) return rc::kIllegalFile;
    if (!objectFits(s, HeaderGetU32(s, fmt::kLargeFreeOffset), fmt::kSmallMax + 1))
        return rc::kIllegalFile;
    for (uint32_t cls = 0; cls < fmt::kClassCount; ++cls)
        for (uint32_t bucket = 0; bucket < 256; ++bucket)
            if (!objectFits(s, HeaderGetU32(s, fmt::indexRoot(cls, bucket)), fmt::kGroupSize))
                return rc::kIllegalFile;
    return rc::kOk;
}

void noteTracking(Store* s) { s->plainWrites = !s->readOnly && s->view->trackedEnd == 0; }

using DriverOpen = uint32_t (*)(Store*, uint32_t, const char*, const LumDbParams*, bool*);

void freeStore(Store* s) {
    s->~Store();
    std::free(s);
}

DriverOpen pickDriver(uint32_t driver) {
    switch (driver) {
        case 1: return MappedDriverOpen;
        case 3: return FileDriverOpen;
        case 4: return MemoryDriverOpen;
        default: return nullptr;
    }
}

}  // namespace

void MarkPages(AreaView* v, uint64_t off, uint64_t len) {
    const uint64_t last = (std::min(off + len, v->trackedEnd) - 1) >> fmt::kJournalPageShift;
    for (uint64_t page = off >> fmt::kJournalPageShift; page <= last; ++page)
        v->dirty[page >> 6] |= uint64_t(1) << (page & 63);
}

void FillAreaSlots(StoreOps& ops) {
    ops.readHeader = readHeader;
    ops.writeHeader = writeHeader;
    ops.fillHeader = fillHeader;
    ops.readData = readData;
    ops.writeData = writeData;
    ops.strLen = strLenSlot;
    ops.strCmp = strCmpSlot;
    ops.strCmpData = strCmpDataSlot;
    ops.strFind = strFindSlot;
    ops.dataSize = dataSizeSlot;
}

uint32_t DataStrLen(Store* s, uint32_t off) {
    uint32_t len = 0;
    storedString(s, off, &len);
    return len;
}

int DataStrCmp(Store* s, uint32_t off, const char* str) {
    const AreaView& v = *s->view;
    if (off < v.dataSize && DataEndsInNul(s))
        return signOf(std::strcmp(reinterpret_cast<const char*>(v.data + off), str));
    uint32_t len = 0;
    const uint8_t* p = storedString(s, off, &len);
    if (p == nullptr) return str[0] == 0 ? 0 : -1;
    return compareTerminated(p, len, reinterpret_cast<const uint8_t*>(str), uint32_t(std::strlen(str)));
}

int DataStrCmpData(Store* s, uint32_t off1, uint32_t off2) {
    uint32_t len1 = 0, len2 = 0;
    const uint8_t* p1 = storedString(s, off1, &len1);
    const uint8_t* p2 = storedString(s, off2, &len2);
    if (p1 == nullptr || p2 == nullptr) return (p1 != nullptr) - (p2 != nullptr);
    return compareTerminated(p1, len1, p2, len2);
}

int DataStrFind(Store* s, uint32_t off, const char* str) {
    uint32_t len = 0;
    const uint8_t* p = storedString(s, off, &len);
    const size_t n = std::strlen(str);
    if (n == 0) return 1;
    if (p == nullptr || len < n) return 0;
    return memmem(p, len, str, n) != nullptr;
}

uint32_t StoreOpen(Store** out, LumDbParams* params, const char* name) {
    void* mem = os::Sys().calloc(1, sizeof(Store));
    if (mem == nullptr) return rc::kMalloc;
    Store* s = new (mem) Store();
    if (params->driver == 0) params->driver = 1;
    if (params->growSize == 0) params->growSize = 65536;
    s->params = *params;
    DriverOpen open = pickDriver(params->driver);
    if (open == nullptr) {
        freeStore(s);
        return rc::kBadDriver;
    }
    bool isNew = false;
    uint32_t code = open(s, fmt::kHeaderSize, name, params, &isNew);
    if (code != rc::kOk) {
        freeStore(s);
        return code;
    }
    s->view = static_cast<AreaView*>(s->ctx);
    if (isNew) {
        formatHeader(s);
    } else if ((code = verifyHeader(s)) != rc::kOk) {
        StoreClose(s);
        return code;
    }
    // Set after formatting: a new memory database opened with flags 17 still
    // gets a valid header, and nothing after that may write.
    s->readOnly = (params->flags & 0x11) == 0x11;
    noteTracking(s);
    *out = s;
    return rc::kOk;
}

namespace {

uint32_t closeBy(Store* s, uint32_t (*close)(void*)) {
    if (s->index != nullptr) s->releaseIndex(s->index);
    const uint32_t code = close(s->ctx);
    freeStore(s);
    return code;
}

}  // namespace

uint32_t StoreClose(Store* s) { return closeBy(s, s->ops.close); }

uint32_t StoreDiscard(Store* s) { return closeBy(s, s->ops.discard); }

uint32_t StoreGrow(Store* s) {
    if (s->readOnly) {
        s->writeRefused = true;
        return rc::kBadFlags;
    }
    // The data area must stay addressable by 32-bit offsets, and within the
    // caller's limit (spare2). errno tells the limit, as a failing system
    // call would.
    const uint64_t limit = s->params.spare2 != 0 ? s->params.spare2 : 0xFFFFFFFFull;
    if (uint64_t(s->view->dataSize) + s->params.growSize + fmt::kHeaderSize > limit) {
        errno = EFBIG;
        return rc::kFileTooLarge;
    }
    return s->ops.grow(s->ctx, s->params.growSize);
}

uint32_t StoreCommit(Store* s) {
    const uint32_t r = s->ops.commit(s->ctx);
    noteTracking(s);  // a commit may have begun to track (a new file's first)
    return r;
}

}  // namespace tarn
