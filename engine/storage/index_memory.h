// Value index: the loading memory. What the index keeps of a session, in
// memory only, so that storing a large document waits less for nodes
// scattered over the data area: each tree's finger (the path of its latest
// insertion) and remembered paths to keys found (path_cache.h), copies of the
// upper levels of deep trees (node_mirror.h), and keys announced before their
// insertion, looked up many at a time (index_announce.cpp). Nothing of it is
// written to the file, and it may change no byte there: every shortcut writes
// exactly what a descent from the root writes.
//
// Invariants the memory relies on, and what would break them:
//  1. Only rotations move a node already in a tree; a new key only fills an
//     empty link. So a path (finger, remembered or looked-up path) whose tree
//     has not rotated since the path was known to hold (its stamp equals the
//     tree's rotation count) still holds. Broken by: deleting nodes, or any
//     change of links that is not counted by PathCacheRotated.
//  2. A node's kind and key never change, and a node in a tree stays at its
//     offset for the life of the file. So a path that holds leads to the same
//     key, and a copy's key stays true. Broken by: node deletion, rewriting a
//     key in place, compacting the data area. (A block reused from a free list
//     may have been a node in a damaged file: newNode drops its copy.)
//  3. The data area never shrinks. So a node once found sound (its kind and
//     fixed part within the area) stays readable, and its direction byte
//     writable, without a bounds check: copies, fingers and paths hold only
//     nodes found sound. Broken by: a store whose area can shrink.
//  4. The direction byte of each node above the foot of a finger, or of a
//     path that holds, equals the side the path takes there: what a descent
//     from the root for that key writes. The insertion that took the finger
//     wrote them; a rotation writes none and leaves each node of the new path
//     with the side its byte holds (see reroute); every insertion into the
//     tree takes a finger of its own. So an insertion along a path writes
//     only the direction bytes a descent would. Broken by: writing a
//     direction byte anywhere but along the path being taken.
//  5. A node's copy equals its node in children and balance: every writer of
//     them (setChild, setBalance) writes through to the copy, and copies are
//     made only of sound nodes. Direction bytes go to the area only, as no
//     one reads them from a copy. Broken by: writing a child or a balance
//     with DataPut* directly.
//  6. A look-up ahead of an insertion (for an announced key) only reads: it
//     never marks the store, and it reads a node only when the node lies in
//     the area with the first 16 bytes of its key and the area ends in a NUL,
//     so that no comparison runs off the area. Broken by: a look-up that
//     writes, or compares a key without those checks.
//  7. A damaged store gets no shortcut: once an access fell outside its
//     area, insertions descend from the root and meet the damage as they
//     would without memory.
//  8. Every part of the memory is optional, the state itself included. A
//     part that cannot be had is done without for the rest of the session
//     and the insertion goes on. Without a part the bytes stored are the
//     same: invariants 4 and 5 make every shortcut equal to a descent from
//     the root.
//
// Lifecycle: no state -> (the first insertion into a tree, or the first
// announcement kept) the state -> (an insertion into a tree) its stamps and
// fingers -> (an insertion once the data area holds kIndexMemoryFrom bytes)
// its node copies, unless keys were announced before, and its table of
// paths -> (StoreClose) handed back through Store::releaseIndex. Each part is
// asked for once (invariant 8).
//
// Internal to the index.
#ifndef TARN_STORAGE_INDEX_MEMORY_H
#define TARN_STORAGE_INDEX_MEMORY_H

#include <cstdint>
#include <cstring>

#include "engine/storage/index_key.h"
#include "engine/storage/index_node.h"
#include "engine/storage/node_mirror.h"
#include "engine/storage/path_cache.h"
#include "engine/storage/store.h"

namespace tarn {
namespace vindex {
struct ExpectedKeys;
}

// Made by the index at its first need (IndexStateOf), held by the Store,
// handed back by StoreClose.
struct IndexState {
    // The parts, in the bits of `refused` when they could not be had.
    enum Part : uint8_t { kPaths = 1, kMirror = 2, kTable = 4, kExpected = 8 };

    vindex::PathCache* paths = nullptr;        // stamps and fingers; the table of paths later
    vindex::NodeMirror* mirror = nullptr;      // node copies, for sessions begun unannounced
    vindex::ExpectedKeys* expected = nullptr;  // keys announced and not yet inserted
    bool largeAsked = false;                   // the copies and the table of paths were asked for
    uint8_t refused = 0;                       // parts done without for the rest of the session
    bool testHookNoMemory = false;             // see IndexTestHookNoMemory
};

}  // namespace tarn

namespace tarn::vindex {

// Below this size of the data area the index lies in the processor's caches
// well enough, and node copies and the table of paths would cost more memory
// than they save time.
constexpr uint32_t kIndexMemoryFrom = 16u << 20;

// The session's state, made at the first ask; null when it could not be had
// then (it is not asked for again: Store::releaseIndex is set either way).
IndexState* MakeIndexState(Store* s);
inline IndexState* IndexStateOf(Store* s) { return s->index != nullptr ? s->index : MakeIndexState(s); }

// TreeInsert for a key whose path the session's memory may know: then only
// the direction bytes a descent would write are written. Returns as
// TreeInsert does.
uint32_t TreeInsertRemembered(Store* s, uint32_t* head, const KeyDesc& kd, uint32_t* node);

// ---- what the memory and the announcements share ----------------------------------

// Longer keys are not announced: they are rare, and most comparisons with
// them are settled by their first words anyway.
constexpr uint32_t kExpectedKeyBytes = 111;

// One announced key.
struct Expected {
    IndexPath path;   // from the root of the key's tree; length 0: none found
    bool found;       // the path ends at the key, else at the node whose empty link it fills
    uint16_t tree;    // class * 256 + bucket
    uint32_t length;  // of a string key, before its terminator
    int64_t num;      // a numeric key
    char key[kExpectedKeyBytes + 1];
};

// The announcement of kd, looked up first if need be, when it is among the
// oldest few; those before it are dropped, their keys having come otherwise
// or not at all. Valid until the next announcement. Null when there is none.
Expected* TakeAnnounced(Store* s, IndexState& st, uint32_t tree, const KeyDesc& kd);
// Tells the announcements whether the look-up of a key in `tree` was wasted:
// the tree's finger placed the key anyway.
void ScoreAnnouncement(IndexState& st, uint32_t tree, bool wasted);
void AnnouncementsFree(ExpectedKeys* k);

inline uint64_t mix(uint64_t h) {
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// Hash of a key, eight bytes of a string at a time.
inline uint64_t keyHash(const KeyDesc& kd) {
    if (!kd.str) return mix(uint64_t(kd.num) + 0x9E3779B97F4A7C15ull);
    const size_t n = stringLength(kd);
    uint64_t h = n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, kd.str + i, 8);
        h = mix(h ^ w);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, kd.str + i, n - i);
    return mix(h ^ tail);
}

// Sign of (the finger's foot key - kd), mostly without reading the foot.
inline int footVersus(Store* s, const Finger& f, const KeyDesc& kd) {
    if (!kd.str) return sign(f.num - kd.num);
    if (int r = compareStarts(f.start, kd.start)) return r;
    if (f.whole) return 0;  // equal starts in which the foot's key ends: equal keys
    return DataStrCmp(s, f.path.nodes[f.path.length - 1] + fmt::kNodeKey, kd.str);
}

// How far down the tree's finger the key's descent runs as the finger's did:
// the level of the deepest finger node whose subtree must hold the key, or
// -1 when the finger cannot tell. *found: the node there holds the key. Only
// the foot and the nearest ancestor bounding its subtree on the key's side
// are compared: keys entered in order pass that. Inlined: every insertion
// into a tree asks it. The head must have been found sound.
inline __attribute__((always_inline)) int fingerLevel(Store* s, const Finger& f, uint32_t rotations,
                                                      uint32_t head, const KeyDesc& kd, bool* found) {
    const IndexPath& path = f.path;
    *found = false;
    if (path.length == 0 || path.stamp != rotations || soundChild(s, head, +1) != path.nodes[0]) return -1;
    const int foot = int(path.length) - 1;
    const int c = footVersus(s, f, kd);
    if (c == 0) {
        *found = true;
        return foot;
    }
    // Bounds on the key's side are the ancestors whose path turned away from it.
    const int8_t away = int8_t(c < 0 ? -1 : +1);
    for (int i = foot - 1; i >= 0; --i) {
        if (path.sides[i] != away) continue;
        const int b = keyVersus(s, path.nodes[i], kd);
        if (b == 0) *found = true;
        return b == 0 ? i : b == c ? -1 : foot;
    }
    return foot;
}

}  // namespace tarn::vindex

#endif
