// Block allocation and field objects of the data area.
//
// Free lists and field words come from the file, so every offset read from it
// is checked before it is used: a block outside the objects area, or a list
// longer than the area could hold, marks the store damaged and the allocation
// fails with 29 instead of handing out a block that overlaps the header words.
#include "engine/storage/objstore.h"

#include <cstring>

#include "engine/result_codes.h"

namespace tarn {
namespace {

// Sizes below the smallest list are served as the smallest block: every block
// must hold a next word.
constexpr uint32_t blockSize(uint32_t size) { return size < fmt::kSmallMin ? fmt::kSmallMin : size; }

// A block taken from a list must lie wholly within the objects handed out.
bool blockPlausible(Store* s, uint32_t off, uint64_t size) {
    uint32_t high = HeaderGetU32(s, fmt::kHighWaterOffset);
    if (off >= fmt::kFirstObject && off + size <= high && high <= StoreDataSize(s)) return true;
    s->damaged = true;
    return false;
}

uint32_t allocSmall(Store* s, uint32_t size, uint32_t* out) {
    uint32_t headWord = fmt::smallFreeHead(size);
    uint32_t block = HeaderGetU32(s, headWord);
    if (block == 0) return 1;  // list empty: caller goes on to highWater
    if (!blockPlausible(s, block, size)) return rc::kIllegalFile;
    HeaderPutU32(s, headWord, DataGetU32(s, block + fmt::kFreeNext));
    *out = block;
    return 0;
}

// First fit on the large list; a tail of 8 bytes or more goes back to a list.
uint32_t allocLarge(Store* s, uint32_t size, uint32_t* out) {
    uint32_t prev = 0;  // 0: the predecessor is the header word
    uint32_t block = HeaderGetU32(s, fmt::kLargeFreeOffset);
    for (uint64_t steps = 0; block != 0; ++steps) {
        if (steps > StoreMaxSteps(s) || !blockPlausible(s, block, 8)) {
            s->damaged = true;
            return rc::kIllegalFile;
        }
        uint32_t have = DataGetU32(s, block + fmt::kFreeSize);
        uint32_t next = DataGetU32(s, block + fmt::kFreeNext);
        if (have >= size) {
            if (!blockPlausible(s, block, have)) return rc::kIllegalFile;
            if (prev == 0)
                HeaderPutU32(s, fmt::kLargeFreeOffset, next);
            else
                DataPutU32(s, prev + fmt::kFreeNext, next);
            if (have - size >= fmt::kSmallMin) ObjFree(s, block + size, have - size);
            *out = block;
            return 0;
        }
        prev = block;
        block = next;
    }
    return 1;  // nothing fits
}

uint32_t allocAtEnd(Store* s, uint32_t size, uint32_t* out) {
    uint32_t off = HeaderGetU32(s, fmt::kHighWaterOffset);
    // A new area may be smaller than the 8 bytes never handed out.
    if (off < fmt::kFirstObject || (off > fmt::kFirstObject && off > StoreDataSize(s))) {
        s->damaged = true;
        return rc::kIllegalFile;
    }
    uint64_t end = uint64_t(off) + size;
    if (end > UINT32_MAX) return rc::kTooBig;
    while (end > StoreDataSize(s)) {
        uint32_t before = StoreDataSize(s);
        uint32_t r = StoreGrow(s);
        if (r != 0) return r;
        if (StoreDataSize(s) <= before) return rc::kTooBig;  // a grow that adds nothing
    }
    HeaderPutU32(s, fmt::kHighWaterOffset, uint32_t(end));
    *out = off;
    return 0;
}

// A field header put together by the caller, written in one piece of a
// size known here, so that the copy needs no library call.
void putHeader(Store* s, uint32_t off, bool wide, const uint8_t* head) {
    if (wide)
        DataPutBytes(s, off, fmt::kIndexedOverhead, head);
    else
        DataPutBytes(s, off, fmt::kPlainOverhead, head);
}

bool isIndexedLayout(Store* s, uint32_t field) {
    return DataGetU8(s, field + fmt::kFieldKind) == fmt::kKindIndexed;
}

}  // namespace

uint32_t ObjAllocSlow(Store* s, uint32_t size, uint32_t* out) {
    size = blockSize(size);
    uint32_t r = size <= fmt::kSmallMax ? allocSmall(s, size, out) : allocLarge(s, size, out);
    if (r != 1) return r;
    return allocAtEnd(s, size, out);
}

void ObjFree(Store* s, uint32_t off, uint32_t size) {
    // No list holds blocks under 8 bytes (their head word would fall on the
    // magic bytes); such a block is dropped.
    if (size < fmt::kSmallMin || off < fmt::kFirstObject || !dataInRange(s, off, size)) return;
    if (size > fmt::kSmallMax) {
        DataPutU32(s, off + fmt::kFreeNext, HeaderGetU32(s, fmt::kLargeFreeOffset));
        DataPutU32(s, off + fmt::kFreeSize, size);
        HeaderPutU32(s, fmt::kLargeFreeOffset, off);
    } else {
        uint32_t headWord = fmt::smallFreeHead(size);
        DataPutU32(s, off + fmt::kFreeNext, HeaderGetU32(s, headWord));
        HeaderPutU32(s, headWord, off);
    }
}

uint32_t ValueSize(int cls, const void* value) {
    if (!fmt::isStringClass(cls)) return fmt::numberWidth(cls);
    return value ? uint32_t(std::strlen(static_cast<const char*>(value))) + 1 : 0;
}

namespace {

// The header of a new field, put together to be written in one piece.
void makeHeader(uint8_t* head, bool indexed, uint8_t base, uint16_t fieldId, uint32_t owner,
                uint32_t next, uint32_t valueSize) {
    // Built as two words, which the compiler stores whole (byte by byte, it
    // does not always merge the stores).
    static_assert(fmt::kFieldKind == 0 && fmt::kFieldBase == 1 && fmt::kFieldId == 2 &&
                      fmt::kFieldOwner == 4 && fmt::kFieldNext == 8 && fmt::kFieldIndexLink == 12,
                  "the header words as laid out in format.h");
    const uint8_t kind = indexed ? fmt::kKindIndexed : fmt::kKindPlain;
    // A byte block's length shares the word with the index link; the length
    // must win, or the block would read back empty.
    const uint32_t link = base == fmt::kBaseBlock ? valueSize : 0;
    putU64(head, uint64_t(kind) | uint64_t(base) << 8 | uint64_t(fieldId) << 16 | uint64_t(owner) << 32);
    putU64(head + 8, uint64_t(next) | uint64_t(link) << 32);
}

}  // namespace

uint32_t FieldCreate(Store* s, uint32_t* out, uint8_t base, uint8_t indexFlag, uint16_t fieldId,
                     uint32_t owner, uint32_t next, uint32_t valueSize) {
    bool indexed = indexFlag == 0;
    bool wide = indexed || base == fmt::kBaseBlock;
    uint64_t size = uint64_t(valueSize) + (wide ? fmt::kIndexedOverhead : fmt::kPlainOverhead);
    if (size > UINT32_MAX) return rc::kTooBig;
    uint32_t off = 0;
    uint32_t r = ObjAlloc(s, uint32_t(size), &off);
    if (r != 0) return r;
    uint8_t head[fmt::kIndexedOverhead];
    makeHeader(head, indexed, base, fieldId, owner, next, valueSize);
    putHeader(s, off, wide, head);
    *out = off;
    return 0;
}

uint32_t FieldCreateWith(Store* s, uint32_t* out, uint8_t base, uint8_t indexFlag, uint16_t fieldId,
                         uint32_t owner, uint32_t next, const void* src, uint32_t len) {
    const bool indexed = indexFlag == 0;
    const bool wide = indexed || base == fmt::kBaseBlock;
    const uint32_t overhead = wide ? fmt::kIndexedOverhead : fmt::kPlainOverhead;
    const uint64_t size = uint64_t(len) + overhead;
    if (size > UINT32_MAX) return rc::kTooBig;
    uint32_t off = 0;
    if (uint32_t r = ObjAlloc(s, uint32_t(size), &off)) return r;
    uint8_t* p = DataWritePtr(s, off, uint32_t(size));
    if (p == nullptr) return StoreStatus(s) != 0 ? rc::kIllegalFile : rc::kBadFlags;
    uint8_t head[fmt::kIndexedOverhead];
    makeHeader(head, indexed, base, fieldId, owner, next, len);
    if (wide)
        std::memcpy(p, head, fmt::kIndexedOverhead);
    else
        std::memcpy(p, head, fmt::kPlainOverhead);
    if (len != 0) std::memcpy(p + overhead, src, len);
    *out = off;
    return 0;
}

uint32_t FieldInit(Store* s, uint32_t off, uint32_t prev, uint16_t fieldId, uint8_t base,
                   uint32_t flags, const void* src, uint32_t len) {
    bool plain = (flags & 1) != 0;
    bool wide = !plain || base == fmt::kBaseBlock;
    // The header, linked as FieldLink links it, is written in one piece.
    uint8_t head[fmt::kIndexedOverhead];
    putU8(head + fmt::kFieldKind, plain ? fmt::kKindPlain : fmt::kKindIndexed);
    putU8(head + fmt::kFieldBase, base);
    putU16(head + fmt::kFieldId, fieldId);
    putU32(head + fmt::kFieldOwner, prev != 0 ? DataGetU32(s, prev + fmt::kFieldOwner) : off);
    putU32(head + fmt::kFieldNext, prev != 0 ? DataGetU32(s, prev + fmt::kFieldNext) : 0);
    putU32(head + fmt::kFieldIndexLink, base == fmt::kBaseBlock ? len : 0);
    putHeader(s, off, wide, head);
    if (prev != 0) DataPutU32(s, prev + fmt::kFieldNext, off);
    DataPutBytes(s, off + (wide ? fmt::kIndexedValue : fmt::kPlainValue), len, src);
    return 0;
}

uint32_t FieldLink(Store* s, uint32_t field, uint32_t prev) {
    if (prev == 0) {
        DataPutU32(s, field + fmt::kFieldOwner, field);
        DataPutU32(s, field + fmt::kFieldNext, 0);
        return 0;
    }
    DataPutU32(s, field + fmt::kFieldOwner, DataGetU32(s, prev + fmt::kFieldOwner));
    DataPutU32(s, field + fmt::kFieldNext, DataGetU32(s, prev + fmt::kFieldNext));
    DataPutU32(s, prev + fmt::kFieldNext, field);
    return 0;
}

void FieldSetOwner(Store* s, uint32_t first, uint32_t owner) {
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; first != 0; ++steps) {
        if (steps > limit || !dataInRange(s, first, fmt::kPlainOverhead)) {
            s->damaged = true;
            return;
        }
        DataPutU32(s, first + fmt::kFieldOwner, owner);
        first = DataGetU32(s, first + fmt::kFieldNext);
    }
}

uint32_t FieldValueOffset(Store* s, uint32_t field) {
    bool wide = DataGetU8(s, field + fmt::kFieldBase) == fmt::kBaseBlock || isIndexedLayout(s, field);
    return field + (wide ? fmt::kIndexedValue : fmt::kPlainValue);
}

uint32_t FieldValueSize(Store* s, uint32_t field, uint32_t* out) {
    uint8_t base = DataGetU8(s, field + fmt::kFieldBase);
    if (base == fmt::kBaseBlock) {
        *out = DataGetU32(s, field + fmt::kFieldBlockLength);
        return 0;
    }
    int cls = fmt::baseTypeClass(base);
    if (fmt::isStringClass(cls))
        *out = DataStrLen(s, FieldValueOffset(s, field)) + 1;
    else
        *out = ValueSize(cls, nullptr);
    return 0;
}

uint32_t FieldRead(Store* s, uint32_t field, void* dst, uint32_t capacity) {
    uint32_t size = 0;
    FieldValueSize(s, field, &size);
    DataGetBytes(s, FieldValueOffset(s, field), size < capacity ? size : capacity, dst);
    return 0;
}

uint32_t FieldWrite(Store* s, uint32_t field, const void* src, uint32_t len, uint8_t indexFlag) {
    bool wide = indexFlag == 0 || DataGetU8(s, field + fmt::kFieldBase) == fmt::kBaseBlock;
    DataPutBytes(s, field + (wide ? fmt::kIndexedValue : fmt::kPlainValue), len, src);
    return 0;
}

uint32_t FieldBlockSize(Store* s, uint32_t field) {
    uint32_t size = 0;
    FieldValueSize(s, field, &size);
    return FieldValueOffset(s, field) - field + size;
}

}  // namespace tarn
