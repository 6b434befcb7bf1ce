// Value index: per class and bucket byte, an AVL tree of keys (or, for
// one-byte classes, the groups directly), each key with one IndexGroup per
// field id. Layouts are in format.h.
#ifndef TARN_STORAGE_VALUE_INDEX_H
#define TARN_STORAGE_VALUE_INDEX_H

#include <cstdint>

#include "engine/storage/store.h"

struct lumresset;

namespace tarn {

enum IndexOp : uint32_t { kIndexRange = 0, kIndexEqual = 1, kIndexAll = 2, kIndexContains = 3 };

// Enters `field` under its class, value and field id. Returns 0, the
// allocation failure when a node or group could not be created (the index
// stays consistent; a new key may be left without groups, the field not
// entered), 4 for a null value, or 29 for a damaged index. Classes 0, 7 and
// 10 are not indexed (returns 0). `length`: a string's bytes before its
// terminator when the caller knows them, which spares a look along the key;
// kLengthUnknown otherwise. The index's memory of the session (node copies,
// paths, announcements) is optional: what of it cannot be had is done
// without, at no cost to what is stored.
constexpr uint32_t kLengthUnknown = 0xFFFFFFFFu;
uint32_t IndexInsert(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field,
                     uint32_t length = kLengthUnknown);
// Announces a key about to be inserted (a value of class `base`; `length`
// as for IndexInsert). A descent into a large tree waits for each node in
// turn; the first insertion after announcements looks up where all the keys
// announced by then go, their descents taking turns so that their waits
// overlap, and each insertion of such a key takes up its descent's path
// where the path still holds. Nothing is written. Keys of one-byte classes
// and longer keys are ignored; of more than kExpectedKeys announcements not
// yet inserted the oldest give way, as does one whose key never comes. A
// tree whose keys come in order, so that its finger places them anyway, is
// looked up in only now and then.
constexpr uint32_t kExpectedKeys = 512;
void IndexExpect(Store* s, uint8_t base, const void* value, uint32_t length = kLengthUnknown);
// Takes `field` out again; a field not found in its group is ignored.
// Returns 0, 4 for a null value, or 29 for a damaged index.
uint32_t IndexRemove(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field);
// Hands every field found to ResultSetAdd in this order: buckets
// ascending, keys ascending, the group of fieldId only, newest first.
// Bounds may be null for range and all (open bounds of the class); equal and
// contains need `low` (4 otherwise). Contains finds nothing in numeric
// classes; unknown operations find nothing.
// Returns 0, the first ResultSetAdd failure, or 29 for a damaged index.
uint32_t IndexSearch(Store* s, lumresset* set, uint8_t base, uint16_t fieldId, const void* low,
                     const void* high, uint32_t op);

// Test hook: the index keeps no memory of this session's insertions, so that
// every one descends from the root, the reference that tests compare the
// memory against. To be called before the first insertion; false when the
// index's state cannot be made.
bool IndexTestHookNoMemory(Store* s);
// Test hook: some of the index's memory of this session could not be had
// and was done without, so that a failed allocation was rightly not reported.
bool IndexTestHookMemoryRefused(const Store* s);

}  // namespace tarn

#endif
