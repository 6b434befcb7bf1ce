#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/result_codes.h"
#include "engine/tarn20.h"
#include "tests/engine/storage/temp_dir.h"

namespace {

// The text of `code` with `error` as the current error number.
std::string messageWith(int32_t code, int error) {
    errno = error;
    return LumErrorMessage(code);
}

std::string composed(const char* message, int error) {
    return std::string(message) + ": " + std::strerror(error) + ":";
}

TEST(ErrorMessageTest, EngineCodesHaveTheirTableTexts) {
    const char* const expected[] = {
        "No error", "Function not yet implemented", "Invalid database handle",
        "Illegal database flags", "Invalid parameter passed to function",
        "Invalid driver or driver unavailable", "Invalid cursor handle", "No current record",
        "No current field", "Invalid field index",
        "Supplied buffer for fetch operation is too small", "Unable to delete owner",
        "Invalid dictionary handle", "Type name not found", "Type not found",
        "Dictionary inconsistent", "Type name already defined", "Too many types",
        "Invalid result set handle", "Invalid index into result list",
        "Invalid result list handle", "Invalid query handle", "Invalid query expression",
        "Infinite recursion in query", "Invalid query parameters", "Invalid binary set operator",
        "Invalid environment handle", "Invalid base type", "Data item too big",
        "Illegal database file", "Illegal database file version",
        "There are references to object",
        "The database is busy: another process holds it",
        "An unfinished change must be rolled back first, which needs write access",
    };
    for (int32_t code = 0; code < 34; ++code)
        EXPECT_STREQ(LumErrorMessage(code), expected[code]) << code;
}

TEST(ErrorMessageTest, CodesWithoutTextAndOutOfRange) {
    for (int32_t code : {34, 100, 4095})
        EXPECT_STREQ(LumErrorMessage(code), "Unknown error") << code;
    for (int32_t code : {-1, 13574, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(LumErrorMessage(code), "Invalid errorcode") << code;
}

TEST(ErrorMessageTest, LibraryRangeAppendsTheCurrentErrorNumber) {
    const std::pair<int32_t, const char*> table[] = {
        {0x1000, "malloc() failed"}, {0x1001, "realloc() failed"}, {0x1002, "Unknown error"},
        {0x1005, "munmap() failed"}, {0x1006, "mmap() failed"},    {0x1007, "mremap() failed"},
        {0x1008, "Unknown error"},   {0x1009, "msync() failed"},   {0x1010, "calloc() failed"},
        {0x1011, "Unknown error"},   {0x1FFF, "Unknown error"},
    };
    for (const auto& [code, message] : table)
        EXPECT_EQ(messageWith(code, ENOMEM), composed(message, ENOMEM)) << code;
    // Both range bits: the library path, with no text of its own.
    EXPECT_EQ(messageWith(13573, EACCES), composed("Unknown error", EACCES));
    EXPECT_EQ(messageWith(0x3000, EACCES), composed("Unknown error", EACCES));
}

TEST(ErrorMessageTest, SystemRangeAppendsTheLastSystemError) {
    const char* const messages[] = {
        "CreateFile() failed", "FlushFileBuffers() failed", "CloseHandle() failed",
        "SetFilePointer() failed", "ReadFile() failed", "WriteFile() failed",
        "GetFileSize() failed", "GetFileSize(): File size exceeds 4 GB",
        "MapViewOfFile() failed", "CreateFileMapping() failed", "UnmapViewOfFile() failed",
        "FlushViewOfFile() failed", "GetFileAttributes() failed",
    };
    for (int32_t i = 0; i < 13; ++i)
        EXPECT_EQ(messageWith(0x2000 + i, ENOSPC), composed(messages[i], ENOSPC)) << i;
    EXPECT_EQ(messageWith(0x200D, ENOSPC), composed("Unknown error", ENOSPC));
}

TEST(ErrorMessageTest, FailedOpenIsDescribedBySystemText) {
    tarn_test::TempDir dir;
    lumdb* db = nullptr;
    LumDbParams p{16, 0, 0, 1, 0, 0};
    const uint32_t r = LumDbCreate(&db, 0, dir.file("absent.db").c_str(), &p);
    const std::string text = LumErrorMessage(int32_t(r));
    EXPECT_EQ(r, tarn::rc::kCreateFile);
    EXPECT_EQ(text, composed("CreateFile() failed", ENOENT));
}

TEST(ErrorMessageTest, ComposedMessagesShareOneArea) {
    errno = EINTR;
    const char* first = LumErrorMessage(0x1000);
    EXPECT_EQ(std::string(first), composed("malloc() failed", EINTR));
    errno = EIO;
    const char* second = LumErrorMessage(0x2005);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::string(first), composed("WriteFile() failed", EIO));
    // Plain texts are constants and leave the area alone.
    EXPECT_STREQ(LumErrorMessage(29), "Illegal database file");
    EXPECT_EQ(std::string(first), composed("WriteFile() failed", EIO));
}

TEST(EnvironmentTest, CreateAndDestroy) {
    const uint32_t zero[1] = {0};
    const uint32_t one[1] = {1};
    lumenv* env = reinterpret_cast<lumenv*>(uintptr_t(0x1234));
    EXPECT_EQ(LumEnvCreate(&env, zero), tarn::rc::kNotImplemented);
    EXPECT_EQ(env, reinterpret_cast<lumenv*>(uintptr_t(0x1234)));
    EXPECT_EQ(LumEnvCreate(&env, nullptr), tarn::rc::kBadParameter);
    EXPECT_EQ(LumEnvCreate(nullptr, one), tarn::rc::kBadParameter);
    ASSERT_EQ(LumEnvCreate(&env, one), tarn::rc::kOk);
    EXPECT_NE(env, nullptr);
    EXPECT_EQ(LumEnvDestroy(env), tarn::rc::kOk);
    EXPECT_EQ(LumEnvDestroy(nullptr), tarn::rc::kBadEnvironment);
}

TEST(SystemInfoTest, VersionTwoZeroOne) {
    LumSysInfo info{};
    ASSERT_EQ(LumSysGetInfo(&info), tarn::rc::kOk);
    EXPECT_STREQ(info.versionMajor, "2");
    EXPECT_STREQ(info.versionMinor, "0");
    EXPECT_STREQ(info.versionRelease, "1");
    EXPECT_EQ(info.flag, 1u);
    EXPECT_EQ(LumSysGetInfo(nullptr), tarn::rc::kBadParameter);
}

}  // namespace
