// Result sets: a slot array in the order values were added, beside an
// open-addressing hash of live value -> slot that keeps membership, add and
// remove constant-time. The hash is built when membership is first asked:
// a search that fills a fresh set with values known to be distinct (the
// fields of one index group) appends to the slots alone.
//
// Invariants:
//  1. A value is live in at most one slot. When the table exists it holds
//     exactly the live values, each with its current slot.
//  2. Slots from `used` on are empty; live + removed slots = used.
//  3. After a merge the live slots are 0..live-1; a removed slot can remain
//     only as the last one in use.
#include "engine/resultset.h"

#include <cstdlib>

#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/storage/format.h"
#include "engine/storage/os.h"
#include "engine/storage/store.h"

using tarn::SlotState;

struct lumresset {
    uint32_t* values = nullptr;
    uint8_t* states = nullptr;
    uint32_t live = 0;
    uint32_t used = 0;
    uint32_t capacity = 0;
    uint32_t kind = 0;
    lumdb* db = nullptr;
    // Slot numbers, kNoSlot where empty; null until an add that must look
    // for its value, or a merge (membership is found by a scan before).
    uint32_t* table = nullptr;
    uint32_t tableBits = 0;     // the table has 1 << tableBits entries
};

namespace tarn {
namespace {

constexpr uint32_t kNoSlot = UINT32_MAX;
constexpr uint32_t kMinTableBits = 3;

// Fibonacci hashing: the top bits of the product spread offsets that differ
// only in their low bits.
inline uint32_t home(const lumresset* set, uint32_t value) {
    return uint32_t((uint64_t(value) * 2654435769u & 0xFFFFFFFFu) >> (32 - set->tableBits));
}
inline uint32_t tableMask(const lumresset* set) { return (1u << set->tableBits) - 1; }

// Position in the table of `value`, or of the empty entry that ends its probe.
uint32_t probe(const lumresset* set, uint32_t value) {
    uint32_t mask = tableMask(set);
    uint32_t i = home(set, value);
    while (set->table[i] != kNoSlot && set->values[set->table[i]] != value) i = (i + 1) & mask;
    return i;
}

void tableInsert(lumresset* set, uint32_t slot) {
    set->table[probe(set, set->values[slot])] = slot;
}

// Backward-shift deletion keeps every probe chain unbroken without tombstones.
void tableErase(lumresset* set, uint32_t value) {
    uint32_t mask = tableMask(set);
    uint32_t hole = probe(set, value);
    if (set->table[hole] == kNoSlot) return;
    for (uint32_t j = (hole + 1) & mask; set->table[j] != kNoSlot; j = (j + 1) & mask) {
        uint32_t h = home(set, set->values[set->table[j]]);
        // Entry j may fill the hole unless its home lies cyclically in (hole, j].
        bool homeBetween = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (!homeBetween) {
            set->table[hole] = set->table[j];
            hole = j;
        }
    }
    set->table[hole] = kNoSlot;
}

// Keeps the table at most half full for `entries` live values.
bool tableReserve(lumresset* set, uint64_t entries) {
    if (set->table && entries * 2 <= (uint64_t(1) << set->tableBits)) return true;
    uint32_t bits = kMinTableBits;
    while ((uint64_t(1) << bits) < entries * 2) ++bits;
    if (bits > 31) return false;
    auto* fresh = static_cast<uint32_t*>(os::Sys().malloc(sizeof(uint32_t) << bits));
    if (!fresh) return false;
    for (uint64_t i = 0; i < (uint64_t(1) << bits); ++i) fresh[i] = kNoSlot;
    std::free(set->table);
    set->table = fresh;
    set->tableBits = bits;
    for (uint32_t k = 0; k < set->used; ++k)
        if (set->states[k] == kSlotLive) tableInsert(set, k);
    return true;
}

bool slotsResize(lumresset* set, uint32_t capacity) {
    auto* values = static_cast<uint32_t*>(os::Sys().realloc(set->values, sizeof(uint32_t) * capacity));
    if (!values) return false;
    set->values = values;
    auto* states = static_cast<uint8_t*>(os::Sys().realloc(set->states, capacity));
    if (!states) return false;  // values grew; the set is still as it was
    for (uint32_t k = set->capacity; k < capacity; ++k) states[k] = kSlotEmpty;
    set->states = states;
    set->capacity = capacity;
    return true;
}

// Builds the table when it is missing; false when it cannot be had.
bool hashed(lumresset* set) { return set->table != nullptr || tableReserve(set, set->live); }

// Room for n more values, slots growing by doubling. Nothing changes on failure.
uint32_t reserve(lumresset* set, uint32_t n) {
    uint64_t needed = uint64_t(set->used) + n;
    if (set->table && !tableReserve(set, uint64_t(set->live) + n)) return rc::kRealloc;
    if (needed <= set->capacity) return 0;
    uint64_t capacity = set->capacity ? set->capacity : 1;
    while (capacity < needed) capacity *= 2;
    if (capacity > UINT32_MAX) capacity = UINT32_MAX;
    if (needed > capacity || !slotsResize(set, uint32_t(capacity))) return rc::kRealloc;
    return 0;
}

// Appends a value known not to be live; room must have been reserved.
uint32_t append(lumresset* set, uint32_t value) {
    uint32_t slot = set->used++;
    set->values[slot] = value;
    set->states[slot] = kSlotLive;
    ++set->live;
    if (set->table) tableInsert(set, slot);
    return slot;
}

// Fills each removed slot with the last slot in use, so that removal moves at
// most one value per hole and the survivors keep their relative order except
// for the ones moved.
void compact(lumresset* set) {
    for (uint32_t k = 0; k + 1 < set->used; ++k) {
        while (k < set->used && set->states[k] == kSlotRemoved) {
            uint32_t last = set->used - 1;
            if (k != last) {
                set->values[k] = set->values[last];
                set->states[k] = set->states[last];
                if (set->table && set->states[k] == kSlotLive) set->table[probe(set, set->values[k])] = k;
            }
            set->states[last] = kSlotEmpty;
            --set->used;
        }
    }
}

// Number of live values of `other` that `target` does not hold.
uint32_t countMissing(const lumresset* target, const lumresset* other) {
    uint32_t n = 0;
    for (uint32_t k = 0; k < other->used; ++k)
        if (other->states[k] == kSlotLive && !ResultSetHolds(target, other->values[k], nullptr)) ++n;
    return n;
}

uint32_t mergeUnion(lumresset* target, const lumresset* other) {
    uint32_t r = reserve(target, countMissing(target, other));
    for (uint32_t k = 0; r == 0 && k < other->used; ++k) {
        uint32_t v = other->values[k];
        if (other->states[k] == kSlotLive && !ResultSetHolds(target, v, nullptr))
            r = ResultSetAdd(target, v, nullptr);
    }
    return r;
}

void mergeIntersection(lumresset* target, const lumresset* other) {
    for (uint32_t k = 0; k < target->used; ++k)
        if (target->states[k] == kSlotLive && !ResultSetHolds(other, target->values[k], nullptr))
            ResultSetRemove(target, k);
}

void mergeDifference(lumresset* target, const lumresset* other) {
    uint32_t slot = 0;
    for (uint32_t k = 0; k < other->used; ++k)
        if (other->states[k] == kSlotLive && ResultSetHolds(target, other->values[k], &slot))
            ResultSetRemove(target, slot);
}

// Values in exactly one of the sets: shared ones leave target, the rest of
// other is appended in its slot order.
uint32_t mergeSymmetric(lumresset* target, const lumresset* other) {
    uint32_t r = reserve(target, countMissing(target, other));
    uint32_t slot = 0;
    for (uint32_t k = 0; r == 0 && k < other->used; ++k) {
        if (other->states[k] != kSlotLive) continue;
        if (ResultSetHolds(target, other->values[k], &slot))
            ResultSetRemove(target, slot);
        else
            r = ResultSetAdd(target, other->values[k], nullptr);
    }
    return r;
}

void freeSet(lumresset* set) {
    std::free(set->values);
    std::free(set->states);
    std::free(set->table);
    std::free(set);
}

}  // namespace

uint32_t ResultSetCreate(lumresset** out, lumdb* db, uint32_t capacity, uint32_t kind) {
    auto* set = static_cast<lumresset*>(os::Sys().calloc(1, sizeof(lumresset)));
    if (!set) return rc::kMalloc;
    set->kind = kind;
    set->db = db;
    if (capacity && !slotsResize(set, capacity)) {
        freeSet(set);
        return rc::kMalloc;
    }
    ++db->refCount;
    *out = set;
    return 0;
}

uint32_t ResultSetAdd(lumresset* set, uint32_t field, uint32_t* slot) {
    uint32_t value = field;
    if (set->kind == kResultRecords) {
        Store* s = set->db->store;
        if (!dataInRange(s, field + fmt::kFieldOwner, 4)) return rc::kIllegalFile;
        value = DataGetU32(s, field + fmt::kFieldOwner);
    }
    if (!hashed(set)) return rc::kRealloc;
    uint32_t found = 0;
    if (!ResultSetHolds(set, value, &found)) {
        uint32_t r = reserve(set, 1);
        if (r != 0) return r;
        found = append(set, value);
    }
    if (slot) *slot = found;
    return 0;
}

bool ResultSetFreshForFields(const lumresset* set) { return set->kind == kResultFields && set->used == 0; }

uint32_t ResultSetAddNew(lumresset* set, uint32_t field) {
    if (uint32_t r = reserve(set, 1)) return r;
    append(set, field);
    return 0;
}

void ResultSetDropRepeats(lumresset* set) {
    std::free(set->table);
    set->table = nullptr;
    // An empty table, filled as the values are kept.
    const uint32_t used = set->used;
    set->used = 0;
    const bool hashed = tableReserve(set, used);
    set->used = used;
    uint32_t kept = 0;
    for (uint32_t k = 0; k < set->used; ++k) {
        if (set->states[k] != kSlotLive) continue;
        const uint32_t v = set->values[k];
        bool seen = false;
        if (hashed) {
            seen = set->table[probe(set, v)] != kNoSlot;
        } else {
            for (uint32_t j = 0; j < kept && !seen; ++j) seen = set->values[j] == v;
        }
        if (seen) continue;
        set->values[kept] = v;
        set->states[kept] = kSlotLive;
        if (hashed) tableInsert(set, kept);
        ++kept;
    }
    for (uint32_t k = kept; k < set->used; ++k) set->states[k] = kSlotEmpty;
    set->used = set->live = kept;
}

bool ResultSetHolds(const lumresset* set, uint32_t value, uint32_t* slot) {
    uint32_t entry = kNoSlot;
    if (set->table != nullptr) {
        entry = set->table[probe(set, value)];
    } else {
        for (uint32_t k = 0; k < set->used && entry == kNoSlot; ++k)
            if (set->states[k] == kSlotLive && set->values[k] == value) entry = k;
    }
    if (entry == kNoSlot) return false;
    if (slot) *slot = entry;
    return true;
}

void ResultSetRemove(lumresset* set, uint32_t slot) {
    if (slot >= set->used || set->states[slot] != kSlotLive) return;
    if (set->table != nullptr) tableErase(set, set->values[slot]);
    set->states[slot] = kSlotRemoved;
    --set->live;
}

uint32_t ResultSetLiveCount(const lumresset* set) { return set->live; }

void ResultSetLiveValues(const lumresset* set, uint32_t* out) {
    for (uint32_t k = 0; k < set->used; ++k)
        if (set->states[k] == kSlotLive) *out++ = set->values[k];
}

lumdb* ResultSetDatabase(const lumresset* set) { return set->db; }

uint32_t ResultSetUsed(const lumresset* set) { return set->used; }

SlotState ResultSetSlot(const lumresset* set, uint32_t k, uint32_t* value) {
    if (k >= set->used) return kSlotEmpty;
    if (value) *value = set->values[k];
    return SlotState(set->states[k]);
}

}  // namespace tarn

using namespace tarn;

uint32_t LumResCreate(lumresset** out, lumdb* db, uint32_t kind) {
    if (!db) return rc::kBadDatabase;
    if (db->store->damaged) return rc::kIllegalFile;
    if (!out || kind > kResultRecords) return rc::kBadParameter;
    return ResultSetCreate(out, db, 0, kind);
}

uint32_t LumResAdd(lumresset* set, uint32_t field) {
    if (!set) return rc::kBadResultSet;
    Store* s = set->db->store;
    if (s->damaged) return rc::kIllegalFile;
    // A wrong offset is the caller's, not a sign of a damaged file: checked
    // here without marking the store, as a cursor's jump checks it.
    if (field < fmt::kFirstObject || uint64_t(field) + fmt::kPlainOverhead > StoreDataSize(s))
        return rc::kIllegalFile;
    return ResultSetAdd(set, field, nullptr);
}

uint32_t LumResClone(lumresset** out, lumresset* source, uint32_t kind) {
    if (!source) return rc::kBadResultSet;
    if (kind == 1) return rc::kNotImplemented;
    if (!out) return rc::kBadParameter;
    lumresset* copy = nullptr;
    uint32_t r = ResultSetCreate(&copy, source->db, source->live, source->kind);
    if (r != 0) return r;
    // The values are already owners for a records set; they are copied as
    // they stand rather than looked up again.
    for (uint32_t k = 0; k < source->used; ++k)
        if (source->states[k] == kSlotLive) append(copy, source->values[k]);
    *out = copy;
    return 0;
}

uint32_t LumResMerge(lumresset* target, lumresset* other, uint32_t op) {
    if (!target || !other) return rc::kBadResultSet;
    if (op > 3) return rc::kBadSetOperator;
    // Both are looked into value by value; other's slots stay as they are.
    if (!hashed(target) || !hashed(other)) return rc::kRealloc;
    uint32_t r = 0;
    switch (op) {
    case 0: r = mergeUnion(target, other); break;
    case 1: mergeIntersection(target, other); break;
    case 2: mergeDifference(target, other); break;
    default: r = mergeSymmetric(target, other); break;
    }
    compact(target);
    return r;
}

uint32_t LumResDestroy(lumresset* set) {
    if (!set) return rc::kBadResultSet;
    if (set->db && set->db->refCount > 0) --set->db->refCount;
    freeSet(set);
    return 0;
}
