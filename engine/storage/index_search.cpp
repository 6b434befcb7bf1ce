// Value index: searches. Every operation reports buckets ascending, keys
// ascending within a tree, and of each key the group of the field id asked
// for, its fields newest first.
#include <utility>

#include "engine/resultset.h"
#include "engine/storage/index_groups.h"
#include "engine/storage/index_key.h"
#include "engine/storage/index_node.h"
#include "engine/storage/index_tree.h"
#include "engine/storage/value_index.h"

namespace tarn {
namespace {

using namespace vindex;

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
        uint32_t r = fmt::isOneByteClass(cls) ? GroupReport(sc.s, sc.set, sc.fieldId, root)
                                              : TreeScan(sc).run(root);
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
    if (fmt::isOneByteClass(cls)) return GroupReportFresh(sc.s, sc.set, sc.fieldId, root);
    uint32_t node = 0;
    uint32_t r = TreeFind(sc.s, root, kd, &node);
    if (r != 0 || node == 0) return r;
    return GroupReportFresh(sc.s, sc.set, sc.fieldId, DataGetU32(sc.s, node + fmt::kNodeGroups));
}

uint32_t searchContains(Scan sc, int cls, uint8_t base, const char* pattern) {
    if (!fmt::isStringClass(cls)) return 0;  // numeric keys hold no text to search
    sc.pattern = pattern;
    return scanBuckets(sc, cls, openBound(cls, false).bucket, openBound(cls, true).bucket, base);
}

}  // namespace

uint32_t IndexSearch(Store* s, lumresset* set, uint8_t base, uint16_t fieldId, const void* low,
                     const void* high, uint32_t op) {
    int cls = fmt::baseTypeClass(base);
    if (!fmt::hasIndexKey(cls)) return 0;
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
