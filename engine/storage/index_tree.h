// Value index: the trees. Per class and bucket byte a head node over a
// balanced (AVL) tree of keys: finding a key, and balanced insertion, whose
// descent writes into each node it passes the side it took, so that the
// rebalancing after it follows those direction bytes instead of comparing
// keys again. Internal to the index.
#ifndef TARN_STORAGE_INDEX_TREE_H
#define TARN_STORAGE_INDEX_TREE_H

#include <cstdint>

#include "engine/storage/index_key.h"
#include "engine/storage/node_mirror.h"
#include "engine/storage/path_cache.h"

namespace tarn::vindex {

// The node holding kd's key below the head node, or 0 in *found.
uint32_t TreeFind(Store* s, uint32_t head, const KeyDesc& kd, uint32_t* found);

// The path an insertion took, to the key it found or entered.
struct Descent {
    IndexPath path;         // complete only when `complete`
    bool complete = false;  // the path ends at the key: no deeper than kCachedDepth
    bool found = false;     // the key was there already (and the path complete)
    bool rotated = false;   // a subtree was restructured
    Descent() { path.length = 0; }
};

// Where a descent starts: at the root, or at level `level` of a finger whose
// nodes above that level the key's own descent passes on the same sides.
struct Start {
    const IndexPath* finger = nullptr;
    uint32_t level = 0;
};

// Enters kd's key below the head node *head (0: the tree is made, and *head
// set) and sets *node to the node holding it, new or found; *d tells the way.
// `mirror`: the session's node copies, or null. Returns 0, the allocation
// failure (no key entered; only direction bytes may have been written), or 29
// for a damaged tree.
uint32_t TreeInsert(Store* s, NodeMirror* mirror, uint32_t* head, const KeyDesc& kd, uint32_t* node,
                    Descent* d, Start from = {});

}  // namespace tarn::vindex

#endif
