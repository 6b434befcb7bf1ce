// The session's state, and insertion into a tree with it: the finger, a
// looked-up or remembered path, or a descent, whichever the memory allows
// (the invariants are listed in index_memory.h).
#include "engine/storage/index_memory.h"

#include <cstdlib>
#include <new>

#include "engine/storage/index_tree.h"
#include "engine/storage/os.h"
#include "engine/storage/value_index.h"

namespace tarn::vindex {
namespace {

void releaseState(IndexState* st) {
    PathCacheFree(st->paths);
    NodeMirrorFree(st->mirror);
    AnnouncementsFree(st->expected);
    st->~IndexState();
    std::free(st);
}

// The state with the parts this insertion calls for: the fingers at once,
// the node copies and the table of paths once the data area has grown to
// need them. A session that announces its keys gets no copies: its keys are
// looked up many at a time ahead of their insertions, and copies would only
// cost their upkeep, a look into a table of copies at every change to a
// node. Null: the insertion goes without memory.
IndexState* memoryFor(Store* s) {
    IndexState* st = IndexStateOf(s);
    if (st == nullptr || st->testHookNoMemory || (st->refused & IndexState::kPaths)) return nullptr;
    if (st->paths == nullptr && (st->paths = PathCacheCreate()) == nullptr) {
        st->refused |= IndexState::kPaths;
        return nullptr;
    }
    if (!st->largeAsked && StoreDataSize(s) >= kIndexMemoryFrom) {
        st->largeAsked = true;
        if (st->expected == nullptr && (st->mirror = NodeMirrorCreate()) == nullptr)
            st->refused |= IndexState::kMirror;
        if (!PathCacheAddTable(st->paths)) st->refused |= IndexState::kTable;
    }
    return st;
}

// Writes the direction bytes of the first `count` nodes of a path as a
// descent along it does (invariants 3 and 4).
void writeDirections(Store* s, const IndexPath& path, uint32_t count) {
    if (count == 0 || !writable(s)) return;
    if (uint8_t* data = DataPlainBase(s)) {
        for (uint32_t i = 0; i < count; ++i) data[path.nodes[i] + fmt::kNodeDirection] = directionByte(path.sides[i]);
        return;
    }
    for (uint32_t i = 0; i < count; ++i)
        *DataRawWrite(s, path.nodes[i] + fmt::kNodeDirection, 1) = directionByte(path.sides[i]);
}

// Whether the remembered path still leads from the head to the key, so that
// a descent would take it again: its tree has not rotated since, or every
// link on it is unchanged. The last node must hold the very key, not one
// of the same hash.
bool pathHolds(Store* s, PathCache* paths, uint32_t tree, IndexPath& path, uint32_t head,
               const KeyDesc& kd) {
    const uint32_t rotations = PathCacheRotations(paths, tree);
    if (path.stamp != rotations) {
        // The path's nodes were found sound when it was taken (invariant 3).
        if (!nodeOk(s, head) || soundChild(s, head, +1) != path.nodes[0]) return false;
        for (uint32_t i = 0; i + 1 < path.length; ++i)
            if (soundChild(s, path.nodes[i], path.sides[i]) != path.nodes[i + 1]) return false;
        path.stamp = rotations;
    }
    const uint32_t key = path.nodes[path.length - 1];
    return nodeOk(s, key) && keyVersus(s, key, kd) == 0;
}

// How many nodes of `path`, from the root down, a descent for its key would
// still pass: all when its tree has not rotated since the path was known to
// hold, else as far as each node still links to the next.
uint32_t heldLength(Store* s, PathCache* paths, uint32_t tree, IndexPath& path, uint32_t head) {
    const uint32_t rotations = PathCacheRotations(paths, tree);
    if (path.stamp == rotations) return path.length;
    // The head is sound, as are the path's nodes (invariant 3).
    if (soundChild(s, head, +1) != path.nodes[0]) return 0;
    for (uint32_t i = 0; i + 1 < path.length; ++i)
        if (soundChild(s, path.nodes[i], path.sides[i]) != path.nodes[i + 1]) return i + 1;
    path.stamp = rotations;
    return path.length;
}

// The finger now leads along `path` to the key of `kd`.
void setFinger(Finger& f, const IndexPath& path, const KeyDesc& kd) {
    f.path = path;
    f.start = kd.start;
    f.whole = kd.whole;
    f.num = kd.num;
}

// The insertion of a key found at the end of a path that holds: the
// direction bytes a descent along it writes, and the tree's finger.
void takePath(Store* s, Finger& finger, const IndexPath& path, const KeyDesc& kd, uint32_t* node) {
    writeDirections(s, path, path.length - 1);
    *node = path.nodes[path.length - 1];
    setFinger(finger, path, kd);
}

// One insertion's view of its tree in the memory.
struct TreeMemory {
    PathCache* paths;
    uint32_t tree;
    Finger& finger;
    uint32_t head;
};

// A path that the announcement's look-up found, or else the table holds,
// taken when it still leads to the key: true, the insertion done. Otherwise
// *from may tell where the descent starts (as far as the looked-up path
// still holds), and *hash is the key's hash if it was needed.
bool takeKnownPath(Store* s, TreeMemory& m, Expected* announced, const KeyDesc& kd, Start* from,
                   uint64_t* hash, uint32_t* node) {
    const bool table = PathCacheHasTable(m.paths);
    if (announced != nullptr && announced->path.length != 0) {
        // (The announcement stays readable until the next one.)
        IndexPath& looked = announced->path;
        const uint32_t held = heldLength(s, m.paths, m.tree, looked, m.head);
        if (announced->found && held == looked.length) {
            if (table) PathCacheStore(m.paths, m.tree, keyHash(kd), looked);
            takePath(s, m.finger, looked, kd, node);
            return true;
        }
        if (held != 0) {
            writeDirections(s, looked, held - 1);
            *from = {&looked, held - 1};
        }
        return false;
    }
    if (!table) return false;
    *hash = keyHash(kd);  // only for a table of paths to look in or to fill
    IndexPath* known = PathCacheFind(m.paths, m.tree, *hash);
    if (known == nullptr || !pathHolds(s, m.paths, m.tree, *known, m.head, kd)) return false;
    takePath(s, m.finger, *known, kd, node);
    return true;
}

// What a descent leaves in the memory: the tree's rotations, the path to a
// key it found (in the table), and the tree's finger.
void rememberDescent(Store* s, TreeMemory& m, const KeyDesc& kd, Descent& d, const Start& from,
                     uint64_t hash, uint32_t r) {
    if (d.rotated) PathCacheRotated(m.paths, m.tree);
    d.path.stamp = PathCacheRotations(m.paths, m.tree);
    const bool sound = r == 0 && !s->damaged;
    if (sound && d.found && PathCacheHasTable(m.paths))
        PathCacheStore(m.paths, m.tree, from.finger ? keyHash(kd) : hash, d.path);
    if (sound && d.complete)
        setFinger(m.finger, d.path, kd);
    else
        m.finger.path.length = 0;
}

}  // namespace

IndexState* MakeIndexState(Store* s) {
    if (s->releaseIndex != nullptr) return nullptr;  // refused at the first ask
    s->releaseIndex = releaseState;
    void* mem = os::Sys().calloc(1, sizeof(IndexState));
    if (mem == nullptr) return nullptr;
    s->index = new (mem) IndexState();
    return s->index;
}

uint32_t TreeInsertRemembered(Store* s, uint32_t* head, const KeyDesc& kd, uint32_t* node) {
    IndexState* st = memoryFor(s);
    NodeMirror* mirror = st != nullptr ? st->mirror : nullptr;
    PathCache* paths = st != nullptr && !s->damaged ? st->paths : nullptr;
    const uint32_t tree = treeOf(kd);
    Descent d;
    if (paths == nullptr || *head == 0 || !nodeOk(s, *head)) {
        if (paths != nullptr) PathCacheFinger(paths, tree).path.length = 0;
        return TreeInsert(s, mirror, head, kd, node, &d);
    }
    TreeMemory m{paths, tree, PathCacheFinger(paths, tree), *head};
    Expected* announced = TakeAnnounced(s, *st, tree, kd);
    bool found = false;
    const int level = fingerLevel(s, m.finger, PathCacheRotations(paths, tree), *head, kd, &found);
    if (announced != nullptr && announced->path.length != 0) ScoreAnnouncement(*st, tree, level >= 0);
    if (found) {  // at the foot or above it, whose direction bytes are the finger's already
        *node = m.finger.path.nodes[level];
        return 0;
    }
    Start from;
    uint64_t hash = 0;
    if (level >= 0)
        from = {&m.finger.path, uint32_t(level)};
    else if (takeKnownPath(s, m, announced, kd, &from, &hash, node))
        return 0;
    const uint32_t r = TreeInsert(s, mirror, head, kd, node, &d, from);
    rememberDescent(s, m, kd, d, from, hash, r);
    return r;
}

}  // namespace tarn::vindex

namespace tarn {

bool IndexTestHookNoMemory(Store* s) {
    IndexState* st = vindex::IndexStateOf(s);
    if (st != nullptr) st->testHookNoMemory = true;
    return st != nullptr;
}

bool IndexTestHookMemoryRefused(const Store* s) {
    return s->index != nullptr ? s->index->refused != 0 : s->releaseIndex != nullptr;
}

}  // namespace tarn
