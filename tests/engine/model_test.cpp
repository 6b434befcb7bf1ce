// Randomized runs of appends, modifications, erasures and queries over every
// storage class, each answer checked against a plain in-memory model, with a
// full comparison of records and index after every batch. Seeds are fixed and
// named in every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/access_test_util.h"
#include "tests/engine/storage/temp_dir.h"

namespace {

using namespace access_test;
using Bytes = std::vector<uint8_t>;

struct MField {
    uint8_t base = 0;
    bool plain = false;
    uint16_t number = 0;
    Bytes value;  // as stored: integers little-endian, strings with their NUL
    uint32_t addr = 0;
};
using MRecord = std::vector<MField>;

int Class(uint32_t base) { return tarn::fmt::baseTypeClass(base); }
bool IsString(int cls) { return cls == 8 || cls == 9; }
uint32_t Width(int cls) { return cls <= 2 ? 1 : cls <= 4 ? 2 : 4; }
bool Signed(int cls) { return cls == 2 || cls == 4 || cls == 6; }
uint32_t ValueStart(const MField& f) { return (!f.plain || f.base == 10) ? 16 : 12; }

// ---- keys as the value index orders them -------------------------------------

int64_t Number(int cls, const uint8_t* p) {
    uint32_t u = 0;
    std::memcpy(&u, p, Width(cls));
    if (!Signed(cls)) return u;
    if (cls == 2) return int8_t(u);
    if (cls == 4) return int16_t(u);
    return int32_t(u);
}
int CompareKeys(int cls, const uint8_t* a, const uint8_t* b) {
    if (IsString(cls)) {
        int r = std::strcmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b));
        return (r > 0) - (r < 0);
    }
    int64_t x = Number(cls, a), y = Number(cls, b);
    return (x > y) - (x < y);
}
int Bucket(int cls, const uint8_t* p) {
    if (IsString(cls)) return p[0];
    int msb = p[Width(cls) - 1];
    return Signed(cls) ? (msb + 128) % 256 : msb;
}
Bytes OpenBound(int cls, bool high) {
    switch (cls) {
    case 8: return high ? Bytes{0xFF, 0} : Bytes{1, 0};
    case 9: return high ? Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0} : Bytes{1, 0};
    case 6: return high ? Bytes{0xFF, 0xFF, 0xFF, 0x7F} : Bytes{0x01, 0, 0, 0x80};
    default: {
        const uint32_t w = Width(cls);
        Bytes b(w, high ? 0xFF : 0);
        if (Signed(cls)) b[w - 1] = high ? 0x7F : 0x80;
        return b;
    }
    }
}
bool Contains(const Bytes& key, const Bytes& pattern) {
    return std::strstr(reinterpret_cast<const char*>(key.data()),
                       reinterpret_cast<const char*>(pattern.data())) != nullptr;
}

struct Query {
    uint32_t mode = 0;
    uint8_t base = 0;
    uint16_t number = 0;
    bool hasLow = false, hasHigh = false;
    Bytes low, high;  // zero-padded to 4 bytes for integers
    uint32_t kind = 0;
};

bool Matches(const MField& f, const Query& q) {
    const int cls = Class(q.base);
    if (f.plain || Class(f.base) != cls || f.number != q.number) return false;
    const uint8_t* k = f.value.data();
    switch (q.mode) {
    case 0: {
        Bytes lo = q.hasLow ? q.low : OpenBound(cls, false);
        Bytes hi = q.hasHigh ? q.high : OpenBound(cls, true);
        if (Bucket(cls, lo.data()) > Bucket(cls, hi.data())) std::swap(lo, hi);
        return CompareKeys(cls, lo.data(), k) <= 0 && CompareKeys(cls, k, hi.data()) <= 0;
    }
    case 1: return CompareKeys(cls, k, q.low.data()) == 0;
    case 2:
    case 3: {
        const int b = Bucket(cls, k);
        if (b < Bucket(cls, OpenBound(cls, false).data()) || b > Bucket(cls, OpenBound(cls, true).data()))
            return false;
        return q.mode == 2 || Contains(f.value, q.low);
    }
    default: return false;
    }
}

// ---- the run -------------------------------------------------------------------

const uint8_t kBases[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 128, 130, 140};

class ModelRun {
public:
    ModelRun(lumdb* db, uint32_t seed) : rng_(seed) { Attach(db); }
    ~ModelRun() { Detach(); }

    // The model outlives a database handle: close, reopen, attach again.
    void Attach(lumdb* db) {
        db_ = db;
        dAddr_ = 0;
        EXPECT_EQ(LumCursorCreate(&c_, db), kOk);
        EXPECT_EQ(LumCursorCreate(&d_, db), kOk);
    }
    void Detach() {
        if (c_ != nullptr) LumCursorDestroy(c_);
        if (d_ != nullptr) LumCursorDestroy(d_);
        c_ = d_ = nullptr;
    }

    void Step() {
        const uint32_t r = Pick(100);
        if (records_.empty() || r < 8) NewRecord();
        else if (r < 45) AppendInside();
        else if (r < 62) Modify();
        else if (r < 76) EraseField();
        else if (r < 79) EraseRecord();
        else if (r < 94) RunQuery(RandomQuery());
        else MoveWithinRecord();
        CheckSecondCursor();
    }

    // Every record field by field, raw owner words, and every key of the index.
    void CheckAll() {
        for (const MRecord& rec : records_) {
            ASSERT_EQ(LumCursorGotoMemberAddress(c_, rec[0].addr), kOk);
            uint32_t n = 0;
            ASSERT_EQ(LumCursorGetNumFields(c_, &n), kOk);
            ASSERT_EQ(n, rec.size());
            for (uint32_t p = 0; p < n; ++p) {
                ASSERT_EQ(LumCursorGotoField(c_, p), kOk);
                ExpectField(c_, rec[p]);
                EXPECT_EQ(tarn::DataGetU32(db_->store, rec[p].addr + tarn::fmt::kFieldOwner), rec[0].addr);
                const uint32_t next = p + 1 < n ? rec[p + 1].addr : 0;
                EXPECT_EQ(tarn::DataGetU32(db_->store, rec[p].addr + tarn::fmt::kFieldNext), next);
            }
        }
        for (uint8_t base : kBases)
            for (uint16_t number = 1; number <= 3; ++number) {
                Query all;
                all.mode = 2;
                all.base = base;
                all.number = number;
                RunQuery(all);
            }
        for (const MRecord& rec : records_)
            for (const MField& f : rec)
                if (!f.plain) {
                    Query eq;
                    eq.mode = 1;
                    eq.base = f.base;
                    eq.number = f.number;
                    eq.hasLow = true;
                    eq.low = f.value;
                    eq.low.resize(std::max<size_t>(eq.low.size(), 4), 0);
                    RunQuery(eq);
                }
        EXPECT_FALSE(db_->store->damaged);
    }

    size_t Fields() const {
        size_t n = 0;
        for (const MRecord& r : records_) n += r.size();
        return n;
    }

private:
    uint32_t Pick(uint32_t n) { return uint32_t(rng_() % n); }

    Bytes RandomText(int cls) {
        static const uint8_t kChars[] = {'a', 'b', 'c', 'e', 'l', 0x01, 0x7F, 0xC3, 0xA9, 0xFF};
        Bytes t;
        const uint32_t len = Pick(6);
        for (uint32_t i = 0; i < len; ++i) t.push_back(kChars[Pick(cls == 9 ? 9 : 10)]);
        t.push_back(0);
        return t;
    }
    Bytes RandomNumber(int cls) {
        static const uint32_t kInteresting[] = {0, 1, 2, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF,
                                                0x7FFFFFFF, 0x80000000u, 0x80000001u, 0xFFFFFFFFu};
        uint32_t v = Pick(3) == 0 ? kInteresting[Pick(13)] : Pick(3) == 0 ? uint32_t(rng_()) : Pick(12);
        Bytes b(4);
        std::memcpy(b.data(), &v, 4);
        b.resize(Width(cls));
        return b;
    }
    Bytes RandomValue(uint8_t base) {
        const int cls = Class(base);
        if (IsString(cls)) return RandomText(cls);
        if (cls == 7) return {};
        if (cls == 10) {
            Bytes b(Pick(7));
            for (auto& x : b) x = uint8_t(rng_());
            return b;
        }
        return RandomNumber(cls);
    }
    uint8_t RandomBase() { return kBases[Pick(sizeof kBases)]; }

    // Appends a random field after the cursor's current field; fills `out`.
    void AppendRandom(MField* out) {
        out->base = RandomBase();
        const uint32_t flag = Pick(4) == 0 ? 1 : 0;
        out->number = uint16_t(1 + Pick(3));
        out->value = RandomValue(out->base);
        const int cls = Class(out->base);
        out->plain = flag == 1 || cls == 7 || cls == 10;
        Bytes buffer = out->value;
        buffer.resize(buffer.size() + 4, 0);
        const uint32_t options[1] = {kUtf8};
        const LumTypeId id = Type(out->base, flag, out->number);
        ASSERT_EQ(LumCursorAppendField(c_, id, cls == 7 ? nullptr : buffer.data(),
                                       uint32_t(out->value.size()), options),
                  kOk);
        out->addr = CurrentAddr(c_);
    }

    uint32_t CurrentAddr(lumcursor* c) {
        uint32_t addr = 0;
        EXPECT_EQ(LumCursorFetchField(c, nullptr, nullptr, 0, nullptr, nullptr, &addr, nullptr), kOk);
        return addr;
    }

    void ExpectField(lumcursor* c, const MField& f) {
        LumTypeId id = 0;
        uint32_t size = 0, addr = 0;
        Bytes got(f.value.size() + 1, 0xEE);
        const uint32_t utf8 = kUtf8;
        ASSERT_EQ(LumCursorFetchField(c, &id, got.data(), uint32_t(got.size()), &utf8, &size, &addr, nullptr), kOk);
        EXPECT_EQ(id, Type(f.base, f.plain ? 1 : 0, f.number));
        EXPECT_EQ(addr, f.addr);
        ASSERT_EQ(size, f.value.size());
        got.resize(size);
        EXPECT_EQ(got, f.value);
    }

    void ExpectPosition(lumcursor* c, uint32_t index, uint32_t count) {
        uint32_t i = 0, n = 0;
        ASSERT_EQ(LumCursorGetFieldIndex(c, &i), kOk);
        ASSERT_EQ(LumCursorGetNumFields(c, &n), kOk);
        EXPECT_EQ(i, index);
        EXPECT_EQ(n, count);
    }

    // Puts c_ on field k of record r, by member address or by position.
    void Go(size_t r, size_t k) {
        uint32_t owner = 0;
        LumCursorFetchField(c_, nullptr, nullptr, 0, nullptr, nullptr, nullptr, &owner);
        if (owner == records_[r][0].addr && Pick(2) == 0)
            ASSERT_EQ(LumCursorGotoField(c_, uint32_t(k)), kOk);
        else
            ASSERT_EQ(LumCursorGotoMemberAddress(c_, records_[r][k].addr), kOk);
    }

    void NewRecord() {
        ASSERT_EQ(LumCursorNewRecord(c_), kOk);
        MField f;
        AppendRandom(&f);
        records_.push_back({f});
        ExpectPosition(c_, 0, 1);
    }

    void AppendInside() {
        const size_t r = Pick(uint32_t(records_.size()));
        const size_t k = Pick(uint32_t(records_[r].size()));
        Go(r, k);
        // Runs of appends, as a document's text and attributes are stored.
        const uint32_t run = Pick(4) == 0 ? 1 + Pick(6) : 1;
        for (uint32_t i = 0; i < run; ++i) {
            MField f;
            AppendRandom(&f);
            records_[r].insert(records_[r].begin() + long(k + 1 + i), f);
            ExpectPosition(c_, uint32_t(k + 1 + i), uint32_t(records_[r].size()));
        }
    }

    // Bytes the kept value is read as under another type.
    static Bytes Reread(const Bytes& old, uint8_t base) {
        const int cls = Class(base);
        Bytes padded = old;
        padded.resize(old.size() + 8, 0);
        if (cls == 10) return old;
        if (cls == 7) return {};
        if (IsString(cls)) return Bytes(padded.begin(), padded.begin() + long(std::strlen(reinterpret_cast<char*>(padded.data())) + 1));
        return Bytes(padded.begin(), padded.begin() + Width(cls));
    }

    void Modify() {
        const size_t r = Pick(uint32_t(records_.size()));
        const size_t k = Pick(uint32_t(records_[r].size()));
        Go(r, k);
        MField& f = records_[r][k];
        MField now = f;
        const bool newType = Pick(2) == 0;
        uint32_t flag = f.plain ? 1 : 0;
        if (newType) {
            now.base = RandomBase();
            flag = Pick(3) == 0 ? 1 : 0;
            now.number = uint16_t(1 + Pick(3));
        }
        const int cls = Class(now.base);
        now.plain = flag == 1 || cls == 7 || cls == 10;
        const bool newValue = Pick(3) != 0;
        now.value = newValue ? RandomValue(now.base) : Reread(f.value, now.base);
        Bytes buffer = now.value;
        buffer.resize(buffer.size() + 4, 0);
        const LumTypeId id = Type(now.base, flag, now.number);
        const uint32_t utf8 = kUtf8;
        ASSERT_EQ(LumCursorModifyField(c_, newType ? &id : nullptr, newValue ? buffer.data() : nullptr,
                                       uint32_t(now.value.size()), &utf8),
                  kOk);
        const bool moves = now.value.size() > f.value.size() ||
                           ValueStart(now) + now.value.size() > ValueStart(f) + f.value.size();
        now.addr = CurrentAddr(c_);
        EXPECT_EQ(now.addr != f.addr, moves);
        if (moves && (f.addr == dAddr_ || (k == 0 && InRecord(r, dAddr_)))) dAddr_ = 0;
        f = now;
        ExpectField(c_, f);
        ExpectPosition(c_, uint32_t(k), uint32_t(records_[r].size()));
    }

    void EraseField() {
        const size_t r = Pick(uint32_t(records_.size()));
        const size_t k = Pick(uint32_t(records_[r].size()));
        Go(r, k);
        if (k == 0 && records_[r].size() > 1) {
            ASSERT_EQ(LumCursorEraseField(c_), kOwnerHasMembers);
            return;
        }
        ASSERT_EQ(LumCursorEraseField(c_), kOk);
        if (records_[r][k].addr == dAddr_) dAddr_ = 0;
        records_[r].erase(records_[r].begin() + long(k));
        if (records_[r].empty()) {
            records_.erase(records_.begin() + long(r));
            return;
        }
        uint32_t n = 0;
        ASSERT_EQ(LumCursorGetNumFields(c_, &n), kOk);
        EXPECT_EQ(n, records_[r].size());
    }

    void EraseRecord() {
        const size_t r = Pick(uint32_t(records_.size()));
        Go(r, Pick(uint32_t(records_[r].size())));
        ASSERT_EQ(LumCursorEraseRecord(c_), kOk);
        if (InRecord(r, dAddr_)) dAddr_ = 0;
        records_.erase(records_.begin() + long(r));
    }

    void MoveWithinRecord() {
        const size_t r = Pick(uint32_t(records_.size()));
        Go(r, Pick(uint32_t(records_[r].size())));
        for (int i = 0; i < 3; ++i) {
            const uint32_t p = Pick(uint32_t(records_[r].size()) + 2);
            const uint32_t rc = LumCursorGotoField(c_, p);
            if (p >= records_[r].size()) {
                EXPECT_EQ(rc, kBadFieldIndex);
                continue;
            }
            ASSERT_EQ(rc, kOk);
            ExpectField(c_, records_[r][p]);
            ExpectPosition(c_, p, uint32_t(records_[r].size()));
        }
    }

    bool InRecord(size_t r, uint32_t addr) const {
        for (const MField& f : records_[r])
            if (f.addr == addr) return true;
        return false;
    }

    // The second cursor stays where it was put while the first one works.
    void CheckSecondCursor() {
        for (size_t r = 0; r < records_.size(); ++r)
            for (size_t k = 0; k < records_[r].size(); ++k)
                if (records_[r][k].addr == dAddr_) {
                    ExpectPosition(d_, uint32_t(k), uint32_t(records_[r].size()));
                    if (Pick(8) != 0) return;
                }
        if (records_.empty()) return;
        const size_t r = Pick(uint32_t(records_.size()));
        const size_t k = Pick(uint32_t(records_[r].size()));
        ASSERT_EQ(LumCursorGotoMemberAddress(d_, records_[r][k].addr), kOk);
        dAddr_ = records_[r][k].addr;
        ExpectPosition(d_, uint32_t(k), uint32_t(records_[r].size()));
    }

    Query RandomQuery() {
        Query q;
        q.mode = Pick(10) == 0 ? 4 + Pick(3) : Pick(4);
        q.base = RandomBase();
        q.number = uint16_t(1 + Pick(3));
        q.kind = Pick(3) == 0 ? 1 : 0;
        const bool valued = q.mode == 0 || q.mode == 1 || q.mode == 3;
        if (!valued) return q;
        if (q.mode == 3) q.base = Pick(2) == 0 ? 8 : 9;
        const int vcls = Class(q.base);
        if (vcls == 7 || vcls == 10 || vcls == 0) {
            q.mode = 2;
            return q;
        }
        q.hasLow = q.mode != 0 || Pick(4) != 0;
        q.hasHigh = q.mode == 0 && Pick(4) != 0;
        // Low values are often keys already stored, so that queries hit.
        q.low = RandomValue(q.base);
        for (const MRecord& rec : records_)
            for (const MField& f : rec)
                if (Class(f.base) == vcls && Pick(4) == 0) q.low = f.value;
        q.high = RandomValue(q.base);
        if (!IsString(vcls)) {
            q.low.resize(4, 0);
            q.high.resize(4, 0);
        }
        return q;
    }

    void RunQuery(const Query& q) {
        lumquery* query = nullptr;
        ASSERT_EQ(LumQueryCreate(&query, db_), kOk);
        LumQueryParams* p = nullptr;
        ASSERT_EQ(LumQueryGetParams(query, &p), kOk);
        *p = LumQueryParams{2, q.mode, q.kind, 0, q.hasLow ? q.low.data() : nullptr,
                            q.hasHigh ? q.high.data() : nullptr, kUtf8, kUtf8,
                            Type(q.base, 0, q.number)};
        lumresset* set = nullptr;
        ASSERT_EQ(LumQueryExecute(query, &set), kOk) << "mode " << q.mode << " base " << int(q.base);
        ASSERT_EQ(LumQueryDestroy(query, 0), kOk);
        std::vector<uint32_t> got = Sorted(Items(db_, set));
        ASSERT_EQ(LumResDestroy(set), kOk);
        std::vector<uint32_t> want;
        for (const MRecord& rec : records_)
            for (const MField& f : rec)
                if (Matches(f, q)) want.push_back(q.kind == 1 ? rec[0].addr : f.addr);
        want = Sorted(want);
        want.erase(std::unique(want.begin(), want.end()), want.end());
        EXPECT_EQ(got, want) << "mode " << q.mode << " base " << int(q.base) << " number " << q.number
                             << " kind " << q.kind;
    }

    lumdb* db_;
    std::mt19937 rng_;
    lumcursor* c_ = nullptr;
    lumcursor* d_ = nullptr;
    uint32_t dAddr_ = 0;
    std::vector<MRecord> records_;
};

TEST(ModelTest, RandomSequencesInMemory) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        lumdb* db = OpenMemory(seed % 2 == 0 ? 512 : 0);
        ASSERT_NE(db, nullptr);
        {
            ModelRun run(db, seed);
            for (int batch = 0; batch < 30 && !HasFatalFailure(); ++batch) {
                for (int i = 0; i < 60 && !HasFatalFailure(); ++i) run.Step();
                run.CheckAll();
            }
            EXPECT_GT(run.Fields(), 0u);
        }
        EXPECT_EQ(LumDbClose(db), kOk);
        if (HasFailure()) break;
    }
}

TEST(ModelTest, RandomSequencesOnFileSurviveReopening) {
    tarn_test::TempDir dir;
    for (uint32_t seed = 101; seed <= 103; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::string path = dir.file("model" + std::to_string(seed) + ".db");
        lumdb* db = OpenFile(path, 0);
        ASSERT_NE(db, nullptr);
        auto* run = new ModelRun(db, seed);
        for (int i = 0; i < 800 && !HasFatalFailure(); ++i) run->Step();
        run->CheckAll();
        // The same contents after closing and opening again; then more work.
        run->Detach();
        EXPECT_EQ(LumDbClose(db), kOk);
        db = OpenFile(path, 16);
        ASSERT_NE(db, nullptr);
        run->Attach(db);
        run->CheckAll();
        for (int i = 0; i < 800 && !HasFatalFailure(); ++i) run->Step();
        run->CheckAll();
        delete run;
        EXPECT_EQ(LumDbClose(db), kOk);
    }
}

}  // namespace
