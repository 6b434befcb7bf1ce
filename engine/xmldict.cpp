// XML dictionary: element tag names to dictionary type numbers, with an
// in-memory hash table of the names this handle created, so that storing a
// document queries the database once per distinct tag, not once per element.
// Also the pointer pair that links a child element's record to its parent.
#include <cstdlib>
#include <cstring>

#include "engine/cursor.h"
#include "engine/database.h"
#include "engine/dictionary.h"
#include "engine/result_codes.h"
#include "engine/storage/bytes.h"
#include "engine/storage/format.h"
#include "engine/storage/objstore.h"
#include "engine/storage/os.h"
#include "engine/tarn20.h"

namespace {

// One cached name; the name's bytes follow the entry in the same block.
struct TagEntry {
    TagEntry* next;  // next entry of the bucket, newest first
    uint32_t hash;
    int32_t number;
    const char* name;
};

}  // namespace

struct lumxmldct {
    lumdct* dct;  // referred to, not owned
    uint32_t mask;  // bucket count - 1; the count is a power of two
    uint32_t count;
    TagEntry** buckets;
};

namespace {

using namespace tarn::rc;

constexpr uint32_t kInitialBuckets = 2;
constexpr uint32_t kUtf8 = 2;
constexpr uint8_t kTagBase = 0;  // tag types are never stored as fields
constexpr uint8_t kStartBase = 129;
constexpr uint32_t kPairFieldSize = tarn::fmt::kIndexedOverhead + 4;

// One field of a pointer pair into its allocated block, header and offset
// in one write: what FieldInit writes for it, linked as given.
void putPairField(tarn::Store* s, uint32_t off, uint16_t id, uint8_t base, uint32_t owner, uint32_t next,
                  uint32_t target) {
    uint8_t* b = tarn::DataWritePtr(s, off, kPairFieldSize);
    if (b == nullptr) return;  // the store is marked: the caller reports it
    static_assert(tarn::fmt::kFieldOwner == 4 && tarn::fmt::kFieldNext == 8 &&
                      tarn::fmt::kFieldIndexLink == 12 && tarn::fmt::kIndexedValue == 16,
                  "the header words as laid out in format.h");
    // The header as two words (see makeHeader in objstore.cpp), then the offset.
    tarn::putU64(b, uint64_t(tarn::fmt::kKindIndexed) | uint64_t(base) << 8 | uint64_t(id) << 16 |
                        uint64_t(owner) << 32);
    tarn::putU64(b + tarn::fmt::kFieldNext, uint64_t(next));  // the index link 0
    tarn::putU32(b + tarn::fmt::kIndexedValue, target);
}

// h = h * 9 + b over the name's bytes, each read as a signed 8-bit number.
uint32_t TagHash(const char* name) {
    uint32_t h = 0;
    for (auto* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p)
        h = h * 9u + uint32_t(*p) - (*p >= 0x80 ? 256u : 0u);
    return h;
}

// The 16-bit type number as a signed value, the form callers receive.
int32_t SignedNumber(LumTypeId id) { return int16_t(uint16_t(id >> 16)); }

const TagEntry* FindCached(const lumxmldct* x, const char* name, uint32_t hash) {
    for (const TagEntry* e = x->buckets[hash & x->mask]; e != nullptr; e = e->next)
        if (e->hash == hash && std::strcmp(e->name, name) == 0) return e;
    return nullptr;
}

TagEntry* NewEntry(const char* name, uint32_t hash) {
    const size_t len = std::strlen(name) + 1;
    auto* e = static_cast<TagEntry*>(tarn::os::Sys().malloc(sizeof(TagEntry) + len));
    if (e == nullptr) return nullptr;
    char* copy = reinterpret_cast<char*>(e + 1);
    std::memcpy(copy, name, len);
    e->next = nullptr;
    e->hash = hash;
    e->number = 0;
    e->name = copy;
    return e;
}

void Insert(lumxmldct* x, TagEntry* e) {
    TagEntry** head = &x->buckets[e->hash & x->mask];
    e->next = *head;
    *head = e;
    x->count += 1;
}

// Doubles the bucket count once chains average more than two entries. When
// the larger table cannot be had, the old one stays: slower, still correct.
void GrowIfCrowded(lumxmldct* x) {
    if (x->count <= 2 * x->mask + 1) return;
    const uint32_t mask = 2 * x->mask + 1;
    auto* buckets = static_cast<TagEntry**>(tarn::os::Sys().calloc(size_t(mask) + 1, sizeof(TagEntry*)));
    if (buckets == nullptr) return;
    for (uint32_t i = 0; i <= x->mask; ++i) {
        TagEntry* e = x->buckets[i];
        while (e != nullptr) {
            TagEntry* next = e->next;
            e->next = buckets[e->hash & mask];
            buckets[e->hash & mask] = e;
            e = next;
        }
    }
    std::free(x->buckets);
    x->buckets = buckets;
    x->mask = mask;
}

// Creates the tag type and caches it. The entry is allocated first so that
// running out of memory leaves no type behind.
uint32_t CreateTag(lumxmldct* x, const char* name, uint32_t hash, int32_t* number) {
    TagEntry* e = NewEntry(name, hash);
    if (e == nullptr) return kMalloc;
    LumTypeId id = 0;
    const uint32_t rc = LumDctNewType(x->dct, kTagBase, 0, &id, name, kUtf8);
    if (rc != kOk) {
        std::free(e);
        return rc;
    }
    e->number = SignedNumber(id);
    Insert(x, e);
    GrowIfCrowded(x);
    *number = e->number;
    return kOk;
}

}  // namespace

uint32_t LumXMLDctCreate(lumxmldct** out, lumdct* dct) {
    if (dct == nullptr) return kBadDictionary;
    if (out == nullptr) return kBadParameter;
    auto* x = static_cast<lumxmldct*>(tarn::os::Sys().malloc(sizeof(lumxmldct)));
    if (x == nullptr) return kMalloc;
    x->buckets = static_cast<TagEntry**>(tarn::os::Sys().calloc(kInitialBuckets, sizeof(TagEntry*)));
    if (x->buckets == nullptr) {
        std::free(x);
        return kMalloc;
    }
    x->dct = dct;
    x->mask = kInitialBuckets - 1;
    x->count = 0;
    *out = x;
    return kOk;
}

uint32_t LumXMLDctDestroy(lumxmldct* xd) {
    if (xd == nullptr) return kBadDictionary;
    for (uint32_t i = 0; i <= xd->mask; ++i) {
        TagEntry* e = xd->buckets[i];
        while (e != nullptr) {
            TagEntry* next = e->next;
            std::free(e);
            e = next;
        }
    }
    std::free(xd->buckets);
    std::free(xd);
    return kOk;
}

uint32_t LumXMLDctLookupTag(lumxmldct* xd, const char* name, int32_t create, int32_t* out) {
    if (xd == nullptr) return kBadDictionary;
    if (name == nullptr) return kBadParameter;
    const uint32_t hash = TagHash(name);
    int32_t number = 0;
    if (const TagEntry* e = FindCached(xd, name, hash)) {
        number = e->number;
    } else {
        // Names of earlier XML dictionaries are answered but not cached.
        LumTypeId id = 0;
        uint32_t rc = LumDctLookupName(xd->dct, name, &id, kUtf8);
        if (rc == kOk)
            number = SignedNumber(id);
        else if (rc != kNameNotFound)
            return rc;
        else if (create == 0)
            return kNameNotFound;
        else if ((rc = CreateTag(xd, name, hash, &number)) != kOk)
            return rc;
    }
    if (out != nullptr) *out = number;
    return kOk;
}

uint32_t LumXMLLookupUserType(lumxmldct* xd, int32_t number, void* buffer, uint32_t size) {
    if (xd == nullptr) return kBadDictionary;
    const LumTypeId id = uint32_t(number) << 16;
    const uint32_t rc =
        LumDctGetTypeAttributes(xd->dct, id, nullptr, nullptr, nullptr, buffer, size, kUtf8);
    if (rc == kTypeNotFound) return rc;
    // Other failures are reported as success; callers read the buffer as a
    // string, so it must hold one.
    if (rc != kOk && buffer != nullptr && size >= 1) static_cast<char*>(buffer)[0] = '\0';
    return kOk;
}

uint32_t LumXMLAppendPointerPair(lumcursor* cur, int32_t parentNumber, int32_t childNumber,
                                 uint8_t code, uint32_t* pointerOut, uint32_t* startOut) {
    if (cur == nullptr) return kBadCursor;
    lumdb* db = tarn::CursorDatabase(cur);
    uint32_t rc = tarn::DbWritable(db);
    if (rc != kOk) return rc;
    const uint32_t field = tarn::CursorField(cur);
    if (tarn::CursorOwner(cur) != 0 && field == 0) return kNoField;
    // Both fields hold a 4-byte offset; a code of another class would make
    // every later read or erase of the pointer field size it wrongly.
    if (tarn::fmt::baseTypeClass(code) != tarn::fmt::baseTypeClass(kStartBase))
        return kBadBaseType;
    tarn::Store* s = db->store;
    if (field != 0 && !tarn::dataInRange(s, field, tarn::fmt::kPlainOverhead)) return kIllegalFile;

    uint32_t p = 0, start = 0;
    rc = tarn::ObjAlloc(s, kPairFieldSize, &p);
    if (rc != kOk) return rc;
    rc = tarn::ObjAlloc(s, kPairFieldSize, &start);
    if (rc != kOk) {
        tarn::ObjFree(s, p, kPairFieldSize);
        return rc;
    }
    // Written without entering the value index: queries never find a pair.
    // The pointer goes after the current field (checked above), or starts a
    // record of its own.
    const uint32_t owner = field != 0 ? tarn::getU32(tarn::DataRaw(s, field + tarn::fmt::kFieldOwner)) : p;
    const uint32_t after = field != 0 ? tarn::getU32(tarn::DataRaw(s, field + tarn::fmt::kFieldNext)) : 0;
    putPairField(s, p, uint16_t(parentNumber), code, owner, after, start);
    if (field != 0) tarn::DataPutU32(s, field + tarn::fmt::kFieldNext, p);
    putPairField(s, start, uint16_t(childNumber), kStartBase, start, 0, p);
    rc = tarn::StoreStatus(s);
    if (rc != kOk) return rc;

    tarn::CursorPlaceNewRecord(cur, start, p, after);
    if (pointerOut != nullptr) *pointerOut = p;
    if (startOut != nullptr) *startOut = start;
    return kOk;
}

namespace tarn {

uint32_t XmlDctCachedNames(const lumxmldct* xd) { return xd->count; }
uint32_t XmlDctBuckets(const lumxmldct* xd) { return xd->mask + 1; }

}  // namespace tarn
