// Queries: handles and the order of their checks, every search mode,
// conversion of text operands, combinations (cycles included) and destruction.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/engine/access_test_util.h"

namespace {

using namespace access_test;

class QueryTest : public Fixture {
protected:
    lumquery* Make(const LumQueryParams& params) {
        lumquery* q = nullptr;
        EXPECT_EQ(LumQueryCreate(&q, db), kOk);
        LumQueryParams* p = nullptr;
        EXPECT_EQ(LumQueryGetParams(q, &p), kOk);
        *p = params;
        return q;
    }
    lumquery* Combine(uint32_t op, lumquery* left, lumquery* right) {
        return Make({1, op, uintptr_t(left), uintptr_t(right), nullptr, nullptr, 0, 0, 0});
    }
    LumQueryParams& Params(lumquery* q) {
        LumQueryParams* p = nullptr;
        EXPECT_EQ(LumQueryGetParams(q, &p), kOk);
        return *p;
    }
    // Executes q; the answer's items sorted, or empty with the code in rc.
    std::vector<uint32_t> Run(lumquery* q, uint32_t* rc = nullptr) {
        lumresset* set = nullptr;
        const uint32_t r = LumQueryExecute(q, &set);
        if (rc != nullptr) *rc = r;
        if (r != kOk) return {};
        std::vector<uint32_t> items = Sorted(Items(db, set));
        EXPECT_EQ(LumResDestroy(set), kOk);
        return items;
    }
    uint32_t Code(lumquery* q) {
        uint32_t rc = 0;
        Run(q, &rc);
        return rc;
    }
    uint32_t Code(const Search& s) {
        uint32_t rc = 0;
        Find(db, s, &rc);
        return rc;
    }
    // One record per value of a signed 16-bit type, field id 3.
    std::vector<uint32_t> Shorts(const std::vector<int16_t>& values) {
        std::vector<uint32_t> fields;
        for (int16_t v : values) {
            EXPECT_EQ(LumCursorNewRecord(cur), kOk);
            EXPECT_EQ(AppendU16(4, uint16_t(v), 3), kOk);
            fields.push_back(Here());
        }
        return fields;
    }
};

TEST_F(QueryTest, HandlesAndUnsetQueries) {
    lumquery* q = nullptr;
    LumQueryParams* p = nullptr;
    lumresset* set = nullptr;
    EXPECT_EQ(LumQueryCreate(&q, nullptr), kBadDatabase);
    EXPECT_EQ(LumQueryGetParams(nullptr, &p), kBadQuery);
    EXPECT_EQ(LumQueryExecute(nullptr, &set), kBadQuery);
    EXPECT_EQ(LumQueryDestroy(nullptr, 0), kBadQuery);

    ASSERT_EQ(LumQueryCreate(&q, db), kOk);
    EXPECT_EQ(db->refCount, 2u);
    EXPECT_EQ(Code(q), kBadQuery);  // kind 0
    Params(q).kind = 3;
    EXPECT_EQ(Code(q), kBadQuery);
    EXPECT_EQ(LumQueryDestroy(q, 2), kBadQueryParams);
    EXPECT_EQ(db->refCount, 2u);
    EXPECT_EQ(LumQueryDestroy(q, 0), kOk);
    EXPECT_EQ(db->refCount, 1u);
}

TEST_F(QueryTest, SearchChecksInOrder) {
    const uint32_t v = 1;
    // Word 3 is looked at first, then the result kind, then the values.
    EXPECT_EQ(Code(Search{1, Type(5, 0, 1), nullptr, nullptr, 7}), kBadQueryParams);
    lumquery* q = Make({2, 1, 7, 1, nullptr, nullptr, 0, 0, Type(5, 0, 1)});
    EXPECT_EQ(Code(q), kNotImplemented);
    Params(q).right = 0;
    EXPECT_EQ(Code(q), kBadQueryParams);
    EXPECT_EQ(LumQueryDestroy(q, 0), kOk);

    EXPECT_EQ(Code(Search{1, Type(5, 0, 1), nullptr}), kBadQueryParams);
    EXPECT_EQ(Code(Search{3, Type(9, 0, 1), nullptr}), kBadQueryParams);
    EXPECT_EQ(Code(Search{3, Type(5, 0, 1), &v}), kBadQueryParams);
    EXPECT_EQ(Code(Search{3, Type(140, 0, 1), "x"}), kBadQueryParams);
    for (uint32_t base : {0u, 7u, 10u, 200u}) {
        EXPECT_EQ(Code(Search{0, Type(base, 0, 1), &v, &v}), kBadQueryParams) << base;
        EXPECT_EQ(Code(Search{1, Type(base, 0, 1), &v}), kBadQueryParams) << base;
        // Modes without values accept any type and find nothing there.
        EXPECT_EQ(Code(Search{2, Type(base, 0, 1)}), kOk) << base;
    }
    EXPECT_EQ(Code(Search{9, Type(5, 0, 1), nullptr}), kOk);
}

TEST_F(QueryTest, EqualFindsIndexedFieldsOfTheClassAndNumber) {
    ASSERT_EQ(AppendU32(5, 42, 1), kOk);
    const uint32_t a = Here();
    ASSERT_EQ(AppendU32(5, 42, 1, kPlain), kOk);
    ASSERT_EQ(AppendU32(5, 42, 2), kOk);
    ASSERT_EQ(AppendU32(130, 42, 1), kOk);  // same class, another code
    const uint32_t b = Here();
    ASSERT_EQ(AppendU32(5, 43, 1), kOk);
    const uint32_t key = 42;
    EXPECT_EQ(Find(db, {1, Type(5, 0, 1), &key}), Sorted({a, b}));
    EXPECT_EQ(Find(db, {1, Type(130, 1, 1), &key}), Sorted({a, b}));  // index flag byte ignored
    const uint32_t missing = 41;
    EXPECT_TRUE(Find(db, {1, Type(5, 0, 1), &missing}).empty());
    // A type stored only plain is never found.
    ASSERT_EQ(AppendText(8, "plain", 4, kPlain), kOk);
    EXPECT_TRUE(Find(db, {1, Type(8, 0, 4), "plain"}).empty());
    EXPECT_TRUE(Find(db, {2, Type(8, 0, 4)}).empty());
}

TEST_F(QueryTest, RangesOverSignedValues) {
    const std::vector<uint32_t> f = Shorts({-11, -10, 0, 10, 11, -32768, 32767});
    const int16_t lo = -10, hi = 10;
    EXPECT_EQ(Find(db, {0, Type(4, 0, 3), &lo, &hi}), Sorted({f[1], f[2], f[3]}));
    // Bounds in different buckets are exchanged; in one bucket they are not.
    EXPECT_EQ(Find(db, {0, Type(4, 0, 3), &hi, &lo}), Sorted({f[1], f[2], f[3]}));
    const int16_t three = 3, one = 1;
    EXPECT_TRUE(Find(db, {0, Type(4, 0, 3), &three, &one}).empty());
    // Open bounds.
    EXPECT_EQ(Find(db, {0, Type(4, 0, 3), &hi, nullptr}), Sorted({f[3], f[4], f[6]}));
    EXPECT_EQ(Find(db, {0, Type(4, 0, 3), nullptr, &lo}), Sorted({f[0], f[1], f[5]}));
    EXPECT_EQ(Find(db, {0, Type(4, 0, 3), nullptr, nullptr}), Sorted(f));
    EXPECT_EQ(Find(db, {2, Type(4, 0, 3)}), Sorted(f));
}

TEST_F(QueryTest, ContainsAndAllOverStrings) {
    std::vector<uint32_t> f;
    for (const char* s : {"hello", "yell", "help", "", "\xC3\xA9tell"}) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        ASSERT_EQ(AppendText(9, s, 5), kOk);
        f.push_back(Here());
    }
    EXPECT_EQ(Find(db, {3, Type(9, 0, 5), "ell"}), Sorted({f[0], f[1]}));
    // An empty pattern is in every key the search visits: not the empty
    // string, not texts from byte 0x80 up.
    EXPECT_EQ(Find(db, {3, Type(9, 0, 5), ""}), Sorted({f[0], f[1], f[2]}));
    EXPECT_EQ(Find(db, {2, Type(9, 0, 5)}), Sorted({f[0], f[1], f[2]}));
    EXPECT_EQ(Find(db, {1, Type(9, 0, 5), ""}), std::vector<uint32_t>{f[3]});
    EXPECT_EQ(Find(db, {0, Type(9, 0, 5), "hello", "yell"}), Sorted({f[0], f[2], f[1]}));
}

TEST_F(QueryTest, TextOperandsAreConverted) {
    ASSERT_EQ(AppendText(9, "\xC3\xA9t\xC3\xA9", 6), kOk);
    const uint32_t field = Here();
    const uint8_t utf16[] = {0xE9, 0, 't', 0, 0xE9, 0, 0, 0};
    EXPECT_EQ(Find(db, {1, Type(9, 0, 6), utf16, nullptr, 0, kUtf16Le}), std::vector<uint32_t>{field});
    const uint8_t latin1[] = {0xE9, 't', 0xE9, 0};
    EXPECT_EQ(Find(db, {1, Type(9, 0, 6), latin1, nullptr, 0, 1}), std::vector<uint32_t>{field});
    // Byte strings are compared as given.
    EXPECT_TRUE(Find(db, {1, Type(8, 0, 6), latin1}).empty());
    // Failing conversions are returned, for either bound.
    const uint8_t lone[] = {0x00, 0xDC, 0, 0};
    EXPECT_EQ(Code(Search{1, Type(9, 0, 6), lone, nullptr, 0, kUtf16Le}), uint32_t(-1));
    EXPECT_EQ(Code(Search{0, Type(9, 0, 6), utf16, lone, 0, kUtf16Le, kUtf16Le}), uint32_t(-1));
    EXPECT_EQ(Code(Search{0, Type(9, 0, 6), utf16, "z", 0, kUtf16Le, 12}), kNotImplemented);
    EXPECT_EQ(db->refCount, 1u);
}

TEST_F(QueryTest, RecordsAreAnsweredOnce) {
    std::vector<uint32_t> owners;
    for (int r = 0; r < 3; ++r) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        for (uint32_t v : {7u, 8u, 9u}) {
            ASSERT_EQ(AppendU8(1, uint8_t(v), 9), kOk);
            if (v == 7) owners.push_back(Here());
        }
    }
    const uint8_t lo = 7, hi = 9;
    EXPECT_EQ(Find(db, {0, Type(1, 0, 9), &lo, &hi, 1}), Sorted(owners));
    EXPECT_EQ(Find(db, {0, Type(1, 0, 9), &lo, &hi, 0}).size(), 9u);
}

TEST_F(QueryTest, CombinationsMergeTheirOperands) {
    const std::vector<uint32_t> f = Shorts({1, 2, 3, 4, 5});
    const int16_t a1 = 1, a3 = 3, b2 = 2, b5 = 5;
    lumquery* left = Make({2, 0, 0, 0, &a1, &a3, 0, 0, Type(4, 0, 3)});
    lumquery* right = Make({2, 0, 0, 0, &b2, &b5, 0, 0, Type(4, 0, 3)});
    lumquery* both = Combine(1, left, right);
    EXPECT_EQ(Run(both), Sorted({f[1], f[2]}));
    Params(both).op = 0;
    EXPECT_EQ(Run(both), Sorted(f));
    Params(both).op = 2;
    EXPECT_EQ(Run(both), std::vector<uint32_t>{f[0]});
    // Operators are checked once both operands have answered.
    Params(both).op = 4;
    EXPECT_EQ(Code(both), kBadSetOperator);
    Params(both).op = 1;
    // Failures of an operand are passed on and leave no set behind.
    Params(right).left = 5;
    EXPECT_EQ(Code(both), kBadQueryParams);
    Params(right).left = 0;
    // The same operand twice, and nested combinations.
    lumquery* self = Combine(0, left, left);
    EXPECT_EQ(Run(self), Sorted({f[0], f[1], f[2]}));
    lumquery* nested = Combine(2, both, self);
    EXPECT_TRUE(Run(nested).empty());
    EXPECT_EQ(db->refCount, 6u);
    // Recursive destruction frees every query once, shared operands included.
    EXPECT_EQ(LumQueryDestroy(nested, 1), kOk);
    EXPECT_EQ(db->refCount, 1u);
}

TEST_F(QueryTest, CombinationsThatReachThemselves) {
    Shorts({1});
    lumquery* search = Make({2, 2, 0, 0, nullptr, nullptr, 0, 0, Type(4, 0, 3)});
    lumquery* a = Combine(0, search, nullptr);
    EXPECT_EQ(Code(a), kBadQuery);
    Params(a).right = uintptr_t(a);
    EXPECT_EQ(Code(a), kQueryRecursion);
    Params(a).left = 0;
    EXPECT_EQ(Code(a), kBadQuery);  // a missing operand is reported first

    // a -> b -> a, and a -> b -> c -> b, found before anything executes.
    lumquery* b = Combine(0, search, a);
    Params(a).left = uintptr_t(search);
    Params(a).right = uintptr_t(b);
    EXPECT_EQ(Code(a), kQueryRecursion);
    EXPECT_EQ(Code(b), kQueryRecursion);
    lumquery* c = Combine(0, b, search);
    Params(b).right = uintptr_t(c);
    EXPECT_EQ(Code(a), kQueryRecursion);
    EXPECT_EQ(Code(c), kQueryRecursion);
    EXPECT_EQ(db->refCount, 5u);
    // Recursive destruction of a cycle frees each query once.
    EXPECT_EQ(LumQueryDestroy(a, 1), kOk);
    EXPECT_EQ(db->refCount, 1u);
}

TEST_F(QueryTest, DeepCombinationsNeedNoDeepStack) {
    const std::vector<uint32_t> f = Shorts({1, 2});
    lumquery* leaf = Make({2, 2, 0, 0, nullptr, nullptr, 0, 0, Type(4, 0, 3)});
    lumquery* top = leaf;
    constexpr int kDepth = 200000;
    for (int i = 0; i < kDepth; ++i) top = Combine(i % 2 == 0 ? 0 : 1, top, leaf);
    EXPECT_EQ(Run(top), Sorted(f));
    EXPECT_EQ(db->refCount, uint32_t(kDepth + 2));
    EXPECT_EQ(LumQueryDestroy(top, 1), kOk);
    EXPECT_EQ(db->refCount, 1u);
}

TEST_F(QueryTest, QueriesMayOutliveNothingButTheirAnswers) {
    Shorts({4});
    lumquery* q = Make({2, 2, 0, 0, nullptr, nullptr, 0, 0, Type(4, 0, 3)});
    lumresset* set = nullptr;
    ASSERT_EQ(LumQueryExecute(q, &set), kOk);
    EXPECT_EQ(LumQueryDestroy(q, 0), kOk);
    EXPECT_EQ(Items(db, set).size(), 1u);
    EXPECT_EQ(LumResDestroy(set), kOk);
    EXPECT_EQ(db->refCount, 1u);
}

}  // namespace
