// Value index over the data area: per class and bucket byte either a group
// chain (one-byte classes) or a head node over an AVL tree of keys.
//
// Trees and chains come from the file and may be cyclic or garbage. Every
// descent is bounded by kMaxDepth (a sound AVL tree of any size the data area
// can hold is far shallower), every chain walk by StoreMaxSteps(); nodes and
// groups must carry their kind byte. Anything else marks the store damaged and
// the operation answers 29.
#include "engine/storage/value_index.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/result_codes.h"
#include "engine/resultset.h"
#include "engine/storage/node_mirror.h"
#include "engine/storage/objstore.h"
#include "engine/storage/os.h"
#include "engine/storage/path_cache.h"

namespace tarn {
namespace {

constexpr int kMaxDepth = 64;
constexpr char kOpenLowString[] = "\x01";
constexpr char kOpenHigh8[] = "\xFF";
constexpr char kOpenHigh9[] = "\x7F\xFF\xFF\xFF";

// KeyStart of a string: its first kKeyStart bytes, zero from its terminator
// on, as big-endian words. Two starts order as their strings do as far as
// they reach.
static_assert(kKeyStart == 18, "a key start is two words and a half-word");

KeyStart keyStart(const uint8_t* bytes) {
    return {getBE64(bytes), getBE64(bytes + 8), getBE16(bytes + 16)};
}

int compareStarts(const KeyStart& x, const KeyStart& y) {
    if (x.a != y.a) return x.a < y.a ? -1 : 1;
    if (x.b != y.b) return x.b < y.b ? -1 : 1;
    return (x.c > y.c) - (x.c < y.c);
}

// A search or insertion key: numeric keys as a widened integer, string keys
// by pointer and start.
struct KeyDesc {
    int cls = 0;
    uint32_t width = 0;  // 1, 2 or 4; 0 for strings
    int64_t num = 0;
    const char* str = nullptr;
    KeyStart start;
    bool whole = false;  // a string that ends within its start
    uint32_t bucket = 0;
    uint32_t length = kLengthUnknown;  // of a string, before its terminator, when known
};

bool isStringClass(int cls) { return cls == 8 || cls == 9; }
bool isIndexable(int cls) { return (cls >= 1 && cls <= 6) || isStringClass(cls); }

// Numeric value of class cls from a caller's buffer (host order).
int64_t loadNumber(int cls, const void* v) {
    switch (cls) {
    case 1: return *static_cast<const uint8_t*>(v);
    case 2: return *static_cast<const int8_t*>(v);
    case 3: return loadU16(v);
    case 4: return int16_t(loadU16(v));
    case 5: return loadU32(v);
    default: return int32_t(loadU32(v));
    }
}

KeyDesc describeNumber(int cls, int64_t num) {
    static constexpr uint32_t kWidth[] = {0, 1, 1, 2, 2, 4, 4};
    KeyDesc kd;
    kd.cls = cls;
    kd.width = kWidth[cls];
    kd.num = num;
    uint32_t top = uint32_t(uint64_t(num) >> (8 * (kd.width - 1))) & 0xFF;
    kd.bucket = cls % 2 == 0 ? top ^ 0x80 : top;  // signed classes are the even ones
    return kd;
}

// The first n bytes of str (n < kKeyStart) in fixed-size pieces, which the
// compiler turns into plain moves, as overlapping pieces cover any n.
void copyShort(uint8_t* to, const char* str, uint32_t n) {
    if (n >= 8) {
        std::memcpy(to, str, 8);
        if (n > 16) std::memcpy(to + 8, str + 8, 8);
        std::memcpy(to + n - 8, str + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, str, 4);
        std::memcpy(to + n - 4, str + n - 4, 4);
    } else {
        for (uint32_t i = 0; i < n; ++i) to[i] = uint8_t(str[i]);
    }
}

// `length`: the string's bytes before its terminator, or kLengthUnknown.
// Inlined: every insertion describes its key.
inline __attribute__((always_inline)) KeyDesc describeString(int cls, const char* str,
                                                             uint32_t length = kLengthUnknown) {
    KeyDesc kd;
    kd.cls = cls;
    kd.str = str;
    kd.bucket = uint8_t(str[0]);
    uint8_t start[kKeyStart] = {};
    uint32_t n = 0;
    if (length == kLengthUnknown) {
        for (; n < kKeyStart && str[n] != 0; ++n) start[n] = uint8_t(str[n]);
    } else if (length >= kKeyStart) {
        std::memcpy(start, str, kKeyStart);
        n = kKeyStart;
    } else {
        copyShort(start, str, length);
        n = length;
    }
    kd.start = keyStart(start);
    kd.whole = n < kKeyStart;
    kd.length = kd.whole ? n : length;
    return kd;
}

// Only for indexable classes and a non-null value.
KeyDesc KeyDescribe(int cls, const void* value, uint32_t length = kLengthUnknown) {
    if (isStringClass(cls)) return describeString(cls, static_cast<const char*>(value), length);
    return describeNumber(cls, loadNumber(cls, value));
}

// The bound a range search uses where the caller gave none.
KeyDesc openBound(int cls, bool high) {
    static constexpr int64_t kLow[] = {0, 0, -128, 0, -32768, 0, -2147483647};
    static constexpr int64_t kHigh[] = {0, 255, 127, 65535, 32767, 4294967295, 2147483647};
    if (cls == 8) return describeString(cls, high ? kOpenHigh8 : kOpenLowString);
    if (cls == 9) return describeString(cls, high ? kOpenHigh9 : kOpenLowString);
    return describeNumber(cls, high ? kHigh[cls] : kLow[cls]);
}

// ---- nodes -----------------------------------------------------------------

// A string's length, measured only when the key's description does not
// know it.
uint32_t stringLength(const KeyDesc& kd) {
    return kd.length != kLengthUnknown ? kd.length : uint32_t(std::strlen(kd.str));
}

uint32_t keySize(const KeyDesc& kd) { return kd.width ? kd.width : stringLength(kd) + 1; }

bool objectOk(Store* s, uint32_t off, uint32_t size, uint8_t kind) {
    if (off >= fmt::kFirstObject && dataInRange(s, off, size) && s->view->data[off] == kind) return true;
    s->damaged = true;
    return false;
}
bool nodeOk(Store* s, uint32_t node) { return objectOk(s, node, fmt::kHeadNodeSize, fmt::kKindNode); }
bool groupOk(Store* s, uint32_t group) { return objectOk(s, group, fmt::kGroupSize, fmt::kKindGroup); }

// Child on side dir: +1 right, -1 left.
uint32_t child(Store* s, uint32_t node, int dir) {
    return DataGetU32(s, node + (dir > 0 ? fmt::kNodeRight : fmt::kNodeLeft));
}
// Writers of children and balances keep a node's copy equal to it; `copies`
// is the mirror when the node's tree may have copies, else null.
void setChild(Store* s, uint32_t node, int dir, uint32_t to, NodeMirror* copies) {
    DataPutU32(s, node + (dir > 0 ? fmt::kNodeRight : fmt::kNodeLeft), to);
    if (copies == nullptr) return;
    if (NodeCopy* c = NodeMirrorFind(copies, node)) (dir > 0 ? c->right : c->left) = to;
}
// Balance and direction bytes: 255 / 0 / 1 stand for -1 / 0 / +1.
int signedByte(uint8_t b) { return b == fmt::kLeft ? -1 : b; }
int signedByte(Store* s, uint32_t off) { return signedByte(DataGetU8(s, off)); }
int balance(Store* s, uint32_t node) { return signedByte(s, node + fmt::kNodeBalance); }
int direction(Store* s, uint32_t node) { return signedByte(s, node + fmt::kNodeDirection); }
void setBalance(Store* s, uint32_t node, int b, NodeMirror* copies) {
    DataPutU8(s, node + fmt::kNodeBalance, uint8_t(b));
    if (copies == nullptr) return;
    if (NodeCopy* c = NodeMirrorFind(copies, node)) c->balance = uint8_t(b);
}
uint8_t directionByte(int d) { return d > 0 ? fmt::kRight : fmt::kLeft; }
// Direction bytes are written only into nodes a descent has opened or a path
// was taken through: their copies were made of sound nodes, or they were
// found sound themselves, and the area never shrinks. So no bounds are
// checked; a read-only store is refused as any write to it is.
void setOpenedDirection(Store* s, uint32_t node, int d) {
    if (writable(s)) s->view->data[node + fmt::kNodeDirection] = directionByte(d);
}

// Writes the direction bytes of the first `count` nodes of a path as a
// descent along it does.
void writeDirections(Store* s, const IndexPath& path, uint32_t count) {
    if (count == 0 || !writable(s)) return;
    uint8_t* data = s->view->data;
    for (uint32_t i = 0; i < count; ++i)
        data[path.nodes[i] + fmt::kNodeDirection] = directionByte(path.sides[i]);
}

int sign(int64_t d) { return (d > 0) - (d < 0); }

int64_t nodeNumber(Store* s, uint32_t node, int cls) {
    uint32_t at = node + fmt::kNodeKey;
    switch (cls) {
    case 3: return DataGetU16(s, at);
    case 4: return int16_t(DataGetU16(s, at));
    case 5: return DataGetU32(s, at);
    default: return int32_t(DataGetU32(s, at));
    }
}

// A hint to the processor to fetch a node that may be visited next.
void prefetchNode(Store* s, uint32_t node) {
    if (node != 0 && node < StoreDataSize(s)) __builtin_prefetch(s->view->data + node);
}

// Clears the bytes of a little-endian word after its first zero byte; tells
// whether it had one. The lowest byte the test flags is the first zero byte.
uint64_t cutAfterNul(uint64_t w, bool* ended) {
    const uint64_t zeros = (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
    if (zeros == 0) return w;
    *ended = true;
    const int bits = __builtin_ctzll(zeros) + 1;  // through the zero byte
    return bits >= 64 ? w : w & ((uint64_t(1) << bits) - 1);
}

// Sign of (the string key of `node` - kd), read from the area. When the area
// ends in a NUL every key ends inside it, so the first words that differ, or
// a word in which both keys end, settle it (as compareStarts would on a
// copy); anything else is read whole.
int nodeVersus(Store* s, uint32_t node, const KeyDesc& kd) {
    const AreaView& v = *s->view;
    const uint32_t at = node + fmt::kNodeKey;
    if (uint64_t(at) + 16 <= v.dataSize && v.data[v.dataSize - 1] == 0) {
        // A little-endian word cut after its NUL, byte-swapped: the key's
        // bytes zero from its terminator on, as a big-endian number.
        bool ended = false;
        uint64_t w = __builtin_bswap64(cutAfterNul(getLE64(v.data + at), &ended));
        if (w != kd.start.a) return w < kd.start.a ? -1 : 1;
        if (ended) return 0;
        w = __builtin_bswap64(cutAfterNul(getLE64(v.data + at + 8), &ended));
        if (w != kd.start.b) return w < kd.start.b ? -1 : 1;
        if (ended) return 0;
    }
    return DataStrCmp(s, at, kd.str);
}

// Sign of (node key - kd).
int keyVersus(Store* s, uint32_t node, const KeyDesc& kd) {
    if (kd.str) return nodeVersus(s, node, kd);
    return sign(nodeNumber(s, node, kd.cls) - kd.num);
}

// A node or head node with every word cleared; the block may be reused.
uint32_t newNode(Store* s, const KeyDesc* kd, uint32_t* out) {
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
    if (s->mirror != nullptr && node < fresh) NodeMirrorForget(s->mirror, node);
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

uint32_t damaged(Store* s) {
    s->damaged = true;
    return rc::kIllegalFile;
}

uint32_t TreeFind(Store* s, uint32_t head, const KeyDesc& kd, uint32_t* found) {
    *found = 0;
    if (!nodeOk(s, head)) return rc::kIllegalFile;
    uint32_t p = child(s, head, +1);
    for (int depth = 0; p != 0; ++depth) {
        if (depth >= kMaxDepth || !nodeOk(s, p)) return damaged(s);
        int c = -keyVersus(s, p, kd);
        if (c == 0) {
            *found = p;
            return 0;
        }
        p = child(s, p, c);
    }
    return 0;
}

// Steps 7-8 of insertion: S leans to side a and R = S's a-side child leans
// too; returns the new top of the subtree, or 0 when the balances are garbage.
uint32_t rotate(Store* s, uint32_t S, uint32_t R, int a, NodeMirror* copies) {
    uint32_t P;
    if (balance(s, R) == a) {
        P = R;
        setChild(s, S, a, child(s, R, -a), copies);
        setChild(s, R, -a, S, copies);
        setBalance(s, S, 0, copies);
        setBalance(s, R, 0, copies);
        return P;
    }
    if (balance(s, R) != -a) return 0;
    P = child(s, R, -a);
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

// ---- node copies ---------------------------------------------------------------

// Levels of a tree (the root is level 0) whose nodes are copied into the mirror.
constexpr int kMirroredLevels = 12;

// Where a copied key is known to end: a comparison its start cannot settle,
// or one that must notice a key running off the area, reads the node. A
// scratch copy of a string node holds no key at all (kKeyNotCopied): its
// one comparison reads the node.
enum KeyEnd : uint8_t { kEndUnknown = 0, kEndInCopy = 1, kEndInArea = 2, kKeyNotCopied = 3 };

// The mirror when the tree of `kd` has been marked deep (its nodes may then
// have copies), else null.
NodeMirror* copiesOf(Store* s, const KeyDesc& kd) {
    NodeMirror* mirror = s->mirror;
    return mirror != nullptr && mirror->deep[uint32_t(kd.cls) * 256 + kd.bucket] ? mirror : nullptr;
}

// The key's start, zero from its terminator on (see KeyStart).
void copyKey(Store* s, uint32_t node, int cls, bool text, NodeCopy* c) {
    if (!text) {
        const int64_t v = nodeNumber(s, node, cls);
        std::memcpy(c->key, &v, sizeof v);
        c->keyEnd = kEndInCopy;
        return;
    }
    const AreaView& v = *s->view;
    const uint32_t at = node + fmt::kNodeKey;
    const uint32_t n = at < v.dataSize ? std::min(kKeyStart, v.dataSize - at) : 0;
    bool ended = false;
    if (n == kKeyStart) {
        uint64_t w[2];
        std::memcpy(w, v.data + at, sizeof w);
        w[0] = cutAfterNul(w[0], &ended);
        w[1] = ended ? 0 : cutAfterNul(w[1], &ended);
        std::memcpy(c->key, w, sizeof w);
        for (uint32_t i = sizeof w; i < kKeyStart; ++i) {
            c->key[i] = ended ? 0 : v.data[at + i];
            ended = ended || c->key[i] == 0;
        }
    } else {  // the area ends within the start
        for (uint32_t i = 0; i < kKeyStart; ++i) {
            c->key[i] = ended || i >= n ? 0 : v.data[at + i];
            ended = ended || (i < n && c->key[i] == 0);
        }
    }
    if (ended)
        c->keyEnd = kEndInCopy;
    else  // an area ending in a NUL ends every string in it
        c->keyEnd = v.data[v.dataSize - 1] == 0 ? kEndInArea : kEndUnknown;
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
    // The node's fixed part lies in the area: nodeOk saw to it.
    const uint8_t* at = s->view->data + node;
    c->node = node;
    c->left = getU32(at + fmt::kNodeLeft);
    c->right = getU32(at + fmt::kNodeRight);
    c->balance = getU8(at + fmt::kNodeBalance);
    if (mirror == nullptr && kd.str != nullptr)
        c->keyEnd = kKeyNotCopied;
    else
        copyKey(s, node, kd.cls, kd.str != nullptr, c);
    return c;
}

// keyVersus on a copy: the key's start settles most comparisons.
int copyVersus(Store* s, const NodeCopy& c, const KeyDesc& kd) {
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

uint32_t copyChild(const NodeCopy& c, int dir) { return dir > 0 ? c.right : c.left; }

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

// Balanced insertion below a head node. The direction bytes written on the
// way down guide the rebalancing without comparing keys again.
uint32_t TreeInsert(Store* s, uint32_t* head, const KeyDesc& kd, uint32_t* node, Descent* d,
                    Start from = {}) {
    uint32_t q = 0;
    uint32_t r = 0;
    NodeMirror* copies = copiesOf(s, kd);
    if (*head == 0) {
        uint32_t h = 0;
        if ((r = newNode(s, &kd, &q)) != 0) return r;
        if ((r = newNode(s, nullptr, &h)) != 0) {
            ObjFree(s, q, fmt::kHeadNodeSize + keySize(kd));
            return r;
        }
        setChild(s, h, +1, q, copies);
        *head = h;
        *node = q;
        return 0;
    }
    uint32_t T = *head;
    if (!nodeOk(s, T)) return rc::kIllegalFile;
    uint32_t S = child(s, T, +1);
    uint32_t P = S;
    if (P == 0) {  // a head over an empty tree: the key becomes the root
        if ((r = newNode(s, &kd, &q)) != 0) return r;
        setChild(s, T, +1, q, copies);
        *node = q;
        return 0;
    }
    uint32_t top = 0;  // level of S
    if (from.finger != nullptr) {
        // The levels above the start as the descent would pass them; their
        // direction bytes are the finger's already. Their nodes were sound
        // when the finger was taken, and the area never shrinks.
        const IndexPath& f = *from.finger;
        d->path = f;
        d->path.length = from.level;
        const uint8_t* data = s->view->data;
        for (uint32_t i = 1; i <= from.level; ++i) {
            if (data[f.nodes[i] + fmt::kNodeBalance] != 0) {
                T = f.nodes[i - 1];
                S = f.nodes[i];
                top = i;
            }
        }
        P = f.nodes[from.level];
        if (from.level >= kDeepTree && s->mirror != nullptr)
            s->mirror->deep[uint32_t(kd.cls) * 256 + kd.bucket] = 1;
    }
    NodeCopy scratch[2];
    bool cold = false;
    const NodeCopy* at = openNode(s, P, int(from.level), kd, copies, &scratch[0], &cold);
    for (int depth = int(from.level);; ++depth) {
        if (depth >= kMaxDepth || at == nullptr) return damaged(s);
        // A tree this deep is copied from by the descents after this one.
        if (uint32_t(depth) == kDeepTree && s->mirror != nullptr)
            s->mirror->deep[uint32_t(kd.cls) * 256 + kd.bucket] = 1;
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
        int c = -copyVersus(s, *at, kd);
        notePath(d, depth, P, c);
        if (c == 0) {
            d->found = d->complete = uint32_t(depth) < kCachedDepth;
            *node = P;
            return 0;
        }
        setOpenedDirection(s, P, c);
        uint32_t next = copyChild(*at, c);
        if (next == 0) {
            if ((r = newNode(s, &kd, &q)) != 0) return r;
            setChild(s, P, c, q, copies);
            notePath(d, depth + 1, q, 0);
            d->complete = uint32_t(depth + 1) < kCachedDepth;
            break;
        }
        // `at` may share its slot with the next node's copy: read no more of it.
        at = openNode(s, next, depth + 1, kd, copies, &scratch[(depth + 1) & 1], &cold);
        if (at == nullptr) return rc::kIllegalFile;
        if (signedByte(at->balance) != 0) {
            T = P;
            S = next;
            top = uint32_t(depth) + 1;
        }
        P = next;
    }
    *node = q;
    int a = direction(s, S);
    uint32_t R = child(s, S, a);
    P = R;
    for (int depth = 0; P != q; ++depth) {
        if (depth >= kMaxDepth || P == 0) return damaged(s);
        int d = direction(s, P);
        setBalance(s, P, d, copies);
        P = child(s, P, d);
    }
    int bs = balance(s, S);
    if (bs == 0) {
        setBalance(s, S, a, copies);
        return 0;
    }
    if (bs == -a) {
        setBalance(s, S, 0, copies);
        return 0;
    }
    d->rotated = true;
    if (bs != a || (P = rotate(s, S, R, a, copies)) == 0) return damaged(s);
    if (d->complete) reroute(d->path, top, P);
    if (S == child(s, T, +1))
        setChild(s, T, +1, P, copies);
    else
        setChild(s, T, -1, P, copies);
    return 0;
}

// ---- groups ------------------------------------------------------------------

// The group of fieldId in the chain from `first`, or 0.
uint32_t GroupFind(Store* s, uint16_t fieldId, uint32_t first, uint32_t* found) {
    *found = 0;
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; first != 0; ++steps) {
        if (steps > limit || !groupOk(s, first)) return damaged(s);
        const uint8_t* g = s->view->data + first;  // groupOk: the group lies in the area
        if (getU16(g + fmt::kGroupFieldId) == fieldId) {
            *found = first;
            return 0;
        }
        first = getU32(g + fmt::kGroupNext);
    }
    return 0;
}

uint32_t newGroup(Store* s, uint16_t fieldId, uint32_t field, uint32_t next, uint32_t* out) {
    uint32_t group = 0;
    uint32_t r = ObjAlloc(s, fmt::kGroupSize, &group);
    if (r != 0) return r;
    uint8_t bytes[fmt::kGroupSize];
    putU8(bytes + fmt::kGroupKind, fmt::kKindGroup);
    putU32(bytes + fmt::kGroupNext, next);
    putU32(bytes + fmt::kGroupFirst, field);
    putU32(bytes + fmt::kGroupCount, 1);
    putU16(bytes + fmt::kGroupFieldId, fieldId);
    DataPutBytes(s, group, fmt::kGroupSize, bytes);
    DataPutU32(s, field + fmt::kFieldIndexLink, 0);
    *out = group;
    return 0;
}

// A new group goes second in the chain: the first group's offset is held by
// the node or root entry.
uint32_t GroupAdd(Store* s, uint16_t fieldId, uint32_t field, uint32_t first) {
    uint32_t group = 0;
    uint32_t r = GroupFind(s, fieldId, first, &group);
    if (r != 0) return r;
    if (group != 0) {
        uint8_t* g = DataWritePtr(s, group, fmt::kGroupSize);
        if (g == nullptr) return 0;
        putU32(g + fmt::kGroupCount, getU32(g + fmt::kGroupCount) + 1);
        DataPutU32(s, field + fmt::kFieldIndexLink, getU32(g + fmt::kGroupFirst));
        putU32(g + fmt::kGroupFirst, field);
        return 0;
    }
    if ((r = newGroup(s, fieldId, field, DataGetU32(s, first + fmt::kGroupNext), &group)) != 0)
        return r;
    DataPutU32(s, first + fmt::kGroupNext, group);
    return 0;
}

// A field not found in its group (never entered) is left alone.
uint32_t GroupRemove(Store* s, uint16_t fieldId, uint32_t field, uint32_t first) {
    uint32_t group = 0;
    uint32_t r = GroupFind(s, fieldId, first, &group);
    if (r != 0 || group == 0) return r;
    uint32_t linkWord = group + fmt::kGroupFirst;  // the word that points at `cur`
    uint32_t cur = DataGetU32(s, linkWord);
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; cur != field; ++steps) {
        if (cur == 0) return 0;
        if (steps > limit || !dataInRange(s, cur, fmt::kIndexedOverhead)) return damaged(s);
        linkWord = cur + fmt::kFieldIndexLink;
        cur = DataGetU32(s, linkWord);
    }
    DataPutU32(s, linkWord, DataGetU32(s, field + fmt::kFieldIndexLink));
    DataPutU32(s, field + fmt::kFieldIndexLink, 0);
    uint32_t count = DataGetU32(s, group + fmt::kGroupCount);
    if (count > 0) DataPutU32(s, group + fmt::kGroupCount, count - 1);
    return 0;
}

uint32_t GroupReport(Store* s, lumresset* set, uint16_t fieldId, uint32_t first) {
    uint32_t group = 0;
    uint32_t r = GroupFind(s, fieldId, first, &group);
    if (r != 0 || group == 0) return r;
    uint32_t field = DataGetU32(s, group + fmt::kGroupFirst);
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; field != 0; ++steps) {
        if (steps > limit || !dataInRange(s, field, fmt::kIndexedOverhead)) return damaged(s);
        if ((r = ResultSetAdd(set, field, nullptr)) != 0) return r;
        field = DataGetU32(s, field + fmt::kFieldIndexLink);
    }
    return 0;
}

// GroupReport of one group into a fresh set of fields, which takes the fields
// without looking for them first: a sound chain meets each field once. One
// that meets a field again loops until its step limit, and the set then
// drops the repeats it took.
uint32_t GroupReportFresh(Store* s, lumresset* set, uint16_t fieldId, uint32_t first) {
    if (!ResultSetFreshForFields(set)) return GroupReport(s, set, fieldId, first);
    uint32_t group = 0;
    uint32_t r = GroupFind(s, fieldId, first, &group);
    if (r != 0 || group == 0) return r;
    uint32_t field = DataGetU32(s, group + fmt::kGroupFirst);
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; field != 0 && r == 0; ++steps) {
        if (steps > limit || !dataInRange(s, field, fmt::kIndexedOverhead))
            r = damaged(s);
        else if ((r = ResultSetAddNew(set, field)) == 0)
            field = DataGetU32(s, field + fmt::kFieldIndexLink);
    }
    if (r != 0) ResultSetDropRepeats(set);
    return r;
}

// ---- searches ---------------------------------------------------------------

struct Scan {
    Store* s;
    lumresset* set;
    uint16_t fieldId;
    const KeyDesc* low;      // null: no lower limit
    const KeyDesc* high;     // null: no upper limit
    const char* pattern;     // contains: keys must contain it
};

// One node on the path of an in-order walk, with the decisions of the range
// scan already taken for it.
struct Frame {
    uint32_t node;
    bool report;
    bool goRight;
    bool rightLowOk;
    bool rightHighOk;
};

// In-order walk equal to the recursive range scan (left if low < k, report if
// low <= k <= high, right if k < high). A subtree entered to the right of a
// key >= low holds only keys > low, and one entered to the left of a key
// <= high only keys < high; once both are known, no key is compared.
class TreeScan {
public:
    explicit TreeScan(const Scan& sc) : sc_(sc), limit_(StoreMaxSteps(sc.s)) {}

    uint32_t run(uint32_t head) {
        Store* s = sc_.s;
        if (!nodeOk(s, head)) return rc::kIllegalFile;
        if (!descend(child(s, head, +1), !sc_.low, !sc_.high)) return rc::kIllegalFile;
        while (top_ > 0) {
            Frame f = stack_[--top_];
            if (f.report && (!sc_.pattern || DataStrFind(s, f.node + fmt::kNodeKey, sc_.pattern))) {
                uint32_t r = GroupReport(s, sc_.set, sc_.fieldId, DataGetU32(s, f.node + fmt::kNodeGroups));
                if (r != 0) return r;
            }
            if (f.goRight && !descend(child(s, f.node, +1), f.rightLowOk, f.rightHighOk))
                return rc::kIllegalFile;
        }
        return 0;
    }

private:
    bool descend(uint32_t node, bool lowOk, bool highOk) {
        Store* s = sc_.s;
        while (node != 0) {
            if (++steps_ > limit_ || top_ == kMaxDepth || !nodeOk(s, node)) {
                s->damaged = true;
                return false;
            }
            int vsLow = lowOk ? 1 : keyVersus(s, node, *sc_.low);
            int vsHigh = highOk ? -1 : keyVersus(s, node, *sc_.high);
            stack_[top_++] = Frame{node, vsLow >= 0 && vsHigh <= 0, vsHigh < 0, lowOk || vsLow >= 0, highOk};
            if (vsLow <= 0) break;
            highOk = highOk || vsHigh <= 0;
            node = child(s, node, -1);
        }
        return true;
    }

    const Scan& sc_;
    uint64_t limit_;
    uint64_t steps_ = 0;
    int top_ = 0;
    Frame stack_[kMaxDepth];
};

// Reports every root of buckets lo..hi: one-byte classes whole, trees by scan.
uint32_t scanBuckets(const Scan& sc, int cls, uint32_t lo, uint32_t hi, uint8_t base) {
    for (uint32_t b = lo; b <= hi; ++b) {
        uint32_t root = IndexRootGet(sc.s, base, b);
        if (root == 0) continue;
        uint32_t r = cls <= 2 ? GroupReport(sc.s, sc.set, sc.fieldId, root) : TreeScan(sc).run(root);
        if (r != 0) return r;
    }
    return 0;
}

uint32_t searchRange(Scan sc, int cls, uint8_t base, const void* low, const void* high, bool whole) {
    KeyDesc lo = low ? KeyDescribe(cls, low) : openBound(cls, false);
    KeyDesc hi = high ? KeyDescribe(cls, high) : openBound(cls, true);
    if (lo.bucket > hi.bucket) std::swap(lo, hi);
    sc.low = whole ? nullptr : &lo;
    sc.high = whole ? nullptr : &hi;
    return scanBuckets(sc, cls, lo.bucket, hi.bucket, base);
}

uint32_t searchEqual(const Scan& sc, int cls, uint8_t base, const void* value) {
    KeyDesc kd = KeyDescribe(cls, value);
    uint32_t root = IndexRootGet(sc.s, base, kd.bucket);
    if (root == 0) return 0;
    if (cls <= 2) return GroupReportFresh(sc.s, sc.set, sc.fieldId, root);
    uint32_t node = 0;
    uint32_t r = TreeFind(sc.s, root, kd, &node);
    if (r != 0 || node == 0) return r;
    return GroupReportFresh(sc.s, sc.set, sc.fieldId, DataGetU32(sc.s, node + fmt::kNodeGroups));
}

uint32_t searchContains(Scan sc, int cls, uint8_t base, const char* pattern) {
    if (!isStringClass(cls)) return 0;  // numeric keys hold no text to search
    sc.pattern = pattern;
    return scanBuckets(sc, cls, openBound(cls, false).bucket, openBound(cls, true).bucket, base);
}

// Damage found on the way outranks whatever the operation reported.
uint32_t finish(Store* s, uint32_t r) { return s->damaged ? rc::kIllegalFile : r; }

// ---- remembered paths ----------------------------------------------------------

uint64_t mix(uint64_t h) {
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// Hash of a key, eight bytes of a string at a time.
uint64_t keyHash(const KeyDesc& kd) {
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

// Below this size of the data area the index lies in the processor's caches
// well enough, and node copies and the table of paths would cost more memory
// than they save time.
constexpr uint32_t kIndexMemoryFrom = 16u << 20;

// Makes the index's memory of this session: the fingers at once, the node
// copies and the table of paths once the data area has grown to need them.
// A session that announces its keys gets no copies: its keys are looked up
// many at a time ahead of their insertions (see IndexExpect), and copies
// would only cost their upkeep, a look into a table of copies at every
// change to a node. 0, or 0x1000 with the part in question not made.
uint32_t makeIndexMemory(Store* s) {
    if (s->indexMemoryOff) return 0;
    if (s->paths == nullptr && (s->paths = PathCacheCreate()) == nullptr) return rc::kMalloc;
    if (PathCacheHasTable(s->paths) || StoreDataSize(s) < kIndexMemoryFrom) return 0;
    if (s->expected == nullptr && (s->mirror = NodeMirrorCreate()) == nullptr) return rc::kMalloc;
    if (PathCacheAddTable(s->paths)) return 0;
    NodeMirrorFree(s->mirror);
    s->mirror = nullptr;
    return rc::kMalloc;
}

// Whether the remembered path still leads from the head to the key, so that
// a descent would take it again: its tree has not rotated since, or every
// link on it is unchanged. The last node must hold the very key, not one
// of the same hash.
bool pathHolds(Store* s, PathCache* paths, uint32_t tree, IndexPath& path, uint32_t head,
               const KeyDesc& kd) {
    const uint32_t rotations = PathCacheRotations(paths, tree);
    if (path.stamp != rotations) {
        if (!nodeOk(s, head) || child(s, head, +1) != path.nodes[0]) return false;
        for (uint32_t i = 0; i + 1 < path.length; ++i)
            if (child(s, path.nodes[i], path.sides[i]) != path.nodes[i + 1]) return false;
        path.stamp = rotations;
    }
    const uint32_t key = path.nodes[path.length - 1];
    return nodeOk(s, key) && keyVersus(s, key, kd) == 0;
}

// Sign of (the finger's foot key - kd), mostly without reading the foot.
int footVersus(Store* s, const Finger& f, const KeyDesc& kd) {
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
// into a tree asks it.
inline __attribute__((always_inline)) int fingerLevel(Store* s, const Finger& f, uint32_t rotations,
                                                      uint32_t head, const KeyDesc& kd, bool* found) {
    const IndexPath& path = f.path;
    *found = false;
    if (path.length == 0 || path.stamp != rotations ||
        child(s, head, +1) != path.nodes[0])
        return -1;
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

// The finger now leads along `path` to the key of `kd`.
void setFinger(Finger& f, const IndexPath& path, const KeyDesc& kd) {
    f.path = path;
    f.start = kd.start;
    f.whole = kd.whole;
    f.num = kd.num;
}

// ---- announced keys -------------------------------------------------------------

// Per tree, each look-up adds kProbed to a score, one the tree's finger made
// needless kWasted more, and one that was used takes kUsed off; above
// kWasteLimit the tree's keys are left to its finger.
constexpr uint8_t kProbed = 4;
constexpr uint8_t kWasted = 16;
constexpr uint8_t kUsed = 64;
constexpr uint8_t kWasteLimit = 128;

// Longer keys are not announced: they are rare, and most comparisons with
// them are settled by their first words anyway.
constexpr uint32_t kExpectedKeyBytes = 111;
// An insertion looks for its key among this many of the oldest announcements.
constexpr uint32_t kExpectedLookup = 4;

struct Expected {
    IndexPath path;   // from the root of the key's tree; length 0: none found
    bool found;       // the path ends at the key, else at the node whose empty link it fills
    uint16_t tree;    // class * 256 + bucket
    uint32_t length;  // of a string key, before its terminator
    int64_t num;      // a numeric key
    char key[kExpectedKeyBytes + 1];
};

// One announced key's descent, a node at a time.
struct Probe {
    Expected* e;
    KeyDesc kd;
    uint32_t node;  // asked for, to be visited next
    uint32_t depth;
};

}  // namespace

// A ring of announcements, oldest first; the newest `unprobed` of them are
// not looked up yet. The look-ups' scratch lies here too, made once.
struct ExpectedKeys {
    Expected ring[kExpectedKeys];
    uint32_t first;
    uint32_t count;
    uint32_t unprobed;
    Probe probes[kExpectedKeys];
    uint64_t hashes[kExpectedKeys];
    // Per tree, how often of late a look-up was wasted: its key's insertion
    // found its place by the tree's finger anyway (keys entered in order).
    uint8_t waste[fmt::kClassCount * 256];
};

namespace {

Expected& expectedAt(ExpectedKeys& k, uint32_t i) { return k.ring[(k.first + i) % kExpectedKeys]; }

KeyDesc expectedKey(const Expected& e) {
    const int cls = e.tree / 256;
    return isStringClass(cls) ? describeString(cls, e.key, e.length) : describeNumber(cls, e.num);
}

bool isExpectedKey(const Expected& e, uint32_t tree, const KeyDesc& kd) {
    if (e.tree != tree) return false;
    if (!kd.str) return e.num == kd.num;
    return stringLength(kd) == e.length && std::memcmp(e.key, kd.str, e.length) == 0;
}

// Whether a look-up, which must never mark the store, may read the node:
// a node, within the area with the first 16 bytes of its key.
bool probeable(const AreaView& v, uint32_t node) {
    return node >= fmt::kFirstObject && uint64_t(node) + fmt::kHeadNodeSize + 16 <= v.dataSize &&
           v.data[node] == fmt::kKindNode;
}

// Visits the probe's node; false when the descent is over, its path then
// leading to the key or to the empty link it would fill (or empty, when
// the descent gave up). Only called while the area ends in a NUL, so that
// no key comparison can run off it.
bool probeStep(Store* s, Probe& p) {
    const AreaView& v = *s->view;
    IndexPath& path = p.e->path;
    if (!probeable(v, p.node)) {
        path.length = 0;
        return false;
    }
    const int c = -keyVersus(s, p.node, p.kd);
    path.nodes[p.depth] = p.node;
    path.sides[p.depth] = int8_t(c);
    path.length = p.depth + 1;
    if (c == 0) {
        p.e->found = true;
        return false;
    }
    const uint32_t next = getU32(v.data + p.node + (c > 0 ? fmt::kNodeRight : fmt::kNodeLeft));
    if (next == 0) return false;
    if (++p.depth == kCachedDepth) {
        path.length = 0;
        return false;
    }
    if (next < v.dataSize) {  // its fixed part and the start of its key
        __builtin_prefetch(v.data + next);
        __builtin_prefetch(v.data + next + fmt::kNodeKey + 15);
    }
    p.node = next;
    return true;
}

// Looks up where every announced key not yet looked up goes: a key its
// tree's finger or a remembered path leads to is left to them; the others
// descend from their roots together, each taking one step in turn, so that
// the node one asked for has the others' steps to arrive. Reads only.
void probeExpected(Store* s, ExpectedKeys& k) {
    const AreaView& v = *s->view;
    PathCache* paths = s->paths;
    const bool sound = !s->damaged && paths != nullptr && v.dataSize != 0 && v.data[v.dataSize - 1] == 0;
    Probe* probes = k.probes;
    uint64_t* hashes = k.hashes;
    uint32_t n = 0;
    for (uint32_t i = k.count - k.unprobed; i < k.count; ++i) {
        Expected& e = expectedAt(k, i);
        e.path.length = 0;
        e.found = false;
        if (!sound) continue;
        // A tree whose look-ups are mostly wasted is left alone, but for a
        // look now and then that may show the keys no longer come in order.
        const uint32_t tree = e.tree;
        uint8_t& waste = k.waste[tree];
        if (waste > kWasteLimit) {
            --waste;
            continue;
        }
        const KeyDesc kd = expectedKey(e);
        const uint32_t head = HeaderGetU32(s, fmt::indexRoot(uint32_t(kd.cls), kd.bucket));
        if (!probeable(v, head)) continue;
        const uint32_t root = getU32(v.data + head + fmt::kNodeRight);
        if (root == 0) continue;
        const uint32_t rotations = PathCacheRotations(paths, tree);
        bool found = false;
        if (fingerLevel(s, PathCacheFinger(paths, tree), rotations, head, kd, &found) >= 0) continue;
        waste = uint8_t(std::min(255, waste + kProbed));
        e.path.stamp = rotations;
        hashes[n] = keyHash(kd);
        PathCachePrefetch(paths, tree, hashes[n]);
        probes[n++] = {&e, kd, root, 0};
    }
    k.unprobed = 0;
    // Keys with a remembered path are left to it; the slots were asked for
    // all at once above.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const Probe& p = probes[i];
        if (PathCacheFind(paths, uint32_t(p.kd.cls) * 256 + p.kd.bucket, hashes[i]) != nullptr) continue;
        prefetchNode(s, p.node);
        probes[kept++] = p;
    }
    n = kept;
    while (n > 0) {
        // Each node a probe visits next is read first, all of them at once:
        // the waits for nodes not in the caches overlap.
        uint8_t kinds = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t node = probes[i].node;
            if (node < v.dataSize) kinds |= *static_cast<const volatile uint8_t*>(v.data + node);
        }
        asm volatile("" : : "r"(kinds));
        for (uint32_t i = 0; i < n;) {
            if (probeStep(s, probes[i]))
                ++i;
            else
                probes[i] = probes[--n];
        }
    }
}

// The announcement of kd, looked up first if need be, when it is among the
// oldest few; those before it are dropped, their keys having come otherwise
// or not at all. Valid until the next announcement.
Expected* takeExpected(Store* s, uint32_t tree, const KeyDesc& kd) {
    ExpectedKeys* k = s->expected;
    if (k == nullptr || k->count == 0) return nullptr;
    if (k->unprobed != 0) probeExpected(s, *k);
    const uint32_t look = std::min(k->count, kExpectedLookup);
    for (uint32_t i = 0; i < look; ++i) {
        Expected& e = expectedAt(*k, i);
        if (!isExpectedKey(e, tree, kd)) continue;
        k->first = (k->first + i + 1) % kExpectedKeys;
        k->count -= i + 1;
        return &e;
    }
    return nullptr;
}

// How many nodes of `path`, from the root down, a descent for its key would
// still pass: all when its tree has not rotated since the path was known to
// hold (a new key only fills an empty link), else as far as each node still
// links to the next.
uint32_t heldLength(Store* s, PathCache* paths, uint32_t tree, IndexPath& path, uint32_t head) {
    const uint32_t rotations = PathCacheRotations(paths, tree);
    if (path.stamp == rotations) return path.length;
    if (child(s, head, +1) != path.nodes[0]) return 0;
    for (uint32_t i = 0; i + 1 < path.length; ++i)
        if (child(s, path.nodes[i], path.sides[i]) != path.nodes[i + 1]) return i + 1;
    path.stamp = rotations;
    return path.length;
}

// The insertion of a key found at the end of a path that holds: the
// direction bytes a descent along it writes, and the tree's finger.
uint32_t takePath(Store* s, Finger& finger, const IndexPath& path, const KeyDesc& kd, uint32_t* node) {
    writeDirections(s, path, path.length - 1);
    *node = path.nodes[path.length - 1];
    setFinger(finger, path, kd);
    return 0;
}

// TreeInsert for a key whose path may be known: then only the direction bytes
// the descent would write are written. The finger of the tree, or else the
// paths to existing keys that descents found, tell it.
uint32_t treeInsertKnown(Store* s, int cls, uint32_t* head, const KeyDesc& kd, uint32_t* node) {
    if (uint32_t r = makeIndexMemory(s)) return r;
    const uint32_t tree = uint32_t(cls) * 256 + kd.bucket;
    PathCache* paths = s->damaged ? nullptr : s->paths;
    Descent d;
    if (paths == nullptr || *head == 0 || !nodeOk(s, *head)) {
        if (paths != nullptr) PathCacheFinger(paths, tree).path.length = 0;
        return TreeInsert(s, head, kd, node, &d);
    }
    Finger& finger = PathCacheFinger(paths, tree);
    Expected* announced = takeExpected(s, tree, kd);
    Start from;
    bool found = false;
    const int level = fingerLevel(s, finger, PathCacheRotations(paths, tree), *head, kd, &found);
    if (announced != nullptr && announced->path.length != 0) {
        uint8_t& waste = s->expected->waste[tree];
        waste = level >= 0 ? uint8_t(std::min(255, waste + kWasted)) : uint8_t(std::max(0, waste - kUsed));
    }
    if (found) {  // at the foot or above it, whose direction bytes are the finger's already
        *node = finger.path.nodes[level];
        return 0;
    }
    // The key is hashed only for a table of paths to look in or to fill.
    const bool table = PathCacheHasTable(paths);
    uint64_t hash = 0;
    if (level >= 0) {
        from = {&finger.path, uint32_t(level)};
    } else if (announced != nullptr && announced->path.length != 0) {
        // The path its announcement found, as far as it still holds; the
        // descent goes on from there. (The announcement stays readable until
        // the next one.)
        IndexPath& looked = announced->path;
        const uint32_t held = heldLength(s, paths, tree, looked, *head);
        if (announced->found && held == looked.length) {
            if (table) PathCacheStore(paths, tree, keyHash(kd), looked);
            return takePath(s, finger, looked, kd, node);
        }
        if (held != 0) {
            writeDirections(s, looked, held - 1);
            from = {&looked, held - 1};
        }
    } else if (table) {
        hash = keyHash(kd);
        IndexPath* known = PathCacheFind(paths, tree, hash);
        if (known != nullptr && pathHolds(s, paths, tree, *known, *head, kd))
            return takePath(s, finger, *known, kd, node);
    }
    const uint32_t r = TreeInsert(s, head, kd, node, &d, from);
    if (d.rotated) PathCacheRotated(paths, tree);
    d.path.stamp = PathCacheRotations(paths, tree);
    const bool sound = r == 0 && !s->damaged;
    if (sound && d.found && table) PathCacheStore(paths, tree, from.finger ? keyHash(kd) : hash, d.path);
    if (sound && d.complete)
        setFinger(finger, d.path, kd);
    else
        finger.path.length = 0;
    return r;
}

}  // namespace

uint32_t IndexInsert(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field,
                     uint32_t length) {
    int cls = fmt::baseTypeClass(base);
    if (!isIndexable(cls)) return 0;
    if (!value) return rc::kBadParameter;
    KeyDesc kd = KeyDescribe(cls, value, length);
    uint32_t root = IndexRootGet(s, base, kd.bucket);
    uint32_t r = 0;
    if (cls <= 2) {
        if (root != 0) return finish(s, GroupAdd(s, fieldId, field, root));
        if ((r = newGroup(s, fieldId, field, 0, &root)) == 0) IndexRootSet(s, base, kd.bucket, root);
        return finish(s, r);
    }
    uint32_t node = 0;
    if ((r = treeInsertKnown(s, cls, &root, kd, &node)) != 0) return finish(s, r);
    IndexRootSet(s, base, kd.bucket, root);
    uint32_t groups = DataGetU32(s, node + fmt::kNodeGroups);
    if (groups != 0) return finish(s, GroupAdd(s, fieldId, field, groups));
    // Without room for the group the key keeps its node, which searches skip.
    if ((r = newGroup(s, fieldId, field, 0, &groups)) == 0)
        DataPutU32(s, node + fmt::kNodeGroups, groups);
    return finish(s, r);
}

void IndexExpect(Store* s, uint8_t base, const void* value, uint32_t length) {
    const int cls = fmt::baseTypeClass(base);
    if (value == nullptr || cls <= 2 || !isIndexable(cls) || s->indexMemoryOff || s->damaged) return;
    uint32_t n = 0;
    if (isStringClass(cls)) {
        n = length != kLengthUnknown ? length
                                     : uint32_t(strnlen(static_cast<const char*>(value), kExpectedKeyBytes + 1));
        if (n > kExpectedKeyBytes) return;
    }
    if (s->expected == nullptr &&
        (s->expected = static_cast<ExpectedKeys*>(os::Sys().calloc(1, sizeof(ExpectedKeys)))) == nullptr)
        return;
    ExpectedKeys& k = *s->expected;
    if (k.count == kExpectedKeys) {  // the oldest gives way
        k.first = (k.first + 1) % kExpectedKeys;
        --k.count;
        k.unprobed = std::min(k.unprobed, k.count);
    }
    Expected& e = expectedAt(k, k.count);
    e.path.length = 0;
    e.found = false;
    if (isStringClass(cls)) {
        std::memcpy(e.key, value, n);
        e.key[n] = 0;
        e.length = n;
        e.tree = uint16_t(cls * 256 + uint8_t(e.key[0]));
    } else {
        e.num = loadNumber(cls, value);
        e.tree = uint16_t(cls * 256 + describeNumber(cls, e.num).bucket);
    }
    ++k.count;
    ++k.unprobed;
}

uint32_t IndexRemove(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field) {
    int cls = fmt::baseTypeClass(base);
    if (!isIndexable(cls)) return 0;
    if (!value) return rc::kBadParameter;
    KeyDesc kd = KeyDescribe(cls, value);
    uint32_t root = IndexRootGet(s, base, kd.bucket);
    if (root == 0) return finish(s, 0);
    if (cls <= 2) return finish(s, GroupRemove(s, fieldId, field, root));
    uint32_t node = 0;
    uint32_t r = TreeFind(s, root, kd, &node);
    if (r != 0 || node == 0) return finish(s, r);
    uint32_t groups = DataGetU32(s, node + fmt::kNodeGroups);
    return finish(s, groups ? GroupRemove(s, fieldId, field, groups) : 0);
}

uint32_t IndexSearch(Store* s, lumresset* set, uint8_t base, uint16_t fieldId, const void* low,
                     const void* high, uint32_t op) {
    int cls = fmt::baseTypeClass(base);
    if (!isIndexable(cls)) return 0;
    Scan sc{s, set, fieldId, nullptr, nullptr, nullptr};
    switch (op) {
    case kIndexRange: return finish(s, searchRange(sc, cls, base, low, high, false));
    case kIndexAll: return finish(s, searchRange(sc, cls, base, low, high, true));
    case kIndexEqual:
        return low ? finish(s, searchEqual(sc, cls, base, low)) : rc::kBadParameter;
    case kIndexContains:
        return low ? finish(s, searchContains(sc, cls, base, static_cast<const char*>(low)))
                   : rc::kBadParameter;
    default: return 0;
    }
}

}  // namespace tarn
