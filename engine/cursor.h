// Cursor internals shared with result lists and pointer pairs.
#ifndef TARN_CURSOR_H
#define TARN_CURSOR_H

#include <cstdint>

#include "engine/tarn20.h"

namespace tarn {

constexpr uint32_t kUnset = 0xFFFFFFFFu;

// Puts the cursor on `field` of the record owned by `owner`, with the given
// index and count (kUnset when unknown). Keeps the cursor's caches coherent.
void CursorPlace(lumcursor* cur, uint32_t field, uint32_t owner, uint32_t index, uint32_t count);
// The same onto `start`, the one field of a new record, after the caller
// linked `linked` right after the current field (if any), its next word
// `linkedNext`: what CursorPlace would read back is known.
void CursorPlaceNewRecord(lumcursor* cur, uint32_t start, uint32_t linked, uint32_t linkedNext);
uint32_t CursorField(const lumcursor* cur);
uint32_t CursorOwner(const lumcursor* cur);
lumdb* CursorDatabase(const lumcursor* cur);

}  // namespace tarn

#endif
