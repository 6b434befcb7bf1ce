// Cursors: positions, fetches and conversions, modification and erasure, jumps
// by member address, and what read-only, damaged and full stores do to them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/cursor.h"
#include "engine/storage/index_memory.h"
#include "engine/storage/objstore.h"
#include "tests/engine/access_test_util.h"
#include "tests/engine/storage/temp_dir.h"

namespace {

using namespace access_test;

using CursorTest = Fixture;

TEST_F(CursorTest, NullHandlesAndReferenceCounting) {
    lumcursor* c = nullptr;
    EXPECT_EQ(LumCursorCreate(&c, nullptr), kBadDatabase);
    EXPECT_EQ(LumCursorDestroy(nullptr), kBadCursor);
    EXPECT_EQ(LumCursorNewRecord(nullptr), kBadCursor);
    EXPECT_EQ(LumCursorAppendField(nullptr, Type(5, 0, 1), "x", 0, nullptr), kBadCursor);
    EXPECT_EQ(LumCursorGotoField(nullptr, 0), kBadCursor);
    EXPECT_EQ(LumCursorGotoNextField(nullptr), kBadCursor);
    EXPECT_EQ(LumCursorGetFieldIndex(nullptr, nullptr), kBadCursor);
    EXPECT_EQ(LumCursorGetNumFields(nullptr, nullptr), kBadCursor);
    EXPECT_EQ(LumCursorGotoMemberAddress(nullptr, 8), kBadCursor);
    EXPECT_EQ(LumCursorFetchField(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr), kBadCursor);
    EXPECT_EQ(LumCursorModifyField(nullptr, nullptr, nullptr, 0, nullptr), kBadCursor);
    EXPECT_EQ(LumCursorEraseField(nullptr), kBadCursor);
    EXPECT_EQ(LumCursorEraseRecord(nullptr), kBadCursor);

    EXPECT_EQ(db->refCount, 1u);
    ASSERT_EQ(LumCursorCreate(&c, db), kOk);
    EXPECT_EQ(db->refCount, 2u);
    EXPECT_EQ(LumDbClose(db), kReferenced);
    EXPECT_EQ(LumCursorDestroy(c), kOk);
    EXPECT_EQ(db->refCount, 1u);
}

TEST_F(CursorTest, CallsThatNeedARecordOrAField) {
    uint32_t v = 0;
    EXPECT_EQ(LumCursorGetFieldIndex(cur, &v), kNoRecord);
    EXPECT_EQ(LumCursorGetNumFields(cur, &v), kNoRecord);
    EXPECT_EQ(LumCursorGotoField(cur, 0), kNoRecord);
    EXPECT_EQ(LumCursorGotoNextField(cur), kNoRecord);
    EXPECT_EQ(LumCursorEraseRecord(cur), kNoRecord);
    EXPECT_EQ(LumCursorFetchField(cur, nullptr, &v, 4, nullptr, nullptr, nullptr, nullptr), kNoField);
    EXPECT_EQ(LumCursorModifyField(cur, nullptr, &v, 0, nullptr), kNoField);
    EXPECT_EQ(LumCursorEraseField(cur), kNoField);

    // After erasing a member the record stays but has no current field.
    ASSERT_EQ(AppendU32(5, 1), kOk);
    ASSERT_EQ(AppendU32(5, 2), kOk);
    ASSERT_EQ(LumCursorEraseField(cur), kOk);
    EXPECT_EQ(LumCursorGetFieldIndex(cur, &v), kNoField);
    EXPECT_EQ(LumCursorGotoNextField(cur), kNoField);
    EXPECT_EQ(Count(), 1u);
    const uint32_t highWater = HighWater(db);
    EXPECT_EQ(AppendU32(5, 3), kNoField);
    EXPECT_EQ(HighWater(db), highWater);
    EXPECT_EQ(Count(), 1u);
}

TEST_F(CursorTest, PositionsAfterAppendAndGoto) {
    for (uint32_t v : {10u, 20u, 30u}) ASSERT_EQ(AppendU32(5, v), kOk);
    EXPECT_EQ(Count(), 3u);
    EXPECT_EQ(Index(), 2u);
    for (uint32_t p = 0; p < 3; ++p) {
        ASSERT_EQ(LumCursorGotoField(cur, p), kOk);
        EXPECT_EQ(Index(), p);
        EXPECT_EQ(U32Here(), 10 * (p + 1));
    }
    // Appending after position 1 inserts: the former position 2 moves to 3.
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    ASSERT_EQ(AppendU32(5, 15), kOk);
    EXPECT_EQ(Index(), 2u);
    EXPECT_EQ(Count(), 4u);
    std::vector<uint32_t> values;
    for (uint32_t p = 0; p < 4; ++p) {
        ASSERT_EQ(LumCursorGotoField(cur, p), kOk);
        values.push_back(U32Here());
    }
    EXPECT_EQ(values, (std::vector<uint32_t>{10, 20, 15, 30}));

    // NewRecord: the next append starts another record.
    ASSERT_EQ(LumCursorNewRecord(cur), kOk);
    ASSERT_EQ(AppendU32(5, 99), kOk);
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(Index(), 0u);
    uint32_t field = 0, owner = 0;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, nullptr, &field, &owner), kOk);
    EXPECT_EQ(field, owner);
}

TEST_F(CursorTest, GotoBeyondTheEndLeavesTheCursor) {
    for (uint32_t v : {1u, 2u, 3u}) ASSERT_EQ(AppendU32(5, v), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    const uint32_t here = Here();
    for (uint32_t p : {3u, 4u, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(LumCursorGotoField(cur, p), kBadFieldIndex) << p;
        EXPECT_EQ(Here(), here);
        EXPECT_EQ(Index(), 1u);
    }
    // Backwards from a later field restarts at the owner.
    ASSERT_EQ(LumCursorGotoField(cur, 2), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    EXPECT_EQ(U32Here(), 1u);
}

TEST_F(CursorTest, RefusedTypesStoreNothing) {
    const uint32_t highWater = HighWater(db);
    uint32_t v = 7;
    for (uint32_t base : {0u, 11u, 127u, 157u, 255u})
        EXPECT_EQ(LumCursorAppendField(cur, Type(base, 0, 1), &v, 0, nullptr), kBadBaseType) << base;
    EXPECT_EQ(LumCursorAppendField(cur, Type(5, 2, 1), &v, 0, nullptr), kBadBaseType);
    EXPECT_EQ(LumCursorAppendField(cur, Type(5, 255, 1), &v, 0, nullptr), kBadBaseType);
    // A type that carries a value needs one.
    EXPECT_EQ(LumCursorAppendField(cur, Type(5, 0, 1), nullptr, 0, nullptr), kBadParameter);
    EXPECT_EQ(LumCursorAppendField(cur, Type(9, 0, 1), nullptr, 0, nullptr), kBadParameter);
    EXPECT_EQ(LumCursorAppendField(cur, Type(10, 1, 1), nullptr, 4, nullptr), kBadParameter);
    EXPECT_EQ(HighWater(db), highWater);
    EXPECT_EQ(LumCursorGetNumFields(cur, &v), kNoRecord);

    // Valueless types need none.
    EXPECT_EQ(LumCursorAppendField(cur, Type(7, 1, 1), nullptr, 0, nullptr), kOk);
    EXPECT_EQ(LumCursorAppendField(cur, Type(10, 1, 1), nullptr, 0, nullptr), kOk);

    ASSERT_EQ(AppendU32(5, 1234), kOk);
    const uint32_t here = Here();
    const LumTypeId bad = Type(12, 0, 1), badFlag = Type(5, 3, 1);
    EXPECT_EQ(LumCursorModifyField(cur, &bad, &v, 0, nullptr), kBadBaseType);
    EXPECT_EQ(LumCursorModifyField(cur, &badFlag, &v, 0, nullptr), kBadBaseType);
    EXPECT_EQ(Here(), here);
    EXPECT_EQ(U32Here(), 1234u);
}

// An announcement is checked as an append is and writes nothing; only
// indexed values that need no conversion are kept for a look-up.
TEST_F(CursorTest, AnnouncementsAreCheckedAndWriteNothing) {
    const uint32_t highWater = HighWater(db);
    const uint32_t v = 7;
    const uint32_t utf8[] = {kUtf8}, utf16[] = {kUtf16Le};
    EXPECT_EQ(LumCursorExpectValue(nullptr, Type(5, 0, 1), &v, nullptr), kBadCursor);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(11, 0, 1), &v, nullptr), kBadBaseType);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(5, 2, 1), &v, nullptr), kBadBaseType);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(5, 0, 1), nullptr, nullptr), kBadParameter);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(11, 0, 1), nullptr, nullptr), kBadBaseType);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(5, 1, 1), &v, nullptr), kOk);   // not indexed
    EXPECT_EQ(LumCursorExpectValue(cur, Type(9, 0, 1), u"b", utf16), kOk);   // converted on append
    EXPECT_TRUE(db->store->index == nullptr || db->store->index->expected == nullptr);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(9, 0, 1), "b", utf8), kOk);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(5, 0, 1), &v, nullptr), kOk);
    ASSERT_NE(db->store->index, nullptr);
    EXPECT_NE(db->store->index->expected, nullptr);
    EXPECT_EQ(HighWater(db), highWater);
    EXPECT_EQ(LumCursorGetNumFields(cur, nullptr), kNoRecord);

    // Announced or not, in any order, the values are stored and found.
    ASSERT_EQ(AppendU32(5, 7), kOk);
    ASSERT_EQ(LumCursorAppendField(cur, Type(9, 0, 1), "a", 0, utf8), kOk);
    ASSERT_EQ(LumCursorAppendField(cur, Type(9, 0, 1), "b", 0, utf8), kOk);
    EXPECT_EQ(Find(db, {1, Type(9, 0, 1), "b"}).size(), 1u);
    EXPECT_EQ(Find(db, {1, Type(5, 0, 1), &v}).size(), 1u);

    db->store->damaged = true;
    EXPECT_EQ(LumCursorExpectValue(cur, Type(5, 0, 1), &v, nullptr), kIllegalFile);
    EXPECT_EQ(LumCursorExpectValue(cur, Type(11, 0, 1), nullptr, nullptr), kIllegalFile);
    db->store->damaged = false;
}

TEST_F(CursorTest, ValuelessClassesAreStoredPlain) {
    ASSERT_EQ(LumCursorAppendField(cur, Type(7, kIndexed, 3), nullptr, 0, nullptr), kOk);
    const uint8_t block[5] = {1, 0, 2, 0, 3};
    ASSERT_EQ(LumCursorAppendField(cur, Type(10, kIndexed, 3), block, 5, nullptr), kOk);
    LumTypeId id = 0;
    uint8_t out[8] = {};
    uint32_t size = 0;
    ASSERT_EQ(LumCursorFetchField(cur, &id, out, sizeof out, nullptr, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(id, Type(10, kPlain, 3));
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(0, std::memcmp(out, block, 5));
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    ASSERT_EQ(LumCursorFetchField(cur, &id, out, sizeof out, nullptr, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(id, Type(7, kPlain, 3));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Find(db, {2, Type(10, 0, 3)}).size(), 0u);
    ASSERT_EQ(LumCursorEraseRecord(cur), kOk);

    // Modifying a field into a valueless class makes it plain too.
    ASSERT_EQ(AppendU32(5, 77, 3), kOk);
    const LumTypeId toBlock = Type(10, kIndexed, 3);
    ASSERT_EQ(LumCursorModifyField(cur, &toBlock, block, 5, nullptr), kOk);
    ASSERT_EQ(LumCursorFetchField(cur, &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_EQ(id, Type(10, kPlain, 3));
    uint32_t key = 77;
    EXPECT_EQ(Find(db, {1, Type(5, 0, 3), &key}).size(), 0u);
}

TEST_F(CursorTest, FetchSizesAndSmallBuffers) {
    ASSERT_EQ(AppendU8(1, 0xAB), kOk);
    ASSERT_EQ(AppendU16(4, 0xBEEF), kOk);
    ASSERT_EQ(AppendU32(6, 0xDEADBEEF), kOk);
    ASSERT_EQ(AppendText(9, "hello"), kOk);
    const uint32_t expected[4] = {1, 2, 4, 6};
    for (uint32_t p = 0; p < 4; ++p) {
        ASSERT_EQ(LumCursorGotoField(cur, p), kOk);
        uint32_t size = 0;
        ASSERT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, &size, nullptr, nullptr), kOk);
        EXPECT_EQ(size, expected[p]) << p;

        // One byte short: 10, nothing copied, the outputs still written.
        std::vector<uint8_t> buffer(size, 0x5A);
        LumTypeId id = 0;
        uint32_t needed = 0, field = 0, own = 0;
        const uint32_t utf8 = kUtf8;
        EXPECT_EQ(LumCursorFetchField(cur, &id, buffer.data(), size - 1, &utf8, &needed, &field, &own),
                  kBufferTooSmall);
        EXPECT_EQ(needed, size);
        EXPECT_EQ(field, Here());
        EXPECT_NE(own, 0u);
        EXPECT_EQ(id & 0xFF, (std::vector<uint32_t>{1, 4, 6, 9})[p]);
        EXPECT_EQ(std::vector<uint8_t>(size, 0x5A), buffer);
        EXPECT_EQ(LumCursorFetchField(cur, nullptr, buffer.data(), size, &utf8, nullptr, nullptr, nullptr), kOk);
    }
    EXPECT_EQ(TextHere(), "hello");
}

TEST_F(CursorTest, TextEncodingsOnAppendAndFetch) {
    // "é" followed by "A", in UTF-16LE.
    const uint8_t utf16[] = {0xE9, 0x00, 0x41, 0x00, 0x00, 0x00};
    const uint32_t options[1] = {kUtf16Le};
    ASSERT_EQ(LumCursorAppendField(cur, Type(9, 0, 1), utf16, 0, options), kOk);
    uint8_t out[16] = {};
    uint32_t size = 0;
    const uint32_t utf8 = kUtf8, utf16le = kUtf16Le;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, out, sizeof out, &utf8, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(0, std::memcmp(out, "\xC3\xA9" "A", 4));
    // Encoding 0 when none is given: each byte of the UTF-8 form becomes a space.
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, out, sizeof out, nullptr, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "  A");
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, out, sizeof out, &utf16le, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(0, std::memcmp(out, utf16, 6));

    // A text that cannot be converted is refused and nothing is stored.
    const uint8_t loneSurrogate[] = {0x00, 0xDC, 0x00, 0x00};
    const uint32_t highWater = HighWater(db);
    EXPECT_EQ(LumCursorAppendField(cur, Type(9, 0, 1), loneSurrogate, 0, options), uint32_t(-1));
    EXPECT_EQ(HighWater(db), highWater);
    EXPECT_EQ(Count(), 1u);
    // An encoding outside the known ones: 1, nothing stored or copied.
    const uint32_t unknown[1] = {8};
    EXPECT_EQ(LumCursorAppendField(cur, Type(9, 0, 1), "x", 0, unknown), kNotImplemented);
    EXPECT_EQ(HighWater(db), highWater);
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(LumCursorFetchField(cur, nullptr, out, sizeof out, unknown, &size, nullptr, nullptr),
              kNotImplemented);
    EXPECT_EQ(out[0], 0x5A);
    // Modify converts the same way.
    const uint32_t latin1 = 1;
    EXPECT_EQ(LumCursorModifyField(cur, nullptr, "\xE9", 0, &latin1), kOk);
    EXPECT_EQ(TextHere(), "\xC3\xA9");
}

TEST_F(CursorTest, ByteBlocksKeepTheirLength) {
    const uint8_t block[6] = {0, 1, 0, 2, 0, 3};
    ASSERT_EQ(LumCursorAppendField(cur, Type(10, 1, 2), block, 6, nullptr), kOk);
    uint8_t out[6] = {};
    uint32_t size = 0;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, out, 6, nullptr, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(0, std::memcmp(out, block, 6));
    // Longer: moves; shorter: in place, and the length follows.
    const uint8_t longer[9] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    const uint32_t before = Here();
    ASSERT_EQ(LumCursorModifyField(cur, nullptr, longer, 9, nullptr), kOk);
    EXPECT_NE(Here(), before);
    const uint32_t moved = Here();
    ASSERT_EQ(LumCursorModifyField(cur, nullptr, block, 2, nullptr), kOk);
    EXPECT_EQ(Here(), moved);
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(size, 2u);
}

TEST_F(CursorTest, ErasingOwnersMembersAndRecords) {
    ASSERT_EQ(AppendU32(5, 1), kOk);
    ASSERT_EQ(AppendU32(5, 2), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    EXPECT_EQ(LumCursorEraseField(cur), kOwnerHasMembers);
    EXPECT_EQ(Count(), 2u);
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    ASSERT_EQ(LumCursorEraseField(cur), kOk);
    EXPECT_EQ(Here(), 0u);
    EXPECT_EQ(Count(), 1u);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    ASSERT_EQ(LumCursorEraseField(cur), kOk);
    // The record went with its owner.
    uint32_t n = 0;
    EXPECT_EQ(LumCursorGetNumFields(cur, &n), kNoRecord);
    uint32_t key = 1;
    EXPECT_TRUE(Find(db, {1, Type(5, 0, 1), &key}).empty());

    // A whole record, indexed fields included; its blocks are reused.
    ASSERT_EQ(LumCursorNewRecord(cur), kOk);
    std::vector<uint32_t> fields;
    for (uint32_t v : {5u, 6u, 7u}) {
        ASSERT_EQ(AppendU32(5, v, 2), kOk);
        fields.push_back(Here());
    }
    ASSERT_EQ(AppendText(8, "gone", 2, kPlain), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    ASSERT_EQ(LumCursorEraseRecord(cur), kOk);
    EXPECT_EQ(LumCursorGetNumFields(cur, &n), kNoRecord);
    EXPECT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, &n, nullptr, nullptr), kNoField);
    EXPECT_TRUE(Find(db, {2, Type(5, 0, 2)}).empty());
    const uint32_t highWater = HighWater(db);
    // A key seen before keeps its node and group, so nothing new is allocated.
    ASSERT_EQ(AppendU32(5, 6, 2), kOk);
    EXPECT_EQ(HighWater(db), highWater);
    EXPECT_NE(std::find(fields.begin(), fields.end(), Here()), fields.end());
}

TEST_F(CursorTest, ModifyMovesALargerValueAndKeepsItsPlace) {
    ASSERT_EQ(AppendU16(3, 100), kOk);
    ASSERT_EQ(AppendU16(3, 200), kOk);
    const uint32_t second = Here();
    ASSERT_EQ(AppendU16(3, 300), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    const LumTypeId wide = Type(5, 0, 1);
    const uint32_t value = 0x12345678;
    ASSERT_EQ(LumCursorModifyField(cur, &wide, &value, 0, nullptr), kOk);
    EXPECT_NE(Here(), second);
    EXPECT_EQ(Index(), 1u);
    EXPECT_EQ(Count(), 3u);
    EXPECT_EQ(U32Here(), value);
    const uint32_t moved = Here();
    std::vector<uint32_t> values;
    for (uint32_t p = 0; p < 3; ++p) {
        ASSERT_EQ(LumCursorGotoField(cur, p), kOk);
        uint32_t v = 0;
        ASSERT_EQ(LumCursorFetchField(cur, nullptr, &v, 4, nullptr, nullptr, nullptr, nullptr), kOk);
        values.push_back(v);
    }
    EXPECT_EQ(values, (std::vector<uint32_t>{100, value, 300}));
    // The index follows: the new value is found at the new offset, the old one not at all.
    EXPECT_EQ(Find(db, {1, wide, &value}), std::vector<uint32_t>{moved});
    const uint16_t old = 200;
    EXPECT_TRUE(Find(db, {1, Type(3, 0, 1), &old}).empty());

    // Same size: rewritten in place.
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    const uint32_t other = 7;
    ASSERT_EQ(LumCursorModifyField(cur, nullptr, &other, 0, nullptr), kOk);
    EXPECT_EQ(Here(), moved);
    EXPECT_EQ(Find(db, {1, wide, &other}), std::vector<uint32_t>{moved});
}

TEST_F(CursorTest, ModifyMovingTheOwnerUpdatesEveryMember) {
    ASSERT_EQ(AppendText(8, "ab"), kOk);
    const uint32_t oldOwner = Here();
    ASSERT_EQ(AppendU32(5, 1), kOk);
    ASSERT_EQ(AppendU32(5, 2), kOk);
    const uint32_t last = Here();
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    ASSERT_EQ(LumCursorModifyField(cur, nullptr, "a much longer text", 0, nullptr), kOk);
    const uint32_t newOwner = Here();
    EXPECT_NE(newOwner, oldOwner);
    ASSERT_EQ(LumCursorGotoMemberAddress(cur, last), kOk);
    uint32_t owner = 0;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, nullptr, nullptr, &owner), kOk);
    EXPECT_EQ(owner, newOwner);
    EXPECT_EQ(Index(), 2u);
    EXPECT_EQ(Count(), 3u);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    char text[32] = {};
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, text, sizeof text, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_STREQ(text, "a much longer text");
}

TEST_F(CursorTest, ModifyChangingTheIndexFlag) {
    ASSERT_EQ(AppendU32(5, 41, 1, kPlain), kOk);
    ASSERT_EQ(AppendU32(5, 42, 1, kPlain), kOk);
    const uint32_t plain = Here();
    const uint32_t key = 42;
    EXPECT_TRUE(Find(db, {1, Type(5, 0, 1), &key}).empty());
    // Plain to indexed: the value starts 4 bytes later, so the field moves.
    const LumTypeId indexed = Type(5, kIndexed, 1);
    ASSERT_EQ(LumCursorModifyField(cur, &indexed, nullptr, 0, nullptr), kOk);
    const uint32_t moved = Here();
    EXPECT_NE(moved, plain);
    EXPECT_EQ(U32Here(), 42u);
    EXPECT_EQ(Find(db, {1, indexed, &key}), std::vector<uint32_t>{moved});
    // Indexed to plain fits in place and leaves the index.
    const LumTypeId plainType = Type(5, kPlain, 1);
    ASSERT_EQ(LumCursorModifyField(cur, &plainType, nullptr, 0, nullptr), kOk);
    EXPECT_EQ(Here(), moved);
    EXPECT_EQ(U32Here(), 42u);
    LumTypeId id = 0;
    ASSERT_EQ(LumCursorFetchField(cur, &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_EQ(id, plainType);
    EXPECT_TRUE(Find(db, {1, indexed, &key}).empty());
    EXPECT_EQ(Count(), 2u);
}

TEST_F(CursorTest, ModifyTypeOnlyResizesTheKeptValue) {
    // A 2-byte value read as a 4-byte type: kept and zero-extended, in a block
    // big enough for it, so that neighbours are never overwritten.
    ASSERT_EQ(AppendU16(3, 0x1234), kOk);
    ASSERT_EQ(AppendText(8, "neighbour"), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    const LumTypeId wide = Type(5, 0, 1);
    ASSERT_EQ(LumCursorModifyField(cur, &wide, nullptr, 0, nullptr), kOk);
    EXPECT_EQ(U32Here(), 0x1234u);
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    EXPECT_EQ(TextHere(), "neighbour");
    // Erasing and reallocating what was freed leaves the neighbour intact.
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    const LumTypeId narrow = Type(1, 0, 1);
    ASSERT_EQ(LumCursorModifyField(cur, &narrow, nullptr, 0, nullptr), kOk);
    uint32_t size = 0;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, &size, nullptr, nullptr), kOk);
    EXPECT_EQ(size, 1u);
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    ASSERT_EQ(LumCursorEraseField(cur), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(AppendText(8, "filler"), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    uint8_t v = 0;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, &v, 1, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_EQ(v, 0x34);
}

TEST_F(CursorTest, MemberAddressJumps) {
    ASSERT_EQ(AppendU32(5, 1), kOk);
    const uint32_t owner = Here();
    for (uint32_t v = 2; v <= 5; ++v) ASSERT_EQ(AppendU32(5, v), kOk);
    ASSERT_EQ(LumCursorGotoField(cur, 3), kOk);
    const uint32_t member = Here();
    ASSERT_EQ(LumCursorNewRecord(cur), kOk);
    ASSERT_EQ(AppendU32(5, 100), kOk);

    ASSERT_EQ(LumCursorGotoMemberAddress(cur, member), kOk);
    uint32_t gotOwner = 0;
    ASSERT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, nullptr, nullptr, &gotOwner), kOk);
    EXPECT_EQ(gotOwner, owner);
    EXPECT_EQ(Index(), 3u);
    EXPECT_EQ(Count(), 5u);
    EXPECT_EQ(U32Here(), 4u);
    ASSERT_EQ(LumCursorGotoMemberAddress(cur, owner), kOk);
    EXPECT_EQ(Index(), 0u);

    // Stepping on after a jump, by a cursor that never saw the record.
    lumcursor* fresh = nullptr;
    ASSERT_EQ(LumCursorCreate(&fresh, db), kOk);
    ASSERT_EQ(LumCursorGotoMemberAddress(fresh, member), kOk);
    ASSERT_EQ(LumCursorGotoNextField(fresh), kOk);
    EXPECT_EQ(Index(fresh), 4u);
    const uint32_t lastField = Here(fresh);
    EXPECT_EQ(LumCursorGotoNextField(fresh), kBadFieldIndex);
    EXPECT_EQ(Here(fresh), lastField);
    EXPECT_EQ(Index(fresh), 4u);
    EXPECT_EQ(LumCursorDestroy(fresh), kOk);

    // Outside the data area: 29, the cursor stays, the store stays usable.
    const uint32_t size = tarn::StoreDataSize(db->store);
    for (uint32_t bad : {0u, 4u, 7u, size - 11, size, 0xFFFFFFF0u}) {
        EXPECT_EQ(LumCursorGotoMemberAddress(cur, bad), kIllegalFile) << bad;
        EXPECT_EQ(Here(), owner);
    }
    EXPECT_FALSE(db->store->damaged);
    EXPECT_EQ(Index(), 0u);
}

// The XML layer's sequence: a pointer linked after the current field (as a
// pointer pair does), work elsewhere, back by member address, append after it.
TEST_F(CursorTest, CachedPositionsSurviveJumpsAndStayRight) {
    ASSERT_EQ(AppendU32(5, 0), kOk);
    tarn::Store* s = db->store;
    std::vector<uint32_t> pointers;
    for (uint32_t k = 0; k < 50; ++k) {
        uint32_t p = 0, child = 0;
        ASSERT_EQ(tarn::ObjAlloc(s, 20, &p), kOk);
        ASSERT_EQ(tarn::ObjAlloc(s, 20, &child), kOk);
        tarn::FieldInit(s, p, Here(), 1, 134, 0, &child, 4);
        tarn::FieldInit(s, child, 0, 2, 129, 0, &p, 4);
        tarn::CursorPlace(cur, child, child, 0, 1);
        ASSERT_EQ(AppendU32(5, k, 2, kPlain), kOk);
        EXPECT_EQ(Count(), 2u);
        ASSERT_EQ(LumCursorGotoMemberAddress(cur, p), kOk);
        EXPECT_EQ(Index(), 1 + 2 * k);
        EXPECT_EQ(Count(), 2 + 2 * k);
        ASSERT_EQ(LumCursorGotoField(cur, Index() + 1), kBadFieldIndex);
        ASSERT_EQ(AppendU32(5, k, 1, kPlain), kOk);
        pointers.push_back(p);
    }
    EXPECT_EQ(Count(), 101u);
    // A pointer linked before the end: later positions shift for every cursor.
    lumcursor* other = nullptr;
    ASSERT_EQ(LumCursorCreate(&other, db), kOk);
    ASSERT_EQ(LumCursorGotoMemberAddress(other, pointers[40]), kOk);
    EXPECT_EQ(Index(other), 81u);
    ASSERT_EQ(LumCursorGotoMemberAddress(cur, pointers[10]), kOk);
    uint32_t p = 0, child = 0;
    ASSERT_EQ(tarn::ObjAlloc(s, 20, &p), kOk);
    ASSERT_EQ(tarn::ObjAlloc(s, 20, &child), kOk);
    tarn::FieldInit(s, p, Here(), 1, 134, 0, &child, 4);
    tarn::FieldInit(s, child, 0, 2, 129, 0, &p, 4);
    tarn::CursorPlace(cur, child, child, 0, 1);
    EXPECT_EQ(Index(other), 82u);
    EXPECT_EQ(Count(other), 102u);
    ASSERT_EQ(LumCursorGotoMemberAddress(cur, pointers[40]), kOk);
    EXPECT_EQ(Index(), 82u);
    EXPECT_EQ(LumCursorDestroy(other), kOk);
}

TEST_F(CursorTest, OtherCursorsSeeAppendsErasesAndMoves) {
    lumcursor* other = nullptr;
    ASSERT_EQ(LumCursorCreate(&other, db), kOk);
    for (uint32_t v = 0; v < 6; ++v) ASSERT_EQ(AppendU32(5, v), kOk);
    ASSERT_EQ(LumCursorGotoMemberAddress(other, Here()), kOk);
    EXPECT_EQ(Count(other), 6u);
    EXPECT_EQ(Index(other), 5u);
    // Appends at the end lengthen the record for the other cursor too.
    ASSERT_EQ(AppendU32(5, 6), kOk);
    EXPECT_EQ(Count(other), 7u);
    // Erasing before it shifts its position.
    ASSERT_EQ(LumCursorGotoField(cur, 2), kOk);
    ASSERT_EQ(LumCursorEraseField(cur), kOk);
    EXPECT_EQ(Index(other), 4u);
    EXPECT_EQ(Count(other), 6u);
    // An insertion before it, too.
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    ASSERT_EQ(AppendU32(5, 100), kOk);
    EXPECT_EQ(Index(other), 5u);
    EXPECT_EQ(Count(other), 7u);
    EXPECT_EQ(Count(), 7u);
    // A move of the owner: the other cursor's record is found under its new owner.
    ASSERT_EQ(LumCursorGotoField(cur, 0), kOk);
    const LumTypeId text = Type(8, 0, 1);
    ASSERT_EQ(LumCursorModifyField(cur, &text, "longer than four", 0, nullptr), kOk);
    const uint32_t member = Here(other);
    ASSERT_EQ(LumCursorGotoMemberAddress(other, member), kOk);
    EXPECT_EQ(Index(other), 5u);
    uint32_t owner = 0;
    ASSERT_EQ(LumCursorFetchField(other, nullptr, nullptr, 0, nullptr, nullptr, nullptr, &owner), kOk);
    EXPECT_EQ(owner, Here());
    EXPECT_EQ(LumCursorDestroy(other), kOk);
}

TEST(CursorStore, ReadOnlyDatabasesRefuseEveryWrite) {
    tarn_test::TempDir dir;
    const std::string path = dir.file("ro.db");
    lumdb* db = OpenFile(path, 0);
    ASSERT_NE(db, nullptr);
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db), kOk);
    const uint32_t v = 5;
    ASSERT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &v, 0, nullptr), kOk);
    ASSERT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &v, 0, nullptr), kOk);
    uint32_t field = 0;
    ASSERT_EQ(LumCursorFetchField(c, nullptr, nullptr, 0, nullptr, nullptr, &field, nullptr), kOk);
    ASSERT_EQ(LumCursorDestroy(c), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);
    const std::vector<uint8_t> before = tarn_test::readFile(path);

    db = OpenFile(path, 17);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(LumCursorCreate(&c, db), kOk);
    ASSERT_EQ(LumCursorGotoMemberAddress(c, field), kOk);
    const uint32_t w = 6;
    EXPECT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &w, 0, nullptr), kBadFlags);
    EXPECT_EQ(LumCursorModifyField(c, nullptr, &w, 0, nullptr), kBadFlags);
    EXPECT_EQ(LumCursorEraseField(c), kBadFlags);
    EXPECT_EQ(LumCursorEraseRecord(c), kBadFlags);
    ASSERT_EQ(LumCursorNewRecord(c), kOk);
    EXPECT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &w, 0, nullptr), kBadFlags);
    ASSERT_EQ(LumCursorGotoMemberAddress(c, field), kOk);
    uint32_t got = 0, n = 0;
    EXPECT_EQ(LumCursorFetchField(c, nullptr, &got, 4, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(LumCursorGetNumFields(c, &n), kOk);
    EXPECT_EQ(n, 2u);
    EXPECT_FALSE(db->store->writeRefused);
    ASSERT_EQ(LumCursorDestroy(c), kOk);
    ASSERT_EQ(LumDbClose(db), kOk);
    EXPECT_EQ(tarn_test::readFile(path), before);
}

TEST_F(CursorTest, DamagedChainsAnswer29AndFreeNothing) {
    for (uint32_t v = 0; v < 3; ++v) ASSERT_EQ(AppendU32(5, v), kOk);
    const uint32_t last = Here();
    ASSERT_EQ(LumCursorGotoField(cur, 1), kOk);
    const uint32_t middle = Here();
    // A chain that loops back on itself: walks end, nothing is freed twice.
    tarn::DataPutU32(db->store, last + tarn::fmt::kFieldNext, middle);
    ASSERT_EQ(LumCursorGotoMemberAddress(cur, last), kOk);
    uint32_t n = 0;
    EXPECT_EQ(LumCursorGetNumFields(cur, &n), kIllegalFile);
    const uint32_t smallFree = tarn::HeaderGetU32(db->store, tarn::fmt::smallFreeHead(20));
    EXPECT_EQ(LumCursorEraseRecord(cur), kIllegalFile);
    EXPECT_EQ(tarn::HeaderGetU32(db->store, tarn::fmt::smallFreeHead(20)), smallFree);
    EXPECT_EQ(LumCursorGotoField(cur, 0x10000000), kBadFieldIndex);
    // Stepping along it ends too, within as many steps as the area has room
    // for fields.
    ASSERT_EQ(LumCursorGotoMemberAddress(cur, middle), kOk);
    uint64_t steps = 0;
    while (LumCursorGotoNextField(cur) == kOk && steps <= tarn::StoreMaxSteps(db->store)) ++steps;
    EXPECT_LE(steps, tarn::StoreMaxSteps(db->store));

    // A next word pointing out of the data area damages the store: 29 from then on.
    tarn::DataPutU32(db->store, last + tarn::fmt::kFieldNext, 0xFFFFFF00u);
    EXPECT_EQ(LumCursorGetNumFields(cur, &n), kIllegalFile);
    EXPECT_TRUE(db->store->damaged);
    EXPECT_EQ(LumCursorGotoField(cur, 0), kIllegalFile);
    EXPECT_EQ(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, &n, nullptr, nullptr), kIllegalFile);
    EXPECT_EQ(AppendU32(5, 1), kIllegalFile);
    lumcursor* more = nullptr;
    EXPECT_EQ(LumCursorCreate(&more, db), kIllegalFile);
    EXPECT_EQ(LumCursorNewRecord(cur), kIllegalFile);
}

// The data area cannot grow: whatever fails leaves records and index as they were.
TEST(CursorStore, FailedGrowthStoresNothingHalfway) {
    lumdb* db = OpenMemory(256);
    ASSERT_NE(db, nullptr);
    lumcursor* c = nullptr;
    ASSERT_EQ(LumCursorCreate(&c, db), kOk);
    const uint32_t one = 1;
    ASSERT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &one, 0, nullptr), kOk);
    // Fill the area so that exactly 20 bytes remain: room for an indexed
    // 32-bit field, none for the index node, head and group of a new key.
    tarn::Store* s = db->store;
    const uint32_t left = tarn::StoreDataSize(s) - HighWater(db);
    ASSERT_GT(left, 60u);
    std::string filler(left - 20 - 13, 'f');
    ASSERT_EQ(LumCursorAppendField(c, Type(8, 1, 9), filler.c_str(), 0, nullptr), kOk);
    ASSERT_EQ(tarn::StoreDataSize(s) - HighWater(db), 20u);
    const auto savedGrow = s->ops.grow;
    s->ops.grow = [](void*, uint32_t) -> uint32_t { return kRealloc; };

    const uint32_t fresh = 0x7F000000;
    EXPECT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &fresh, 0, nullptr), kRealloc);
    uint32_t n = 0;
    EXPECT_EQ(LumCursorGetNumFields(c, &n), kOk);
    EXPECT_EQ(n, 2u);
    uint32_t index = 0;
    EXPECT_EQ(LumCursorGetFieldIndex(c, &index), kOk);
    EXPECT_EQ(index, 1u);
    EXPECT_TRUE(Find(db, {1, Type(5, 0, 1), &fresh}).empty());

    // Modify to a new key fails the same way and keeps the old value findable.
    ASSERT_EQ(LumCursorGotoField(c, 0), kOk);
    uint32_t owner = 0;
    ASSERT_EQ(LumCursorFetchField(c, nullptr, nullptr, 0, nullptr, nullptr, &owner, nullptr), kOk);
    EXPECT_EQ(LumCursorModifyField(c, nullptr, &fresh, 0, nullptr), kRealloc);
    uint32_t got = 0;
    ASSERT_EQ(LumCursorFetchField(c, nullptr, &got, 4, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(Find(db, {1, Type(5, 0, 1), &one}), std::vector<uint32_t>{owner});
    EXPECT_TRUE(Find(db, {1, Type(5, 0, 1), &fresh}).empty());

    s->ops.grow = savedGrow;
    ASSERT_EQ(LumCursorGotoField(c, 1), kOk);
    ASSERT_EQ(LumCursorAppendField(c, Type(5, 0, 1), &fresh, 0, nullptr), kOk);
    EXPECT_EQ(Find(db, {1, Type(5, 0, 1), &fresh}).size(), 1u);
    EXPECT_EQ(LumCursorDestroy(c), kOk);
    EXPECT_EQ(LumDbClose(db), kOk);
}

}  // namespace
