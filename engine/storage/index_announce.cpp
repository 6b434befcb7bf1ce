// Value index: announced keys. A descent into a large tree waits for each
// node in turn; keys announced before their insertion are looked up many at
// a time, their descents taking turns so that their waits overlap, and each
// insertion of such a key takes up the path found where the path still holds
// (index_memory.h; the look-ups only read, invariant 6).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/storage/index_memory.h"
#include "engine/storage/os.h"
#include "engine/storage/value_index.h"

namespace tarn::vindex {
namespace {

// Per tree, each look-up adds kProbed to a score, one the tree's finger made
// needless kWasted more, and one that was used takes kUsed off; above
// kWasteLimit the tree's keys are left to its finger.
constexpr uint8_t kProbed = 4;
constexpr uint8_t kWasted = 16;
constexpr uint8_t kUsed = 64;
constexpr uint8_t kWasteLimit = 128;

// An insertion looks for its key among this many of the oldest announcements.
constexpr uint32_t kExpectedLookup = 4;

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
    return fmt::isStringClass(cls) ? describeString(cls, e.key, e.length) : describeNumber(cls, e.num);
}

bool isExpectedKey(const Expected& e, uint32_t tree, const KeyDesc& kd) {
    if (e.tree != tree) return false;
    if (!kd.str) return e.num == kd.num;
    return stringLength(kd) == e.length && std::memcmp(e.key, kd.str, e.length) == 0;
}

// Whether a look-up, which must never mark the store, may read the node:
// a node, within the area with the first 16 bytes of its key.
bool probeable(Store* s, uint32_t node) {
    return node >= fmt::kFirstObject && DataFits(s, node, fmt::kHeadNodeSize + 16) &&
           *DataRaw(s, node) == fmt::kKindNode;
}

// Visits the probe's node; false when the descent is over, its path then
// leading to the key or to the empty link it would fill (or empty, when
// the descent gave up). Only called while the area ends in a NUL, so that
// no key comparison can run off it.
bool probeStep(Store* s, Probe& p) {
    IndexPath& path = p.e->path;
    if (!probeable(s, p.node)) {
        path.length = 0;
        return false;
    }
    // probeable() placed the key's first 16 bytes in the area, which ends in
    // a NUL while look-ups run.
    const int c = p.kd.str ? -checkedNodeVersus(s, p.node, p.kd) : -keyVersus(s, p.node, p.kd);
    path.nodes[p.depth] = p.node;
    path.sides[p.depth] = int8_t(c);
    path.length = p.depth + 1;
    if (c == 0) {
        p.e->found = true;
        return false;
    }
    const uint32_t next = soundChild(s, p.node, c);
    if (next == 0) return false;
    if (++p.depth == kCachedDepth) {
        path.length = 0;
        return false;
    }
    if (next < StoreDataSize(s)) {  // its fixed part and the start of its key
        __builtin_prefetch(DataRaw(s, next));
        __builtin_prefetch(DataRaw(s, next) + fmt::kNodeKey + 15);
    }
    p.node = next;
    return true;
}

// The probes for the announced keys not yet looked up, their remembered
// slots asked for: a key its tree's finger leads to is left to the finger,
// as are the keys of a tree whose look-ups are mostly wasted, but for a look
// now and then that may show the keys no longer come in order.
uint32_t startProbes(Store* s, ExpectedKeys& k, PathCache* paths, bool sound) {
    uint32_t n = 0;
    const bool table = sound && PathCacheHasTable(paths);
    for (uint32_t i = k.count - k.unprobed; i < k.count; ++i) {
        Expected& e = expectedAt(k, i);
        e.path.length = 0;
        e.found = false;
        if (!sound) continue;
        const uint32_t tree = e.tree;
        uint8_t& waste = k.waste[tree];
        if (waste > kWasteLimit) {
            --waste;
            continue;
        }
        const KeyDesc kd = expectedKey(e);
        const uint32_t head = HeaderGetU32(s, fmt::indexRoot(uint32_t(kd.cls), kd.bucket));
        if (!probeable(s, head)) continue;
        const uint32_t root = soundChild(s, head, +1);
        if (root == 0) continue;
        const uint32_t rotations = PathCacheRotations(paths, tree);
        bool found = false;
        if (fingerLevel(s, PathCacheFinger(paths, tree), rotations, head, kd, &found) >= 0) continue;
        waste = uint8_t(std::min(255, waste + kProbed));
        e.path.stamp = rotations;
        // A key's hash is only for the table of paths, when there is one.
        k.hashes[n] = table ? keyHash(kd) : 0;
        PathCachePrefetch(paths, tree, k.hashes[n]);
        k.probes[n++] = {&e, kd, root, 0};
    }
    k.unprobed = 0;
    return n;
}

// Looks up where every announced key not yet looked up goes: a key with a
// remembered path is left to it; the others descend from their roots
// together, each taking one step in turn, so that the node one asked for
// has the others' steps to arrive. Reads only.
void probeExpected(Store* s, IndexState& st, ExpectedKeys& k) {
    PathCache* paths = st.paths;
    const bool sound = !s->damaged && paths != nullptr && DataEndsInNul(s);
    Probe* probes = k.probes;
    uint32_t n = startProbes(s, k, paths, sound);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const Probe& p = probes[i];
        if (PathCacheFind(paths, treeOf(p.kd), k.hashes[i]) != nullptr) continue;
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
            if (node < StoreDataSize(s)) kinds |= *static_cast<const volatile uint8_t*>(DataRaw(s, node));
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

}  // namespace

Expected* TakeAnnounced(Store* s, IndexState& st, uint32_t tree, const KeyDesc& kd) {
    ExpectedKeys* k = st.expected;
    if (k == nullptr || k->count == 0) return nullptr;
    if (k->unprobed != 0) probeExpected(s, st, *k);
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

void ScoreAnnouncement(IndexState& st, uint32_t tree, bool wasted) {
    uint8_t& waste = st.expected->waste[tree];
    waste = wasted ? uint8_t(std::min(255, waste + kWasted)) : uint8_t(std::max(0, waste - kUsed));
}

void AnnouncementsFree(ExpectedKeys* k) { std::free(k); }  // plain memory from Sys().calloc

}  // namespace tarn::vindex

namespace tarn {

void IndexExpect(Store* s, uint8_t base, const void* value, uint32_t length) {
    using namespace vindex;
    const int cls = fmt::baseTypeClass(base);
    if (value == nullptr || !fmt::hasIndexKey(cls) || fmt::isOneByteClass(cls) || s->damaged) return;
    uint32_t n = 0;
    if (fmt::isStringClass(cls)) {
        n = length != kLengthUnknown ? length
                                     : uint32_t(strnlen(static_cast<const char*>(value), kExpectedKeyBytes + 1));
        if (n > kExpectedKeyBytes) return;
    }
    IndexState* st = IndexStateOf(s);
    if (st == nullptr || st->testHookNoMemory || (st->refused & IndexState::kExpected)) return;
    if (st->expected == nullptr) {
        st->expected = static_cast<ExpectedKeys*>(os::Sys().calloc(1, sizeof(ExpectedKeys)));
        if (st->expected == nullptr) {
            st->refused |= IndexState::kExpected;
            return;
        }
    }
    ExpectedKeys& k = *st->expected;
    if (k.count == kExpectedKeys) {  // the oldest gives way
        k.first = (k.first + 1) % kExpectedKeys;
        --k.count;
        k.unprobed = std::min(k.unprobed, k.count);
    }
    Expected& e = expectedAt(k, k.count);
    e.path.length = 0;
    e.found = false;
    if (fmt::isStringClass(cls)) {
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

}  // namespace tarn
