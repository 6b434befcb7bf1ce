// Value index over the data area: per class and bucket byte either a group
// chain (one-byte classes) or a head node over an AVL tree of keys.
//
// Trees and chains come from the file and may be cyclic or garbage. Every
// descent is bounded by kMaxDepth (a sound AVL tree of any size the data area
// can hold is far shallower), every chain walk by StoreMaxSteps(); nodes and
// groups must carry their kind byte. Anything else marks the store damaged and
// the operation answers 29.
#include "engine/storage/value_index.h"

#include <cstring>
#include <utility>

#include "engine/result_codes.h"
#include "engine/resultset.h"
#include "engine/storage/objstore.h"

namespace tarn {
namespace {

constexpr int kMaxDepth = 64;
constexpr char kOpenLowString[] = "\x01";
constexpr char kOpenHigh8[] = "\xFF";
constexpr char kOpenHigh9[] = "\x7F\xFF\xFF\xFF";

// A search or insertion key: numeric keys as a widened integer, string keys
// by pointer.
struct KeyDesc {
    int cls = 0;
    uint32_t width = 0;  // 1, 2 or 4; 0 for strings
    int64_t num = 0;
    const char* str = nullptr;
    uint32_t bucket = 0;
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

KeyDesc describeString(int cls, const char* str) {
    KeyDesc kd;
    kd.cls = cls;
    kd.str = str;
    kd.bucket = uint8_t(str[0]);
    return kd;
}

// Only for indexable classes and a non-null value.
KeyDesc KeyDescribe(int cls, const void* value) {
    if (isStringClass(cls)) return describeString(cls, static_cast<const char*>(value));
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

uint32_t keySize(const KeyDesc& kd) {
    return kd.width ? kd.width : uint32_t(std::strlen(kd.str)) + 1;
}

bool objectOk(Store* s, uint32_t off, uint32_t size, uint8_t kind) {
    if (off >= fmt::kFirstObject && dataInRange(s, off, size) && DataGetU8(s, off) == kind) return true;
    s->damaged = true;
    return false;
}
bool nodeOk(Store* s, uint32_t node) { return objectOk(s, node, fmt::kHeadNodeSize, fmt::kKindNode); }
bool groupOk(Store* s, uint32_t group) { return objectOk(s, group, fmt::kGroupSize, fmt::kKindGroup); }

// Child on side dir: +1 right, -1 left.
uint32_t child(Store* s, uint32_t node, int dir) {
    return DataGetU32(s, node + (dir > 0 ? fmt::kNodeRight : fmt::kNodeLeft));
}
void setChild(Store* s, uint32_t node, int dir, uint32_t to) {
    DataPutU32(s, node + (dir > 0 ? fmt::kNodeRight : fmt::kNodeLeft), to);
}
// Balance and direction bytes: 255 / 0 / 1 stand for -1 / 0 / +1.
int signedByte(Store* s, uint32_t off) {
    uint8_t b = DataGetU8(s, off);
    return b == fmt::kLeft ? -1 : b;
}
int balance(Store* s, uint32_t node) { return signedByte(s, node + fmt::kNodeBalance); }
int direction(Store* s, uint32_t node) { return signedByte(s, node + fmt::kNodeDirection); }
void setBalance(Store* s, uint32_t node, int b) { DataPutU8(s, node + fmt::kNodeBalance, uint8_t(b)); }
void setDirection(Store* s, uint32_t node, int d) {
    DataPutU8(s, node + fmt::kNodeDirection, d > 0 ? fmt::kRight : fmt::kLeft);
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

// Sign of (node key - kd).
int keyVersus(Store* s, uint32_t node, const KeyDesc& kd) {
    if (kd.str) return DataStrCmp(s, node + fmt::kNodeKey, kd.str);
    return sign(nodeNumber(s, node, kd.cls) - kd.num);
}

// A node or head node with every word cleared; the block may be reused.
uint32_t newNode(Store* s, const KeyDesc* kd, uint32_t* out) {
    uint32_t size = fmt::kHeadNodeSize + (kd ? keySize(*kd) : 0);
    uint32_t node = 0;
    uint32_t r = ObjAlloc(s, size, &node);
    if (r != 0) return r;
    uint8_t head[fmt::kHeadNodeSize] = {fmt::kKindNode};
    DataPutBytes(s, node, fmt::kHeadNodeSize, head);
    if (kd && kd->str) {
        DataPutBytes(s, node + fmt::kNodeKey, keySize(*kd), kd->str);
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
uint32_t rotate(Store* s, uint32_t S, uint32_t R, int a) {
    uint32_t P;
    if (balance(s, R) == a) {
        P = R;
        setChild(s, S, a, child(s, R, -a));
        setChild(s, R, -a, S);
        setBalance(s, S, 0);
        setBalance(s, R, 0);
        return P;
    }
    if (balance(s, R) != -a) return 0;
    P = child(s, R, -a);
    if (P == 0 || !nodeOk(s, P)) return 0;
    setChild(s, R, -a, child(s, P, a));
    setChild(s, P, a, R);
    setChild(s, S, a, child(s, P, -a));
    setChild(s, P, -a, S);
    int bp = balance(s, P);
    setBalance(s, S, bp == a ? -a : 0);
    setBalance(s, R, bp == -a ? a : 0);
    setBalance(s, P, 0);
    return P;
}

// Balanced insertion below a head node. The direction bytes written on the
// way down guide the rebalancing without comparing keys again.
uint32_t TreeInsert(Store* s, uint32_t* head, const KeyDesc& kd, uint32_t* node) {
    uint32_t q = 0;
    uint32_t r = 0;
    if (*head == 0) {
        uint32_t h = 0;
        if ((r = newNode(s, &kd, &q)) != 0) return r;
        if ((r = newNode(s, nullptr, &h)) != 0) {
            ObjFree(s, q, fmt::kHeadNodeSize + keySize(kd));
            return r;
        }
        setChild(s, h, +1, q);
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
        setChild(s, T, +1, q);
        *node = q;
        return 0;
    }
    for (int depth = 0;; ++depth) {
        if (depth >= kMaxDepth || !nodeOk(s, P)) return damaged(s);
        int c = -keyVersus(s, P, kd);
        if (c == 0) {
            *node = P;
            return 0;
        }
        setDirection(s, P, c);
        uint32_t next = child(s, P, c);
        if (next == 0) {
            if ((r = newNode(s, &kd, &q)) != 0) return r;
            setChild(s, P, c, q);
            break;
        }
        if (!nodeOk(s, next)) return rc::kIllegalFile;
        if (balance(s, next) != 0) {
            T = P;
            S = next;
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
        setBalance(s, P, d);
        P = child(s, P, d);
    }
    int bs = balance(s, S);
    if (bs == 0) {
        setBalance(s, S, a);
        return 0;
    }
    if (bs == -a) {
        setBalance(s, S, 0);
        return 0;
    }
    if (bs != a || (P = rotate(s, S, R, a)) == 0) return damaged(s);
    if (S == child(s, T, +1))
        setChild(s, T, +1, P);
    else
        setChild(s, T, -1, P);
    return 0;
}

// ---- groups ------------------------------------------------------------------

// The group of fieldId in the chain from `first`, or 0.
uint32_t GroupFind(Store* s, uint16_t fieldId, uint32_t first, uint32_t* found) {
    *found = 0;
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; first != 0; ++steps) {
        if (steps > limit || !groupOk(s, first)) return damaged(s);
        if (DataGetU16(s, first + fmt::kGroupFieldId) == fieldId) {
            *found = first;
            return 0;
        }
        first = DataGetU32(s, first + fmt::kGroupNext);
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
        DataPutU32(s, group + fmt::kGroupCount, DataGetU32(s, group + fmt::kGroupCount) + 1);
        DataPutU32(s, field + fmt::kFieldIndexLink, DataGetU32(s, group + fmt::kGroupFirst));
        DataPutU32(s, group + fmt::kGroupFirst, field);
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
    if (cls <= 2) return GroupReport(sc.s, sc.set, sc.fieldId, root);
    uint32_t node = 0;
    uint32_t r = TreeFind(sc.s, root, kd, &node);
    if (r != 0 || node == 0) return r;
    return GroupReport(sc.s, sc.set, sc.fieldId, DataGetU32(sc.s, node + fmt::kNodeGroups));
}

uint32_t searchContains(Scan sc, int cls, uint8_t base, const char* pattern) {
    if (!isStringClass(cls)) return 0;  // numeric keys hold no text to search
    sc.pattern = pattern;
    return scanBuckets(sc, cls, openBound(cls, false).bucket, openBound(cls, true).bucket, base);
}

// Damage found on the way outranks whatever the operation reported.
uint32_t finish(Store* s, uint32_t r) { return s->damaged ? rc::kIllegalFile : r; }

}  // namespace

uint32_t IndexInsert(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field) {
    int cls = fmt::baseTypeClass(base);
    if (!isIndexable(cls)) return 0;
    if (!value) return rc::kBadParameter;
    KeyDesc kd = KeyDescribe(cls, value);
    uint32_t root = IndexRootGet(s, base, kd.bucket);
    uint32_t r = 0;
    if (cls <= 2) {
        if (root != 0) return finish(s, GroupAdd(s, fieldId, field, root));
        if ((r = newGroup(s, fieldId, field, 0, &root)) == 0) IndexRootSet(s, base, kd.bucket, root);
        return finish(s, r);
    }
    uint32_t node = 0;
    if ((r = TreeInsert(s, &root, kd, &node)) != 0) return finish(s, r);
    IndexRootSet(s, base, kd.bucket, root);
    uint32_t groups = DataGetU32(s, node + fmt::kNodeGroups);
    if (groups != 0) return finish(s, GroupAdd(s, fieldId, field, groups));
    // Without room for the group the key keeps its node, which searches skip.
    if ((r = newGroup(s, fieldId, field, 0, &groups)) == 0)
        DataPutU32(s, node + fmt::kNodeGroups, groups);
    return finish(s, r);
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
