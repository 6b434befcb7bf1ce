// Database handles: open, commit, close and describe. The states and their
// transitions are written down in engine/database.h.
#include "engine/database.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/result_codes.h"
#include "engine/storage/os.h"

namespace {

constexpr uint32_t kReadOnlyFlags = 17;  // commit is skipped only for exactly this value

char* copyName(const char* name) {
    if (name == nullptr) name = "";  // the memory driver takes no name
    const size_t size = std::strlen(name) + 1;
    auto* copy = static_cast<char*>(tarn::os::Sys().malloc(size));
    if (copy != nullptr) std::memcpy(copy, name, size);
    return copy;
}

// Allocation failed after the store was opened: close it again so the file
// is not left locked, keeping errno for the message of 0x1000.
uint32_t abandon(tarn::Store* store, lumdb* db) {
    tarn::os::ErrnoGuard keep;
    tarn::StoreClose(store);
    if (db != nullptr) {
        db->~lumdb();
        std::free(db);
    }
    return tarn::rc::kMalloc;
}

}  // namespace

uint32_t LumDbCreate(lumdb** out, uint32_t, const char* name, LumDbParams* params) {
    if (out == nullptr) return tarn::rc::kBadDatabase;
    if (params == nullptr) return tarn::rc::kBadParameter;
    tarn::Store* store = nullptr;
    if (uint32_t r = tarn::StoreOpen(&store, params, name)) return r;
    void* mem = tarn::os::Sys().malloc(sizeof(lumdb));
    if (mem == nullptr) return abandon(store, nullptr);
    auto* db = new (mem) lumdb();
    db->name = copyName(name);
    if (db->name == nullptr) return abandon(store, db);
    db->params = *params;
    db->store = store;
    *out = db;
    return tarn::rc::kOk;
}

uint32_t LumDbCommit(lumdb* db) {
    if (db == nullptr) return tarn::rc::kBadDatabase;
    if (db->params.flags == kReadOnlyFlags) return tarn::rc::kOk;
    return tarn::StoreCommit(db->store);
}

namespace {

void freeDb(lumdb* db) {
    std::free(db->name);
    db->~lumdb();
    std::free(db);
}

}  // namespace

uint32_t LumDbClose(lumdb* db) {
    if (db == nullptr) return tarn::rc::kBadDatabase;
    if (db->refCount != 0) return tarn::rc::kReferenced;
    if (db->params.flags != kReadOnlyFlags) tarn::StoreCommit(db->store);
    tarn::StoreClose(db->store);
    freeDb(db);
    return tarn::rc::kOk;
}

uint32_t LumDbAbandon(lumdb* db) {
    if (db == nullptr) return tarn::rc::kBadDatabase;
    if (db->refCount != 0) return tarn::rc::kReferenced;
    tarn::StoreDiscard(db->store);
    freeDb(db);
    return tarn::rc::kOk;
}

uint32_t LumDbGetParams(lumdb* db, LumDbParams* out) {
    if (db == nullptr) return tarn::rc::kBadDatabase;
    if (out == nullptr) return tarn::rc::kBadParameter;
    *out = db->params;
    return tarn::rc::kOk;
}

uint32_t LumDbGetName(lumdb* db, char* buffer, uint32_t size) {
    if (db == nullptr) return tarn::rc::kBadDatabase;
    if (buffer == nullptr && size > 0) return tarn::rc::kBadParameter;
    const size_t length = std::strlen(db->name);
    const size_t n = size < length ? size : length;
    if (n > 0) std::memcpy(buffer, db->name, n);
    return tarn::rc::kOk;
}
