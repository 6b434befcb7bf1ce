// Result sets: distinct data offsets of fields or record owners, in slot order.
#ifndef TARN_RESULTSET_H
#define TARN_RESULTSET_H

#include <cstdint>

#include "engine/tarn20.h"

namespace tarn {

enum ResultKind : uint32_t { kResultFields = 0, kResultRecords = 1 };

uint32_t ResultSetCreate(lumresset** out, lumdb* db, uint32_t capacity, uint32_t kind);
// Adds the field's offset (kind fields) or its owner (kind records) unless
// already live; reports the slot. 0x1001 when the slots cannot grow.
uint32_t ResultSetAdd(lumresset* set, uint32_t field, uint32_t* slot);
// True for a set of kind fields that holds nothing yet.
bool ResultSetFreshForFields(const lumresset* set);
// Appends the offset of a field (kind fields only) that the caller knows is
// not in the set, without looking: for a search filling a fresh set from one
// index group, where each field occurs once. 0x1001 when the slots cannot grow.
uint32_t ResultSetAddNew(lumresset* set, uint32_t field);
// Keeps only the first slot of every value, the others in their order: the
// set as ResultSetAdd would have left it. For a fill by ResultSetAddNew that
// ended early, since a damaged index may lead back to a field.
void ResultSetDropRepeats(lumresset* set);
bool ResultSetHolds(const lumresset* set, uint32_t value, uint32_t* slot);
void ResultSetRemove(lumresset* set, uint32_t slot);

// Read access for result lists: live values are slots 0..live-1 after any
// merge; before one, live slots in slot order.
uint32_t ResultSetLiveCount(const lumresset* set);
// Copies the live values in slot order into out (live count entries).
void ResultSetLiveValues(const lumresset* set, uint32_t* out);
lumdb* ResultSetDatabase(const lumresset* set);

// Slot-level view, for checking the order rules of merges and compaction.
enum SlotState : uint8_t { kSlotEmpty = 0, kSlotLive = 1, kSlotRemoved = 2 };
// Slots in use (live or removed); slots from here on are empty.
uint32_t ResultSetUsed(const lumresset* set);
// State of slot k; its value goes to *value when not null. Empty beyond used.
SlotState ResultSetSlot(const lumresset* set, uint32_t k, uint32_t* value);

}  // namespace tarn

#endif
