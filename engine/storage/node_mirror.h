// Copies of value index nodes near the roots of their trees, packed densely
// in memory of a fixed size. An insertion into a large tree spends its time
// waiting for nodes scattered over the data area, one after the other; the
// upper levels, which every insertion passes, are read here instead.
//
// A copy holds what a descent reads of a node: its children, its balance and
// the start of its key. Only trees marked deep have copies: a smaller tree
// lies in the processor's caches well enough as it is, and many of them
// together would only push each other's copies out. The value index writes
// the children and balances of a deep tree's nodes through to the copies it
// has, so a copy always equals its node; direction bytes are written to the
// data area only, as nothing reads them from a copy. Copies are only made of
// nodes that were found sound, and a node's kind and key never change.
#ifndef TARN_STORAGE_NODE_MIRROR_H
#define TARN_STORAGE_NODE_MIRROR_H

#include <cstdint>

#include "engine/storage/format.h"

namespace tarn {

// Bytes of a key kept in a copy. A string key longer than this is only
// partly kept; comparisons it cannot settle go to the node itself.
constexpr uint32_t kKeyStart = 18;

struct NodeCopy {
    uint32_t node;     // data offset of the node; 0 for a free slot
    uint32_t left;
    uint32_t right;
    uint8_t balance;   // the balance byte as stored
    uint8_t keyEnd;    // where the key is known to end (see the value index)
    // Numeric keys as a host int64 in the first 8 bytes; strings as stored,
    // zero from their terminator on.
    uint8_t key[kKeyStart];
};
static_assert(sizeof(NodeCopy) == 32, "copies share cache lines in pairs");

// 4 MiB of copies, direct-mapped by data offset: small enough to stay in the
// processor's caches, which the data area as a whole does not.
constexpr uint32_t kMirrorSlotBits = 17;

// A tree is marked deep when a descent in it reaches this depth.
constexpr uint32_t kDeepTree = 15;

struct NodeMirror {
    NodeCopy copies[1u << kMirrorSlotBits];
    uint8_t deep[fmt::kClassCount * 256];  // per class and bucket: copied from
    void* block;                           // the allocation the copies lie in
};

// Null when the memory cannot be had.
NodeMirror* NodeMirrorCreate();
void NodeMirrorFree(NodeMirror* mirror);

inline NodeCopy& NodeMirrorSlot(NodeMirror* mirror, uint32_t node) {
    return mirror->copies[uint32_t((node * 0x9E3779B97F4A7C15ull) >> (64 - kMirrorSlotBits))];
}

// The copy of `node`, or null.
inline NodeCopy* NodeMirrorFind(NodeMirror* mirror, uint32_t node) {
    NodeCopy& c = NodeMirrorSlot(mirror, node);
    return c.node == node && node != 0 ? &c : nullptr;
}

// A hint to the processor to fetch where the copy of `node` would be.
inline void NodeMirrorPrefetch(NodeMirror* mirror, uint32_t node) {
    __builtin_prefetch(&NodeMirrorSlot(mirror, node));
}

// The slot `node` is copied into, taken from whatever it held; the caller
// fills it whole.
inline NodeCopy* NodeMirrorClaim(NodeMirror* mirror, uint32_t node) {
    NodeCopy& c = NodeMirrorSlot(mirror, node);
    c.node = node;
    return &c;
}

// Drops the copy of `node`, if there is one.
inline void NodeMirrorForget(NodeMirror* mirror, uint32_t node) {
    NodeCopy& c = NodeMirrorSlot(mirror, node);
    if (c.node == node) c.node = 0;
}

}  // namespace tarn

#endif
