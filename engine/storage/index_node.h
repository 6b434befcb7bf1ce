// Value index: reading the objects of the index in the data area (IndexNode
// and IndexGroup, format.h) and the checks that keep a damaged file from
// leading a walk astray. Internal to the index.
//
// Trees and chains come from the file and may be cyclic or garbage. Every
// descent is bounded by kMaxDepth (a sound AVL tree of any size the data area
// can hold is far shallower), every chain walk by StoreMaxSteps(); nodes and
// groups must carry their kind byte. Anything else marks the store damaged and
// the operation answers 29.
#ifndef TARN_STORAGE_INDEX_NODE_H
#define TARN_STORAGE_INDEX_NODE_H

#include <cstdint>

#include "engine/result_codes.h"
#include "engine/storage/bytes.h"
#include "engine/storage/format.h"
#include "engine/storage/store.h"

namespace tarn::vindex {

constexpr int kMaxDepth = 64;

inline uint32_t markDamaged(Store* s) {
    s->damaged = true;
    return rc::kIllegalFile;
}

// Damage found on the way outranks whatever the operation reported.
inline uint32_t finish(Store* s, uint32_t r) { return s->damaged ? rc::kIllegalFile : r; }

// An object of `size` bytes and this kind at `off`, wholly in the area.
inline bool objectOk(Store* s, uint32_t off, uint32_t size, uint8_t kind) {
    if (off >= fmt::kFirstObject && dataInRange(s, off, size) && *DataRaw(s, off) == kind) return true;
    s->damaged = true;
    return false;
}
// A node's fixed part (a head node's whole) lies in the area.
inline bool nodeOk(Store* s, uint32_t node) { return objectOk(s, node, fmt::kHeadNodeSize, fmt::kKindNode); }
inline bool groupOk(Store* s, uint32_t group) { return objectOk(s, group, fmt::kGroupSize, fmt::kKindGroup); }

inline uint32_t childOffset(int dir) { return dir > 0 ? fmt::kNodeRight : fmt::kNodeLeft; }

// Child on side dir: +1 right, -1 left.
inline uint32_t child(Store* s, uint32_t node, int dir) { return DataGetU32(s, node + childOffset(dir)); }
// The same of a node found sound (nodeOk), without a check.
inline uint32_t soundChild(Store* s, uint32_t node, int dir) {
    return getU32(DataRaw(s, node) + childOffset(dir));
}

// Balance and direction bytes: 255 / 0 / 1 stand for -1 / 0 / +1.
inline int signedByte(uint8_t b) { return b == fmt::kLeft ? -1 : b; }
inline int balance(Store* s, uint32_t node) { return signedByte(DataGetU8(s, node + fmt::kNodeBalance)); }
inline int direction(Store* s, uint32_t node) { return signedByte(DataGetU8(s, node + fmt::kNodeDirection)); }
inline uint8_t directionByte(int d) { return d > 0 ? fmt::kRight : fmt::kLeft; }

// The direction byte of a node found sound, written without a bounds check
// (invariant 3 of index_memory.h); a read-only store is refused as any
// write to it is.
inline void setSoundDirection(Store* s, uint32_t node, int d) {
    if (uint8_t* data = DataPlainBase(s))
        data[node + fmt::kNodeDirection] = directionByte(d);
    else if (writable(s))
        *DataRawWrite(s, node + fmt::kNodeDirection, 1) = directionByte(d);
}

// A hint to the processor to fetch a node that may be visited next.
inline void prefetchNode(Store* s, uint32_t node) {
    if (node != 0 && node < StoreDataSize(s)) __builtin_prefetch(DataRaw(s, node));
}

}  // namespace tarn::vindex

#endif
