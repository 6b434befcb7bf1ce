// Helpers shared by the cursor, result-list, query and model tests: databases
// in memory or in a private directory, typed appends, searches read back
// through result lists.
#ifndef TARN_TESTS_ACCESS_TEST_UTIL_H
#define TARN_TESTS_ACCESS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/storage/format.h"
#include "engine/storage/store.h"
#include "engine/tarn20.h"

namespace access_test {

using namespace tarn::rc;

constexpr uint32_t kUtf8 = 2;
constexpr uint32_t kUtf16Le = 3;
constexpr uint32_t kIndexed = 0;
constexpr uint32_t kPlain = 1;

constexpr LumTypeId Type(uint32_t base, uint32_t flag, uint32_t number) {
    return base | flag << 8 | number << 16;
}

inline lumdb* OpenMemory(uint32_t growSize = 0) {
    LumDbParams p = {0, 0, growSize, 4, 0, 0};
    lumdb* db = nullptr;
    EXPECT_EQ(LumDbCreate(&db, 0, nullptr, &p), kOk);
    return db;
}

inline lumdb* OpenFile(const std::string& path, uint32_t flags) {
    LumDbParams p = {flags, 0, 0, 1, 0, 0};
    lumdb* db = nullptr;
    EXPECT_EQ(LumDbCreate(&db, 0, path.c_str(), &p), kOk) << path;
    return db;
}

inline uint32_t HighWater(lumdb* db) {
    return tarn::HeaderGetU32(db->store, tarn::fmt::kHighWaterOffset);
}

// A database with one cursor, both released at the end of the test.
class Fixture : public ::testing::Test {
protected:
    void SetUp() override {
        db = OpenMemory();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(LumCursorCreate(&cur, db), kOk);
    }
    void TearDown() override {
        if (cur != nullptr) {
            EXPECT_EQ(LumCursorDestroy(cur), kOk);
        }
        if (db != nullptr) {
            EXPECT_EQ(LumDbClose(db), kOk);
        }
    }

    uint32_t AppendU8(uint32_t base, uint8_t v, uint32_t number = 1, uint32_t flag = kIndexed) {
        return LumCursorAppendField(cur, Type(base, flag, number), &v, 0, nullptr);
    }
    uint32_t AppendU16(uint32_t base, uint16_t v, uint32_t number = 1, uint32_t flag = kIndexed) {
        return LumCursorAppendField(cur, Type(base, flag, number), &v, 0, nullptr);
    }
    uint32_t AppendU32(uint32_t base, uint32_t v, uint32_t number = 1, uint32_t flag = kIndexed) {
        return LumCursorAppendField(cur, Type(base, flag, number), &v, 0, nullptr);
    }
    uint32_t AppendText(uint32_t base, const char* text, uint32_t number = 1,
                        uint32_t flag = kIndexed) {
        const uint32_t options[1] = {kUtf8};
        return LumCursorAppendField(cur, Type(base, flag, number), text, 0, options);
    }

    // Data offset of the current field (0 when there is none).
    uint32_t Here(lumcursor* c = nullptr) {
        uint32_t field = 0;
        LumCursorFetchField(c ? c : cur, nullptr, nullptr, 0, nullptr, nullptr, &field, nullptr);
        return field;
    }
    uint32_t Index(lumcursor* c = nullptr) {
        uint32_t i = 0xDEAD;
        EXPECT_EQ(LumCursorGetFieldIndex(c ? c : cur, &i), kOk);
        return i;
    }
    uint32_t Count(lumcursor* c = nullptr) {
        uint32_t n = 0xDEAD;
        EXPECT_EQ(LumCursorGetNumFields(c ? c : cur, &n), kOk);
        return n;
    }
    uint32_t U32Here(lumcursor* c = nullptr) {
        uint32_t v = 0;
        EXPECT_EQ(LumCursorFetchField(c ? c : cur, nullptr, &v, 4, nullptr, nullptr, nullptr, nullptr), kOk);
        return v;
    }
    std::string TextHere(lumcursor* c = nullptr) {
        char buffer[256] = {};
        const uint32_t utf8 = kUtf8;
        EXPECT_EQ(LumCursorFetchField(c ? c : cur, nullptr, buffer, sizeof buffer, &utf8, nullptr,
                                      nullptr, nullptr),
                  kOk);
        return buffer;
    }

    lumdb* db = nullptr;
    lumcursor* cur = nullptr;
};

// Data offsets a result set holds, in list order.
inline std::vector<uint32_t> Items(lumdb* db, lumresset* set, uint32_t keyCount = 0,
                                   const LumSortKey* keys = nullptr) {
    std::vector<uint32_t> out;
    lumreslist* list = nullptr;
    EXPECT_EQ(LumResListCreate(&list, set, keyCount, keys), kOk);
    if (list == nullptr) return out;
    uint32_t n = 0;
    EXPECT_EQ(LumResListGetSize(list, &n), kOk);
    lumcursor* c = nullptr;
    EXPECT_EQ(LumCursorCreate(&c, db), kOk);
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(LumResListGetItem(list, c, i), kOk);
        uint32_t field = 0;
        LumCursorFetchField(c, nullptr, nullptr, 0, nullptr, nullptr, &field, nullptr);
        out.push_back(field);
    }
    LumCursorDestroy(c);
    LumResListDestroy(list);
    return out;
}

struct Search {
    uint32_t mode = 1;
    LumTypeId type = 0;
    const void* value1 = nullptr;
    const void* value2 = nullptr;
    uint32_t resultKind = 0;
    uint32_t encoding1 = kUtf8;
    uint32_t encoding2 = kUtf8;
};

// Runs a search; the items come back sorted by offset. rc receives its code.
inline std::vector<uint32_t> Find(lumdb* db, const Search& s, uint32_t* rc = nullptr) {
    lumquery* q = nullptr;
    EXPECT_EQ(LumQueryCreate(&q, db), kOk);
    LumQueryParams* p = nullptr;
    EXPECT_EQ(LumQueryGetParams(q, &p), kOk);
    *p = LumQueryParams{2, s.mode, s.resultKind, 0, s.value1, s.value2, s.encoding1, s.encoding2, s.type};
    lumresset* set = nullptr;
    const uint32_t r = LumQueryExecute(q, &set);
    if (rc != nullptr) {
        *rc = r;
    } else {
        EXPECT_EQ(r, kOk);
    }
    EXPECT_EQ(LumQueryDestroy(q, 0), kOk);
    std::vector<uint32_t> items;
    if (r == kOk) {
        items = Items(db, set);
        EXPECT_EQ(LumResDestroy(set), kOk);
    }
    std::sort(items.begin(), items.end());
    return items;
}

inline std::vector<uint32_t> Sorted(std::vector<uint32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace access_test

#endif
