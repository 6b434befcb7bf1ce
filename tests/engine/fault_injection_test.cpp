// Every grow, commit, storage system call and heap allocation of a scenario
// is failed in turn (n = 0, 1, 2, ... until a run sees no failure). For each
// n: the failure comes back as a result code (or an exception of the XML
// layer), nothing reported done is missing, nothing reported failed was done,
// nothing leaks, and the file left behind opens and answers, or is refused
// as "Illegal database file".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/result_codes.h"
#include "engine/storage/index_memory.h"
#include "engine/storage/value_index.h"
#include "engine/tarn20.h"
#include "tests/engine/fault_support.h"
#include "tests/engine/storage/temp_dir.h"
#include "xml/sax/driverorlo.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/handlerorlo.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"
#include "xml/load.h"

using tarn_fault::Failure;
using tarn_fault::Findings;

namespace {

constexpr uint64_t kMaxRuns = 200000;  // a loop that never ends its failures is a fault too
constexpr uint32_t kMapped = 1, kFile = 3, kMemory = 4;
constexpr uint32_t kOpenExisting = 16;
const uint32_t kUtf8[1] = {2};

bool isAllocCode(uint32_t rc) { return rc == tarn::rc::kMalloc || rc == tarn::rc::kRealloc; }

// ---- the data of the engine scenario ------------------------------------------------

struct Value {
    uint8_t bytes[48] = {};
    uint32_t size = 0;  // as stored: strings with their NUL
};

template <typename T>
Value fixed(T v) {
    Value x;
    std::memcpy(x.bytes, &v, sizeof v);
    x.size = sizeof v;
    return x;
}

Value text(const char* s) {
    Value x;
    x.size = uint32_t(std::strlen(s) + 1);
    std::memcpy(x.bytes, s, x.size);
    return x;
}

bool same(const Value& a, const Value& b) {
    return a.size == b.size && std::memcmp(a.bytes, b.bytes, a.size) == 0;
}

// One column per indexable class, two plain ones, and two extra types: the
// target of a type-changing modification and one that is deleted again.
enum Col : int { kId, kU8, kS8, kU16, kS16, kS32, kKey, kTitle, kBlob, kFlag, kWide, kScratch, kTypes };
constexpr int kColumns = kWide;
struct TypeDef {
    uint8_t base;
    uint8_t plain;
    const char* name;
};
constexpr TypeDef kTypeDefs[kTypes] = {
    {5, 0, "id"},  {1, 0, "u8"},    {2, 0, "s8"},   {3, 0, "u16"}, {4, 0, "s16"},  {6, 0, "s32"},
    {8, 0, "key"}, {9, 0, "title"}, {10, 1, "blob"}, {7, 1, nullptr}, {5, 0, "wide"}, {1, 0, "scratch"}};
constexpr int kFirstRecords = 8, kAllRecords = 12;

Value cell(int col, int r) {
    char buf[40];
    switch (col) {
        case kId: return fixed<uint32_t>(uint32_t(1000 + r));
        case kU8: return fixed<uint8_t>(uint8_t(r * 7 % 5));
        case kS8: return fixed<int8_t>(int8_t(r - 4));
        case kU16: return fixed<uint16_t>(uint16_t(300 * r));
        case kS16: return fixed<int16_t>(int16_t(100 * (r % 4 - 2)));  // ties: the second sort key decides
        case kS32: return fixed<int32_t>(-70000 * r);
        case kKey: std::snprintf(buf, sizeof buf, "key-%d", r % 3); return text(buf);
        case kTitle: std::snprintf(buf, sizeof buf, "na\xC3\xAFve %d", r); return text(buf);
        case kBlob: {
            Value v;
            v.size = uint32_t(r + 1);
            std::memset(v.bytes, 0xA0 + r, v.size);
            return v;
        }
        default: return Value{};
    }
}

template <typename T>
int64_t as(const Value& v) {
    T x;
    std::memcpy(&x, v.bytes, sizeof x);
    return x;
}

int64_t asInt(int type, const Value& v) {
    switch (kTypeDefs[type].base) {
        case 1: return as<uint8_t>(v);
        case 2: return as<int8_t>(v);
        case 3: return as<uint16_t>(v);
        case 4: return as<int16_t>(v);
        case 5: return as<uint32_t>(v);
        case 6: return as<int32_t>(v);
        default: return 0;
    }
}

// ---- the model: what the engine said it stored ----------------------------------------

struct Entry {
    int type = 0;
    int record = 0;
    Value value;
    uint32_t address = 0;
    bool live = true;   // not erased
    bool known = true;  // no failed operation touched it
};

struct Model {
    Entry entries[kAllRecords * kColumns + 4];
    int count = 0;
    bool uncertain[kTypes] = {};  // a failed modify or erase left its count open

    Entry* add(int type, int record, const Value& v, uint32_t address) {
        Entry& e = entries[count++];
        e = Entry{type, record, v, address, true, true};
        return &e;
    }
    Entry* find(int type, int record) {
        for (int i = 0; i < count; ++i)
            if (entries[i].type == type && entries[i].record == record && entries[i].live) return &entries[i];
        return nullptr;
    }
    void unsure(Entry* e) {
        e->known = false;
        uncertain[e->type] = true;
    }
};

// ---- handles ------------------------------------------------------------------------

uint32_t destroyQuery(lumquery* q) { return LumQueryDestroy(q, 0); }
uint32_t destroyQueryDeep(lumquery* q) { return LumQueryDestroy(q, 1); }

template <typename T, uint32_t (*Destroy)(T*)>
struct Handle {
    T* p = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    T** out() { return &p; }
    void reset() {
        if (p != nullptr) Destroy(p);
        p = nullptr;
    }
};
using Cursor = Handle<lumcursor, LumCursorDestroy>;
using Query = Handle<lumquery, destroyQuery>;
using ResultSet = Handle<lumresset, LumResDestroy>;
using ResultList = Handle<lumreslist, LumResListDestroy>;
using Dictionary = Handle<lumdct, LumDctDestroy>;

struct Items {
    uint32_t at[32] = {};
    uint32_t count = 0;
    void add(uint32_t a) {
        if (count < 32) at[count] = a;
        ++count;
    }
    bool has(uint32_t a) const {
        for (uint32_t i = 0; i < count && i < 32; ++i)
            if (at[i] == a) return true;
        return false;
    }
};

// A search as the query's parameter block takes it.
struct Search {
    uint32_t mode = 2, kind = 0;
    const void* low = nullptr;
    const void* high = nullptr;
    LumTypeId type = 0;
    uint32_t encoding = 2;
};

uint32_t fill(lumquery* q, const Search& s) {
    LumQueryParams* p = nullptr;
    if (uint32_t rc = LumQueryGetParams(q, &p)) return rc;
    *p = LumQueryParams{2, s.mode, s.kind, 0, s.low, s.high, s.encoding, s.encoding, s.type};
    return 0;
}

uint32_t execute(lumdb* db, const Search& s, ResultSet& set) {
    Query q;
    if (uint32_t rc = LumQueryCreate(q.out(), db)) return rc;
    if (uint32_t rc = fill(q.p, s)) return rc;
    return LumQueryExecute(q.p, set.out());
}

// Intersection of two searches, run as one combined query that is then
// destroyed with its operands (the recursive destroy).
uint32_t executeBoth(lumdb* db, const Search& a, const Search& b, ResultSet& set) {
    Query qa, qb;
    Handle<lumquery, destroyQueryDeep> both;
    uint32_t rc = LumQueryCreate(qa.out(), db);
    if (rc == 0) rc = fill(qa.p, a);
    if (rc == 0) rc = LumQueryCreate(qb.out(), db);
    if (rc == 0) rc = fill(qb.p, b);
    if (rc == 0) rc = LumQueryCreate(both.out(), db);
    LumQueryParams* p = nullptr;
    if (rc == 0) rc = LumQueryGetParams(both.p, &p);
    if (rc != 0) return rc;
    *p = LumQueryParams{1, 1, uintptr_t(qa.p), uintptr_t(qb.p), nullptr, nullptr, 0, 0, 0};
    qa.p = qb.p = nullptr;
    return LumQueryExecute(both.p, set.out());
}

// The member addresses of a set, in list order (sorted by keys when given).
uint32_t read(lumdb* db, lumresset* set, Items& items, const LumSortKey* keys = nullptr,
              uint32_t keyCount = 0) {
    ResultList list;
    Cursor cur;
    uint32_t size = 0;
    uint32_t rc = LumResListCreate(list.out(), set, keyCount, keys);
    if (rc == 0) rc = LumResListGetSize(list.p, &size);
    if (rc == 0) rc = LumCursorCreate(cur.out(), db);
    for (uint32_t i = 0; rc == 0 && i < size; ++i) {
        uint32_t field = 0;
        rc = LumResListGetItem(list.p, cur.p, i);
        if (rc == 0) rc = LumCursorFetchField(cur.p, nullptr, nullptr, 0, nullptr, nullptr, &field, nullptr);
        if (rc == 0) items.add(field);
    }
    return rc;
}

// ---- the queries of the scenario ------------------------------------------------------

struct QueryCase {
    const char* name = "";
    int type = 0;
    uint32_t mode = 2;  // 0 range, 1 equal, 2 all, 3 contains
    uint32_t kind = 0;  // 0 fields, 1 records
    bool hasLow = false, hasHigh = false;
    Value low, high;
};

QueryCase queryCase(const char* name, int type, uint32_t mode, uint32_t kind) {
    QueryCase q;
    q.name = name;
    q.type = type;
    q.mode = mode;
    q.kind = kind;
    return q;
}
QueryCase equalTo(int col) {
    QueryCase q = queryCase(kTypeDefs[col].name, col, 1, 0);
    q.hasLow = true;
    q.low = cell(col, 3);
    return q;
}
QueryCase range(int col, uint32_t kind, bool hasLow, int64_t low, bool hasHigh, int64_t high) {
    QueryCase q = queryCase("range", col, 0, kind);
    q.hasLow = hasLow;
    q.hasHigh = hasHigh;
    q.low = fixed<int64_t>(low);  // only the first bytes are read: little-endian
    q.high = fixed<int64_t>(high);
    q.low.size = q.high.size = cell(col, 0).size;
    return q;
}
QueryCase containing(int col, uint32_t kind, const char* part) {
    QueryCase q = queryCase("contains", col, 3, kind);
    q.hasLow = true;
    q.low = text(part);
    return q;
}

constexpr int kEquals = kBlob;  // one equal search per indexed column
constexpr int kQueryCount = kEquals + 7;
constexpr int kBothLeft = kEquals + 5, kBothRight = kEquals + 6;

void buildQueries(QueryCase* q) {
    for (int col = 0; col < kEquals; ++col) q[col] = equalTo(col);
    q[kEquals + 0] = range(kS16, 0, true, -100, true, 50);
    q[kEquals + 1] = range(kU16, 0, false, 0, true, 1500);
    q[kEquals + 2] = queryCase("all", kTitle, 2, 1);
    q[kEquals + 3] = containing(kTitle, 0, "ve 1");
    q[kEquals + 4] = containing(kKey, 1, "y-1");
    q[kBothLeft] = range(kS8, 1, true, -4, true, 0);
    q[kBothRight] = range(kU16, 1, true, 600, false, 0);
}

bool matches(const QueryCase& q, const Value& v) {
    switch (q.mode) {
        case 0:
            return (!q.hasLow || asInt(q.type, v) >= asInt(q.type, q.low)) &&
                   (!q.hasHigh || asInt(q.type, v) <= asInt(q.type, q.high));
        case 1: return same(v, q.low);
        case 3: return std::strstr(reinterpret_cast<const char*>(v.bytes),
                                   reinterpret_cast<const char*>(q.low.bytes)) != nullptr;
        default: return true;
    }
}

Search searchOf(const QueryCase& q, const LumTypeId* types) {
    return Search{q.mode, q.kind, q.hasLow ? q.low.bytes : nullptr,
                  q.hasHigh ? q.high.bytes : nullptr, types[q.type], 2};
}

// ---- the scenario ---------------------------------------------------------------------

// A database with a dictionary, records with fields of every class, queries
// of every mode, a sorted list, modifications and erasures. Each step stops
// at the first failure and returns its code; results that came back as
// success are compared with the model at once (nothing here allocates), and
// what is wrong goes to `wrong`.
class Scenario {
public:
    Scenario(uint32_t driver, const char* path) : driver_(driver), path_(path) { buildQueries(queries_); }

    uint32_t open() {
        LumDbParams p{0, 0, 256, driver_, 0, 0};
        return LumDbCreate(&db, 0, path_, &p);
    }
    uint32_t work() {
        uint32_t rc = defineTypes();
        if (rc == 0) rc = storeRecords(0, kFirstRecords);
        if (rc == 0) rc = LumDbCommit(db);
        if (rc == 0) rc = runQueries();
        if (rc == 0) rc = sortRecords();
        if (rc == 0) rc = modify();
        if (rc == 0) rc = erase();
        if (rc == 0) rc = storeRecords(kFirstRecords, kAllRecords);
        if (rc == 0) rc = LumDbCommit(db);
        return rc;
    }
    void release() {
        cursor_.reset();
        dict_.reset();
    }

    lumdb* db = nullptr;
    Model model;
    LumTypeId types[kTypes] = {};
    Findings wrong;

private:
    uint32_t defineTypes() {
        if (uint32_t rc = LumDctCreate(dict_.out(), db)) return rc;
        for (int t = 0; t < kTypes; ++t)
            if (uint32_t rc = LumDctNewType(dict_.p, kTypeDefs[t].base, kTypeDefs[t].plain, &types[t],
                                            kTypeDefs[t].name, 2))
                return rc;
        if (uint32_t rc = LumDctDeleteType(dict_.p, types[kScratch])) return rc;
        LumTypeId found = 0;
        if (uint32_t rc = LumDctLookupName(dict_.p, "title", &found, 2)) return rc;
        if (found != types[kTitle]) wrong.add("lookup of 'title' gave %#x, not %#x", found, types[kTitle]);
        return LumCursorCreate(cursor_.out(), db);
    }

    uint32_t storeRecords(int from, int to) {
        for (int r = from; r < to; ++r) {
            LumCursorNewRecord(cursor_.p);
            for (int col = 0; col < kColumns; ++col)
                if (uint32_t rc = append(col, r, cell(col, r))) return rc;
        }
        return 0;
    }

    uint32_t append(int col, int r, const Value& v) {
        const uint32_t* options = kTypeDefs[col].base == 9 ? kUtf8 : nullptr;
        if (uint32_t rc = LumCursorAppendField(cursor_.p, types[col], v.bytes, v.size, options)) return rc;
        Entry* e = model.add(col, r, v, 0);
        return whereIs(e);
    }

    // The address of the field just written; unknown when the fetch fails.
    uint32_t whereIs(Entry* e) {
        uint32_t rc = LumCursorFetchField(cursor_.p, nullptr, nullptr, 0, nullptr, nullptr, &e->address, nullptr);
        if (rc != 0) model.unsure(e);
        return rc;
    }

    // What the model says query q must answer: field or owner addresses.
    void expected(int i, Items& want) {
        const bool both = i == kQueryCount;
        const QueryCase& q = queries_[both ? kBothLeft : i];
        for (int k = 0; k < model.count; ++k) {
            const Entry& e = model.entries[k];
            if (!e.live) continue;
            if (q.kind == 0 && !both) {
                if (e.type == q.type && matches(q, e.value)) want.add(e.address);
                continue;
            }
            if (e.type != kId) continue;
            if (both ? recordMatches(queries_[kBothLeft], e.record) && recordMatches(queries_[kBothRight], e.record)
                     : recordMatches(q, e.record))
                want.add(e.address);
        }
    }
    bool recordMatches(const QueryCase& q, int r) {
        const Entry* e = model.find(q.type, r);
        return e != nullptr && matches(q, e->value);
    }

    uint32_t runQueries() {
        for (int i = 0; i <= kQueryCount; ++i) {
            ResultSet set;
            Items got, want;
            uint32_t rc = i == kQueryCount
                ? executeBoth(db, searchOf(queries_[kBothLeft], types), searchOf(queries_[kBothRight], types), set)
                : execute(db, searchOf(queries_[i], types), set);
            if (rc == 0) rc = read(db, set.p, got);
            if (rc != 0) return rc;
            expected(i, want);
            bool right = got.count == want.count;
            for (uint32_t k = 0; right && k < got.count && k < 32; ++k) right = want.has(got.at[k]);
            if (!right)
                wrong.add("query %d (%s): %u items answered, %u expected", i,
                          i == kQueryCount ? "intersection" : queries_[i].name, got.count, want.count);
        }
        return 0;
    }

    // Sorted by s16 ascending, then title descending.
    uint32_t sortRecords() {
        ResultSet set;
        Items got;
        const LumSortKey keys[2] = {{0, kS16, nullptr}, {1, kTitle, nullptr}};
        uint32_t rc = execute(db, Search{2, 1, nullptr, nullptr, types[kId], 2}, set);
        if (rc == 0) rc = read(db, set.p, got, keys, 2);
        if (rc != 0) return rc;
        uint32_t inOrder = 0;
        for (int last = -1; inOrder < got.count && inOrder < 32; ++inOrder) {
            const int r = recordOf(got.at[inOrder]);
            if (r < 0 || (last >= 0 && !sortsBefore(last, r))) break;
            last = r;
        }
        if (got.count != kFirstRecords || inOrder != got.count)
            wrong.add("sorted list: %u items, %u in order, %d expected", got.count, inOrder, kFirstRecords);
        return 0;
    }
    int recordOf(uint32_t owner) {
        for (int j = 0; j < model.count; ++j)
            if (model.entries[j].type == kId && model.entries[j].address == owner) return model.entries[j].record;
        return -1;
    }
    bool sortsBefore(int a, int b) {
        const int64_t ka = asInt(kS16, model.find(kS16, a)->value), kb = asInt(kS16, model.find(kS16, b)->value);
        if (ka != kb) return ka < kb;
        return std::strcmp(reinterpret_cast<const char*>(model.find(kTitle, a)->value.bytes),
                           reinterpret_cast<const char*>(model.find(kTitle, b)->value.bytes)) >= 0;
    }

    uint32_t modify() {
        Entry* e = model.find(kU16, 2);  // 2 bytes become 4 of another type: the field moves
        const uint32_t wide = 123456;
        if (uint32_t rc = LumCursorGotoMemberAddress(cursor_.p, e->address)) return rc;
        if (uint32_t rc = LumCursorModifyField(cursor_.p, &types[kWide], &wide, 4, nullptr)) {
            model.unsure(e);
            model.uncertain[kWide] = true;
            return rc;
        }
        e->type = kWide;
        e->value = fixed(wide);
        if (uint32_t rc = whereIs(e)) return rc;
        if (uint32_t rc = rewrite(model.find(kTitle, 5), text("a much longer title for the fifth record")))
            return rc;
        return rewrite(model.find(kS16, 4), fixed<int16_t>(-4444));
    }
    uint32_t rewrite(Entry* e, const Value& v) {
        if (uint32_t rc = LumCursorGotoMemberAddress(cursor_.p, e->address)) return rc;
        const uint32_t* encoding = kTypeDefs[e->type].base == 9 ? kUtf8 : nullptr;
        if (uint32_t rc = LumCursorModifyField(cursor_.p, nullptr, v.bytes, v.size, encoding)) {
            model.unsure(e);
            return rc;
        }
        e->value = v;
        return whereIs(e);
    }

    uint32_t erase() {
        Entry* member = model.find(kS8, 1);
        if (uint32_t rc = LumCursorGotoMemberAddress(cursor_.p, member->address)) return rc;
        if (uint32_t rc = LumCursorEraseField(cursor_.p)) {
            model.unsure(member);
            return rc;
        }
        member->live = false;
        if (uint32_t rc = LumCursorGotoMemberAddress(cursor_.p, model.find(kId, 6)->address)) return rc;
        const uint32_t rc = LumCursorEraseRecord(cursor_.p);
        for (int k = 0; k < model.count; ++k) {
            Entry& e = model.entries[k];
            if (e.record != 6 || !e.live) continue;
            if (rc != 0) model.unsure(&e);
            e.live = false;  // either way no longer checked one by one
        }
        return rc;
    }

    uint32_t driver_;
    const char* path_;
    QueryCase queries_[kQueryCount];
    Dictionary dict_;
    Cursor cursor_;
};

// ---- checking a database against the model ------------------------------------------

constexpr LumTypeId kProbeType = (0x7F00u << 16) | 5;  // a number the dictionary never gave out
constexpr uint32_t kProbeValue = 4242;
constexpr uint32_t kDamaged = tarn::rc::kIllegalFile;

const char* nameOf(int type) { return kTypeDefs[type].name != nullptr ? kTypeDefs[type].name : "flag"; }

bool found(lumdb* db, LumTypeId type, const Value& v, uint32_t address, uint32_t* rc) {
    ResultSet set;
    Items got;
    *rc = execute(db, Search{1, 0, v.bytes, nullptr, type, 2}, set);
    if (*rc == 0) *rc = read(db, set.p, got);
    return *rc == 0 && got.has(address);
}

// Every field the model knows reads back with its type and value and is found
// by an equal search; every type whose count the model knows is found exactly
// that often by an `all` search. A damaged store (29) ends the check: refusing
// further work is a sound answer to a failure.
void verify(lumdb* db, const Model& m, const LumTypeId* types, const char* stage, Findings& f) {
    Cursor cur;
    uint32_t rc = LumCursorCreate(cur.out(), db);
    for (int k = 0; rc == 0 && k < m.count; ++k) {
        const Entry& e = m.entries[k];
        if (!e.live || !e.known) continue;
        uint8_t buf[64];
        LumTypeId id = 0;
        uint32_t size = 0, encoding = 2;
        rc = LumCursorGotoMemberAddress(cur.p, e.address);
        if (rc == 0) rc = LumCursorFetchField(cur.p, &id, buf, sizeof buf, &encoding, &size, nullptr, nullptr);
        if (rc != 0) break;
        if (id != types[e.type] || size != e.value.size || std::memcmp(buf, e.value.bytes, size) != 0)
            f.add("%s: %s of record %d reads back as type %#x, %u bytes", stage, nameOf(e.type), e.record, id, size);
        if (!kTypeDefs[e.type].plain && !found(db, types[e.type], e.value, e.address, &rc) && rc == 0)
            f.add("%s: %s of record %d is stored but its query does not find it", stage, nameOf(e.type), e.record);
    }
    for (int t = 0; rc == 0 && t < kScratch; ++t) {
        if (types[t] == 0 || kTypeDefs[t].plain || m.uncertain[t]) continue;
        ResultSet set;
        Items got;
        rc = execute(db, Search{2, 0, nullptr, nullptr, types[t], 2}, set);
        if (rc == 0) rc = read(db, set.p, got);
        uint32_t stored = 0;
        for (int k = 0; k < m.count; ++k) stored += m.entries[k].type == t && m.entries[k].live;
        if (rc == 0 && got.count != stored)
            f.add("%s: %u fields of %s found, %u reported stored", stage, got.count, nameOf(t), stored);
    }
    if (rc != 0 && rc != kDamaged) f.add("%s: a check failed with %u", stage, rc);
}

// After a failure the database takes new work again, or refuses it as
// damaged. Returns the new field's address, 0 when refused.
uint32_t probe(lumdb* db, Findings& f) {
    Cursor cur;
    uint32_t address = 0;
    uint32_t rc = LumCursorCreate(cur.out(), db);
    if (rc == 0) rc = LumCursorAppendField(cur.p, kProbeType, &kProbeValue, 4, nullptr);
    if (rc == 0) rc = LumCursorFetchField(cur.p, nullptr, nullptr, 0, nullptr, nullptr, &address, nullptr);
    if (rc == 0 && !found(db, kProbeType, fixed(kProbeValue), address, &rc) && rc == 0)
        f.add("after the failure: a new field is stored but not found");
    if (rc != 0 && rc != kDamaged) f.add("after the failure: new work is refused with %u", rc);
    return rc == 0 ? address : 0;
}

// Every indexed type can still be searched (or the store says it is damaged).
void answers(lumdb* db, const LumTypeId* types, Findings& f) {
    for (int t = 0; t < kScratch; ++t) {
        if (types[t] == 0 || kTypeDefs[t].plain) continue;
        ResultSet set;
        Items got;
        uint32_t rc = execute(db, Search{2, 0, nullptr, nullptr, types[t], 2}, set);
        if (rc == 0) rc = read(db, set.p, got);
        if (rc != 0 && rc != kDamaged) f.add("reopened: searching %s fails with %u", nameOf(t), rc);
    }
}

// The file left behind opens and holds what was reported stored (when
// `trusted`: no write-back was lost), or is refused as not a database.
void reopen(uint32_t driver, const char* path, const Model& m, const LumTypeId* types, uint32_t probeAt,
            bool trusted, Findings& f) {
    lumdb* db = nullptr;
    LumDbParams p{kOpenExisting, 0, 256, driver, 0, 0};
    const uint32_t rc = LumDbCreate(&db, 0, path, &p);
    if (rc == kDamaged) return;
    if (rc != 0) {
        f.add("reopened: refused with %u", rc);
        return;
    }
    if (trusted) {
        verify(db, m, types, "reopened", f);
        uint32_t code = 0;
        if (probeAt != 0 && !found(db, kProbeType, fixed(kProbeValue), probeAt, &code) && code != kDamaged)
            f.add("reopened: the field stored after the failure is gone (%u)", code);
    } else {
        answers(db, types, f);
    }
    if (uint32_t closed = LumDbClose(db)) f.add("reopened: close refused with %u", closed);
}

// ---- engine tests -----------------------------------------------------------------------

// Failures a driver rightly does not report: the write time is a courtesy;
// the size of memory only decides whether a new file is staged and how much
// one change may grow; the clock only seeds a journal's salt, which a
// counter makes unique too, when no wait is asked for; a descriptor is
// closed only after what was written through it was synced; and a journal
// that cannot be removed is invalidated by zeroing its header instead.
bool ignorable(tarn_fault::SysCall call) {
    using tarn_fault::SysCall;
    return call == SysCall::Futimens || call == SysCall::Sysconf || call == SysCall::ClockGettime ||
           call == SysCall::Close || call == SysCall::Unlink;
}

constexpr uint64_t kNever = ~uint64_t(0);
constexpr int kShown = 3;  // runs with findings reported in full

// Runs once(n, findings) for n = 0, 1, ... until a run says nothing was
// failed, after one run without failures that lets lazily made state of the
// C library settle. Every run must leave no finding, no heap block and no
// descriptor behind; the first few that do are shown. Returns the runs made.
template <typename Run>
uint64_t everyFailure(const std::string& what, Run&& once) {
    Findings warmUp;
    once(kNever, warmUp);
    EXPECT_TRUE(warmUp.empty()) << what << ", nothing failing:\n" << warmUp.text();
    int failing = 0;
    uint64_t n = 0;
    for (bool fired = true; fired && n < kMaxRuns; ++n) {
        Findings f;
        const long long live = tarn_fault::LiveAllocations();
        const int descriptors = tarn_fault::OpenDescriptors();
        fired = once(n, f);
        const long long leaked = tarn_fault::LiveAllocations() - live;
        const int open = tarn_fault::OpenDescriptors() - descriptors;
        if (leaked != 0 || open != 0) f.add("%lld heap blocks and %d descriptors left behind", leaked, open);
        if (!f.empty() && ++failing <= kShown) ADD_FAILURE() << what << ", call " << n << " failing:\n" << f.text();
    }
    EXPECT_EQ(failing, 0) << what << ": runs with findings (the first " << kShown << " are shown)";
    EXPECT_LT(n, kMaxRuns) << what << ": the calls never ran out";
    return n;
}

std::string label(const char* what, Failure mode) {
    return std::string(what) + (mode == Failure::Once ? " failing once" : " failing from then on");
}

class EngineFaults : public ::testing::TestWithParam<uint32_t> {
protected:
    bool onDisk() const { return GetParam() != kMemory; }

    // Checks the database after a run, closes it and checks the file: what
    // the run reported stored is there when a last commit says it is durable.
    void finish(Scenario& sc, Findings& f) {
        verify(sc.db, sc.model, sc.types, "after the run", f);
        const uint32_t probeAt = probe(sc.db, f);
        const bool trusted = LumDbCommit(sc.db) == 0;
        sc.release();
        if (uint32_t rc = LumDbClose(sc.db)) f.add("close refused with %u", rc);
        sc.db = nullptr;
        if (onDisk()) reopen(GetParam(), path.c_str(), sc.model, sc.types, probeAt, trusted, f);
    }

    // One run with grow (or commit) call n failing; true when one did fail.
    bool runStore(bool commit, uint64_t n, Failure mode, Findings& f) {
        unlink(path.c_str());
        Scenario sc(GetParam(), path.c_str());
        if (uint32_t rc = sc.open()) {
            f.add("open failed with %u", rc);
            return false;
        }
        tarn_fault::StoreFaults faults(sc.db);
        tarn_fault::Trigger& trigger = commit ? faults.commit() : faults.grow();
        const uint32_t code = commit ? faults.commitCode() : faults.growCode();
        trigger.arm(n, mode);
        const uint32_t rc = sc.work();
        const bool firedInWork = trigger.fired();
        // Commit failures stay armed through the close, which must not report them.
        if (!commit) trigger.disarm();
        if (firedInWork ? rc != code : rc != 0)
            f.add("the run ended with %u (failure %s, code %#x)", rc, firedInWork ? "injected" : "not injected", code);
        if (!sc.wrong.empty()) f.add("%s", sc.wrong.text());
        finish(sc, f);
        trigger.disarm();
        return trigger.fired();
    }

    // One run with allocation n (counted from the open) failing.
    bool runAlloc(uint64_t n, Findings& f) {
        unlink(path.c_str());
        Scenario sc(GetParam(), path.c_str());
        tarn_fault::Allocations().arm(n);
        uint32_t rc = sc.open();
        if (rc == 0) rc = sc.work();
        tarn_fault::Allocations().disarm();
        const bool fired = tarn_fault::Allocations().fired();
        if (fired ? !(isAllocCode(rc) || doneWithout(sc, rc)) : rc != 0)
            f.add("the run ended with %#x (allocation failure %s)", rc, fired ? "injected" : "not injected");
        if (!sc.wrong.empty()) f.add("%s", sc.wrong.text());
        if (sc.db != nullptr)
            finish(sc, f);
        else if (onDisk() && tarn_test::exists(path))
            reopen(GetParam(), path.c_str(), sc.model, sc.types, 0, true, f);
        return fired;
    }

    // One run with system call n of the storage layer failing, from the open on.
    bool runSys(uint64_t n, Failure mode, Findings& f) {
        unlink(path.c_str());
        Scenario sc(GetParam(), path.c_str());
        uint32_t rc = 0;
        bool fired = false;
        tarn_fault::SysCall failed = tarn_fault::SysCall::Count;
        {
            tarn_fault::SysFaults sys;
            sys.arm(n, mode);
            rc = sc.open();
            if (rc == 0) rc = sc.work();
            sys.disarm();
            fired = sys.trigger().fired();
            failed = sys.firstFailed();
        }
        const bool reported = (rc & 0x3000) != 0;  // a C library or system code
        if (fired ? !(reported || (rc == 0 && ignorable(failed)) || doneWithout(sc, rc)) : rc != 0)
            f.add("the run ended with %#x (%s failed first)", rc, tarn_fault::SysCallName(failed));
        if (!sc.wrong.empty()) f.add("%s", sc.wrong.text());
        if (sc.db != nullptr)
            finish(sc, f);
        else if (tarn_test::exists(path))
            reopen(GetParam(), path.c_str(), sc.model, sc.types, 0, true, f);
        return fired;
    }
    // A run that succeeded although a call failed: right when the call was
    // for the index's memory of the session, which it then did without, or
    // mapped a new file after its first commit, which kept its staging.
    static bool doneWithout(const Scenario& sc, uint32_t rc) {
        return rc == 0 && sc.db != nullptr &&
               (tarn::IndexTestHookMemoryRefused(sc.db->store) || tarn::MappedTestHookKeptStaging(sc.db->store));
    }

    tarn_test::TempDir dir;
    std::string path = dir.file("faults.db");
};

TEST_P(EngineFaults, EveryFailedSystemCallIsReportedAndLeavesAFileThatOpens) {
    if (!onDisk()) GTEST_SKIP() << "the memory driver makes no system call";
    for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
        const uint64_t runs = everyFailure(label("system call", mode), [&](uint64_t n, Findings& f) {
            return runSys(n, mode, f);
        });
        EXPECT_GT(runs, 8u) << "open, lock, size, truncate, reserve or read, and each commit";
    }
}

// Number of types the dictionary of the file at path lists; -1 when it cannot.
int typeCount(uint32_t driver, const char* path) {
    lumdb* db = nullptr;
    LumDbParams p{kOpenExisting, 0, 256, driver, 0, 0};
    if (LumDbCreate(&db, 0, path, &p) != 0) return -1;
    lumdct* dct = nullptr;
    uint32_t count = 0;
    uint32_t rc = LumDctCreate(&dct, db);
    if (rc == 0) rc = LumDctListTypes(dct, nullptr, 0, &count);
    if (dct != nullptr) LumDctDestroy(dct);
    LumDbClose(db);
    return rc == 0 ? int(count) : -1;
}

TEST_P(EngineFaults, OpeningAndClosingAnExistingFileUnderFailedSystemCallsChangesNothing) {
    if (!onDisk()) GTEST_SKIP() << "the memory driver makes no system call";
    Findings made;
    runStore(false, kNever, Failure::Once, made);
    ASSERT_TRUE(made.empty()) << made.text();
    const std::vector<uint8_t> bytes = tarn_test::readFile(path);
    const int types = typeCount(GetParam(), path.c_str());
    ASSERT_GT(types, 0);
    for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
        everyFailure(label("system call of an open and close", mode), [&](uint64_t n, Findings& f) {
            uint32_t rc = 0;
            bool fired = false;
            {
                tarn_fault::SysFaults sys;
                sys.arm(n, mode);
                lumdb* db = nullptr;
                LumDbParams p{kOpenExisting, 0, 256, GetParam(), 0, 0};
                rc = LumDbCreate(&db, 0, path.c_str(), &p);
                if (rc == 0 && LumDbClose(db) != 0) f.add("close refused");
                fired = sys.trigger().fired();
            }
            if (rc != 0 && (rc & 0x3000) == 0) f.add("the open failed with %#x", rc);
            if (tarn_test::readFile(path) != bytes) f.add("the file changed");
            if (typeCount(GetParam(), path.c_str()) != types) f.add("the dictionary no longer lists its types");
            return fired;
        });
    }
}

TEST_P(EngineFaults, EveryFailedGrowIsReportedAndLosesNothingReportedDone) {
    for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
        const uint64_t runs = everyFailure(label("grow", mode), [&](uint64_t n, Findings& f) {
            return runStore(false, n, mode, f);
        });
        EXPECT_GT(runs, 10u) << "the scenario is meant to grow the data area often";
    }
}

TEST_P(EngineFaults, EveryFailedCommitIsReportedAndLeavesAFileThatOpens) {
    if (GetParam() == kMemory) GTEST_SKIP() << "the memory driver's commit cannot fail";
    for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
        const uint64_t runs = everyFailure(label("commit", mode), [&](uint64_t n, Findings& f) {
            return runStore(true, n, mode, f);
        });
        EXPECT_EQ(runs, 5u) << "two commits of the scenario, the one that makes the probe durable "
                               "and the one of the close";
    }
}

TEST_P(EngineFaults, EveryFailedAllocationIsReportedAndFreesEverything) {
    if (!tarn_fault::AllocInjectionAvailable()) GTEST_SKIP() << "the sanitizer owns the allocator";
    const uint64_t runs = everyFailure("allocation", [&](uint64_t n, Findings& f) { return runAlloc(n, f); });
    EXPECT_GT(runs, 100u);
}

INSTANTIATE_TEST_SUITE_P(Drivers, EngineFaults, ::testing::Values(kMapped, kFile, kMemory),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return info.param == kMapped ? std::string("Mapped")
                                    : info.param == kFile ? std::string("File")
                                                          : std::string("Memory");
                         });

// ---- the index's loading memory ---------------------------------------------------------

// A session on a data area large enough for the index's loading memory. Keys
// first come unannounced, so that the index makes its node copies and its
// table of paths and copies the upper levels of a tree grown deep; keys
// already there come twice, the second time by their remembered paths; then
// keys are announced before they come, and looked up together; a query
// follows. Calls fail meanwhile. The memory is optional: a part that cannot
// be had is done without, and a run that then succeeds stores the very bytes
// of a run that met no failure. Any other failure is reported. Either way
// the file opens again and holds what was committed and what the run
// reported stored.
constexpr uint32_t kTextType = (1u << 16) | 9;  // type number 1, indexed text
constexpr int kTreeKeys = 30000;                // a tree deep enough to be copied from
constexpr int kNewKeys = 300, kAgainKeys = 100, kAnnounceRounds = 3, kAnnounced = 100;
constexpr int kEntered = kNewKeys + 2 * kAgainKeys + kAnnounceRounds * kAnnounced;

struct Key {
    char text[16] = {};
    uint32_t address = 0;
};

void keyText(char (&out)[16], int k, const char* suffix) {
    std::snprintf(out, sizeof out, "s%07d%s", k, suffix);
}

class MemorySession {
public:
    explicit MemorySession(const char* path) : path_(path) {}

    uint32_t run() {
        LumDbParams p{kOpenExisting, 0, 65536, kMapped, 0, 0};
        uint32_t rc = LumDbCreate(&db, 0, path_, &p);
        if (rc == 0) rc = LumCursorCreate(cursor_.out(), db);
        for (int i = 0; rc == 0 && i < kNewKeys; ++i) rc = enter(i * 3001 % kTreeKeys, "x");
        if (rc == 0) notice();
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 0; rc == 0 && i < kAgainKeys; ++i) rc = enter(i * 7919 % kTreeKeys, "");
        for (int round = 0; rc == 0 && round < kAnnounceRounds; ++round) rc = announceAndEnter(round);
        if (rc == 0) rc = query();
        if (rc == 0) rc = LumDbCommit(db);
        return rc;
    }
    // Ends the session (its close commits once more) and checks the file.
    void finish(const std::vector<uint8_t>* reference, Findings& f);

    lumdb* db = nullptr;
    bool copiesAndTableMade = false, announcementsKept = false;

private:
    uint32_t enter(int k, const char* suffix) {
        Key& key = keys_[entered_];
        keyText(key.text, k, suffix);
        LumCursorNewRecord(cursor_.p);
        const uint32_t size = uint32_t(std::strlen(key.text) + 1);
        if (uint32_t rc = LumCursorAppendField(cursor_.p, kTextType, key.text, size, kUtf8)) return rc;
        ++entered_;
        return LumCursorFetchField(cursor_.p, nullptr, nullptr, 0, nullptr, nullptr, &key.address, nullptr);
    }
    // Half of them keys of the tree, half new ones between them.
    uint32_t announceAndEnter(int round) {
        for (int i = 0; i < kAnnounced; ++i) {
            char text[16];
            keyText(text, (round * kAnnounced + i) * 4099 % kTreeKeys, i % 2 ? "" : "y");
            if (uint32_t rc = LumCursorExpectValue(cursor_.p, kTextType, text, kUtf8)) return rc;
        }
        if (db->store->index != nullptr) announcementsKept = db->store->index->expected != nullptr;
        for (int i = 0; i < kAnnounced; ++i)
            if (uint32_t rc = enter((round * kAnnounced + i) * 4099 % kTreeKeys, i % 2 ? "" : "y")) return rc;
        return 0;
    }
    uint32_t query() {
        uint32_t rc = 0;
        if (!found(db, kTextType, text(keys_[0].text), keys_[0].address, &rc) && rc == 0)
            wrong.add("a key entered is not found");
        return rc;
    }
    void notice() {
        const tarn::IndexState* st = db->store->index;
        copiesAndTableMade = st != nullptr && st->mirror != nullptr && st->mirror->deep[9 * 256 + 's'] &&
                             tarn::vindex::PathCacheHasTable(st->paths);
    }

    const char* path_;
    Cursor cursor_;
    Key keys_[kEntered];
    int entered_ = 0;

public:
    Findings wrong;
};

void MemorySession::finish(const std::vector<uint8_t>* reference, Findings& f) {
    if (!wrong.empty()) f.add("%s", wrong.text());
    cursor_.reset();
    if (db != nullptr && LumDbClose(db) != 0) f.add("close refused");
    db = nullptr;
    if (reference != nullptr && tarn_test::readFile(path_) != *reference)
        f.add("a run that did without some memory stored other bytes");
    lumdb* again = nullptr;
    LumDbParams p{kOpenExisting, 0, 65536, kMapped, 0, 0};
    const uint32_t rc = LumDbCreate(&again, 0, path_, &p);
    if (rc != 0) {
        if (rc != kDamaged) f.add("reopened: refused with %u", rc);
        return;
    }
    Items got;
    uint32_t code = 0;
    {
        ResultSet all;
        code = execute(again, Search{2, 0, nullptr, nullptr, kTextType, 2}, all);
        if (code == 0) code = read(again, all.p, got);
    }
    if (code == 0 && got.count != uint32_t(kTreeKeys + entered_))
        f.add("reopened: %u keys, %d committed and reported stored", got.count, kTreeKeys + entered_);
    for (int i = 0; code == 0 && i < entered_; ++i)
        if (!found(again, kTextType, text(keys_[i].text), keys_[i].address, &code) && code == 0)
            f.add("reopened: %s, reported stored, is not found", keys_[i].text);
    if (code != 0 && code != kDamaged) f.add("reopened: a check failed with %u", code);
    if (LumDbClose(again) != 0) f.add("reopened: close refused");
}

class IndexMemoryFaults : public ::testing::Test {
protected:
    // The tree, committed once; every run starts from a copy of it.
    void SetUp() override {
        lumdb* db = nullptr;
        LumDbParams p{0, tarn::vindex::kIndexMemoryFrom, 65536, kMapped, 0, 0};
        ASSERT_EQ(LumDbCreate(&db, 0, base.c_str(), &p), 0u);
        Cursor cur;
        ASSERT_EQ(LumCursorCreate(cur.out(), db), 0u);
        for (int i = 0; i < kTreeKeys; ++i) {
            char key[16];
            keyText(key, i * 7 % kTreeKeys, "");
            LumCursorNewRecord(cur.p);
            ASSERT_EQ(LumCursorAppendField(cur.p, kTextType, key, 0, kUtf8), 0u);
        }
        cur.reset();
        ASSERT_EQ(LumDbClose(db), 0u);
        tree = tarn_test::readFile(base);
        tarn_test::writeFile(path, tree);
        MemorySession plain(path.c_str());
        ASSERT_EQ(plain.run(), 0u);
        ASSERT_TRUE(plain.copiesAndTableMade) << "the scenario is meant to use node copies and the table of paths";
        ASSERT_TRUE(plain.announcementsKept);
        Findings f;
        plain.finish(nullptr, f);
        ASSERT_TRUE(f.empty()) << f.text();
        reference = tarn_test::readFile(path);
    }

    // Checks how a run with a failure injected ended, then the file.
    void check(MemorySession& session, uint32_t rc, bool fired, bool failureCode, Findings& f) {
        const bool doneWithout =
            rc == 0 && session.db != nullptr && tarn::IndexTestHookMemoryRefused(session.db->store);
        if (fired ? !(failureCode || doneWithout) : rc != 0)
            f.add("the run ended with %#x (failure %s)", rc, fired ? "injected" : "not injected");
        session.finish(rc == 0 ? &reference : nullptr, f);
    }

    tarn_test::TempDir dir;
    std::string base = dir.file("tree.db");
    std::string path = dir.file("session.db");
    std::vector<uint8_t> tree, reference;
};

TEST_F(IndexMemoryFaults, FailedAllocationsAreDoneWithoutOrReported) {
    if (!tarn_fault::AllocInjectionAvailable()) GTEST_SKIP() << "the sanitizer owns the allocator";
    const uint64_t runs = everyFailure("allocation with the loading memory in use", [&](uint64_t n, Findings& f) {
        tarn_test::writeFile(path, tree);
        MemorySession session(path.c_str());
        tarn_fault::Allocations().arm(n);
        const uint32_t rc = session.run();
        tarn_fault::Allocations().disarm();
        const bool fired = tarn_fault::Allocations().fired();
        check(session, rc, fired, isAllocCode(rc), f);
        return fired;
    });
    EXPECT_GT(runs, 10u) << "the state, the fingers, the copies, the table and the announcements at least";
}

TEST_F(IndexMemoryFaults, FailedSystemCallsAreDoneWithoutOrReported) {
    const uint64_t runs = everyFailure("system call with the loading memory in use", [&](uint64_t n, Findings& f) {
        tarn_test::writeFile(path, tree);
        MemorySession session(path.c_str());
        uint32_t rc = 0;
        bool fired = false;
        tarn_fault::SysCall failed = tarn_fault::SysCall::Count;
        {
            tarn_fault::SysFaults sys;
            sys.arm(n);
            rc = session.run();
            sys.disarm();
            fired = sys.trigger().fired();
            failed = sys.firstFailed();
        }
        const bool reported = (rc & 0x3000) != 0 || (rc == 0 && ignorable(failed));
        check(session, rc, fired, reported, f);
        if (!f.empty()) f.add("(%s failed)", tarn_fault::SysCallName(failed));
        return fired;
    });
    EXPECT_GT(runs, 10u);
}

// ---- the XML layer ----------------------------------------------------------------------

constexpr char kDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE library [<!ENTITY au \"Frank Herbert\">]>\n"
    "<library version=\"2\">\n"
    "  <book id=\"b1\" lang=\"en\"><title>Dune</title><author>&au;</author><year>1965</year></book>\n"
    "  <book id=\"b2\"><title>Solaris</title><author>Stanis\xC5\x82" "aw Lem</author>\n"
    "    <note><![CDATA[<raw> & unparsed]]></note></book>\n"
    "  <shelf name=\"top\"><book id=\"b3\"><title>Dune</title><empty/></book></shelf>\n"
    "  mixed <b>bold</b> text &amp; more <!-- a comment -->\n"
    "</library>\n";

const unsigned char* u(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

// Writes the events it receives as text. The buffer is reserved up front so
// that recording allocates nothing while allocations are being failed.
class Recorder : public LumXMLSAX::HandlerBase {
public:
    Recorder() { log.reserve(kRoom); }
    void startDocument() override { put("[start]"); }
    void endDocument() override { put("[end]"); }
    void startElement(const unsigned char* name, const LumXMLSAX::AttributeList& attributes) override {
        put("<");
        put(name);
        for (unsigned int i = 0; i < attributes.getLength(); ++i) {
            put(" ");
            put(attributes.getName(i));
            put("=");
            put(attributes.getValue(i));
        }
        put(">");
    }
    void endElement(const unsigned char* name) override {
        put("</");
        put(name);
        put(">");
    }
    void characters(const unsigned char* chars, unsigned int start, unsigned int length) override {
        if (log.size() + length < kRoom) log.append(reinterpret_cast<const char*>(chars) + start, length);
    }

    std::string log;

private:
    static constexpr size_t kRoom = 1 << 16;
    void put(const unsigned char* s) { put(reinterpret_cast<const char*>(s)); }
    void put(const char* s) {
        if (s != nullptr && log.size() + std::strlen(s) < kRoom) log.append(s);
    }
};

enum class Outcome { Done, Refused, OutOfMemory, Other };
const char* outcomeName(Outcome o) {
    switch (o) {
        case Outcome::Done: return "done";
        case Outcome::Refused: return "SAXException";
        case Outcome::OutOfMemory: return "bad_alloc";
        default: return "another exception";
    }
}

// How a call of the XML layer ended.
template <typename Call>
Outcome ending(Call&& call) {
    try {
        call();
        return Outcome::Done;
    } catch (const LumXMLSAX::SAXException&) {
        return Outcome::Refused;
    } catch (const std::bad_alloc&) {
        return Outcome::OutOfMemory;
    } catch (...) {
        return Outcome::Other;
    }
}

Outcome load(const char* xml, const char* db) {
    return ending([&] {
        LumXMLSAX::DriverText driver;
        LumXMLSAX::HandlerOrlo handler(db);
        driver.setDocumentHandler(&handler);
        driver.setErrorHandler(&handler);
        driver.setDTDHandler(&handler);
        driver.parse(xml);
    });
}

// Replays the stored document whole, or a book titled "Dune".
Outcome replay(const char* db, Recorder& recorder, bool query, bool* matched) {
    return ending([&] {
        LumXMLSAX::DriverOrlo driver;
        driver.setDocumentHandler(&recorder);
        LumXMLSAX::InputSource source(db);
        if (query)
            *matched = driver.queryUnique(source, u("book"), u("title"), u("Dune"));
        else
            driver.parse(source);
    });
}

class XmlFaults : public ::testing::Test {
protected:
    void SetUp() override {
        tarn_test::writeFile(xml, std::vector<uint8_t>(kDocument, kDocument + sizeof kDocument - 1));
        ASSERT_EQ(load(xml.c_str(), stored.c_str()), Outcome::Done);
        Recorder whole, book;
        bool matched = false;
        ASSERT_EQ(replay(stored.c_str(), whole, false, nullptr), Outcome::Done);
        ASSERT_EQ(replay(stored.c_str(), book, true, &matched), Outcome::Done);
        ASSERT_TRUE(matched);
        goldenDocument = whole.log;
        goldenBook = book.log;
        ASSERT_NE(goldenDocument.find("<title>Solaris</title>"), std::string::npos) << goldenDocument;
        ASSERT_NE(goldenBook.find("<title>Dune</title>"), std::string::npos) << goldenBook;
        ASSERT_EQ(goldenBook.find("Solaris"), std::string::npos) << goldenBook;
    }

    // What a load with an injected failure left behind: a load reported done
    // stored the whole document; any other file opens or is refused as not a
    // database, and a replay of it ends normally or with a SAXException.
    void checkLoad(Outcome o, bool fired, bool memoryFaults, Findings& f) {
        if (o == Outcome::Other || (o == Outcome::OutOfMemory && !memoryFaults))
            f.add("the load ended with %s", outcomeName(o));
        if (!fired && o != Outcome::Done) f.add("the load failed with nothing injected: %s", outcomeName(o));
        if (!tarn_test::exists(db)) {
            if (o == Outcome::Done) f.add("a load reported done left no database file");
            return;
        }
        Recorder r;
        const Outcome again = replay(db.c_str(), r, false, nullptr);
        if (o == Outcome::Done && (again != Outcome::Done || r.log != goldenDocument))
            f.add("a load reported done stored something else (replay: %s)", outcomeName(again));
        if (again != Outcome::Done && again != Outcome::Refused)
            f.add("replaying what a failed load left ended with %s", outcomeName(again));
        lumdb* handle = nullptr;
        LumDbParams p{kOpenExisting, 0, 0, kMapped, 0, 0};
        const uint32_t rc = LumDbCreate(&handle, 0, db.c_str(), &p);
        if (rc == 0) LumDbClose(handle);
        if (rc != 0 && rc != kDamaged) f.add("what the load left is refused with %u", rc);
    }

    tarn_test::TempDir dir;
    std::string xml = dir.file("library.xml");
    std::string stored = dir.file("library.db");
    std::string db = dir.file("loaded.db");
    std::string goldenDocument, goldenBook;
};

TEST_F(XmlFaults, LoadingUnderFailedAllocationsReportsAndFreesEverything) {
    if (!tarn_fault::AllocInjectionAvailable()) GTEST_SKIP() << "the sanitizer owns the allocator";
    const uint64_t runs = everyFailure("allocation while loading", [&](uint64_t n, Findings& f) {
        unlink(db.c_str());
        tarn_fault::Allocations().arm(n);
        const Outcome o = load(xml.c_str(), db.c_str());
        tarn_fault::Allocations().disarm();
        const bool fired = tarn_fault::Allocations().fired();
        checkLoad(o, fired, true, f);
        if (!f.empty()) f.add("(the load ended: %s)", outcomeName(o));
        return fired;
    });
    EXPECT_GT(runs, 50u);
}

TEST_F(XmlFaults, LoadingUnderFailedSystemCallsReportsAndLeavesAFileThatOpens) {
    for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
        const uint64_t runs = everyFailure(label("system call while loading", mode), [&](uint64_t n, Findings& f) {
            unlink(db.c_str());
            Outcome o;
            bool fired;
            tarn_fault::SysCall failed;
            {
                tarn_fault::SysFaults sys;
                sys.arm(n, mode);
                o = load(xml.c_str(), db.c_str());
                sys.disarm();
                fired = sys.trigger().fired();
                failed = sys.firstFailed();
            }
            checkLoad(o, fired, false, f);
            if (!f.empty()) f.add("(%s failed first; the load ended: %s)", tarn_fault::SysCallName(failed), outcomeName(o));
            return fired;
        });
        EXPECT_GT(runs, 8u) << "open, lock, size, reserve, map, grow, flush, unmap, close";
    }
}

// The library's load, whole or nothing, on one thread or two. The input
// is the caller's, made before any failure is injected.
Outcome wholeLoad(const LumXMLInput& input, const char* db, bool ahead) {
    LumXMLLoadOptions options;
    options.parseAhead = ahead;
    return ending([&] { LumXMLLoad(input, db, options); });
}

// Names in the folder that are not one of `known`: temporary files left.
std::string strays(const tarn_test::TempDir& dir, const std::vector<std::string>& known) {
    std::string found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (std::find(known.begin(), known.end(), dir.file(name)) == known.end()) found += " " + name;
    }
    return found;
}

// Whatever fails, on either thread, a whole-or-nothing load leaves the old
// database byte for byte and no temporary file, or stores the whole
// document; a load that fails writes nothing to its database after the
// failure, so that one failing at the size limit stops at once.
TEST_F(XmlFaults, WholeLoadsLeaveTheOldDatabaseOrTheWholeNewOne) {
    const std::vector<uint8_t> old = tarn_test::readFile(stored);
    const std::vector<std::string> known{xml, stored, db};
    const LumXMLInput input = LumXMLInput::File(xml.c_str());
    const auto check = [&](Outcome o, bool fired, Findings& f) {
        if (!fired && o != Outcome::Done) f.add("the load failed with nothing injected: %s", outcomeName(o));
        if (o == Outcome::Done) {
            Recorder r;
            if (replay(db.c_str(), r, false, nullptr) != Outcome::Done || r.log != goldenDocument)
                f.add("a load reported done stored something else");
        } else if (o != Outcome::Refused) {
            f.add("the load ended with %s", outcomeName(o));
        } else if (tarn_test::readFile(db) != old) {
            f.add("a failed load changed the old database");
        }
        const std::string left = strays(dir, known);
        if (!left.empty()) f.add("left behind:%s", left.c_str());
    };
    for (bool ahead : {true, false}) {
        const std::string how = ahead ? " (parse ahead)" : " (one thread)";
        if (tarn_fault::AllocInjectionAvailable()) {
            everyFailure("allocation in a whole load" + how, [&](uint64_t n, Findings& f) {
                tarn_test::writeFile(db, old);
                tarn_fault::Allocations().arm(n);
                const Outcome o = wholeLoad(input, db.c_str(), ahead);
                tarn_fault::Allocations().disarm();
                check(o, tarn_fault::Allocations().fired(), f);
                return tarn_fault::Allocations().fired();
            });
        }
        for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
            everyFailure(label("system call in a whole load", mode) + how, [&](uint64_t n, Findings& f) {
                tarn_test::writeFile(db, old);
                tarn_fault::SysFaults sys;
                sys.arm(n, mode);
                const Outcome o = wholeLoad(input, db.c_str(), ahead);
                sys.disarm();
                check(o, sys.trigger().fired(), f);
                return sys.trigger().fired();
            });
        }
    }

    using tarn_fault::SysCall;
    const auto writes = [](const tarn_fault::SysFaults& sys) {
        return sys.made(SysCall::Pwrite) + sys.made(SysCall::Msync) + sys.made(SysCall::Fsync);
    };
    const std::string cut = dir.file("cut.xml");
    tarn_test::writeText(cut, std::string(kDocument, sizeof kDocument - 12));
    for (bool ahead : {true, false}) {
        tarn_fault::SysFaults sys;
        EXPECT_EQ(wholeLoad(LumXMLInput::File(cut.c_str()), db.c_str(), ahead), Outcome::Refused);
        EXPECT_EQ(writes(sys), 0u) << "a malformed document was written out before it was given up";
    }
    tarn_fault::SysFaults sys;
    ASSERT_EQ(wholeLoad(input, db.c_str(), true), Outcome::Done);
    EXPECT_GT(writes(sys), 0u);
}

TEST_F(XmlFaults, ReplayingUnderFailedAllocationsReportsAndChangesNothing) {
    if (!tarn_fault::AllocInjectionAvailable()) GTEST_SKIP() << "the sanitizer owns the allocator";
    const std::vector<uint8_t> bytes = tarn_test::readFile(stored);
    for (bool query : {false, true}) {
        const std::string& golden = query ? goldenBook : goldenDocument;
        const uint64_t runs = everyFailure(query ? "allocation in queryUnique" : "allocation in parse",
                                           [&](uint64_t n, Findings& f) {
            // A fresh file each run: a database leaked by an earlier run keeps its file locked.
            unlink(db.c_str());
            tarn_test::writeFile(db, bytes);
            Recorder r;
            bool matched = false;
            tarn_fault::Allocations().arm(n);
            const Outcome o = replay(db.c_str(), r, query, &matched);
            tarn_fault::Allocations().disarm();
            const bool fired = tarn_fault::Allocations().fired();
            if (o == Outcome::Done && (r.log != golden || (query && !matched)))
                f.add("a replay reported done delivered other events");
            if (o == Outcome::Other) f.add("the replay ended with %s", outcomeName(o));
            if (!fired && o != Outcome::Done) f.add("the replay failed with nothing injected");
            if (tarn_test::readFile(db) != bytes) f.add("the replay changed the database file");
            if (!f.empty()) f.add("(the replay ended: %s)", outcomeName(o));
            return fired;
        });
        EXPECT_GT(runs, 20u);
    }
}

// What the writer prints of the stored document, with file descriptor 1 sent
// to a file meanwhile; the allocations of the capture are not counted.
Outcome dumped(const char* db, const std::string& into, bool armed, uint64_t n, std::string* out) {
    std::fflush(stdout);
    const int saved = dup(1);
    const int file = open(into.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(file, 1);
    if (armed) tarn_fault::Allocations().arm(n);
    const Outcome o = ending([&] {
        LumXMLSAX::DriverOrlo driver;
        LumXMLSAX::HandlerDump writer(LumXMLSAX::HandlerDump::Flushing::AtEnd);
        driver.setDocumentHandler(&writer);
        driver.parse(db);
    });
    if (armed) tarn_fault::Allocations().disarm();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(file);
    *out = tarn_test::readText(into);
    return o;
}

// The writer's own buffer is one of the allocations that fail: without it,
// every piece goes out at once. Whatever fails, standard output holds the
// document, or the start of it when the replay failed.
TEST_F(XmlFaults, WritingUnderFailedAllocationsLosesNothingWritten) {
    if (!tarn_fault::AllocInjectionAvailable()) GTEST_SKIP() << "the sanitizer owns the allocator";
    const std::string output = dir.file("output.xml");
    std::string golden;
    ASSERT_EQ(dumped(stored.c_str(), output, false, 0, &golden), Outcome::Done);
    ASSERT_NE(golden.find("<title>Solaris</title>"), std::string::npos) << golden;
    const uint64_t runs = everyFailure("allocation while writing", [&](uint64_t n, Findings& f) {
        std::string text;
        const Outcome o = dumped(stored.c_str(), output, true, n, &text);
        const bool fired = tarn_fault::Allocations().fired();
        if (o == Outcome::Done && text != golden) f.add("a replay reported done wrote other bytes");
        if (o != Outcome::Done && golden.compare(0, text.size(), text) != 0)
            f.add("a failed replay wrote what the document does not begin with");
        if (o == Outcome::Other) f.add("the replay ended with %s", outcomeName(o));
        return fired;
    });
    EXPECT_GT(runs, 20u);
}

}  // namespace
