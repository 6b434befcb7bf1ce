// Balanced insertion below a head node, in the steps of the classic
// algorithm: where the descent starts, the descent itself, the link that
// takes the new node, and the rebalancing above it. The balance of a node is
// kept in its balance byte (255, 0, 1 for -1, 0, +1).
#include "engine/storage/index_tree.h"

#include "engine/storage/objstore.h"

namespace tarn::vindex {
namespace {

// A node or head node with every word cleared; the block may be reused.
uint32_t newNode(Store* s, NodeMirror* mirror, const KeyDesc* kd, uint32_t* out) {
    const uint32_t keyBytes = kd ? keySize(*kd) : 0;
    uint32_t size = fmt::kHeadNodeSize + keyBytes;
    uint32_t node = 0;
    const uint32_t fresh = HeaderGetU32(s, fmt::kHighWaterOffset);
    uint32_t r = ObjAlloc(s, size, &node);
    if (r != 0) return r;
    uint8_t head[fmt::kHeadNodeSize] = {fmt::kKindNode};
    DataPutBytes(s, node, fmt::kHeadNodeSize, head);
    // A block from a free list may have held a copied node; one from the end
    // of the area never did.
    if (mirror != nullptr && node < fresh) NodeMirrorForget(mirror, node);
    if (kd && kd->str) {
        DataPutBytes(s, node + fmt::kNodeKey, keyBytes, kd->str);
    } else if (kd) {
        uint8_t key[4];
        putU32(key, uint32_t(kd->num));
        DataPutBytes(s, node + fmt::kNodeKey, kd->width, key);
    }
    *out = node;
    return 0;
}

// S leans to side a and R = S's a-side child leans too; returns the new top
// of the subtree, or 0 when the balances are garbage.
uint32_t rotate(Store* s, uint32_t S, uint32_t R, int a, NodeMirror* copies) {
    uint32_t P;
    if (balance(s, R) == a) {  // single rotation
        P = R;
        setChild(s, S, a, child(s, R, -a), copies);
        setChild(s, R, -a, S, copies);
        setBalance(s, S, 0, copies);
        setBalance(s, R, 0, copies);
        return P;
    }
    if (balance(s, R) != -a) return 0;
    P = child(s, R, -a);  // double rotation: R's inner child rises
    if (P == 0 || !nodeOk(s, P)) return 0;
    setChild(s, R, -a, child(s, P, a), copies);
    setChild(s, P, a, R, copies);
    setChild(s, S, a, child(s, P, -a), copies);
    setChild(s, P, -a, S, copies);
    int bp = balance(s, P);
    setBalance(s, S, bp == a ? -a : 0, copies);
    setBalance(s, R, bp == -a ? a : 0, copies);
    setBalance(s, P, 0, copies);
    return P;
}

void notePath(Descent* d, int depth, uint32_t node, int side) {
    if (uint32_t(depth) >= kCachedDepth) return;
    d->path.nodes[depth] = node;
    d->path.sides[depth] = int8_t(side);
    d->path.length = uint32_t(depth) + 1;
}

// The path to the new key after the rotation at level `top` of it: the node
// that took the top's place and the key's way below it.
void reroute(IndexPath& path, uint32_t top, uint32_t newTop) {
    auto erase = [&path](uint32_t at, uint32_t count) {
        for (uint32_t i = at; i + count < path.length; ++i) {
            path.nodes[i] = path.nodes[i + count];
            path.sides[i] = path.sides[i + count];
        }
        path.length -= count;
    };
    if (top + 1 >= path.length) {  // only in a damaged tree
        path.length = 0;
        return;
    }
    const int a = path.sides[top];
    if (newTop == path.nodes[top + 1]) {  // single: the top's child rose, the key below it
        erase(top, 1);
        return;
    }
    // Double: the grandchild rose; the key is that node, or lies below the
    // old top or the old child, which became its children.
    if (top + 2 >= path.length - 1) {
        if (top + 2 == path.length - 1) erase(top, 2);
        else path.length = 0;  // only in a damaged tree
        return;
    }
    const int b = path.sides[top + 2];
    const uint32_t below = b == a ? path.nodes[top + 1] : path.nodes[top];
    path.nodes[top] = newTop;
    path.sides[top] = int8_t(b);
    path.nodes[top + 1] = below;
    path.sides[top + 1] = int8_t(-b);
    erase(top + 2, 1);
}

// A bucket without a tree: the key node, then the head over it.
uint32_t plantTree(Store* s, NodeMirror* mirror, NodeMirror* copies, uint32_t* head, const KeyDesc& kd,
                   uint32_t* node) {
    uint32_t q = 0, h = 0;
    if (uint32_t r = newNode(s, mirror, &kd, &q)) return r;
    if (uint32_t r = newNode(s, mirror, nullptr, &h)) {
        ObjFree(s, q, fmt::kHeadNodeSize + keySize(kd));
        return r;
    }
    setChild(s, h, +1, q, copies);
    *head = h;
    *node = q;
    return 0;
}

// A head over an empty tree: the key becomes the root.
uint32_t plantRoot(Store* s, NodeMirror* mirror, NodeMirror* copies, uint32_t head, const KeyDesc& kd,
                   uint32_t* node) {
    uint32_t q = 0;
    if (uint32_t r = newNode(s, mirror, &kd, &q)) return r;
    setChild(s, head, +1, q, copies);
    *node = q;
    return 0;
}

// Where a descent stands: P the node it visits; S the deepest node passed
// whose balance was not even (the root until then), at level `top`, and T
// its parent. S is where the growth of the tree is absorbed or rotated away.
struct Walk {
    uint32_t T, S, P, top;
};

// Where the descent starts: at the root, or at the finger's node of level
// from.level. The levels above it are the finger's, whose direction bytes
// the descent would write again and whose nodes were sound when the finger
// was taken (invariants 3 and 4 of index_memory.h).
Walk startAt(Store* s, NodeMirror* mirror, uint32_t head, uint32_t root, const KeyDesc& kd, Descent* d,
             const Start& from) {
    Walk w{head, root, root, 0};
    if (from.finger == nullptr) return w;
    const IndexPath& f = *from.finger;
    d->path = f;
    d->path.length = from.level;
    for (uint32_t i = 1; i <= from.level; ++i) {
        if (*DataRaw(s, f.nodes[i] + fmt::kNodeBalance) != 0) {
            w.T = f.nodes[i - 1];
            w.S = f.nodes[i];
            w.top = i;
        }
    }
    w.P = f.nodes[from.level];
    if (from.level >= kDeepTree) markDeep(mirror, kd);
    return w;
}

// The new node q fills the empty link on side c of P.
uint32_t link(Store* s, NodeMirror* mirror, NodeMirror* copies, const KeyDesc& kd, uint32_t P, int c,
              int depth, Descent* d, uint32_t* node) {
    uint32_t q = 0;
    if (uint32_t r = newNode(s, mirror, &kd, &q)) return r;
    setChild(s, P, c, q, copies);
    notePath(d, depth + 1, q, 0);
    d->complete = uint32_t(depth + 1) < kCachedDepth;
    *node = q;
    return 0;
}

// Down from w.P, writing into each node the side taken, until the key is
// found (*linked false) or an empty link takes its new node (*linked true).
// `copies`: the mirror when the tree is copied from, else null.
uint32_t descend(Store* s, NodeMirror* mirror, NodeMirror* copies, const KeyDesc& kd, Walk& w, int level,
                 Descent* d, uint32_t* node, bool* linked) {
    NodeCopy scratch[2];
    bool cold = false;
    const NodeCopy* at = openNode(s, w.P, level, kd, copies, &scratch[0], &cold);
    for (int depth = level;; ++depth) {
        if (depth >= kMaxDepth || at == nullptr) return markDamaged(s);
        // A tree this deep is copied from by the descents after this one.
        if (uint32_t(depth) == kDeepTree) markDeep(mirror, kd);
        // Both children (or their copies) start on their way while the key
        // is compared.
        if (depth + 1 < kMirroredLevels && copies != nullptr) {
            NodeMirrorPrefetch(copies, at->left);
            NodeMirrorPrefetch(copies, at->right);
        }
        if (cold || depth + 1 >= kMirroredLevels) {
            prefetchNode(s, at->left);
            prefetchNode(s, at->right);
        }
        const int c = -copyVersus(s, *at, kd);
        notePath(d, depth, w.P, c);
        if (c == 0) {
            d->found = d->complete = uint32_t(depth) < kCachedDepth;
            *node = w.P;
            return 0;
        }
        setSoundDirection(s, w.P, c);
        const uint32_t next = copyChild(*at, c);
        if (next == 0) {
            *linked = true;
            return link(s, mirror, copies, kd, w.P, c, depth, d, node);
        }
        // `at` may share its slot with the next node's copy: read no more of it.
        at = openNode(s, next, depth + 1, kd, copies, &scratch[(depth + 1) & 1], &cold);
        if (at == nullptr) return rc::kIllegalFile;
        if (signedByte(at->balance) != 0) {
            w.T = w.P;
            w.S = next;
            w.top = uint32_t(depth) + 1;
        }
        w.P = next;
    }
}

// descend for a tree without copies: each node is read where it lies, as
// openNode would read it into scratch, with the same checks and writes.
uint32_t descendPlain(Store* s, NodeMirror* mirror, const KeyDesc& kd, Walk& w, int level, Descent* d,
                      uint32_t* node, bool* linked) {
    if (!nodeOk(s, w.P)) return markDamaged(s);
    for (int depth = level;; ++depth) {
        if (depth >= kMaxDepth) return markDamaged(s);
        if (uint32_t(depth) == kDeepTree) markDeep(mirror, kd);
        const uint8_t* at = DataRaw(s, w.P);  // nodeOk: its fixed part lies in the area
        const uint32_t left = getU32(at + fmt::kNodeLeft), right = getU32(at + fmt::kNodeRight);
        prefetchNode(s, left);
        prefetchNode(s, right);
        const int c = -keyVersus(s, w.P, kd);
        notePath(d, depth, w.P, c);
        if (c == 0) {
            d->found = d->complete = uint32_t(depth) < kCachedDepth;
            *node = w.P;
            return 0;
        }
        setSoundDirection(s, w.P, c);
        const uint32_t next = c > 0 ? right : left;
        if (next == 0) {
            *linked = true;
            return link(s, mirror, nullptr, kd, w.P, c, depth, d, node);
        }
        if (!nodeOk(s, next)) return rc::kIllegalFile;
        if (signedByte(*DataRaw(s, next + fmt::kNodeBalance)) != 0) {
            w.T = w.P;
            w.S = next;
            w.top = uint32_t(depth) + 1;
        }
        w.P = next;
    }
}

// After q was linked: the nodes from S's child down to q lean the way the
// descent went (their direction bytes); S absorbs the growth or, leaning
// that way already, is rotated, and T takes the subtree's new top.
uint32_t rebalance(Store* s, NodeMirror* copies, const Walk& w, uint32_t q, Descent* d) {
    const int a = direction(s, w.S);
    const uint32_t R = child(s, w.S, a);
    uint32_t P = R;
    for (int depth = 0; P != q; ++depth) {
        if (depth >= kMaxDepth || P == 0) return markDamaged(s);
        const int side = direction(s, P);
        setBalance(s, P, side, copies);
        P = child(s, P, side);
    }
    const int bs = balance(s, w.S);
    if (bs == 0) {
        setBalance(s, w.S, a, copies);
        return 0;
    }
    if (bs == -a) {
        setBalance(s, w.S, 0, copies);
        return 0;
    }
    d->rotated = true;
    if (bs != a || (P = rotate(s, w.S, R, a, copies)) == 0) return markDamaged(s);
    if (d->complete) reroute(d->path, w.top, P);
    setChild(s, w.T, w.S == child(s, w.T, +1) ? +1 : -1, P, copies);
    return 0;
}

}  // namespace

uint32_t TreeFind(Store* s, uint32_t head, const KeyDesc& kd, uint32_t* found) {
    *found = 0;
    if (!nodeOk(s, head)) return rc::kIllegalFile;
    uint32_t p = child(s, head, +1);
    for (int depth = 0; p != 0; ++depth) {
        if (depth >= kMaxDepth || !nodeOk(s, p)) return markDamaged(s);
        int c = -keyVersus(s, p, kd);
        if (c == 0) {
            *found = p;
            return 0;
        }
        p = child(s, p, c);
    }
    return 0;
}

uint32_t TreeInsert(Store* s, NodeMirror* mirror, uint32_t* head, const KeyDesc& kd, uint32_t* node,
                    Descent* d, Start from) {
    NodeMirror* copies = copiesOf(mirror, kd);
    if (*head == 0) return plantTree(s, mirror, copies, head, kd, node);
    if (!nodeOk(s, *head)) return rc::kIllegalFile;
    const uint32_t root = child(s, *head, +1);
    if (root == 0) return plantRoot(s, mirror, copies, *head, kd, node);
    Walk w = startAt(s, mirror, *head, root, kd, d, from);
    bool linked = false;
    const uint32_t r = copies != nullptr ? descend(s, mirror, copies, kd, w, int(from.level), d, node, &linked)
                                         : descendPlain(s, mirror, kd, w, int(from.level), d, node, &linked);
    if (r != 0) return r;
    return linked ? rebalance(s, copies, w, *node, d) : 0;
}

}  // namespace tarn::vindex
