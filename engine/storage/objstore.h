// Object store: allocation of data-area blocks and the FieldObject records
// are built from. Layouts are in format.h.
#ifndef TARN_STORAGE_OBJSTORE_H
#define TARN_STORAGE_OBJSTORE_H

#include <cstdint>

#include "engine/storage/store.h"

namespace tarn {

// Block of `size` (>= 8) bytes: exact-size list (<= 23), first fit on the
// large list, else at highWater, growing the area as often as needed.
// Returns 0, the grow failure (nothing handed out then), 29 when a free list
// or highWater is damaged, or 28 beyond 32-bit offsets.
uint32_t ObjAllocSlow(Store* s, uint32_t size, uint32_t* out);

// ObjAllocSlow, with the case of a filling database inline: no free block
// on the list the size would take one from, and room at highWater.
inline uint32_t ObjAlloc(Store* s, uint32_t size, uint32_t* out) {
    const uint32_t block = size < fmt::kSmallMin ? fmt::kSmallMin : size;
    const uint32_t list = block <= fmt::kSmallMax ? fmt::smallFreeHead(block) : fmt::kLargeFreeOffset;
    if (HeaderGetU32(s, list) == 0) {
        const uint32_t off = HeaderGetU32(s, fmt::kHighWaterOffset);
        const uint64_t end = uint64_t(off) + block;
        if (off >= fmt::kFirstObject && end <= StoreDataSize(s)) {
            HeaderPutU32(s, fmt::kHighWaterOffset, uint32_t(end));
            *out = off;
            return 0;
        }
    }
    return ObjAllocSlow(s, size, out);
}

// Puts a block on the front of its free list. A tail of fewer than 8 bytes
// from a split stays with the block it belongs to; a size under 8 is ignored.
void ObjFree(Store* s, uint32_t off, uint32_t size);

// Stored size of a caller's value of a class: 1/2/4 for classes 1-6,
// strlen + 1 for 8 and 9 (0 for null), 0 otherwise.
uint32_t ValueSize(int cls, const void* value);

// Allocates and fills a field header (value written later by FieldWrite).
// Base type 10 gets its length word even when indexFlag is 0.
uint32_t FieldCreate(Store* s, uint32_t* out, uint8_t base, uint8_t indexFlag, uint16_t fieldId,
                     uint32_t owner, uint32_t next, uint32_t valueSize);
// FieldCreate and FieldWrite in one: the header and `len` bytes of value
// from src, written through one range check.
uint32_t FieldCreateWith(Store* s, uint32_t* out, uint8_t base, uint8_t indexFlag, uint16_t fieldId,
                         uint32_t owner, uint32_t next, const void* src, uint32_t len);
// Fills an allocated block as a field linked after prev (0: a new owner).
// flags bit 0 set = plain. Does not enter the value index.
uint32_t FieldInit(Store* s, uint32_t off, uint32_t prev, uint16_t fieldId, uint8_t base,
                   uint32_t flags, const void* src, uint32_t len);
uint32_t FieldLink(Store* s, uint32_t field, uint32_t prev);
// Writes owner into every field from first to the end of its chain.
void FieldSetOwner(Store* s, uint32_t first, uint32_t owner);
uint32_t FieldValueSize(Store* s, uint32_t field, uint32_t* out);
uint32_t FieldRead(Store* s, uint32_t field, void* dst, uint32_t capacity);
uint32_t FieldWrite(Store* s, uint32_t field, const void* src, uint32_t len, uint8_t indexFlag);
// Data offset of the field's value (16 for kind 4 and base type 10, else 12).
uint32_t FieldValueOffset(Store* s, uint32_t field);
// Size the field's block was created with.
uint32_t FieldBlockSize(Store* s, uint32_t field);

}  // namespace tarn

#endif
