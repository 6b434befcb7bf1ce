// Result sets: slot order of adds, merges and compaction, clones, database
// references, and a long random run against a literal slot-array model.
#include "engine/resultset.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/storage/objstore.h"

namespace tarn {
namespace {

using Values = std::vector<uint32_t>;
constexpr uint32_t P = 100, Q = 200, R = 300, S = 400;

class ResultSets : public ::testing::Test {
protected:
    void SetUp() override {
        LumDbParams p{0, 0, 0, 4, 0, 0};
        ASSERT_EQ(LumDbCreate(&db, 0, nullptr, &p), 0u);
    }
    void TearDown() override {
        for (lumresset* set : sets) LumResDestroy(set);
        EXPECT_EQ(LumDbClose(db), 0u) << "every set gave its reference back";
    }

    lumresset* make(const Values& values, uint32_t kind = kResultFields) {
        lumresset* set = nullptr;
        EXPECT_EQ(ResultSetCreate(&set, db, 1, kind), 0u);
        for (uint32_t v : values) EXPECT_EQ(ResultSetAdd(set, v, nullptr), 0u);
        sets.push_back(set);
        return set;
    }
    static Values live(const lumresset* set) {
        Values out(ResultSetLiveCount(set));
        ResultSetLiveValues(set, out.data());
        return out;
    }
    // Every slot in use, removed ones as 0.
    static Values slots(const lumresset* set) {
        Values out;
        for (uint32_t k = 0; k < ResultSetUsed(set); ++k) {
            uint32_t v = 0;
            out.push_back(ResultSetSlot(set, k, &v) == kSlotLive ? v : 0);
        }
        return out;
    }

    lumdb* db = nullptr;
    std::vector<lumresset*> sets;
};

TEST_F(ResultSets, AddKeepsValuesDistinctAndReportsTheirSlot) {
    lumresset* set = make({});
    uint32_t slot = 99;
    EXPECT_EQ(ResultSetAdd(set, P, &slot), 0u);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(ResultSetAdd(set, Q, &slot), 0u);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(ResultSetAdd(set, P, &slot), 0u);
    EXPECT_EQ(slot, 0u) << "a duplicate reports the existing slot";
    EXPECT_EQ(live(set), (Values{P, Q}));
    EXPECT_TRUE(ResultSetHolds(set, Q, &slot));
    EXPECT_EQ(slot, 1u);
    EXPECT_FALSE(ResultSetHolds(set, R, nullptr));
    EXPECT_EQ(ResultSetDatabase(set), db);
    for (uint32_t v = 1; v <= 1000; ++v) ResultSetAdd(set, v * 7, nullptr);
    EXPECT_EQ(ResultSetLiveCount(set), 1002u) << "700 was new; nothing else repeats";
}

TEST_F(ResultSets, RecordsSetsHoldOwners) {
    Store* s = db->store;
    uint32_t owner = 0, member = 0, other = 0;
    ASSERT_EQ(FieldCreate(s, &owner, 5, 1, 1, 0, 0, 4), 0u);
    ASSERT_EQ(FieldCreate(s, &member, 5, 1, 1, 0, 0, 4), 0u);
    ASSERT_EQ(FieldCreate(s, &other, 5, 1, 1, 0, 0, 4), 0u);
    FieldLink(s, owner, 0);
    FieldLink(s, member, owner);
    FieldLink(s, other, 0);
    lumresset* set = make({member, owner, other}, kResultRecords);
    EXPECT_EQ(live(set), (Values{owner, other}));
    EXPECT_EQ(ResultSetAdd(set, 0xFFFFFF00, nullptr), rc::kIllegalFile) << "owner word out of the area";
    EXPECT_EQ(live(set), (Values{owner, other}));
}

// A set the caller fills: its values as a search's would be, and a wrong
// offset refused without the store being taken for damaged.
TEST_F(ResultSets, CallersSetsHoldWhatTheyAreGiven) {
    Store* s = db->store;
    uint32_t owner = 0, member = 0;
    ASSERT_EQ(FieldCreate(s, &owner, 5, 1, 1, 0, 0, 4), 0u);
    ASSERT_EQ(FieldCreate(s, &member, 5, 1, 1, 0, 0, 4), 0u);
    FieldLink(s, owner, 0);
    FieldLink(s, member, owner);
    lumresset* fields = nullptr;
    lumresset* records = nullptr;
    EXPECT_EQ(LumResCreate(&fields, nullptr, 0), rc::kBadDatabase);
    EXPECT_EQ(LumResCreate(nullptr, db, 0), rc::kBadParameter);
    EXPECT_EQ(LumResCreate(&fields, db, 2), rc::kBadParameter);
    EXPECT_EQ(fields, nullptr);
    ASSERT_EQ(LumResCreate(&fields, db, 0), 0u);
    sets.push_back(fields);
    ASSERT_EQ(LumResCreate(&records, db, 1), 0u);
    sets.push_back(records);
    EXPECT_EQ(db->refCount, 2u);
    for (uint32_t f : {member, owner, member}) {
        EXPECT_EQ(LumResAdd(fields, f), 0u);
        EXPECT_EQ(LumResAdd(records, f), 0u);
    }
    EXPECT_EQ(live(fields), (Values{member, owner}));
    EXPECT_EQ(live(records), Values{owner});
    for (uint32_t wrong : {0u, fmt::kFirstObject - 1, StoreDataSize(s) - fmt::kPlainOverhead + 1,
                           0xFFFFFF00u}) {
        EXPECT_EQ(LumResAdd(records, wrong), rc::kIllegalFile) << wrong;
        EXPECT_EQ(LumResAdd(fields, wrong), rc::kIllegalFile) << wrong;
    }
    EXPECT_FALSE(s->damaged);
    EXPECT_EQ(live(fields), (Values{member, owner}));
    EXPECT_EQ(LumResAdd(nullptr, owner), rc::kBadResultSet);
    EXPECT_EQ(LumResMerge(fields, records, 2), 0u);
    EXPECT_EQ(live(fields), Values{member});
}

TEST_F(ResultSets, MergesKeepTheSlotOrder) {
    lumresset* u = make({P, Q});
    EXPECT_EQ(LumResMerge(u, make({Q, R}), 0), 0u);
    EXPECT_EQ(slots(u), (Values{P, Q, R}));

    lumresset* i = make({P, Q, R});
    EXPECT_EQ(LumResMerge(i, make({Q}), 1), 0u);
    EXPECT_EQ(slots(i), Values{Q});

    lumresset* d = make({P, Q, R});
    lumresset* other = make({P});
    EXPECT_EQ(LumResMerge(d, other, 2), 0u);
    EXPECT_EQ(slots(d), (Values{R, Q})) << "the last value fills the hole";
    EXPECT_EQ(slots(other), Values{P}) << "other unchanged";

    lumresset* x = make({P, Q, R});
    EXPECT_EQ(LumResMerge(x, make({S, Q}), 3), 0u);
    EXPECT_EQ(slots(x), (Values{P, S, R})) << "Q leaves, S is appended, then fills Q's hole";
}

TEST_F(ResultSets, CompactionMayLeaveTheLastSlotRemoved) {
    lumresset* set = make({P, Q, R});
    EXPECT_EQ(LumResMerge(set, make({R}), 2), 0u);
    EXPECT_EQ(slots(set), (Values{P, Q, 0}));
    EXPECT_EQ(ResultSetLiveCount(set), 2u);
    EXPECT_EQ(ResultSetAdd(set, S, nullptr), 0u);
    EXPECT_EQ(slots(set), (Values{P, Q, 0, S}));
    EXPECT_EQ(live(set), (Values{P, Q, S}));
    EXPECT_EQ(LumResMerge(set, make({}), 0), 0u);
    EXPECT_EQ(slots(set), (Values{P, Q, S})) << "the next compaction fills it";

    lumresset* all = make({P, Q, R});
    EXPECT_EQ(LumResMerge(all, all, 2), 0u) << "a set minus itself";
    EXPECT_EQ(ResultSetUsed(all), 0u);
    EXPECT_EQ(ResultSetSlot(all, 0, nullptr), kSlotEmpty);
    lumresset* same = make({P, Q});
    EXPECT_EQ(LumResMerge(same, same, 0), 0u);
    EXPECT_EQ(LumResMerge(same, same, 1), 0u);
    EXPECT_EQ(slots(same), (Values{P, Q}));
}

TEST_F(ResultSets, BadHandlesAndOperators) {
    lumresset* set = make({P, Q});
    EXPECT_EQ(LumResMerge(nullptr, set, 0), rc::kBadResultSet);
    EXPECT_EQ(LumResMerge(set, nullptr, 0), rc::kBadResultSet);
    EXPECT_EQ(LumResMerge(set, make({P}), 4), rc::kBadSetOperator);
    EXPECT_EQ(slots(set), (Values{P, Q}));
    EXPECT_EQ(LumResDestroy(nullptr), rc::kBadResultSet);
    lumresset* out = nullptr;
    EXPECT_EQ(LumResClone(&out, nullptr, 0), rc::kBadResultSet);
    EXPECT_EQ(LumResClone(nullptr, set, 0), rc::kBadParameter);
}

TEST_F(ResultSets, ClonesCopyLiveValuesAndHoldTheDatabase) {
    Values owners(3);
    for (uint32_t& f : owners) {
        ASSERT_EQ(FieldCreate(db->store, &f, 5, 1, 1, 0, 0, 4), 0u);
        FieldLink(db->store, f, 0);
    }
    lumresset* source = make(owners, kResultRecords);
    LumResMerge(source, make({owners[2]}), 2);  // leaves a removed last slot
    uint32_t refs = db->refCount;
    lumresset* copy = nullptr;
    EXPECT_EQ(LumResClone(&copy, source, 1), rc::kNotImplemented);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(db->refCount, refs);
    ASSERT_EQ(LumResClone(&copy, source, 0), 0u);
    sets.push_back(copy);
    EXPECT_EQ(db->refCount, refs + 1);
    EXPECT_EQ(slots(copy), (Values{owners[0], owners[1]}));
    EXPECT_EQ(ResultSetDatabase(copy), db);
    EXPECT_EQ(LumResMerge(copy, make({0xFFFFFF00}), 0), rc::kIllegalFile)
        << "a records set looks up the owner of what it is given";

    lumresset* empty = make({});
    ASSERT_EQ(LumResClone(&copy, empty, 0), 0u);
    sets.push_back(copy);
    EXPECT_EQ(ResultSetAdd(copy, P, nullptr), 0u) << "a clone of capacity 0 still grows";
    EXPECT_EQ(live(copy), Values{P});
}

TEST_F(ResultSets, OpenSetsKeepTheDatabaseOpen) {
    lumresset* set = nullptr;
    ASSERT_EQ(ResultSetCreate(&set, db, 4, kResultFields), 0u);
    EXPECT_EQ(db->refCount, 1u);
    EXPECT_EQ(LumDbClose(db), rc::kReferenced);
    EXPECT_EQ(LumResDestroy(set), 0u);
    EXPECT_EQ(db->refCount, 0u);
}

// ---- random run against the literal algorithm -------------------------------------

// The slot algorithm with linear scans, as plainly as it can be written.
struct ModelSet {
    std::vector<std::pair<uint32_t, int>> slots;  // value, state (1 live, 2 removed)

    int find(uint32_t v) const {
        for (size_t k = 0; k < slots.size(); ++k)
            if (slots[k].second == 1 && slots[k].first == v) return int(k);
        return -1;
    }
    void add(uint32_t v) {
        if (find(v) < 0) slots.push_back({v, 1});
    }
    void remove(size_t k) { slots[k].second = 2; }
    void compact() {
        for (size_t k = 0; k + 1 < slots.size(); ++k)
            while (k < slots.size() && slots[k].second == 2) {
                if (k != slots.size() - 1) slots[k] = slots.back();
                slots.pop_back();
            }
    }
    void merge(ModelSet other, uint32_t op) {
        std::vector<uint32_t> appended;
        for (auto [v, state] : other.slots) {
            if (state != 1) continue;
            int k = find(v);
            if (op == 0 && k < 0) appended.push_back(v);
            if ((op == 2 || op == 3) && k >= 0) remove(size_t(k));
            if (op == 3 && k < 0) appended.push_back(v);
        }
        if (op == 1)
            for (size_t k = 0; k < slots.size(); ++k)
                if (slots[k].second == 1 && other.find(slots[k].first) < 0) remove(k);
        for (uint32_t v : appended) add(v);
        compact();
    }
    Values view() const {
        Values out;
        for (auto [v, state] : slots) out.push_back(state == 1 ? v : 0);
        return out;
    }
};

TEST_F(ResultSets, RandomRunMatchesTheLiteralAlgorithm) {
    std::mt19937 rng(2024);
    constexpr int kSets = 4;
    const Values domain = [] {
        Values d{0, 1, 0xFFFFFFFF, 0x80000000};
        for (uint32_t v = 8; v < 8 + 8 * 120; v += 8) d.push_back(v);
        for (uint32_t v = 1; v < 40; ++v) d.push_back(v << 24);  // same low bits
        return d;
    }();
    lumresset* real[kSets];
    ModelSet model[kSets];
    for (auto& set : real) set = make({});

    for (int step = 0; step < 20000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        int t = int(rng() % kSets), o = int(rng() % kSets);
        uint32_t v = domain[rng() % domain.size()];
        switch (rng() % 8) {
        case 0: case 1: case 2:
            ASSERT_EQ(ResultSetAdd(real[t], v, nullptr), 0u);
            model[t].add(v);
            break;
        case 3: {
            uint32_t slot = 0;
            if (ResultSetHolds(real[t], v, &slot)) {
                ResultSetRemove(real[t], slot);
                model[t].remove(size_t(model[t].find(v)));
            }
            break;
        }
        case 4: case 5: case 6: {
            uint32_t op = rng() % 4;
            ASSERT_EQ(LumResMerge(real[t], real[o], op), 0u);
            model[t].merge(model[o], op);
            break;
        }
        default: {
            lumresset* copy = nullptr;
            ASSERT_EQ(LumResClone(&copy, real[o], 0), 0u);
            sets.push_back(copy);
            real[t] = copy;
            model[t].slots.clear();
            for (uint32_t value : live(real[o])) model[t].slots.push_back({value, 1});
            break;
        }
        }
        ASSERT_EQ(slots(real[t]), model[t].view());
        ASSERT_EQ(ResultSetLiveCount(real[t]), live(real[t]).size());
        if (step % 50 == 0) {
            for (int k = 0; k < kSets; ++k)
                for (uint32_t value : domain) {
                    uint32_t slot = 0;
                    int want = model[k].find(value);
                    ASSERT_EQ(ResultSetHolds(real[k], value, &slot), want >= 0) << value;
                    if (want >= 0) {
                        ASSERT_EQ(slot, uint32_t(want));
                    }
                }
        }
    }
}

}  // namespace
}  // namespace tarn
