// Result lists: handles and bounds, placement of a cursor on an item, and the
// order of sorted lists, including the exact order among equal keys.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/access_test_util.h"

namespace {

using namespace access_test;

class ResListTest : public Fixture {
protected:
    // One record per value: the value at position 0, a second key at 1.
    std::vector<uint32_t> Records(uint32_t base, const std::vector<int32_t>& first,
                                  const std::vector<int32_t>& second = {}) {
        std::vector<uint32_t> owners;
        for (size_t i = 0; i < first.size(); ++i) {
            EXPECT_EQ(LumCursorNewRecord(cur), kOk);
            EXPECT_EQ(AppendU32(base, uint32_t(first[i]), 7), kOk);
            owners.push_back(Here());
            if (i < second.size()) {
                EXPECT_EQ(AppendU32(base, uint32_t(second[i]), 8), kOk);
            }
        }
        return owners;
    }
    lumresset* All(LumTypeId type, uint32_t kind = 0) {
        lumquery* q = nullptr;
        EXPECT_EQ(LumQueryCreate(&q, db), kOk);
        LumQueryParams* p = nullptr;
        EXPECT_EQ(LumQueryGetParams(q, &p), kOk);
        *p = LumQueryParams{2, 2, kind, 0, nullptr, nullptr, kUtf8, kUtf8, type};
        lumresset* set = nullptr;
        EXPECT_EQ(LumQueryExecute(q, &set), kOk);
        EXPECT_EQ(LumQueryDestroy(q, 0), kOk);
        return set;
    }
    std::vector<uint32_t> SortedBy(LumTypeId type, std::vector<LumSortKey> keys, uint32_t kind = 0) {
        lumresset* set = All(type, kind);
        std::vector<uint32_t> items = Items(db, set, uint32_t(keys.size()), keys.data());
        EXPECT_EQ(LumResDestroy(set), kOk);
        return items;
    }
    int32_t I16At(uint32_t item, uint32_t position) {
        EXPECT_EQ(LumCursorGotoMemberAddress(cur, item), kOk);
        EXPECT_EQ(LumCursorGotoField(cur, position), kOk);
        uint16_t v = 0;
        EXPECT_EQ(LumCursorFetchField(cur, nullptr, &v, 2, nullptr, nullptr, nullptr, nullptr), kOk);
        return int16_t(v);
    }
};

TEST_F(ResListTest, HandlesBoundsAndEmptyLists) {
    lumreslist* list = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(LumResListCreate(&list, nullptr, 0, nullptr), kBadResultSet);
    EXPECT_EQ(LumResListGetSize(nullptr, &n), kBadResultList);
    EXPECT_EQ(LumResListGetItem(nullptr, cur, 0), kBadResultList);
    EXPECT_EQ(LumResListDestroy(nullptr), kBadResultList);

    lumresset* set = All(Type(5, 0, 7));
    ASSERT_EQ(LumResListCreate(&list, set, 0, nullptr), kOk);
    ASSERT_EQ(LumResListGetSize(list, &n), kOk);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(LumResListGetItem(list, cur, 0), kBadListIndex);
    EXPECT_EQ(LumResListDestroy(list), kOk);
    EXPECT_EQ(LumResDestroy(set), kOk);

    Records(5, {1, 2, 3});
    set = All(Type(5, 0, 7));
    ASSERT_EQ(LumResListCreate(&list, set, 0, nullptr), kOk);
    // The list outlives its set and holds no reference to the database.
    EXPECT_EQ(LumResDestroy(set), kOk);
    EXPECT_EQ(db->refCount, 1u);
    ASSERT_EQ(LumResListGetSize(list, &n), kOk);
    EXPECT_EQ(n, 3u);
    ASSERT_EQ(LumResListGetItem(list, cur, 1), kOk);
    const uint32_t here = Here();
    EXPECT_EQ(LumResListGetItem(list, cur, 3), kBadListIndex);
    EXPECT_EQ(LumResListGetItem(list, nullptr, 3), kBadListIndex);
    EXPECT_EQ(LumResListGetItem(list, nullptr, 0), kBadCursor);
    EXPECT_EQ(Here(), here);
    EXPECT_EQ(LumResListDestroy(list), kOk);
}

TEST_F(ResListTest, UnsortedListsKeepSetOrderAndPlaceTheCursor) {
    // Two fields of every record match; a records list names each record once.
    std::vector<uint32_t> owners;
    for (uint32_t r = 0; r < 3; ++r) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        ASSERT_EQ(AppendU32(6, 40 + r, 7), kOk);
        owners.push_back(Here());
        ASSERT_EQ(AppendU32(6, 50 + r, 7), kOk);
        ASSERT_EQ(AppendU32(6, 60 + r, 7), kOk);
    }
    lumresset* set = All(Type(6, 0, 7), 1);
    EXPECT_EQ(Items(db, set), owners);
    lumreslist* list = nullptr;
    ASSERT_EQ(LumResListCreate(&list, set, 0, nullptr), kOk);
    ASSERT_EQ(LumCursorNewRecord(cur), kOk);
    ASSERT_EQ(LumResListGetItem(list, cur, 2), kOk);
    EXPECT_EQ(Index(), 0u);
    EXPECT_EQ(Count(), 3u);
    EXPECT_EQ(Here(), owners[2]);
    EXPECT_EQ(LumResListDestroy(list), kOk);
    EXPECT_EQ(LumResDestroy(set), kOk);

    // A fields list: the cursor works out the member's position.
    set = All(Type(6, 0, 7));
    ASSERT_EQ(LumResListCreate(&list, set, 0, nullptr), kOk);
    uint32_t n = 0;
    ASSERT_EQ(LumResListGetSize(list, &n), kOk);
    ASSERT_EQ(n, 9u);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(LumResListGetItem(list, cur, i), kOk);
        EXPECT_EQ(Index(), (U32Here() - 40) / 10);
    }
    EXPECT_EQ(LumResListDestroy(list), kOk);
    EXPECT_EQ(LumResDestroy(set), kOk);
}

TEST_F(ResListTest, SignedUnsignedAndDescendingKeys) {
    Records(4, {3, -5, 0, 32767, -32768});
    auto values = [&](const std::vector<uint32_t>& items) {
        std::vector<int32_t> out;
        for (uint32_t item : items) out.push_back(I16At(item, 0));
        return out;
    };
    EXPECT_EQ(values(SortedBy(Type(4, 0, 7), {{0, 0, nullptr}})),
              (std::vector<int32_t>{-32768, -5, 0, 3, 32767}));
    EXPECT_EQ(values(SortedBy(Type(4, 0, 7), {{1, 0, nullptr}})),
              (std::vector<int32_t>{32767, 3, 0, -5, -32768}));

    ASSERT_EQ(LumCursorNewRecord(cur), kOk);
    for (uint32_t v : {0x80000000u, 1u, 0xFFFFFFFFu, 0u}) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        ASSERT_EQ(AppendU32(5, v, 9), kOk);
    }
    std::vector<uint32_t> order;
    for (uint32_t item : SortedBy(Type(5, 0, 9), {{0, 0, nullptr}})) {
        ASSERT_EQ(LumCursorGotoMemberAddress(cur, item), kOk);
        order.push_back(U32Here());
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 0x80000000u, 0xFFFFFFFFu}));
}

TEST_F(ResListTest, SecondKeysAndStrings) {
    Records(4, {2, 1, 2, 1, 2}, {10, 30, -4, 20, 7});
    std::vector<std::pair<int32_t, int32_t>> got;
    for (uint32_t item : SortedBy(Type(4, 0, 7), {{0, 0, nullptr}, {1, 1, nullptr}}))
        got.emplace_back(I16At(item, 0), I16At(item, 1));
    EXPECT_EQ(got, (std::vector<std::pair<int32_t, int32_t>>{{1, 30}, {1, 20}, {2, 10}, {2, 7}, {2, -4}}));

    // Strings compare as unsigned bytes up to the first difference.
    for (const char* s : {"b", "\xC3\xA9", "abc", "ab", "a"}) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        ASSERT_EQ(AppendText(8, s, 11), kOk);
    }
    std::vector<std::string> texts;
    for (uint32_t item : SortedBy(Type(8, 0, 11), {{0, 0, nullptr}})) {
        ASSERT_EQ(LumCursorGotoMemberAddress(cur, item), kOk);
        texts.push_back(TextHere());
    }
    // The open bounds of a search skip keys from 0x80 up only for class 9.
    EXPECT_EQ(texts, (std::vector<std::string>{"a", "ab", "abc", "b", "\xC3\xA9"}));
}

TEST_F(ResListTest, CallerComparisonsSeeTypesAndValues) {
    for (const char* s : {"ccc", "a", "bb", "dddd"}) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        ASSERT_EQ(AppendText(9, s, 12), kOk);
    }
    static int calls;
    calls = 0;
    const LumCompareFn byLength = [](uint32_t baseA, const void* a, uint32_t baseB, const void* b) {
        ++calls;
        EXPECT_EQ(baseA, 9u);
        EXPECT_EQ(baseB, 9u);
        return int32_t(std::strlen(static_cast<const char*>(b))) -
               int32_t(std::strlen(static_cast<const char*>(a)));
    };
    std::vector<std::string> texts;
    for (uint32_t item : SortedBy(Type(9, 0, 12), {{2, 0, byLength}})) {
        ASSERT_EQ(LumCursorGotoMemberAddress(cur, item), kOk);
        texts.push_back(TextHere());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"dddd", "ccc", "bb", "a"}));
    EXPECT_GT(calls, 0);
}

TEST_F(ResListTest, UnreadableKeysAndUnknownOrdersCompareEqual) {
    // Records of one and of two fields, sorted by position 1: every record
    // lacking it compares equal to all, and the sort still ends with every item.
    std::vector<uint32_t> owners = Records(4, {1, 2, 3, 4, 5, 6, 7}, {9, 8});
    for (std::vector<LumSortKey> keys :
         {std::vector<LumSortKey>{{0, 1, nullptr}}, std::vector<LumSortKey>{{0, 99, nullptr}},
          std::vector<LumSortKey>{{3, 0, nullptr}}, std::vector<LumSortKey>{{2, 0, nullptr}}}) {
        std::vector<uint32_t> items = SortedBy(Type(4, 0, 7), keys);
        EXPECT_EQ(Sorted(items), Sorted(owners));
    }
    // Keys past an unreadable one still decide.
    std::vector<int32_t> firsts;
    for (uint32_t item : SortedBy(Type(4, 0, 7), {{0, 99, nullptr}, {1, 0, nullptr}}))
        firsts.push_back(I16At(item, 0));
    EXPECT_EQ(firsts, (std::vector<int32_t>{7, 6, 5, 4, 3, 2, 1}));
}

// Six records in set order a0..a5 with keys 1 0 1 0 1 0. Median of three
// moves a5 and a0 to the front and middle, the partition swaps a0 and a4,
// and the insertion pass lifts a3 over a4: a5 a1 a3 a4 a0 a2, not the
// stable a1 a3 a5 a0 a2 a4.
TEST_F(ResListTest, EqualKeysLandWhereTheSortStepsPutThem) {
    std::vector<uint32_t> a;
    for (uint32_t i = 0; i < 6; ++i) {
        ASSERT_EQ(LumCursorNewRecord(cur), kOk);
        ASSERT_EQ(AppendU32(5, i, 30), kOk);  // found in this order
        a.push_back(Here());
        ASSERT_EQ(AppendU16(4, i % 2 == 0 ? 1 : 0, 31), kOk);
    }
    lumresset* set = All(Type(5, 0, 30));
    ASSERT_EQ(Items(db, set), a);
    const LumSortKey keys[1] = {{0, 1, nullptr}};
    EXPECT_EQ(Items(db, set, 1, keys), (std::vector<uint32_t>{a[5], a[1], a[3], a[4], a[0], a[2]}));
    EXPECT_EQ(LumResDestroy(set), kOk);
}

TEST_F(ResListTest, RandomListsComeOutOrdered) {
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const uint32_t number = 40 + seed;
        std::map<uint32_t, int32_t> key;
        const int n = 1 + int(rng() % 300);
        for (int i = 0; i < n; ++i) {
            // Found by a random value, so the set comes unordered; many ties.
            ASSERT_EQ(LumCursorNewRecord(cur), kOk);
            ASSERT_EQ(AppendU32(5, rng(), number), kOk);
            key[Here()] = int32_t(rng() % 9) - 4;
            ASSERT_EQ(AppendU16(4, uint16_t(key[Here()]), number), kOk);
        }
        lumresset* set = All(Type(5, 0, number));
        const std::vector<uint32_t> unsorted = Items(db, set);
        const LumSortKey keys[1] = {{1, 1, nullptr}};
        const std::vector<uint32_t> sorted = Items(db, set, 1, keys);
        EXPECT_EQ(LumResDestroy(set), kOk);
        EXPECT_EQ(Sorted(sorted), Sorted(unsorted));
        for (size_t i = 1; i < sorted.size(); ++i) EXPECT_GE(key[sorted[i - 1]], key[sorted[i]]);
    }
}

}  // namespace
