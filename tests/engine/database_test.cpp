#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/storage/os.h"
#include "engine/tarn20.h"
#include "tests/engine/storage/temp_dir.h"

using tarn_test::exists;
using tarn_test::fileSize;
namespace rc = tarn::rc;

namespace {

class DatabaseTest : public ::testing::Test {
protected:
    uint32_t create(lumdb** db, uint32_t flags, uint32_t driver, uint32_t initial = 0) {
        LumDbParams p{flags, initial, 0, driver, 0, 0};
        return LumDbCreate(db, 0, path.c_str(), &p);
    }

    tarn_test::TempDir dir;
    std::string path = dir.file("sample");  // six letters
};

TEST_F(DatabaseTest, ZeroParametersTakeDefaultsAndWriteThemBack) {
    lumdb* db = nullptr;
    LumDbParams p{0, 0, 0, 0, 11, 22};
    ASSERT_EQ(LumDbCreate(&db, 0, path.c_str(), &p), rc::kOk);
    const LumDbParams expected{0, 0, 65536, 1, 11, 22};
    EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
    LumDbParams got{};
    ASSERT_EQ(LumDbGetParams(db, &got), rc::kOk);
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
    EXPECT_EQ(fileSize(path), int64_t(tarn::fmt::kHeaderSize));  // mapped, initialSize 0
    EXPECT_EQ(db->refCount, 0u);
    EXPECT_EQ(db->dictOpen, 0u);
    EXPECT_EQ(LumDbGetParams(db, nullptr), rc::kBadParameter);
    EXPECT_EQ(LumDbGetParams(nullptr, &got), rc::kBadDatabase);
    EXPECT_EQ(LumDbClose(db), rc::kOk);
}

TEST_F(DatabaseTest, ArgumentsAreCheckedInOrder) {
    lumdb* db = nullptr;
    EXPECT_EQ(LumDbCreate(nullptr, 0, nullptr, nullptr), rc::kBadDatabase);
    EXPECT_EQ(LumDbCreate(&db, 0, path.c_str(), nullptr), rc::kBadParameter);
    for (uint32_t driver : {2u, 5u}) {
        EXPECT_EQ(create(&db, 0, driver), rc::kBadDriver) << driver;
        EXPECT_FALSE(exists(path)) << driver;
    }
    for (uint32_t driver : {1u, 3u}) {  // a file driver needs a name
        LumDbParams q{0, 0, 0, driver, 0, 0};
        EXPECT_EQ(LumDbCreate(&db, 0, nullptr, &q), rc::kBadParameter) << driver;
    }
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(LumDbCommit(nullptr), rc::kBadDatabase);
    EXPECT_EQ(LumDbClose(nullptr), rc::kBadDatabase);
    char name[4];
    EXPECT_EQ(LumDbGetName(nullptr, name, 4), rc::kBadDatabase);
}

TEST_F(DatabaseTest, NameIsCopiedWithoutTerminator) {
    lumdb* db = nullptr;
    ASSERT_EQ(create(&db, 0, 1), rc::kOk);
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(LumDbGetName(db, buffer, 4), rc::kOk);
    EXPECT_EQ(std::string(buffer, 5), path.substr(0, 4) + "#");
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(LumDbGetName(db, buffer, sizeof buffer), rc::kOk);
    EXPECT_EQ(std::string(buffer, path.size()), path);
    EXPECT_EQ(buffer[path.size()], '#');  // bytes after the name untouched
    EXPECT_EQ(LumDbGetName(db, nullptr, 0), rc::kOk);
    EXPECT_EQ(LumDbGetName(db, nullptr, 1), rc::kBadParameter);
    EXPECT_EQ(LumDbClose(db), rc::kOk);
}

TEST_F(DatabaseTest, SixLetterNameInSmallAndLargeBuffers) {
    lumdb* db = nullptr;
    LumDbParams p{0, 0, 0, 4, 0, 0};  // the memory driver takes the name as given
    ASSERT_EQ(LumDbCreate(&db, 0, "sample", &p), rc::kOk);
    char small[4];
    ASSERT_EQ(LumDbGetName(db, small, 4), rc::kOk);
    EXPECT_EQ(std::memcmp(small, "samp", 4), 0);
    char large[10];
    std::memset(large, 'x', sizeof large);
    ASSERT_EQ(LumDbGetName(db, large, 10), rc::kOk);
    EXPECT_EQ(std::memcmp(large, "samplexxxx", 10), 0);
    EXPECT_EQ(LumDbClose(db), rc::kOk);

    ASSERT_EQ(LumDbCreate(&db, 0, nullptr, &p), rc::kOk);  // memory: no name at all
    std::memset(large, 'x', sizeof large);
    ASSERT_EQ(LumDbGetName(db, large, 10), rc::kOk);
    EXPECT_EQ(std::memcmp(large, "xxxxxxxxxx", 10), 0);
    EXPECT_EQ(LumDbClose(db), rc::kOk);
}

TEST_F(DatabaseTest, CloseRefusesWhileObjectsAreOpen) {
    lumdb* db = nullptr;
    ASSERT_EQ(create(&db, 0, 3, 16), rc::kOk);
    tarn::DataPutU32(db->store, 8, 4242);
    db->refCount = 1;
    EXPECT_EQ(LumDbClose(db), rc::kReferenced);
    EXPECT_EQ(fileSize(path), 0);  // nothing committed, nothing closed
    EXPECT_EQ(LumDbCommit(db), rc::kOk);  // the handle is still good
    db->refCount = 0;
    EXPECT_EQ(LumDbClose(db), rc::kOk);
    const std::vector<uint8_t> bytes = tarn_test::readFile(path);
    ASSERT_EQ(bytes.size(), tarn::fmt::kHeaderSize + 16u);
    EXPECT_EQ(tarn::getU32(&bytes[tarn::fmt::kHeaderSize + 8]), 4242u);
}

TEST_F(DatabaseTest, FileDatabaseIsWrittenBackByCloseAlone) {
    lumdb* db = nullptr;
    ASSERT_EQ(create(&db, 1, 3, 16), rc::kOk);
    tarn::DataPutU32(db->store, 4, 99);
    EXPECT_EQ(LumDbClose(db), rc::kOk);
    ASSERT_EQ(create(&db, 16, 3), rc::kOk);
    EXPECT_EQ(tarn::DataGetU32(db->store, 4), 99u);
    EXPECT_EQ(LumDbClose(db), rc::kOk);
}

// What the drivers hold apart from the file is dropped; what was committed
// stays, and the file is not written again.
TEST_F(DatabaseTest, AbandonWritesNothingMore) {
    lumdb* db = nullptr;
    ASSERT_EQ(create(&db, 0, 3, 16), rc::kOk);
    tarn::DataPutU32(db->store, 8, 1);
    ASSERT_EQ(LumDbCommit(db), rc::kOk);
    tarn::DataPutU32(db->store, 8, 2);
    db->refCount = 1;
    EXPECT_EQ(LumDbAbandon(db), rc::kReferenced);
    db->refCount = 0;
    EXPECT_EQ(LumDbAbandon(db), rc::kOk);
    EXPECT_EQ(tarn::getU32(&tarn_test::readFile(path)[tarn::fmt::kHeaderSize + 8]), 1u);
    EXPECT_EQ(LumDbAbandon(nullptr), rc::kBadDatabase);

    // A new mapped file is held in memory until its first commit: abandoned
    // before, it never receives a header.
    ASSERT_EQ(create(&db, 0, 1, 1 << 20), rc::kOk);
    tarn::DataPutU32(db->store, 8, 3);
    EXPECT_EQ(LumDbAbandon(db), rc::kOk);
    const std::vector<uint8_t> bytes = tarn_test::readFile(path);
    EXPECT_EQ(bytes, std::vector<uint8_t>(tarn::fmt::kHeaderSize + (1u << 20), 0));
    EXPECT_EQ(create(&db, 16, 1), rc::kIllegalFile);

    // An existing mapped file: neither a change nor growth reaches it.
    ASSERT_EQ(create(&db, 0, 1, 16), rc::kOk);
    tarn::DataPutU32(db->store, 8, 4);
    ASSERT_EQ(LumDbClose(db), rc::kOk);
    const std::vector<uint8_t> committed = tarn_test::readFile(path);
    ASSERT_EQ(create(&db, 16, 1), rc::kOk);
    tarn::DataPutU32(db->store, 8, 5);
    ASSERT_EQ(tarn::StoreGrow(db->store), rc::kOk);
    tarn::DataPutU32(db->store, 100, 6);
    EXPECT_EQ(LumDbAbandon(db), rc::kOk);
    EXPECT_EQ(tarn_test::readFile(path), committed);
}

TEST_F(DatabaseTest, CommitOfReadOnlyFlagsSeventeenDoesNothing) {
    lumdb* db = nullptr;
    ASSERT_EQ(create(&db, 0, 1, 16), rc::kOk);
    ASSERT_EQ(LumDbClose(db), rc::kOk);
    tarn_test::SysRestore restore;
    tarn::os::Sys().msync = [](void*, size_t, int) {
        errno = EIO;
        return -1;
    };
    ASSERT_EQ(create(&db, 17, 1), rc::kOk);
    EXPECT_EQ(LumDbCommit(db), rc::kOk);  // the flush is never reached
    EXPECT_EQ(LumDbClose(db), rc::kOk);
    ASSERT_EQ(create(&db, 273, 1), rc::kOk);
    EXPECT_EQ(LumDbCommit(db), rc::kFlushView);  // attempted
    EXPECT_EQ(LumDbClose(db), rc::kOk);          // failures of the final commit are not reported
    tarn::os::Sys() = tarn::os::DefaultSys();

    ASSERT_EQ(create(&db, 273, 3), rc::kOk);
    EXPECT_EQ(LumDbCommit(db), rc::kWriteFile);  // nothing is written through a read-only open
    EXPECT_EQ(LumDbClose(db), rc::kOk);
}

int gAllocsLeft = 0;

void* mallocFailingLater(size_t size) {
    if (gAllocsLeft-- == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::malloc(size);
}

TEST_F(DatabaseTest, AllocationFailureAfterOpenClosesTheStore) {
    for (uint32_t driver : {1u, 3u}) {
        for (int allocation : {0, 1}) {  // the handle, then the name copy
            SCOPED_TRACE(::testing::Message() << "driver " << driver << " allocation " << allocation);
            lumdb* db = nullptr;
            {
                tarn_test::SysRestore restore;
                gAllocsLeft = allocation;
                tarn::os::Sys().malloc = mallocFailingLater;
                const uint32_t r = create(&db, 0, driver);
                const std::string text = LumErrorMessage(int32_t(r));
                EXPECT_EQ(r, rc::kMalloc);
                EXPECT_EQ(text, std::string("malloc() failed: ") + std::strerror(ENOMEM) + ":");
            }
            EXPECT_EQ(db, nullptr);
            ASSERT_EQ(create(&db, 16, driver), rc::kOk);  // not left locked
            EXPECT_EQ(LumDbClose(db), rc::kOk);
        }
    }
}

}  // namespace
