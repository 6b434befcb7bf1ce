// Value index: groups. The IndexGroups of one key form a chain, one group
// per field id; each chains its fields through their index links, newest
// first, and counts them. For one-byte classes the root entry holds the
// chain of the bucket's one value; for the others a tree node holds it.
// Internal to the index.
#ifndef TARN_STORAGE_INDEX_GROUPS_H
#define TARN_STORAGE_INDEX_GROUPS_H

#include <cstdint>

#include "engine/storage/store.h"

struct lumresset;

namespace tarn::vindex {

// A chain of one group {fieldId, field} in *out; the field's index link is
// cleared. Returns 0 or the allocation failure (nothing made).
uint32_t GroupNew(Store* s, uint16_t fieldId, uint32_t field, uint32_t next, uint32_t* out);
// Enters `field` into the group of its field id in the chain from `first`;
// a new group goes second in the chain, as the first group's offset is held
// by the node or root entry. 0, the allocation failure, or 29.
uint32_t GroupAdd(Store* s, uint16_t fieldId, uint32_t field, uint32_t first);
// Takes `field` out of its group; a field not found there (never entered)
// is left alone. 0 or 29.
uint32_t GroupRemove(Store* s, uint16_t fieldId, uint32_t field, uint32_t first);
// Hands every field of the group of fieldId to ResultSetAdd, newest first:
// 0, the first ResultSetAdd failure, or 29.
uint32_t GroupReport(Store* s, lumresset* set, uint16_t fieldId, uint32_t first);
// GroupReport into a set that is fresh for fields, which takes the fields
// without looking for them first.
uint32_t GroupReportFresh(Store* s, lumresset* set, uint16_t fieldId, uint32_t first);

}  // namespace tarn::vindex

#endif
