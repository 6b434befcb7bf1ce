// Damaged and foreign files given to the file-backed drivers: each is refused
// with a clean code, left byte-identical, and leaves nothing open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/result_codes.h"
#include "engine/storage/store.h"
#include "tests/engine/storage/temp_dir.h"

using namespace tarn;
using tarn_test::openFdCount;
using tarn_test::readFile;
using tarn_test::writeFile;

namespace {

constexpr uint32_t kDataSize = 256;

class CorruptFileTest : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        Store* s = nullptr;
        LumDbParams p{0, kDataSize, 0, GetParam(), 0, 0};
        ASSERT_EQ(StoreOpen(&s, &p, path.c_str()), rc::kOk);
        HeaderPutU32(s, fmt::kHighWaterOffset, 64);
        HeaderPutU32(s, fmt::smallFreeHead(8), 16);
        IndexRootSet(s, 9, 'a', 24);
        StoreClose(s);
        valid = readFile(path);
        ASSERT_EQ(valid.size(), fmt::kHeaderSize + kDataSize);
    }

    // Opens `bytes` as a file with `flags`; checks that a refusal changed
    // nothing on disk and left nothing open.
    uint32_t openBytes(const std::vector<uint8_t>& bytes, uint32_t flags) {
        writeFile(path, bytes);
        const int fds = openFdCount();
        Store* s = nullptr;
        LumDbParams p{flags, 0, 0, GetParam(), 0, 0};
        const uint32_t r = StoreOpen(&s, &p, path.c_str());
        if (r == rc::kOk) {
            HeaderGetU32(s, fmt::kHighWaterOffset);
            DataGetU32(s, kDataSize - 4);
            StoreClose(s);
        } else {
            EXPECT_EQ(readFile(path), bytes) << "flags " << flags;
        }
        EXPECT_EQ(openFdCount(), fds) << "flags " << flags;
        return r;
    }

    tarn_test::TempDir dir;
    std::string path = dir.file("c.db");
    std::vector<uint8_t> valid;
};

TEST_P(CorruptFileTest, TheValidFileOpensInEveryMode) {
    for (uint32_t flags : {1u, 16u, 17u}) EXPECT_EQ(openBytes(valid, flags), rc::kOk) << flags;
    // A database that never grew has no data area at all.
    std::vector<uint8_t> headerOnly(valid.begin(), valid.begin() + fmt::kHeaderSize);
    putU32(&headerOnly[fmt::kHighWaterOffset], 8);
    putU32(&headerOnly[fmt::smallFreeHead(8)], 0);
    putU32(&headerOnly[fmt::indexRoot(9, 'a')], 0);
    EXPECT_EQ(openBytes(headerOnly, 16), rc::kOk);
}

TEST_P(CorruptFileTest, FilesShorterThanTheHeaderAreIllegal) {
    for (size_t size : {0, 1, 3, 4, 76, 1024, 12287}) {
        const std::vector<uint8_t> bytes(valid.begin(), valid.begin() + ptrdiff_t(size));
        for (uint32_t flags : {1u, 16u, 17u})
            EXPECT_EQ(openBytes(bytes, flags), rc::kIllegalFile) << size << " bytes, flags " << flags;
    }
}

TEST_P(CorruptFileTest, ForeignMagicAndOtherVersionsAreRefused) {
    const std::pair<std::string, uint32_t> cases[] = {
        {"XRL\x04", rc::kIllegalFile}, {"orl\x04", rc::kIllegalFile}, {"ORM\x04", rc::kIllegalFile},
        {std::string("\0\0\0\x04", 4), rc::kIllegalFile}, {"ORL\x03", rc::kBadVersion},
        {"ORL\x05", rc::kBadVersion},  {std::string("ORL\0", 4), rc::kBadVersion},
    };
    for (const auto& [prefix, code] : cases) {
        std::vector<uint8_t> bytes = valid;
        std::copy(prefix.begin(), prefix.end(), bytes.begin());
        for (uint32_t flags : {16u, 17u}) EXPECT_EQ(openBytes(bytes, flags), code) << prefix;
    }
}

TEST_P(CorruptFileTest, ImpossibleHeaderWordsAreIllegal) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {fmt::kHighWaterOffset, 0},
        {fmt::kHighWaterOffset, 7},
        {fmt::kHighWaterOffset, kDataSize + 1},
        {fmt::kHighWaterOffset, 0xFFFFFFFF},
        {fmt::smallFreeHead(8), 3},
        {fmt::smallFreeHead(23), kDataSize - 4},
        {fmt::kLargeFreeOffset, kDataSize},
        {fmt::indexRoot(5, 200), kDataSize + 100},
        {fmt::indexRoot(10, 255), 0xFFFFFFF0},
    };
    for (const auto& [offset, value] : cases) {
        std::vector<uint8_t> bytes = valid;
        putU32(&bytes[offset], value);
        EXPECT_EQ(openBytes(bytes, 16), rc::kIllegalFile) << "word at " << offset << " = " << value;
    }
}

TEST_P(CorruptFileTest, RandomDamageGivesACleanAnswer) {
    const uint32_t seed = 20240611;
    std::mt19937 rng(seed);
    for (int round = 0; round < 150; ++round) {
        std::vector<uint8_t> bytes = valid;
        if (round % 5 == 4) {
            bytes.resize(rng() % (valid.size() + 1));
        } else {
            for (int flips = 1 + int(rng() % 4); flips > 0; --flips) {
                const size_t at = (rng() % 2) ? rng() % 80 : rng() % fmt::kHeaderSize;
                bytes[at] ^= uint8_t(1 + rng() % 255);
            }
        }
        const uint32_t r = openBytes(bytes, round % 2 ? 16 : 17);
        ASSERT_TRUE(r == rc::kOk || r == rc::kIllegalFile || r == rc::kBadVersion)
            << "seed " << seed << " round " << round << " gave " << r;
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, CorruptFileTest, ::testing::Values(1u, 3u),
                         [](const auto& info) { return info.param == 1 ? "Mapped" : "File"; });

}  // namespace
