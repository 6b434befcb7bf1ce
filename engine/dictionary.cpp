// Dictionary of record types.
//
// The dictionary keeps nothing of its own on disk: every type is an ordinary
// record of the database, written through a private cursor and found again
// through queries on the value index:
//
//   POSITION  TYPE ID   VALUE
//   0         0x10003   type number, 16-bit (the owner)
//   1         0x40005   full type id, 32-bit
//   2         0x50009   name in UTF-8 (named types only)
//
// The handle holds only the next number to hand out. It is derived from the
// type records when the dictionary opens, so it survives closing the database
// without being stored.
#include <cstdlib>

#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/storage/os.h"
#include "engine/tarn20.h"

struct lumdct {
    uint32_t next;  // type number handed out next
    lumdb* db;
    lumcursor* cur;  // position changes with every operation
};

namespace {

using namespace tarn::rc;

constexpr LumTypeId kNumberField = 0x10003;
constexpr LumTypeId kIdField = 0x40005;
constexpr LumTypeId kNameField = 0x50009;
constexpr uint32_t kIdPosition = 1;
constexpr uint32_t kNamePosition = 2;
constexpr uint32_t kFirstNumber = 64;
constexpr uint32_t kFullNumber = 65535;  // never handed out: the dictionary is full

constexpr uint32_t kQuerySearch = 2;
constexpr uint32_t kResultRecords = 1;
enum class Mode : uint32_t { kEqual = 1, kAll = 2 };

// Runs a search for records and hands back the answer as an unsorted list;
// the query and its result set are gone when this returns.
uint32_t SearchRecords(lumdb* db, Mode mode, LumTypeId type, const void* value,
                       uint32_t encoding, lumreslist** out) {
    lumquery* q = nullptr;
    uint32_t rc = LumQueryCreate(&q, db);
    if (rc != kOk) return rc;
    LumQueryParams* p = nullptr;
    lumresset* set = nullptr;
    rc = LumQueryGetParams(q, &p);
    if (rc == kOk) {
        p->kind = kQuerySearch;
        p->op = static_cast<uint32_t>(mode);
        p->left = kResultRecords;
        p->right = 0;
        p->value1 = value;
        p->value2 = nullptr;
        p->encoding1 = encoding;
        p->encoding2 = 0;
        p->typeId = type;
        rc = LumQueryExecute(q, &set);
    }
    LumQueryDestroy(q, 0);
    if (rc != kOk) return rc;
    rc = LumResListCreate(out, set, 0, nullptr);
    LumResDestroy(set);
    return rc;
}

// Searches for records and reports how many were found; the list stays
// with the caller only on success.
uint32_t SearchCounted(lumdb* db, Mode mode, LumTypeId type, const void* value,
                       uint32_t encoding, lumreslist** out, uint32_t* count) {
    lumreslist* list = nullptr;
    uint32_t rc = SearchRecords(db, mode, type, value, encoding, &list);
    if (rc != kOk) return rc;
    rc = LumResListGetSize(list, count);
    if (rc != kOk) {
        LumResListDestroy(list);
        return rc;
    }
    *out = list;
    return kOk;
}

// Places the dictionary's cursor on the only record whose field of `type`
// equals `value`: `none` when no record has one, 15 when several do.
uint32_t FindOne(lumdct* d, LumTypeId type, const void* value, uint32_t encoding,
                 uint32_t none) {
    lumreslist* list = nullptr;
    uint32_t n = 0;
    uint32_t rc = SearchCounted(d->db, Mode::kEqual, type, value, encoding, &list, &n);
    if (rc != kOk) return rc;
    if (n == 0)
        rc = none;
    else if (n > 1)
        rc = kDictInconsistent;
    else
        rc = LumResListGetItem(list, d->cur, 0);
    LumResListDestroy(list);
    return rc;
}

// Reads the type id kept at position 1 of the cursor's record. A record
// without it there is not a type record the dictionary wrote: 15.
uint32_t ReadTypeId(lumcursor* cur, LumTypeId* out) {
    uint32_t rc = LumCursorGotoField(cur, kIdPosition);
    if (rc == kBadFieldIndex) return kDictInconsistent;
    if (rc != kOk) return rc;
    LumTypeId fieldType = 0;
    uint32_t value = 0;
    uint32_t size = 0;
    rc = LumCursorFetchField(cur, &fieldType, &value, sizeof value, nullptr, &size, nullptr,
                             nullptr);
    if (rc == kBufferTooSmall || (rc == kOk && fieldType != kIdField)) return kDictInconsistent;
    if (rc != kOk) return rc;
    *out = value;
    return kOk;
}

// Type number held by the owner of the cursor's record, or false when the
// owner is not a number field.
bool ReadOwnerNumber(lumcursor* cur, uint32_t* out) {
    LumTypeId fieldType = 0;
    uint16_t value = 0;
    uint32_t size = 0;
    if (LumCursorFetchField(cur, &fieldType, &value, sizeof value, nullptr, &size, nullptr,
                            nullptr) != kOk)
        return false;
    if (fieldType != kNumberField) return false;
    *out = value;
    return true;
}

// The number to hand out next on a database whose type records the list
// holds: past every number in use, even after deletions left gaps below.
uint32_t FirstFreeNumber(lumcursor* cur, lumreslist* list, uint32_t count, uint32_t* out) {
    uint32_t next = count + kFirstNumber;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t rc = LumResListGetItem(list, cur, i);
        if (rc != kOk) return rc;
        uint32_t number = 0;
        if (ReadOwnerNumber(cur, &number) && number + 1 > next) next = number + 1;
    }
    *out = next;
    return kOk;
}

uint32_t CountTypes(lumdct* d) {
    lumreslist* list = nullptr;
    uint32_t n = 0;
    uint32_t rc = SearchCounted(d->db, Mode::kAll, kNumberField, nullptr, 0, &list, &n);
    if (rc != kOk) return rc;
    rc = FirstFreeNumber(d->cur, list, n, &d->next);
    LumResListDestroy(list);
    return rc;
}

uint32_t AppendTypeRecord(lumcursor* cur, uint16_t number, LumTypeId id, const void* name,
                          uint32_t encoding) {
    uint32_t rc = LumCursorNewRecord(cur);
    if (rc == kOk) rc = LumCursorAppendField(cur, kNumberField, &number, 0, nullptr);
    if (rc == kOk) rc = LumCursorAppendField(cur, kIdField, &id, 0, nullptr);
    if (rc == kOk && name != nullptr) {
        const uint32_t options[1] = {encoding};
        rc = LumCursorAppendField(cur, kNameField, name, 0, options);
    }
    return rc;
}

// Places the cursor on the record of type `id`: 14 unknown, 15 ambiguous.
uint32_t FindType(lumdct* d, LumTypeId id) {
    return FindOne(d, kIdField, &id, 0, kTypeNotFound);
}

// Fetches the name of the type the cursor stands on into the caller's buffer.
uint32_t FetchName(lumcursor* cur, void* buffer, uint32_t size, uint32_t encoding) {
    uint32_t rc = LumCursorGotoField(cur, kNamePosition);
    if (rc != kOk) return rc;
    // The type is checked first so that no other field is copied out.
    LumTypeId fieldType = 0;
    rc = LumCursorFetchField(cur, &fieldType, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    if (rc != kOk) return rc;
    if (fieldType != kNameField) return kBadFieldIndex;
    uint32_t needed = 0;
    return LumCursorFetchField(cur, nullptr, buffer, size, &encoding, &needed, nullptr, nullptr);
}

}  // namespace

uint32_t LumDctCreate(lumdct** out, lumdb* db) {
    if (db == nullptr) return kBadDatabase;
    if (db->dictOpen != 0) return kBadDictionary;
    if (out == nullptr) return kBadParameter;
    auto* d = static_cast<lumdct*>(tarn::os::Sys().malloc(sizeof(lumdct)));
    if (d == nullptr) return kMalloc;
    d->db = db;
    d->next = kFirstNumber;
    d->cur = nullptr;
    uint32_t rc = LumCursorCreate(&d->cur, db);
    if (rc == kOk) rc = CountTypes(d);
    if (rc != kOk) {
        if (d->cur != nullptr) LumCursorDestroy(d->cur);
        std::free(d);
        return rc;
    }
    db->refCount += 1;
    db->dictOpen = 1;
    *out = d;
    return kOk;
}

uint32_t LumDctDestroy(lumdct* dct) {
    if (dct == nullptr) return kBadDictionary;
    LumCursorDestroy(dct->cur);
    dct->db->dictOpen = 0;
    dct->db->refCount -= 1;
    std::free(dct);
    return kOk;
}

uint32_t LumDctNewType(lumdct* dct, uint8_t base, uint8_t indexFlag, LumTypeId* out,
                       const void* name, uint32_t encoding) {
    if (dct == nullptr) return kBadDictionary;
    uint32_t rc = tarn::DbWritable(dct->db);
    if (rc != kOk) return rc;
    if (dct->next >= kFullNumber) return kTooManyTypes;
    if (name != nullptr) {
        LumTypeId existing = 0;
        rc = LumDctLookupName(dct, name, &existing, encoding);
        if (rc == kOk) return kNameDefined;
        if (rc != kNameNotFound) return rc;
    }
    // The number stays used even when writing the record fails below.
    const uint32_t number = dct->next++;
    const LumTypeId id = base | uint32_t(indexFlag) << 8 | number << 16;
    rc = AppendTypeRecord(dct->cur, uint16_t(number), id, name, encoding);
    if (rc != kOk) return rc;
    if (out != nullptr) *out = id;
    return kOk;
}

uint32_t LumDctGetTypeAttributes(lumdct* dct, LumTypeId id, uint32_t* base, uint32_t* indexFlag,
                                 uint32_t* number, void* buffer, uint32_t size,
                                 uint32_t encoding) {
    if (dct == nullptr) return kBadDictionary;
    uint32_t rc = FindType(dct, id);
    if (rc != kOk) return rc;
    if (base != nullptr) *base = id & 0xFF;
    if (indexFlag != nullptr) *indexFlag = (id >> 8) & 0xFF;
    if (number != nullptr) *number = id >> 16;
    if (buffer == nullptr) return kOk;
    return FetchName(dct->cur, buffer, size, encoding);
}

uint32_t LumDctDeleteType(lumdct* dct, LumTypeId id) {
    if (dct == nullptr) return kBadDictionary;
    uint32_t rc = tarn::DbWritable(dct->db);
    if (rc != kOk) return rc;
    rc = FindType(dct, id);
    if (rc != kOk) return rc;
    return LumCursorEraseRecord(dct->cur);
}

uint32_t LumDctListTypes(lumdct* dct, LumTypeId* array, uint32_t capacity, uint32_t* count) {
    if (dct == nullptr) return kBadDictionary;
    lumreslist* list = nullptr;
    uint32_t n = 0;
    uint32_t rc = SearchCounted(dct->db, Mode::kAll, kIdField, nullptr, 0, &list, &n);
    if (rc != kOk) return rc;
    // The value index hands records out by ascending key: ascending type ids.
    for (uint32_t i = 0; array != nullptr && i < n && i < capacity && rc == kOk; ++i) {
        rc = LumResListGetItem(list, dct->cur, i);
        if (rc == kOk) rc = ReadTypeId(dct->cur, &array[i]);
    }
    LumResListDestroy(list);
    if (rc == kOk && count != nullptr) *count = n;
    return rc;
}

uint32_t LumDctLookupName(lumdct* dct, const void* name, LumTypeId* out, uint32_t encoding) {
    if (dct == nullptr) return kBadDictionary;
    if (name == nullptr) return kBadParameter;
    uint32_t rc = FindOne(dct, kNameField, name, encoding, kNameNotFound);
    if (rc != kOk) return rc;
    LumTypeId id = 0;
    rc = ReadTypeId(dct->cur, &id);
    if (rc == kOk && out != nullptr) *out = id;
    return rc;
}
