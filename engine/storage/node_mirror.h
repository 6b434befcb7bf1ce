// Value index: copies of nodes near the roots of their trees, packed densely
// in memory of a fixed size. An insertion into a large tree spends its time
// waiting for nodes scattered over the data area, one after the other; the
// upper levels, which every insertion passes, are read here instead.
//
// A copy holds what a descent reads of a node: its children, its balance and
// the start of its key. Only trees marked deep have copies: a smaller tree
// lies in the processor's caches well enough as it is, and many of them
// together would only push each other's copies out. What keeps a copy equal
// to its node is invariant 5 of engine/storage/index_memory.h. Internal to
// the index.
#ifndef TARN_STORAGE_NODE_MIRROR_H
#define TARN_STORAGE_NODE_MIRROR_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/storage/format.h"
#include "engine/storage/index_key.h"
#include "engine/storage/index_node.h"

namespace tarn::vindex {

struct NodeCopy {
    uint32_t node;     // data offset of the node; 0 for a free slot
    uint32_t left;
    uint32_t right;
    uint8_t balance;   // the balance byte as stored
    uint8_t keyEnd;    // where the key is known to end (KeyEnd)
    // Numeric keys as a host int64 in the first 8 bytes; strings as stored,
    // zero from their terminator on. A longer string key is only partly kept;
    // comparisons its start cannot settle go to the node itself.
    uint8_t key[kKeyStart];
};
static_assert(sizeof(NodeCopy) == 32, "copies share cache lines in pairs");

// 4 MiB of copies, direct-mapped by data offset: small enough to stay in the
// processor's caches, which the data area as a whole does not.
constexpr uint32_t kMirrorSlotBits = 17;

// A tree is marked deep when a descent in it reaches this depth.
constexpr uint32_t kDeepTree = 15;
// Levels of a tree (the root is level 0) whose nodes are copied.
constexpr int kMirroredLevels = 12;

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

inline uint32_t treeOf(const KeyDesc& kd) { return uint32_t(kd.cls) * 256 + kd.bucket; }

// The session's mirror when the tree of `kd` has been marked deep (its nodes
// may then have copies), else null.
inline NodeMirror* copiesOf(NodeMirror* mirror, const KeyDesc& kd) {
    return mirror != nullptr && mirror->deep[treeOf(kd)] ? mirror : nullptr;
}

inline void markDeep(NodeMirror* mirror, const KeyDesc& kd) {
    if (mirror != nullptr) mirror->deep[treeOf(kd)] = 1;
}

// ---- writers that keep copies equal to their nodes -----------------------------------

// `copies` is the mirror when the node's tree may have copies, else null.
inline void setChild(Store* s, uint32_t node, int dir, uint32_t to, NodeMirror* copies) {
    DataPutU32(s, node + childOffset(dir), to);
    if (copies == nullptr) return;
    if (NodeCopy* c = NodeMirrorFind(copies, node)) (dir > 0 ? c->right : c->left) = to;
}
inline void setBalance(Store* s, uint32_t node, int b, NodeMirror* copies) {
    DataPutU8(s, node + fmt::kNodeBalance, uint8_t(b));
    if (copies == nullptr) return;
    if (NodeCopy* c = NodeMirrorFind(copies, node)) c->balance = uint8_t(b);
}

// ---- reading a node through its copy -------------------------------------------------

// Where a copied key is known to end: a comparison its start cannot settle,
// or one that must notice a key running off the area, reads the node. A
// scratch copy of a string node holds no key at all (kKeyNotCopied): its
// one comparison reads the node.
enum KeyEnd : uint8_t { kEndUnknown = 0, kEndInCopy = 1, kEndInArea = 2, kKeyNotCopied = 3 };

// The key's start of a sound node, zero from its terminator on (see KeyStart).
inline void copyKey(Store* s, uint32_t node, int cls, bool text, NodeCopy* c) {
    if (!text) {
        const int64_t v = nodeNumber(s, node, cls);
        std::memcpy(c->key, &v, sizeof v);
        c->keyEnd = kEndInCopy;
        return;
    }
    const uint32_t at = node + fmt::kNodeKey;
    const uint32_t size = StoreDataSize(s);
    const uint32_t n = at < size ? std::min(kKeyStart, size - at) : 0;
    const uint8_t* key = DataRaw(s, at);  // n bytes of it lie in the area
    bool ended = false;
    if (n == kKeyStart) {
        uint64_t w[2];
        std::memcpy(w, key, sizeof w);
        w[0] = cutAfterNul(w[0], &ended);
        w[1] = ended ? 0 : cutAfterNul(w[1], &ended);
        std::memcpy(c->key, w, sizeof w);
        for (uint32_t i = sizeof w; i < kKeyStart; ++i) {
            c->key[i] = ended ? 0 : key[i];
            ended = ended || c->key[i] == 0;
        }
    } else {  // the area ends within the start
        for (uint32_t i = 0; i < kKeyStart; ++i) {
            c->key[i] = ended || i >= n ? 0 : key[i];
            ended = ended || (i < n && c->key[i] == 0);
        }
    }
    if (ended)
        c->keyEnd = kEndInCopy;
    else  // an area ending in a NUL ends every string in it
        c->keyEnd = DataEndsInNul(s) ? kEndInArea : kEndUnknown;
}

// What a descent reads of a node: its copy when the mirror has one, else the
// node itself, copied into the mirror when it lies high in its tree and into
// `scratch` otherwise. `copies` is the mirror when the node's tree is copied
// from (see copiesOf), else null. Null when the node is not sound (the store
// is then damaged). *cold tells whether the node came from the data area.
// Inlined: it runs once per level of every descent.
inline __attribute__((always_inline)) const NodeCopy* openNode(Store* s, uint32_t node, int depth,
                                                               const KeyDesc& kd, NodeMirror* copies,
                                                               NodeCopy* scratch, bool* cold) {
    NodeMirror* mirror = depth < kMirroredLevels && !s->damaged ? copies : nullptr;
    *cold = true;
    if (mirror != nullptr) {
        if (const NodeCopy* c = NodeMirrorFind(mirror, node)) {
            *cold = false;
            return c;
        }
    } else if (copies != nullptr) {
        // A node this deep may still have a copy from when it lay higher,
        // which a new child or balance must reach.
        NodeMirrorPrefetch(copies, node);
    }
    if (!nodeOk(s, node)) return nullptr;
    NodeCopy* c = mirror != nullptr ? NodeMirrorClaim(mirror, node) : scratch;
    c->node = node;
    c->left = soundChild(s, node, -1);
    c->right = soundChild(s, node, +1);
    c->balance = *DataRaw(s, node + fmt::kNodeBalance);
    if (mirror == nullptr && kd.str != nullptr)
        c->keyEnd = kKeyNotCopied;
    else
        copyKey(s, node, kd.cls, kd.str != nullptr, c);
    return c;
}

// keyVersus on a copy: the key's start settles most comparisons.
inline int copyVersus(Store* s, const NodeCopy& c, const KeyDesc& kd) {
    if (!kd.str) {
        int64_t v;
        std::memcpy(&v, c.key, sizeof v);
        return sign(v - kd.num);
    }
    if (c.keyEnd == kKeyNotCopied) return keyVersus(s, c.node, kd);
    // A key not known to end inside the area is read whole, which notices one
    // that runs off it. Equal starts in which the stored key ends are equal
    // keys; otherwise both go on past the start.
    if (c.keyEnd != kEndUnknown) {
        if (int r = compareStarts(keyStart(c.key), kd.start)) return r;
        if (c.keyEnd == kEndInCopy) return 0;
    }
    return DataStrCmp(s, c.node + fmt::kNodeKey, kd.str);
}

inline uint32_t copyChild(const NodeCopy& c, int dir) { return dir > 0 ? c.right : c.left; }

}  // namespace tarn::vindex

#endif
