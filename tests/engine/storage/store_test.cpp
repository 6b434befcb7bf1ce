#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/result_codes.h"
#include "engine/storage/store.h"

using namespace tarn;

namespace {

struct MemStore {
    Store* s = nullptr;
    explicit MemStore(uint32_t initial = 0, uint32_t grow = 0, uint32_t flags = 0, uint32_t limit = 0) {
        LumDbParams p{flags, initial, grow, 4, 0, limit};
        EXPECT_EQ(StoreOpen(&s, &p, nullptr), rc::kOk);
    }
    ~MemStore() {
        if (s) StoreClose(s);
    }
};

TEST(StoreOpenTest, DefaultsAreWrittenBackAndUnknownDriversRefused) {
    Store* s = nullptr;
    LumDbParams p{0, 0, 0, 4, 7, 9};
    ASSERT_EQ(StoreOpen(&s, &p, nullptr), rc::kOk);
    EXPECT_EQ(p.growSize, 65536u);
    EXPECT_EQ(p.initialSize, 0u);
    EXPECT_EQ(s->params.spare1, 7u);
    EXPECT_EQ(s->params.spare2, 9u);
    EXPECT_EQ(StoreDataSize(s), 0u);
    StoreClose(s);

    for (uint32_t driver : {2u, 5u, 99u}) {
        LumDbParams bad{0, 0, 0, driver, 0, 0};
        Store* none = nullptr;
        EXPECT_EQ(StoreOpen(&none, &bad, "unused"), rc::kBadDriver) << driver;
        EXPECT_EQ(none, nullptr);
    }
}

TEST(StoreOpenTest, NewHeaderIsFormattedByteForByte) {
    MemStore m(64);
    std::vector<uint8_t> header(fmt::kHeaderSize);
    for (uint32_t i = 0; i < fmt::kHeaderSize; ++i) header[i] = HeaderGetU8(m.s, i);
    EXPECT_EQ(std::memcmp(header.data(), "ORL\x04", 4), 0);
    for (uint32_t i = 4; i < fmt::kHeaderSize; ++i) {
        const uint8_t expected = (i == fmt::kHighWaterOffset) ? 8 : 0;
        ASSERT_EQ(header[i], expected) << "offset " << i;
    }
    EXPECT_FALSE(m.s->damaged);
}

TEST(StoreAccessTest, LittleEndianUnalignedRoundTrip) {
    MemStore m(32);
    DataPutU32(m.s, 1, 0x11223344);
    DataPutU16(m.s, 7, 0xA1B2);
    EXPECT_EQ(DataGetU8(m.s, 1), 0x44);
    EXPECT_EQ(DataGetU8(m.s, 4), 0x11);
    EXPECT_EQ(DataGetU32(m.s, 1), 0x11223344u);
    EXPECT_EQ(DataGetU16(m.s, 7), 0xA1B2);
    EXPECT_FALSE(m.s->damaged);
}

TEST(StoreAccessTest, OutOfRangeAccessReadsZeroWritesNothingAndMarksDamage) {
    MemStore m(16);
    DataPutU32(m.s, 12, 0xDEADBEEF);  // last four bytes: fine
    EXPECT_FALSE(m.s->damaged);
    EXPECT_EQ(DataGetU32(m.s, 13), 0u);  // one byte past the end
    EXPECT_TRUE(m.s->damaged);
    EXPECT_EQ(StoreStatus(m.s), rc::kIllegalFile);

    MemStore n(16);
    DataPutU32(n.s, 0xFFFFFFFE, 1);  // offset + width wraps in 32 bits
    EXPECT_TRUE(n.s->damaged);
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DataGetBytes(n.s, 10, 8, buf);
    for (uint8_t b : buf) EXPECT_EQ(b, 0);
    EXPECT_EQ(DataPtr(n.s, 16, 1), nullptr);
    EXPECT_EQ(HeaderGetU32(n.s, fmt::kHeaderSize - 2), 0u);
}

TEST(StoreAccessTest, ReadOnlyStoreRefusesEveryWrite) {
    MemStore m(16, 0, 17);
    EXPECT_EQ(HeaderGetU32(m.s, fmt::kHighWaterOffset), 8u);  // formatted before locking
    DataPutU32(m.s, 0, 5);
    HeaderPutU32(m.s, fmt::kHighWaterOffset, 99);
    EXPECT_TRUE(m.s->writeRefused);
    EXPECT_EQ(DataGetU32(m.s, 0), 0u);
    EXPECT_EQ(HeaderGetU32(m.s, fmt::kHighWaterOffset), 8u);
    EXPECT_EQ(StoreGrow(m.s), rc::kBadFlags);
    EXPECT_EQ(StoreDataSize(m.s), 16u);
}

TEST(StoreAccessTest, GrowKeepsContentAndZeroesTheNewTail) {
    MemStore m(10, 6);
    DataPutBytes(m.s, 0, 10, "0123456789");
    ASSERT_EQ(StoreGrow(m.s), rc::kOk);
    ASSERT_EQ(StoreDataSize(m.s), 16u);
    char buf[16];
    DataGetBytes(m.s, 0, 16, buf);
    EXPECT_EQ(std::memcmp(buf, "0123456789\0\0\0\0\0\0", 16), 0);
}

TEST(StoreAccessTest, GrowthStopsBeforeOffsetsOverflow) {
    MemStore m(0, 0xFFFFF000u);
    errno = 0;
    EXPECT_EQ(StoreGrow(m.s), rc::kFileTooLarge);
    EXPECT_EQ(StoreDataSize(m.s), 0u);
    // The message names the limit, never "Success".
    EXPECT_STREQ(LumErrorMessage(int32_t(rc::kFileTooLarge)),
                 "GetFileSize(): File size exceeds 4 GB: File too large:");

    // A caller's lower limit counts the header too, and a growth that would
    // end on it exactly is still allowed.
    MemStore limited(0, 4096, 0, fmt::kHeaderSize + 3 * 4096);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(StoreGrow(limited.s), rc::kOk) << i;
    errno = 0;
    EXPECT_EQ(StoreGrow(limited.s), rc::kFileTooLarge);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(StoreDataSize(limited.s), 3u * 4096);
}

TEST(StoreStringTest, ComparisonsAreUnsignedAndBounded) {
    MemStore m(32);
    DataPutBytes(m.s, 0, 6, "hello");
    DataPutBytes(m.s, 6, 3, "\xC3\xA9");
    EXPECT_EQ(DataStrLen(m.s, 0), 5u);
    EXPECT_EQ(DataStrCmp(m.s, 0, "hello"), 0);
    EXPECT_LT(DataStrCmp(m.s, 0, "help"), 0);
    EXPECT_GT(DataStrCmp(m.s, 0, "hell"), 0);
    EXPECT_GT(DataStrCmp(m.s, 6, "z"), 0);  // 0xC3 sorts after ASCII
    EXPECT_LT(DataStrCmpData(m.s, 0, 6), 0);
    EXPECT_TRUE(DataStrFind(m.s, 0, "ell"));
    EXPECT_TRUE(DataStrFind(m.s, 0, ""));
    EXPECT_FALSE(DataStrFind(m.s, 0, "lo!"));
    EXPECT_FALSE(m.s->damaged);

    DataPutBytes(m.s, 28, 4, "abcd");  // no terminator before the end
    EXPECT_EQ(DataStrLen(m.s, 28), 4u);
    EXPECT_TRUE(m.s->damaged);
}

}  // namespace
