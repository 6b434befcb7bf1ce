// Value index: remembered descents. For keys that an insertion found
// already in their tree, the nodes from the root down to the key and the side
// taken at each. A descent to an existing key writes nothing but the direction
// byte of every node above it, so entering another field under such a key
// needs only those bytes, once the path is known to hold still (invariants 1
// and 4 of engine/storage/index_memory.h). Checking the links of a path reads
// nodes whose offsets are all known at once, where a descent must wait for
// each node before it can find the next.
//
// Each tree also keeps a finger, the path of its latest insertion (below).
//
// The cache has a fixed size, whatever the size of the database; a key whose
// slot another key takes is simply descended to again. Internal to the index.
#ifndef TARN_STORAGE_PATH_CACHE_H
#define TARN_STORAGE_PATH_CACHE_H

#include <cstdint>

#include "engine/storage/index_key.h"

namespace tarn::vindex {

// Paths longer than this are not kept (a sound tree of any size the data
// area can hold is shallower).
constexpr uint32_t kCachedDepth = 32;

struct IndexPath {
    uint32_t length;  // nodes on the path, the key's own node last; 0: none
    uint32_t stamp;   // rotations of its tree when the path was last known to hold
    uint32_t nodes[kCachedDepth];
    int8_t sides[kCachedDepth];  // side taken below nodes[i]: +1 right, -1 left
};

struct PathCache;

// The stamps and fingers, small enough for any store; null when the memory
// cannot be had. The table of paths comes apart, for large data areas.
PathCache* PathCacheCreate();
// Makes the table of paths (once); false when its memory cannot be had.
bool PathCacheAddTable(PathCache* cache);
bool PathCacheHasTable(const PathCache* cache);
void PathCacheFree(PathCache* cache);

// The path remembered for a key of `tree` with this hash, or null (always
// without a table). The caller checks that the path still holds and that its
// last node holds the key.
IndexPath* PathCacheFind(PathCache* cache, uint32_t tree, uint64_t hash);
// A hint to the processor to fetch the slot PathCacheFind will read.
void PathCachePrefetch(const PathCache* cache, uint32_t tree, uint64_t hash);
// Remembers a path (at most kCachedDepth nodes long) for the key's hash, if
// there is a table.
void PathCacheStore(PathCache* cache, uint32_t tree, uint64_t hash, const IndexPath& path);

// A path whose tree has not rotated since it was known to hold still holds
// (invariant 1). Trees are numbered class * 256 + bucket.
uint32_t PathCacheRotations(const PathCache* cache, uint32_t tree);
void PathCacheRotated(PathCache* cache, uint32_t tree);

// The finger of a tree: the path of its latest insertion, to the key entered
// or found, stamped like any path. Keys entered in order (numbered elements,
// dates, a value entered again right away) lie beside it, so the next
// insertion can start its descent at its foot instead of at the root.
//
// The direction bytes of the nodes above the foot are the finger's sides
// (invariant 4).
struct Finger {
    IndexPath path;  // length 0: none
    KeyStart start;  // of the foot's key, when a string
    bool whole;      // the foot's string ends within its start
    int64_t num;     // the foot's key, when a number
};
Finger& PathCacheFinger(PathCache* cache, uint32_t tree);

}  // namespace tarn::vindex

#endif
