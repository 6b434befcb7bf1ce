// Block allocation and field objects, checked byte for byte in the data area.
#include "engine/storage/objstore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/result_codes.h"

namespace tarn {
namespace {

constexpr uint32_t kGrowFailure = 0x1001;

// Counts grow calls and can refuse them, to see how often one allocation
// grows the area and what a failure leaves behind.
struct GrowProbe {
    static inline int calls = 0;
    static inline bool fail = false;
    static inline uint32_t (*real)(void*, uint32_t) = nullptr;
    static uint32_t grow(void* ctx, uint32_t n) {
        ++calls;
        return fail ? kGrowFailure : real(ctx, n);
    }
};

class ObjStore : public ::testing::Test {
protected:
    void open(uint32_t initialSize, uint32_t growSize) {
        if (s) StoreClose(s);
        LumDbParams p{0, initialSize, growSize, 4, 0, 0};
        ASSERT_EQ(StoreOpen(&s, &p, nullptr), 0u);
        GrowProbe::calls = 0;
        GrowProbe::fail = false;
        GrowProbe::real = s->ops.grow;
        s->ops.grow = GrowProbe::grow;
    }
    void SetUp() override { open(0, 65536); }
    void TearDown() override { StoreClose(s); }

    uint32_t alloc(uint32_t size) {
        uint32_t off = 0;
        EXPECT_EQ(ObjAlloc(s, size, &off), 0u);
        return off;
    }
    uint32_t highWater() { return HeaderGetU32(s, fmt::kHighWaterOffset); }
    uint32_t smallHead(uint32_t size) { return HeaderGetU32(s, fmt::smallFreeHead(size)); }
    uint32_t largeHead() { return HeaderGetU32(s, fmt::kLargeFreeOffset); }
    std::vector<uint8_t> header() { return {s->view->header, s->view->header + fmt::kHeaderSize}; }

    Store* s = nullptr;
};

TEST_F(ObjStore, AllocatesFromHighWaterInOrder) {
    EXPECT_EQ(alloc(20), 8u);
    EXPECT_EQ(alloc(20), 28u);
    EXPECT_EQ(highWater(), 48u);
    EXPECT_EQ(StoreDataSize(s), 65536u);
    EXPECT_EQ(GrowProbe::calls, 1);
}

TEST_F(ObjStore, SmallBlocksReusedFromTheirExactSizeList) {
    uint32_t a = alloc(20), b = alloc(20);
    ObjFree(s, a, 20);
    ObjFree(s, b, 20);
    EXPECT_EQ(smallHead(20), b);
    EXPECT_EQ(DataGetU32(s, b + fmt::kFreeNext), a);
    EXPECT_EQ(alloc(21), 48u) << "another size never takes a 20-byte block";
    EXPECT_EQ(alloc(20), b) << "freed blocks are taken from the front";
    EXPECT_EQ(alloc(20), a);
    EXPECT_EQ(smallHead(20), 0u);
    EXPECT_EQ(alloc(20), 69u);
}

TEST_F(ObjStore, SmallRequestsNeverSplitLargeBlocks) {
    uint32_t large = alloc(40);
    alloc(8);
    ObjFree(s, large, 40);
    uint32_t end = highWater();
    EXPECT_EQ(alloc(12), end);
    EXPECT_EQ(alloc(23), end + 12);
    EXPECT_EQ(largeHead(), large);
    EXPECT_EQ(alloc(24), large);
    EXPECT_EQ(smallHead(16), large + 24);
    EXPECT_EQ(largeHead(), 0u);
}

TEST_F(ObjStore, LargeBlockIsSplitAndItsTailFreed) {
    uint32_t big = alloc(100);
    alloc(20);  // keeps the block away from highWater
    ObjFree(s, big, 100);
    EXPECT_EQ(largeHead(), big);
    EXPECT_EQ(DataGetU32(s, big + fmt::kFreeSize), 100u);
    EXPECT_EQ(alloc(40), big);
    EXPECT_EQ(largeHead(), big + 40);
    EXPECT_EQ(DataGetU32(s, big + 40 + fmt::kFreeSize), 60u);
    EXPECT_EQ(DataGetU32(s, big + 40 + fmt::kFreeNext), 0u) << "the taken block left the list";
}

TEST_F(ObjStore, SplitTailsGoToTheListOfTheirSize) {
    struct Case {
        uint32_t request;
        uint32_t tail;  // 0: kept with the block
    } cases[] = {{95, 0}, {93, 0}, {92, 8}, {77, 23}, {76, 24}};
    for (const Case& c : cases) {
        open(0, 65536);
        uint32_t big = alloc(100);
        alloc(20);
        ObjFree(s, big, 100);
        auto before = header();
        EXPECT_EQ(alloc(c.request), big);
        auto after = header();
        if (c.tail == 0) {
            // Only largeFree changed: nothing of a short tail reached the header.
            before[fmt::kLargeFreeOffset] = 0;
            EXPECT_EQ(before, after) << c.request;
            EXPECT_EQ(largeHead(), 0u);
        } else if (c.tail <= fmt::kSmallMax) {
            EXPECT_EQ(smallHead(c.tail), big + c.request) << c.request;
            EXPECT_EQ(largeHead(), 0u);
        } else {
            EXPECT_EQ(largeHead(), big + c.request);
            EXPECT_EQ(DataGetU32(s, big + c.request + fmt::kFreeSize), c.tail);
        }
    }
}

TEST_F(ObjStore, LargeListIsFirstFitInListOrder) {
    uint32_t a = alloc(50), b = alloc(200), c = alloc(100);
    alloc(20);
    ObjFree(s, a, 50);
    ObjFree(s, b, 200);
    ObjFree(s, c, 100);  // list: c(100) b(200) a(50)
    EXPECT_EQ(alloc(80), c);
    EXPECT_EQ(smallHead(20), c + 80);
    EXPECT_EQ(alloc(150), b) << "the first block large enough, not the best";
    EXPECT_EQ(largeHead(), b + 150);
    EXPECT_EQ(DataGetU32(s, b + 150 + fmt::kFreeSize), 50u);
    EXPECT_EQ(DataGetU32(s, b + 150 + fmt::kFreeNext), a) << "predecessor relinked past b";
    EXPECT_EQ(alloc(50), b + 150);
    EXPECT_EQ(alloc(50), a);
    EXPECT_EQ(largeHead(), 0u);
}

TEST_F(ObjStore, GrowsAsOftenAsOneRequestNeeds) {
    open(0, 64);
    EXPECT_EQ(alloc(1000), 8u);
    EXPECT_EQ(GrowProbe::calls, 16);
    EXPECT_EQ(StoreDataSize(s), 1024u);
    EXPECT_EQ(highWater(), 1008u);
    EXPECT_EQ(alloc(16), 1008u);
    EXPECT_EQ(GrowProbe::calls, 16) << "the block fits the remaining space";
    EXPECT_EQ(alloc(1), 1024u) << "requests below 8 bytes take 8";
    EXPECT_EQ(highWater(), 1032u);
}

TEST_F(ObjStore, FailedGrowthHandsOutNothing) {
    open(30, 64);
    EXPECT_EQ(alloc(20), 8u);
    GrowProbe::fail = true;
    uint32_t off = 12345;
    EXPECT_EQ(ObjAlloc(s, 20, &off), kGrowFailure);
    EXPECT_EQ(off, 12345u);
    EXPECT_EQ(highWater(), 28u);
    uint32_t field = 0;
    EXPECT_EQ(FieldCreate(s, &field, 5, 0, 1, 0, 0, 4), kGrowFailure);
    GrowProbe::fail = false;
    EXPECT_EQ(alloc(20), 28u);
}

TEST_F(ObjStore, FreeIgnoresBlocksNoListCanHold) {
    alloc(40);
    auto before = header();
    ObjFree(s, 8, 5);
    ObjFree(s, 0, 20);
    EXPECT_EQ(before, header());
    EXPECT_FALSE(s->damaged);
}

TEST_F(ObjStore, CorruptFreeListsAreRefused) {
    alloc(100);
    HeaderPutU32(s, fmt::smallFreeHead(12), 5000);  // beyond highWater
    uint32_t off = 0;
    EXPECT_EQ(ObjAlloc(s, 12, &off), 29u);
    EXPECT_TRUE(s->damaged);

    open(0, 65536);
    uint32_t a = alloc(30);
    alloc(8);
    ObjFree(s, a, 30);
    DataPutU32(s, a + fmt::kFreeNext, a);  // a list that loops on itself
    EXPECT_EQ(ObjAlloc(s, 500, &off), 29u);
    EXPECT_TRUE(s->damaged);

    open(0, 65536);
    a = alloc(30);
    alloc(8);
    ObjFree(s, a, 30);
    DataPutU32(s, a + fmt::kFreeSize, 1u << 30);  // claims more than the area
    EXPECT_EQ(ObjAlloc(s, 40, &off), 29u);

    open(0, 65536);
    HeaderPutU32(s, fmt::kHighWaterOffset, 3);
    EXPECT_EQ(ObjAlloc(s, 40, &off), 29u);
}

// ---- fields ------------------------------------------------------------------

TEST_F(ObjStore, FieldCreateLayouts) {
    uint32_t idx = 0, plain = 0, block = 0;
    ASSERT_EQ(FieldCreate(s, &idx, 3, 0, 0x1234, 77, 99, 2), 0u);
    ASSERT_EQ(FieldCreate(s, &plain, 9, 1, 7, 8, 0, 6), 0u);
    ASSERT_EQ(FieldCreate(s, &block, 10, 1, 2, 8, 0, 30), 0u);
    EXPECT_EQ(idx, 8u);
    EXPECT_EQ(plain, 8u + 18) << "indexed: 16 + value size";
    EXPECT_EQ(block, 26u + 18) << "plain: 12 + value size";
    EXPECT_EQ(highWater(), 44u + 46) << "type 10: 16 + length whatever the flag";

    const uint8_t expect[16] = {4, 3, 0x34, 0x12, 77, 0, 0, 0, 99, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(DataPtr(s, idx, 16), expect, 16), 0);
    EXPECT_EQ(DataGetU8(s, plain + fmt::kFieldKind), fmt::kKindPlain);
    EXPECT_EQ(DataGetU8(s, block + fmt::kFieldKind), fmt::kKindPlain);
    EXPECT_EQ(DataGetU32(s, block + fmt::kFieldBlockLength), 30u);
    EXPECT_EQ(FieldBlockSize(s, idx), 18u);
    EXPECT_EQ(FieldBlockSize(s, block), 46u);
    EXPECT_EQ(FieldValueOffset(s, idx), idx + 16);
    EXPECT_EQ(FieldValueOffset(s, plain), plain + 12);
    EXPECT_EQ(FieldValueOffset(s, block), block + 16);
}

TEST_F(ObjStore, IndexedByteBlockKeepsItsLength) {
    uint32_t f = 0;
    ASSERT_EQ(FieldCreate(s, &f, 10, 0, 1, 0, 0, 5), 0u);
    EXPECT_EQ(DataGetU8(s, f + fmt::kFieldKind), fmt::kKindIndexed);
    uint32_t size = 0;
    FieldValueSize(s, f, &size);
    EXPECT_EQ(size, 5u);
    FieldWrite(s, f, "hello", 5, 0);
    char out[8] = {};
    FieldRead(s, f, out, sizeof out);
    EXPECT_STREQ(out, "hello");
}

TEST_F(ObjStore, FieldLinkMakesOwnersAndMembers) {
    uint32_t a = alloc(16), b = alloc(16), c = alloc(16);
    FieldLink(s, a, 0);
    EXPECT_EQ(DataGetU32(s, a + fmt::kFieldOwner), a);
    EXPECT_EQ(DataGetU32(s, a + fmt::kFieldNext), 0u);
    FieldLink(s, b, a);
    EXPECT_EQ(DataGetU32(s, b + fmt::kFieldOwner), a);
    EXPECT_EQ(DataGetU32(s, a + fmt::kFieldNext), b);
    EXPECT_EQ(DataGetU32(s, b + fmt::kFieldNext), 0u);
    FieldLink(s, c, a);  // inserted right after the owner, before b
    EXPECT_EQ(DataGetU32(s, a + fmt::kFieldNext), c);
    EXPECT_EQ(DataGetU32(s, c + fmt::kFieldNext), b);
    EXPECT_EQ(DataGetU32(s, c + fmt::kFieldOwner), a);

    FieldSetOwner(s, c, 4242);
    EXPECT_EQ(DataGetU32(s, a + fmt::kFieldOwner), a) << "fields before the run are untouched";
    EXPECT_EQ(DataGetU32(s, c + fmt::kFieldOwner), 4242u);
    EXPECT_EQ(DataGetU32(s, b + fmt::kFieldOwner), 4242u);
    EXPECT_FALSE(s->damaged);
}

TEST_F(ObjStore, FieldSetOwnerStopsOnACycle) {
    uint32_t a = alloc(16), b = alloc(16);
    FieldLink(s, a, 0);
    FieldLink(s, b, a);
    DataPutU32(s, b + fmt::kFieldNext, a);
    FieldSetOwner(s, a, 1);
    EXPECT_TRUE(s->damaged);
}

TEST_F(ObjStore, FieldInitBuildsPointerPairFields) {
    uint32_t first = alloc(20), second = alloc(20);
    uint32_t target = 0xA1B2C3D4;
    EXPECT_EQ(FieldInit(s, first, 0, 5, 129, 0, &target, 4), 0u);
    EXPECT_EQ(FieldInit(s, second, first, 6, 130, 0, &first, 4), 0u);
    const uint8_t expect1[20] = {4, 129, 5, 0, 8, 0, 0, 0, 28, 0, 0, 0, 0, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1};
    const uint8_t expect2[20] = {4, 130, 6, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(std::memcmp(DataPtr(s, first, 20), expect1, 20), 0);
    EXPECT_EQ(std::memcmp(DataPtr(s, second, 20), expect2, 20), 0);

    uint32_t plain = alloc(14);
    FieldInit(s, plain, second, 7, 3, 1, "\x01\x02", 2);
    EXPECT_EQ(DataGetU8(s, plain + fmt::kFieldKind), fmt::kKindPlain);
    EXPECT_EQ(DataGetU16(s, plain + fmt::kPlainValue), 0x0201);
    EXPECT_EQ(DataGetU32(s, second + fmt::kFieldNext), plain);
}

TEST_F(ObjStore, FieldValueSizeAndReads) {
    struct Case {
        uint8_t base;
        uint8_t flag;
        const char* value;
        uint32_t size;
    } cases[] = {
        {128, 1, "\x01", 1}, {4, 1, "\x01\x02", 2}, {137, 0, "abcd", 4},
        {8, 0, "text", 5},    {156, 1, "", 1},         {7, 0, "", 0},
    };
    for (const Case& c : cases) {
        uint32_t f = 0;
        ASSERT_EQ(FieldCreate(s, &f, c.base, c.flag, 1, 0, 0, c.size), 0u);
        FieldWrite(s, f, c.value, c.size, c.flag);
        uint32_t size = 99;
        FieldValueSize(s, f, &size);
        EXPECT_EQ(size, c.size) << int(c.base);
        EXPECT_EQ(FieldBlockSize(s, f), c.size + (c.flag ? 12u : 16u)) << int(c.base);
        char out[16] = {};
        FieldRead(s, f, out, sizeof out);
        EXPECT_EQ(std::memcmp(out, c.value, c.size), 0) << int(c.base);
    }
}

TEST_F(ObjStore, FieldReadCopiesNoMoreThanCapacity) {
    uint32_t f = 0;
    ASSERT_EQ(FieldCreate(s, &f, 8, 1, 1, 0, 0, 11), 0u);
    FieldWrite(s, f, "abcdefghij", 11, 1);
    char out[8];
    std::memset(out, '#', sizeof out);
    FieldRead(s, f, out, 3);
    EXPECT_EQ(std::string(out, 8), "abc#####");
    FieldRead(s, f, out, 0);
    EXPECT_EQ(out[0], 'a');
}

}  // namespace
}  // namespace tarn
