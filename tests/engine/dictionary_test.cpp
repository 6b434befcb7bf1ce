// Dictionary of record types: numbering, names, lookups, deletion, and what
// a reopened or damaged database does to them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/result_codes.h"
#include "engine/storage/bytes.h"
#include "engine/storage/format.h"
#include "engine/tarn20.h"

namespace {

using namespace tarn::rc;

constexpr uint32_t kUtf8 = 2;
constexpr uint32_t kUtf16le = 3;

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "dict_" + std::to_string(getpid()) + "_" + name + ".db";
}

lumdb* OpenDb(const std::string& path, uint32_t flags, uint32_t driver = 1) {
    LumDbParams p = {flags, 0, 0, driver, 0, 0};
    lumdb* db = nullptr;
    EXPECT_EQ(LumDbCreate(&db, 0, path.empty() ? nullptr : path.c_str(), &p), kOk);
    return db;
}

LumTypeId NewType(lumdct* d, uint8_t base, const char* name) {
    LumTypeId id = 0;
    EXPECT_EQ(LumDctNewType(d, base, 0, &id, name, kUtf8), kOk) << (name ? name : "(unnamed)");
    return id;
}

std::vector<LumTypeId> ListTypes(lumdct* d) {
    uint32_t n = 0;
    EXPECT_EQ(LumDctListTypes(d, nullptr, 0, &n), kOk);
    std::vector<LumTypeId> ids(n);
    EXPECT_EQ(LumDctListTypes(d, ids.data(), n, nullptr), kOk);
    return ids;
}

// Writes a record shaped like a type record, bypassing the dictionary.
void WriteTypeRecord(lumdb* db, uint16_t number, LumTypeId id, const char* name) {
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db), kOk);
    const uint32_t utf8[1] = {kUtf8};
    ASSERT_EQ(LumCursorAppendField(c, 0x10003, &number, 0, nullptr), kOk);
    ASSERT_EQ(LumCursorAppendField(c, 0x40005, &id, 0, nullptr), kOk);
    if (name) {
        ASSERT_EQ(LumCursorAppendField(c, 0x50009, name, 0, utf8), kOk);
    }
    ASSERT_EQ(LumCursorDestroy(c), kOk);
}

class Dictionary : public ::testing::Test {
protected:
    void SetUp() override {
        db_ = OpenDb("", 0, 4);
        ASSERT_EQ(LumDctCreate(&dct_, db_), kOk);
    }
    void TearDown() override {
        if (dct_) {
            EXPECT_EQ(LumDctDestroy(dct_), kOk);
        }
        EXPECT_EQ(LumDbClose(db_), kOk);  // nothing left open
    }
    lumdb* db_ = nullptr;
    lumdct* dct_ = nullptr;
};

TEST_F(Dictionary, NumbersStartAt64AndTypesDescribeThemselves) {
    EXPECT_EQ(NewType(dct_, 5, nullptr), 0x400005u);
    EXPECT_EQ(NewType(dct_, 5, nullptr), 0x410005u);
    LumTypeId plain = 0;
    ASSERT_EQ(LumDctNewType(dct_, 9, 1, &plain, "title", kUtf8), kOk);
    EXPECT_EQ(plain, 0x420109u);

    uint32_t base = 0, flag = 0, number = 0;
    char name[16] = "untouched";
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, plain, &base, &flag, &number, name, 16, kUtf8), kOk);
    EXPECT_EQ(base, 9u);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(number, 0x42u);
    EXPECT_STREQ(name, "title");

    // An unnamed type answers without a buffer and refuses to name itself.
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, 0x400005, &base, nullptr, &number, nullptr, 0, 0), kOk);
    EXPECT_EQ(number, 64u);
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, 0x400005, nullptr, nullptr, nullptr, name, 16, 0),
              kBadFieldIndex);
}

TEST_F(Dictionary, TypeRecordHasTheDocumentedFields) {
    const LumTypeId id = NewType(dct_, 6, "age");
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db_), kOk);
    lumquery* q = nullptr;
    ASSERT_EQ(LumQueryCreate(&q, db_), kOk);
    LumQueryParams* p = nullptr;
    ASSERT_EQ(LumQueryGetParams(q, &p), kOk);
    *p = LumQueryParams{2, 1, 1, 0, &id, nullptr, 0, 0, 0x40005};
    lumresset* set = nullptr;
    ASSERT_EQ(LumQueryExecute(q, &set), kOk);
    lumreslist* list = nullptr;
    ASSERT_EQ(LumResListCreate(&list, set, 0, nullptr), kOk);
    ASSERT_EQ(LumResListGetItem(list, c, 0), kOk);

    uint32_t count = 0;
    ASSERT_EQ(LumCursorGetNumFields(c, &count), kOk);
    EXPECT_EQ(count, 3u);
    const LumTypeId types[3] = {0x10003, 0x40005, 0x50009};
    uint8_t values[3][8] = {};
    for (uint32_t i = 0; i < 3; ++i) {
        LumTypeId type = 0;
        uint32_t size = 0;
        ASSERT_EQ(LumCursorGotoField(c, i), kOk);
        ASSERT_EQ(LumCursorFetchField(c, &type, values[i], 8, &kUtf8, &size, nullptr, nullptr),
                  kOk);
        EXPECT_EQ(type, types[i]) << "position " << i;
    }
    EXPECT_EQ(tarn::getU16(values[0]), 64);
    EXPECT_EQ(tarn::getU32(values[1]), id);
    EXPECT_STREQ(reinterpret_cast<char*>(values[2]), "age");
    LumResListDestroy(list);
    LumResDestroy(set);
    LumQueryDestroy(q, 0);
    LumCursorDestroy(c);
}

TEST_F(Dictionary, NamesAreExactAndUnique) {
    const LumTypeId item = NewType(dct_, 8, "item");
    LumTypeId id = 0;
    EXPECT_EQ(LumDctNewType(dct_, 5, 0, &id, "item", kUtf8), kNameDefined);
    EXPECT_EQ(id, 0u);  // output untouched on failure
    EXPECT_EQ(NewType(dct_, 5, "other"), 0x410005u);  // the refused name used no number

    EXPECT_EQ(LumDctLookupName(dct_, "item", &id, kUtf8), kOk);
    EXPECT_EQ(id, item);
    for (const char* miss : {"Item", "item ", " item", "ite", ""})
        EXPECT_EQ(LumDctLookupName(dct_, miss, &id, kUtf8), kNameNotFound) << '"' << miss << '"';

    // Names are compared in their stored UTF-8 form, whatever encoding names them.
    const char16_t wide[] = u"Größe";
    const LumTypeId size = [&] {
        LumTypeId out = 0;
        EXPECT_EQ(LumDctNewType(dct_, 5, 0, &out, wide, kUtf16le), kOk);
        return out;
    }();
    EXPECT_EQ(LumDctLookupName(dct_, "Gr\xC3\xB6\xC3\x9F" "e", &id, kUtf8), kOk);
    EXPECT_EQ(id, size);
    EXPECT_EQ(LumDctNewType(dct_, 5, 0, &id, "Gr\xC3\xB6\xC3\x9F" "e", kUtf8), kNameDefined);
    char utf8[16];
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, size, nullptr, nullptr, nullptr, utf8, 8, kUtf8), kOk);
    EXPECT_STREQ(utf8, "Gr\xC3\xB6\xC3\x9F" "e");
    // Seven bytes of UTF-8 and the terminator: one byte less is refused.
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, size, nullptr, nullptr, nullptr, utf8, 7, kUtf8),
              kBufferTooSmall);
}

TEST_F(Dictionary, UnknownIdsAndHandles) {
    const LumTypeId id = NewType(dct_, 5, "n");
    uint32_t base = 77;
    for (LumTypeId other : {id + 1, id | 0x100u, id + 0x10000u, 0x10003u})
        EXPECT_EQ(LumDctGetTypeAttributes(dct_, other, &base, nullptr, nullptr, nullptr, 0, 0),
                  kTypeNotFound) << std::hex << other;
    EXPECT_EQ(base, 77u);
    EXPECT_EQ(LumDctDeleteType(dct_, id + 1), kTypeNotFound);

    EXPECT_EQ(LumDctDestroy(nullptr), kBadDictionary);
    EXPECT_EQ(LumDctNewType(nullptr, 5, 0, nullptr, nullptr, 0), kBadDictionary);
    EXPECT_EQ(LumDctGetTypeAttributes(nullptr, id, nullptr, nullptr, nullptr, nullptr, 0, 0),
              kBadDictionary);
    EXPECT_EQ(LumDctDeleteType(nullptr, id), kBadDictionary);
    EXPECT_EQ(LumDctListTypes(nullptr, nullptr, 0, nullptr), kBadDictionary);
    EXPECT_EQ(LumDctLookupName(nullptr, "n", nullptr, 0), kBadDictionary);
    EXPECT_EQ(LumDctLookupName(dct_, nullptr, nullptr, 0), kBadParameter);
    lumdct* other = nullptr;
    EXPECT_EQ(LumDctCreate(&other, nullptr), kBadDatabase);
}

TEST_F(Dictionary, ListsInAscendingOrderWithinCapacity) {
    for (uint8_t base : {9, 1, 6}) NewType(dct_, base, nullptr);
    uint32_t n = 0;
    LumTypeId ids[4] = {1, 1, 1, 1};
    EXPECT_EQ(LumDctListTypes(dct_, ids, 0, &n), kOk);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ids[0], 1u);  // capacity 0: no ids written
    EXPECT_EQ(LumDctListTypes(dct_, ids, 2, &n), kOk);
    EXPECT_EQ(ids[0], 0x400009u);
    EXPECT_EQ(ids[1], 0x410001u);
    EXPECT_EQ(ids[2], 1u);
    EXPECT_EQ(ListTypes(dct_), (std::vector<LumTypeId>{0x400009, 0x410001, 0x420006}));
}

TEST_F(Dictionary, OneDictionaryPerDatabaseHoldingTheDatabaseOpen) {
    lumdct* second = nullptr;
    EXPECT_EQ(LumDctCreate(&second, db_), kBadDictionary);
    EXPECT_EQ(second, nullptr);
    NewType(dct_, 5, "still usable");
    EXPECT_EQ(LumDbClose(db_), kReferenced);

    ASSERT_EQ(LumDctDestroy(dct_), kOk);
    dct_ = nullptr;
    EXPECT_EQ(LumDctCreate(nullptr, db_), kBadParameter);
    ASSERT_EQ(LumDctCreate(&second, db_), kOk);
    EXPECT_EQ(NewType(second, 5, nullptr), 0x410005u);
    EXPECT_EQ(LumDctDestroy(second), kOk);
}

TEST_F(Dictionary, DeletedTypeLeavesItsFieldsAndItsNumber) {
    NewType(dct_, 5, "a");
    const LumTypeId b = NewType(dct_, 5, "b");
    NewType(dct_, 5, "c");
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db_), kOk);
    const uint32_t value = 7;
    ASSERT_EQ(LumCursorAppendField(c, b, &value, 0, nullptr), kOk);

    ASSERT_EQ(LumDctDeleteType(dct_, b), kOk);
    EXPECT_EQ(LumDctDeleteType(dct_, b), kTypeNotFound);
    LumTypeId id = 0;
    EXPECT_EQ(LumDctLookupName(dct_, "b", &id, kUtf8), kNameNotFound);
    EXPECT_EQ(ListTypes(dct_), (std::vector<LumTypeId>{0x400005, 0x420005}));
    uint32_t fetched = 0;
    EXPECT_EQ(LumCursorFetchField(c, nullptr, &fetched, 4, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_EQ(fetched, 7u);
    LumCursorDestroy(c);

    // The name is free again; the number is not given back.
    EXPECT_EQ(NewType(dct_, 5, "b"), 0x430005u);
}

TEST_F(Dictionary, TwoRecordsForOneIdOrNameAreInconsistent) {
    const LumTypeId id = NewType(dct_, 5, "dup");
    WriteTypeRecord(db_, 64, id, nullptr);
    EXPECT_EQ(LumDctGetTypeAttributes(dct_, id, nullptr, nullptr, nullptr, nullptr, 0, 0),
              kDictInconsistent);
    EXPECT_EQ(LumDctDeleteType(dct_, id), kDictInconsistent);

    NewType(dct_, 5, "twice");
    WriteTypeRecord(db_, 99, 0x630005, "twice");
    LumTypeId out = 0;
    EXPECT_EQ(LumDctLookupName(dct_, "twice", &out, kUtf8), kDictInconsistent);
    EXPECT_EQ(LumDctNewType(dct_, 5, 0, &out, "twice", kUtf8), kDictInconsistent);
    EXPECT_EQ(out, 0u);

    // A record found by its id field but without the id at position 1.
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db_), kOk);
    const uint32_t options[1] = {kUtf8};
    const LumTypeId odd = 0x700005;
    ASSERT_EQ(LumCursorAppendField(c, 0x50009, "odd", 0, options), kOk);
    const uint16_t number = 0x70;
    ASSERT_EQ(LumCursorAppendField(c, 0x10003, &number, 0, nullptr), kOk);
    ASSERT_EQ(LumCursorAppendField(c, 0x40005, &odd, 0, nullptr), kOk);
    LumCursorDestroy(c);
    EXPECT_EQ(LumDctLookupName(dct_, "odd", &out, kUtf8), kDictInconsistent);
    uint32_t n = 0;
    LumTypeId ids[8];
    EXPECT_EQ(LumDctListTypes(dct_, ids, 8, &n), kDictInconsistent);
}

// Numbers in use are found again when a dictionary opens, so a new number
// never repeats one, even when deletions left fewer records than numbers.
TEST_F(Dictionary, NewNumbersPassEveryNumberInUse) {
    WriteTypeRecord(db_, 200, 0xC80005, "high");
    ASSERT_EQ(LumDctDestroy(dct_), kOk);
    ASSERT_EQ(LumDctCreate(&dct_, db_), kOk);
    EXPECT_EQ(NewType(dct_, 5, nullptr), 0xC90005u);

    // The last numbers: 65534 is handed out, then the dictionary is full.
    WriteTypeRecord(db_, 65533, 0xFFFD0005, nullptr);
    ASSERT_EQ(LumDctDestroy(dct_), kOk);
    ASSERT_EQ(LumDctCreate(&dct_, db_), kOk);
    EXPECT_EQ(NewType(dct_, 5, "last"), 0xFFFE0005u);
    LumTypeId id = 0;
    EXPECT_EQ(LumDctNewType(dct_, 5, 0, &id, nullptr, 0), kTooManyTypes);
    EXPECT_EQ(LumDctNewType(dct_, 5, 0, &id, "last", kUtf8), kTooManyTypes);
    EXPECT_EQ(ListTypes(dct_).size(), 4u);
}

TEST(DictionaryFile, ReopenedDatabaseContinuesNumbering) {
    const std::string path = TempPath("reopen");
    lumdb* db = OpenDb(path, 0);
    lumdct* d = nullptr;
    ASSERT_EQ(LumDctCreate(&d, db), kOk);
    for (const char* name : {"one", "two", "three"}) NewType(d, 5, name);
    ASSERT_EQ(LumDctDestroy(d), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);

    db = OpenDb(path, 16);
    ASSERT_EQ(LumDctCreate(&d, db), kOk);
    EXPECT_EQ(NewType(d, 5, nullptr), 0x430005u);
    // After a deletion the count alone would give 67 again.
    ASSERT_EQ(LumDctDeleteType(d, 0x410005), kOk);
    ASSERT_EQ(LumDctDestroy(d), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);

    db = OpenDb(path, 16);
    ASSERT_EQ(LumDctCreate(&d, db), kOk);
    EXPECT_EQ(NewType(d, 5, nullptr), 0x440005u);
    ASSERT_EQ(LumDctDestroy(d), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);
    std::remove(path.c_str());
}

TEST(DictionaryFile, ReadOnlyDatabaseIsReadButNotWritten) {
    const std::string path = TempPath("readonly");
    lumdb* db = OpenDb(path, 0);
    lumdct* d = nullptr;
    ASSERT_EQ(LumDctCreate(&d, db), kOk);
    const LumTypeId id = NewType(d, 8, "kept");
    ASSERT_EQ(LumDctDestroy(d), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);

    db = OpenDb(path, 17);
    ASSERT_EQ(LumDctCreate(&d, db), kOk);
    LumTypeId out = 0;
    EXPECT_EQ(LumDctLookupName(d, "kept", &out, kUtf8), kOk);
    EXPECT_EQ(out, id);
    EXPECT_EQ(LumDctNewType(d, 5, 0, &out, "new", kUtf8), kBadFlags);
    EXPECT_EQ(LumDctNewType(d, 5, 0, &out, nullptr, 0), kBadFlags);
    EXPECT_EQ(LumDctDeleteType(d, id), kBadFlags);
    EXPECT_EQ(ListTypes(d), std::vector<LumTypeId>{id});
    ASSERT_EQ(LumDctDestroy(d), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);
    std::remove(path.c_str());
}

TEST(DictionaryFile, DamagedIndexIsReportedAndReleasesEverything) {
    const std::string path = TempPath("damaged");
    lumdb* db = OpenDb(path, 0);
    lumdct* d = nullptr;
    ASSERT_EQ(LumDctCreate(&d, db), kOk);
    NewType(d, 5, "x");
    ASSERT_EQ(LumDctDestroy(d), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);
    {
        // Every object of the data area becomes 0xFF bytes: each offset read
        // from it lies far outside the file.
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        uint8_t word[4] = {};
        f.seekg(tarn::fmt::kHighWaterOffset);
        f.read(reinterpret_cast<char*>(word), 4);
        const uint32_t highWater = tarn::getU32(word);
        ASSERT_GT(highWater, tarn::fmt::kFirstObject);
        const std::string garbage(highWater - tarn::fmt::kFirstObject, '\xFF');
        f.seekp(tarn::fmt::kHeaderSize + tarn::fmt::kFirstObject);
        f.write(garbage.data(), std::streamsize(garbage.size()));
        ASSERT_TRUE(f.good());
    }
    db = OpenDb(path, 16);
    EXPECT_EQ(LumDctCreate(&d, db), kIllegalFile);
    EXPECT_EQ(LumDbClose(db), kOk);
    std::remove(path.c_str());
}

}  // namespace
