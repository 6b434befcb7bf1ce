// XML dictionary (tag cache over the dictionary) and pointer pairs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/dictionary.h"
#include "engine/result_codes.h"
#include "engine/tarn20.h"

namespace {

using namespace tarn::rc;

constexpr uint32_t kUtf8 = 2;

class XmlDictionary : public ::testing::Test {
protected:
    void SetUp() override {
        LumDbParams p = {0, 0, 0, 4, 0, 0};
        ASSERT_EQ(LumDbCreate(&db_, 0, nullptr, &p), kOk);
        ASSERT_EQ(LumDctCreate(&dct_, db_), kOk);
        ASSERT_EQ(LumXMLDctCreate(&xd_, dct_), kOk);
    }
    void TearDown() override {
        if (xd_) {
            EXPECT_EQ(LumXMLDctDestroy(xd_), kOk);
        }
        EXPECT_EQ(LumDctDestroy(dct_), kOk);
        EXPECT_EQ(LumDbClose(db_), kOk);
    }
    int32_t Tag(const char* name, int32_t create = 1) {
        int32_t n = -1;
        EXPECT_EQ(LumXMLDctLookupTag(xd_, name, create, &n), kOk) << name;
        return n;
    }
    uint32_t TypeCount() {
        uint32_t n = 0;
        EXPECT_EQ(LumDctListTypes(dct_, nullptr, 0, &n), kOk);
        return n;
    }
    lumdb* db_ = nullptr;
    lumdct* dct_ = nullptr;
    lumxmldct* xd_ = nullptr;
};

TEST_F(XmlDictionary, RepeatedTagsKeepTheirNumber) {
    EXPECT_EQ(Tag("a"), 64);
    EXPECT_EQ(Tag("b"), 65);
    EXPECT_EQ(Tag("a"), 64);
    EXPECT_EQ(Tag("b", 0), 65);
    EXPECT_EQ(TypeCount(), 2u);

    // Tag types have base 0, index flag 0 and the tag as name.
    uint32_t base = 9, flag = 9;
    char name[8];
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, 65u << 16, &base, &flag, nullptr, name, 8, kUtf8), kOk);
    EXPECT_EQ(base, 0u);
    EXPECT_EQ(flag, 0u);
    EXPECT_STREQ(name, "b");

    int32_t n = 7;
    EXPECT_EQ(LumXMLDctLookupTag(xd_, "c", 0, &n), kNameNotFound);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(TypeCount(), 2u);
}

TEST_F(XmlDictionary, TableDoublesAndKeepsEveryName) {
    for (const char* name : {"a", "b", "c"}) Tag(name);
    EXPECT_EQ(tarn::XmlDctBuckets(xd_), 2u);
    Tag("d");
    EXPECT_EQ(tarn::XmlDctCachedNames(xd_), 4u);
    EXPECT_EQ(tarn::XmlDctBuckets(xd_), 4u);
    EXPECT_EQ(Tag("a", 0), 64);
    EXPECT_EQ(Tag("d", 0), 67);

    // Many names, bytes above 0x7F included (they hash as negative numbers).
    for (int i = 0; i < 600; ++i) Tag(("t\xC3\xA9" + std::to_string(i)).c_str());
    const uint32_t buckets = tarn::XmlDctBuckets(xd_);
    EXPECT_EQ(buckets & (buckets - 1), 0u);
    EXPECT_LE(tarn::XmlDctCachedNames(xd_), 2 * buckets);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(Tag(("t\xC3\xA9" + std::to_string(i)).c_str(), 0), 68 + i) << i;
    for (const char* name : {"a", "b", "c", "d"}) EXPECT_EQ(Tag(name, 0) - 64, name[0] - 'a');
    EXPECT_EQ(TypeCount(), 604u);
}

TEST_F(XmlDictionary, NamesOfAnEarlierXmlDictionaryAreFoundNotCached) {
    Tag("old");
    ASSERT_EQ(LumXMLDctDestroy(xd_), kOk);
    ASSERT_EQ(LumXMLDctCreate(&xd_, dct_), kOk);
    EXPECT_EQ(Tag("old", 0), 64);
    EXPECT_EQ(Tag("old", 1), 64);
    EXPECT_EQ(tarn::XmlDctCachedNames(xd_), 0u);
    EXPECT_EQ(Tag("new"), 65);
    EXPECT_EQ(tarn::XmlDctCachedNames(xd_), 1u);

    // Only the uncached name goes back to the dictionary each time.
    ASSERT_EQ(LumDctDeleteType(dct_, 64u << 16), kOk);
    ASSERT_EQ(LumDctDeleteType(dct_, 65u << 16), kOk);
    int32_t n = 0;
    EXPECT_EQ(LumXMLDctLookupTag(xd_, "old", 0, &n), kNameNotFound);
    EXPECT_EQ(Tag("new", 0), 65);
}

TEST_F(XmlDictionary, NumbersFrom32768ComeOutNegative) {
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db_), kOk);
    const uint16_t number = 40000;
    const LumTypeId id = LumTypeId(number) << 16;
    ASSERT_EQ(LumCursorAppendField(c, 0x10003, &number, 0, nullptr), kOk);
    ASSERT_EQ(LumCursorAppendField(c, 0x40005, &id, 0, nullptr), kOk);
    ASSERT_EQ(LumCursorDestroy(c), kOk);
    ASSERT_EQ(LumXMLDctDestroy(xd_), kOk);
    ASSERT_EQ(LumDctDestroy(dct_), kOk);
    ASSERT_EQ(LumDctCreate(&dct_, db_), kOk);
    ASSERT_EQ(LumXMLDctCreate(&xd_, dct_), kOk);

    const int32_t big = Tag("big");
    EXPECT_EQ(big, 40001 - 65536);
    EXPECT_EQ(Tag("big", 0), big);
    char name[8];
    EXPECT_EQ(LumXMLLookupUserType(xd_, big, name, 8), kOk);
    EXPECT_STREQ(name, "big");
    EXPECT_EQ(LumXMLLookupUserType(xd_, 40001, name, 8), kOk);  // the same 16 bits
}

TEST_F(XmlDictionary, UserTypeNamesAndTheirFailures) {
    Tag("section");
    char name[64];
    EXPECT_EQ(LumXMLLookupUserType(xd_, 64, name, sizeof name), kOk);
    EXPECT_STREQ(name, "section");
    EXPECT_EQ(LumXMLLookupUserType(xd_, 65, name, sizeof name), kTypeNotFound);

    // Failures other than an unknown type answer 0 with an empty string.
    std::memcpy(name, "xxxx", 5);
    EXPECT_EQ(LumXMLLookupUserType(xd_, 64, name, 7), kOk);  // needs 8 bytes
    EXPECT_STREQ(name, "");
    LumTypeId unnamed = 0;
    ASSERT_EQ(LumDctNewType(dct_, 0, 0, &unnamed, nullptr, 0), kOk);
    std::memcpy(name, "xxxx", 5);
    EXPECT_EQ(LumXMLLookupUserType(xd_, int32_t(unnamed >> 16), name, sizeof name), kOk);
    EXPECT_STREQ(name, "");
    name[0] = 'x';
    EXPECT_EQ(LumXMLLookupUserType(xd_, 64, name, 0), kOk);
    EXPECT_EQ(name[0], 'x');
    // Types of other base codes are not tags.
    LumTypeId text = 0;
    ASSERT_EQ(LumDctNewType(dct_, 9, 0, &text, "text", kUtf8), kOk);
    EXPECT_EQ(LumXMLLookupUserType(xd_, int32_t(text >> 16), name, sizeof name), kTypeNotFound);
}

TEST_F(XmlDictionary, NullHandles) {
    int32_t n = 0;
    char name[4];
    lumxmldct* other = nullptr;
    EXPECT_EQ(LumXMLDctCreate(&other, nullptr), kBadDictionary);
    EXPECT_EQ(LumXMLDctCreate(nullptr, dct_), kBadParameter);
    EXPECT_EQ(LumXMLDctDestroy(nullptr), kBadDictionary);
    EXPECT_EQ(LumXMLDctLookupTag(nullptr, "a", 1, &n), kBadDictionary);
    EXPECT_EQ(LumXMLDctLookupTag(xd_, nullptr, 1, &n), kBadParameter);
    EXPECT_EQ(LumXMLLookupUserType(nullptr, 64, name, 4), kBadDictionary);
    EXPECT_EQ(LumXMLAppendPointerPair(nullptr, 64, 65, 134, nullptr, nullptr), kBadCursor);
    EXPECT_EQ(TypeCount(), 0u);
}

TEST(XmlDictionaryFile, ReadOnlyDatabaseFindsButDoesNotCreate) {
    const std::string path =
        ::testing::TempDir() + "xmldict_" + std::to_string(getpid()) + "_ro.db";
    LumDbParams p = {0, 0, 0, 1, 0, 0};
    lumdb* db = nullptr;
    lumdct* dct = nullptr;
    lumxmldct* xd = nullptr;
    int32_t n = 0;
    ASSERT_EQ(LumDbCreate(&db, 0, path.c_str(), &p), kOk);
    ASSERT_EQ(LumDctCreate(&dct, db), kOk);
    ASSERT_EQ(LumXMLDctCreate(&xd, dct), kOk);
    ASSERT_EQ(LumXMLDctLookupTag(xd, "book", 1, &n), kOk);
    LumXMLDctDestroy(xd);
    LumDctDestroy(dct);
    ASSERT_EQ(LumDbClose(db), kOk);

    p.flags = 17;
    ASSERT_EQ(LumDbCreate(&db, 0, path.c_str(), &p), kOk);
    ASSERT_EQ(LumDctCreate(&dct, db), kOk);
    ASSERT_EQ(LumXMLDctCreate(&xd, dct), kOk);
    n = 0;
    EXPECT_EQ(LumXMLDctLookupTag(xd, "book", 1, &n), kOk);
    EXPECT_EQ(n, 64);
    EXPECT_EQ(LumXMLDctLookupTag(xd, "page", 1, &n), kBadFlags);
    EXPECT_EQ(tarn::XmlDctCachedNames(xd), 0u);
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db), kOk);
    EXPECT_EQ(LumXMLAppendPointerPair(c, 64, 64, 130, nullptr, nullptr), kBadFlags);
    LumCursorDestroy(c);
    LumXMLDctDestroy(xd);
    LumDctDestroy(dct);
    EXPECT_EQ(LumDbClose(db), kOk);
    std::remove(path.c_str());
}

// ---- pointer pairs -------------------------------------------------------------

class PointerPair : public ::testing::Test {
protected:
    void SetUp() override {
        LumDbParams p = {0, 0, 0, 4, 0, 0};
        ASSERT_EQ(LumDbCreate(&db_, 0, nullptr, &p), kOk);
        ASSERT_EQ(LumCursorCreate(&cur_, db_), kOk);
    }
    void TearDown() override {
        EXPECT_EQ(LumCursorDestroy(cur_), kOk);
        EXPECT_EQ(LumDbClose(db_), kOk);
    }
    // A parent record of three indexed 32-bit fields of type number 70.
    void ThreeFieldRecord() {
        for (uint32_t v : {1u, 2u, 3u})
            ASSERT_EQ(LumCursorAppendField(cur_, 70u << 16 | 5, &v, 0, nullptr), kOk);
    }
    void Field(LumTypeId* id, uint32_t* value, uint32_t* address, uint32_t* owner) {
        ASSERT_EQ(LumCursorFetchField(cur_, id, value, 4, nullptr, nullptr, address, owner), kOk);
    }
    uint32_t Found(LumTypeId type, uint32_t op, const void* value) {
        lumquery* q = nullptr;
        LumQueryParams* p = nullptr;
        EXPECT_EQ(LumQueryCreate(&q, db_), kOk);
        EXPECT_EQ(LumQueryGetParams(q, &p), kOk);
        *p = LumQueryParams{2, op, 0, 0, value, nullptr, 0, 0, type};
        lumresset* set = nullptr;
        lumreslist* list = nullptr;
        uint32_t n = 0;
        EXPECT_EQ(LumQueryExecute(q, &set), kOk);
        EXPECT_EQ(LumResListCreate(&list, set, 0, nullptr), kOk);
        EXPECT_EQ(LumResListGetSize(list, &n), kOk);
        LumResListDestroy(list);
        LumResDestroy(set);
        LumQueryDestroy(q, 0);
        return n;
    }
    lumdb* db_ = nullptr;
    lumcursor* cur_ = nullptr;
};

TEST_F(PointerPair, LinksParentAndNewChildRecord) {
    ThreeFieldRecord();
    ASSERT_EQ(LumCursorGotoField(cur_, 2), kOk);
    uint32_t parentOwner = 0, p = 0, s = 0;
    Field(nullptr, nullptr, nullptr, &parentOwner);
    ASSERT_EQ(LumXMLAppendPointerPair(cur_, 70, 71, 134, &p, &s), kOk);

    // The cursor stands on the child's start field, alone in its record.
    uint32_t index = 9, count = 9, value = 0, address = 0, owner = 0;
    LumTypeId id = 0;
    EXPECT_EQ(LumCursorGetFieldIndex(cur_, &index), kOk);
    EXPECT_EQ(LumCursorGetNumFields(cur_, &count), kOk);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(count, 1u);
    Field(&id, &value, &address, &owner);
    EXPECT_EQ(id, 71u << 16 | 129);
    EXPECT_EQ(address, s);
    EXPECT_EQ(owner, s);
    EXPECT_EQ(value, p);

    // The pointer field follows field 2 of the parent and points back.
    ASSERT_EQ(LumCursorGotoMemberAddress(cur_, value), kOk);
    Field(&id, &value, &address, &owner);
    EXPECT_EQ(id, 70u << 16 | 134);
    EXPECT_EQ(value, s);
    EXPECT_EQ(owner, parentOwner);
    EXPECT_EQ(LumCursorGetFieldIndex(cur_, &index), kOk);
    EXPECT_EQ(LumCursorGetNumFields(cur_, &count), kOk);
    EXPECT_EQ(index, 3u);
    EXPECT_EQ(count, 4u);

    // Neither field is in the value index.
    EXPECT_EQ(Found(71u << 16 | 129, 2, nullptr), 0u);
    EXPECT_EQ(Found(71u << 16 | 129, 1, &p), 0u);
    EXPECT_EQ(Found(70u << 16 | 134, 1, &s), 0u);
    EXPECT_EQ(Found(70u << 16 | 5, 2, nullptr), 3u);
}

TEST_F(PointerPair, InsertsInTheMiddleAndChainsChildren) {
    ThreeFieldRecord();
    ASSERT_EQ(LumCursorGotoField(cur_, 1), kOk);
    uint32_t p = 0, s = 0, grandchild = 0;
    ASSERT_EQ(LumXMLAppendPointerPair(cur_, 70, 71, 135, &p, &s), kOk);
    // A grandchild hangs from the child's start field.
    ASSERT_EQ(LumXMLAppendPointerPair(cur_, 71, 72, 134, nullptr, &grandchild), kOk);

    ASSERT_EQ(LumCursorGotoMemberAddress(cur_, s), kOk);
    uint32_t count = 0, value = 0;
    LumTypeId id = 0;
    EXPECT_EQ(LumCursorGetNumFields(cur_, &count), kOk);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(LumCursorGotoField(cur_, 1), kOk);
    Field(&id, &value, nullptr, nullptr);
    EXPECT_EQ(id, 71u << 16 | 134);
    EXPECT_EQ(value, grandchild);

    ASSERT_EQ(LumCursorGotoMemberAddress(cur_, p), kOk);
    EXPECT_EQ(LumCursorGetNumFields(cur_, &count), kOk);
    EXPECT_EQ(count, 4u);
    const uint32_t expected[4] = {1, 2, s, 3};
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(LumCursorGotoField(cur_, i), kOk);
        Field(nullptr, &value, nullptr, nullptr);
        EXPECT_EQ(value, expected[i]) << "position " << i;
    }
}

TEST_F(PointerPair, CursorStateDecidesWhereThePointerGoes) {
    // Without a record the pointer field owns a record of its own.
    uint32_t p = 0, s = 0, owner = 0;
    ASSERT_EQ(LumXMLAppendPointerPair(cur_, -2, 80, 130, &p, &s), kOk);
    ASSERT_EQ(LumCursorGotoMemberAddress(cur_, p), kOk);
    LumTypeId id = 0;
    Field(&id, nullptr, nullptr, &owner);
    EXPECT_EQ(owner, p);
    EXPECT_EQ(id, 0xFFFEu << 16 | 130);  // negative numbers keep their 16 bits

    // A record without a current field, and a code that cannot hold an
    // offset, are refused with the cursor left where it was.
    ASSERT_EQ(LumCursorNewRecord(cur_), kOk);
    ThreeFieldRecord();
    ASSERT_EQ(LumCursorEraseField(cur_), kOk);
    EXPECT_EQ(LumXMLAppendPointerPair(cur_, 70, 71, 134, &p, &s), kNoField);
    ASSERT_EQ(LumCursorGotoField(cur_, 1), kOk);
    for (uint8_t code : {9, 3, 0, 128, 138})
        EXPECT_EQ(LumXMLAppendPointerPair(cur_, 70, 71, code, &p, &s), kBadBaseType) << int(code);
    uint32_t count = 0;
    EXPECT_EQ(LumCursorGetNumFields(cur_, &count), kOk);
    EXPECT_EQ(count, 2u);
    uint32_t value = 0;
    Field(nullptr, &value, nullptr, nullptr);
    EXPECT_EQ(value, 2u);
}

}  // namespace
