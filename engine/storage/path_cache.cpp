// A direct-mapped table of paths keyed by tree and key hash.
#include "engine/storage/path_cache.h"

#include <cstdlib>

#include "engine/storage/format.h"
#include "engine/storage/os.h"

namespace tarn::vindex {
namespace {

constexpr uint32_t kSlotBits = 13;
constexpr uint32_t kSlots = 1u << kSlotBits;
constexpr uint32_t kTrees = fmt::kClassCount * 256;

struct Entry {
    uint64_t hash;
    uint32_t tree;
    IndexPath path;  // length 0: the slot is free
};

uint32_t slotOf(uint32_t tree, uint64_t hash) {
    return uint32_t(((hash ^ tree) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

}  // namespace

struct PathCache {
    uint32_t rotations[kTrees];
    Finger fingers[kTrees];
    Entry* entries;      // null until the table of paths is made
    void* entriesBlock;  // the allocation the table lies in
};

PathCache* PathCacheCreate() {
    return static_cast<PathCache*>(os::Sys().calloc(1, sizeof(PathCache)));
}

bool PathCacheAddTable(PathCache* cache) {
    if (cache->entries == nullptr)
        cache->entries = static_cast<Entry*>(os::AllocTable(kSlots * sizeof(Entry), &cache->entriesBlock));
    return cache->entries != nullptr;
}

bool PathCacheHasTable(const PathCache* cache) { return cache->entries != nullptr; }

void PathCacheFree(PathCache* cache) {
    if (cache == nullptr) return;
    std::free(cache->entriesBlock);
    std::free(cache);
}

IndexPath* PathCacheFind(PathCache* cache, uint32_t tree, uint64_t hash) {
    if (cache->entries == nullptr) return nullptr;
    Entry& e = cache->entries[slotOf(tree, hash)];
    return e.path.length != 0 && e.tree == tree && e.hash == hash ? &e.path : nullptr;
}

void PathCachePrefetch(const PathCache* cache, uint32_t tree, uint64_t hash) {
    if (cache->entries != nullptr) __builtin_prefetch(&cache->entries[slotOf(tree, hash)]);
}
void PathCacheStore(PathCache* cache, uint32_t tree, uint64_t hash, const IndexPath& path) {
    if (cache->entries == nullptr || path.length == 0 || path.length > kCachedDepth) return;
    Entry& e = cache->entries[slotOf(tree, hash)];
    e.hash = hash;
    e.tree = tree;
    e.path.length = path.length;
    e.path.stamp = path.stamp;
    for (uint32_t i = 0; i < path.length; ++i) {
        e.path.nodes[i] = path.nodes[i];
        e.path.sides[i] = path.sides[i];
    }
}

uint32_t PathCacheRotations(const PathCache* cache, uint32_t tree) {
    return tree < kTrees ? cache->rotations[tree] : 0;
}

void PathCacheRotated(PathCache* cache, uint32_t tree) {
    if (tree < kTrees) ++cache->rotations[tree];
}

Finger& PathCacheFinger(PathCache* cache, uint32_t tree) {
    return cache->fingers[tree < kTrees ? tree : 0];  // trees are numbered below kTrees
}

}  // namespace tarn::vindex
