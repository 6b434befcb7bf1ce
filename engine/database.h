// The database handle behind lumdb.
//
// Lifecycle: LumDbCreate -> open -> (LumDbCommit)* -> LumDbClose with
// refCount 0 -> closed. refCount counts cursors, queries, result sets and
// dictionaries; LumDbClose refuses (31) while it is not 0. A store found
// damaged stays open but its operations answer 29 until it is closed.
#ifndef TARN_DATABASE_H
#define TARN_DATABASE_H

#include <cstdint>

#include "engine/storage/store.h"
#include "engine/tarn20.h"

struct lumdb {
    tarn::Store* store = nullptr;
    LumDbParams params{};
    char* name = nullptr;
    uint32_t refCount = 0;
    uint32_t dictOpen = 0;
    // Advanced by every change that can move a field to another position or
    // offset (erase, modify that moves, insertion before a record's end);
    // cursors drop cached positions computed before it moved.
    uint64_t modCount = 0;
};

namespace tarn {

// 3 when the database was opened read-only (nothing may be written),
// 29 when its store is damaged, else 0. Mutating calls check it first.
inline uint32_t DbWritable(lumdb* db) {
    if (db->store->damaged) return 29;
    return db->store->readOnly ? 3u : 0u;
}

}  // namespace tarn

#endif
