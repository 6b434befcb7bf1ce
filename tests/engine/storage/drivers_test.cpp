// The file-backed drivers on real files: open modes, exclusive opening,
// growth, write-back, read-only opening, and every system-call failure
// (injected through the system-call table) returning its code and leaving
// nothing open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/result_codes.h"
#include "engine/storage/os.h"
#include "engine/storage/store.h"
#include "tests/engine/storage/temp_dir.h"

using namespace tarn;
using tarn_test::exists;
using tarn_test::fileSize;
using tarn_test::openFdCount;
using tarn_test::readFile;

namespace {

constexpr uint32_t kMapped = 1;
constexpr uint32_t kFile = 3;
constexpr int64_t kHeader = fmt::kHeaderSize;

uint32_t openStore(Store** s, const std::string& path, uint32_t flags, uint32_t driver,
                   uint32_t initial = 0, uint32_t grow = 0) {
    LumDbParams p{flags, initial, grow, driver, 0, 0};
    return StoreOpen(s, &p, path.c_str());
}

// Without the size of memory a new file is mapped at once, not staged: the
// way to reach the mapping's own failures from the first call on.
void mapNewFilesAtOnce() {
    os::Sys().sysconf = [](int) -> long {
        errno = EINVAL;
        return -1;
    };
}

class DriverTest : public ::testing::TestWithParam<uint32_t> {
protected:
    uint32_t open(Store** s, uint32_t flags, uint32_t initial = 0, uint32_t grow = 0) {
        return openStore(s, path, flags, GetParam(), initial, grow);
    }
    bool mapped() const { return GetParam() == kMapped; }

    tarn_test::TempDir dir;
    std::string path = dir.file("test.db");
};

TEST_P(DriverTest, OnlyBitsZeroAndFourChooseTheMode) {
    Store* s = nullptr;
    for (uint32_t flags : {16u, 17u, 272u, 273u}) {
        EXPECT_EQ(open(&s, flags), rc::kCreateFile) << flags;
        EXPECT_FALSE(exists(path)) << flags;
    }
    ASSERT_EQ(open(&s, 1, 16), rc::kOk);  // absent: created and formatted
    EXPECT_EQ(HeaderGetU32(s, fmt::kHighWaterOffset), 8u);
    DataPutU32(s, 8, 0xC0FFEE);
    StoreClose(s);

    for (uint32_t flags : {1u, 16u, 17u, 257u, 273u, 0xFFFFFFFFu}) {
        ASSERT_EQ(open(&s, flags, 999), rc::kOk) << flags;
        EXPECT_EQ(StoreDataSize(s), 16u) << flags;  // existing: initialSize unused
        EXPECT_EQ(DataGetU32(s, 8), 0xC0FFEEu) << flags;
        EXPECT_EQ(s->readOnly, (flags & 17) == 17) << flags;
        StoreClose(s);
    }
    for (uint32_t flags : {0u, 256u, 0xFFFFFFEEu}) {  // create: the old content goes
        ASSERT_EQ(open(&s, flags, 32), rc::kOk) << flags;
        EXPECT_EQ(StoreDataSize(s), 32u) << flags;
        EXPECT_EQ(DataGetU32(s, 8), 0u) << flags;
        DataPutU32(s, 8, 0xC0FFEE);
        StoreClose(s);
    }
}

TEST_P(DriverTest, NewFileHeaderByteByByte) {
    Store* s = nullptr;
    ASSERT_EQ(open(&s, 0, 40), rc::kOk);
    EXPECT_EQ(StoreClose(s), rc::kOk);
    const std::vector<uint8_t> bytes = readFile(path);
    ASSERT_EQ(int64_t(bytes.size()), kHeader + 40);
    EXPECT_EQ(std::memcmp(bytes.data(), "ORL\x04", 4), 0);
    for (size_t i = 4; i < bytes.size(); ++i)
        ASSERT_EQ(bytes[i], i == fmt::kHighWaterOffset ? 8 : 0) << "offset " << i;
}

TEST_P(DriverTest, GrowthKeepsEveryByteAndReachesTheFile) {
    Store* s = nullptr;
    ASSERT_EQ(open(&s, 0, 0), rc::kOk);
    if (mapped()) {
        EXPECT_EQ(fileSize(path), kHeader);
    }
    HeaderPutU32(s, fmt::kReservedOffset, 0xAABBCCDD);
    ASSERT_EQ(StoreGrow(s), rc::kOk);
    ASSERT_EQ(StoreDataSize(s), 65536u);
    if (mapped()) {
        EXPECT_EQ(fileSize(path), 77824);
    }
    std::vector<uint8_t> pattern(65536);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 1);
    DataPutBytes(s, 0, 65536, pattern.data());
    ASSERT_EQ(StoreGrow(s), rc::kOk);
    ASSERT_EQ(StoreDataSize(s), 131072u);
    DataPutU32(s, 131068, 0x01020304);
    StoreClose(s);

    EXPECT_EQ(fileSize(path), kHeader + 131072);
    ASSERT_EQ(open(&s, 16), rc::kOk);
    ASSERT_EQ(StoreDataSize(s), 131072u);
    std::vector<uint8_t> back(65536);
    DataGetBytes(s, 0, 65536, back.data());
    EXPECT_EQ(back, pattern);
    EXPECT_EQ(DataGetU32(s, 65536), 0u);
    EXPECT_EQ(DataGetU32(s, 131068), 0x01020304u);
    EXPECT_EQ(HeaderGetU32(s, fmt::kReservedOffset), 0xAABBCCDDu);
    StoreClose(s);
}

TEST_P(DriverTest, SecondOpenerIsRefusedAndChangesNothing) {
    Store* a = nullptr;
    ASSERT_EQ(open(&a, 0, 64), rc::kOk);
    DataPutU32(a, 8, 42);
    ASSERT_EQ(StoreCommit(a), rc::kOk);
    const int64_t size = fileSize(path);
    for (uint32_t flags : {0u, 1u, 16u, 17u}) {
        Store* b = nullptr;
        errno = 0;
        EXPECT_EQ(open(&b, flags, 8), rc::kCreateFile) << flags;
        EXPECT_EQ(errno, EWOULDBLOCK) << flags;
        EXPECT_EQ(fileSize(path), size) << flags;  // not truncated by the refused create
    }
    const pid_t child = fork();
    if (child == 0) {
        Store* c = nullptr;
        _exit(openStore(&c, path, 16, GetParam()) == rc::kCreateFile ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";

    EXPECT_EQ(DataGetU32(a, 8), 42u);
    StoreClose(a);
    Store* b = nullptr;
    ASSERT_EQ(open(&b, 16), rc::kOk);  // released at close
    EXPECT_EQ(DataGetU32(b, 8), 42u);
    StoreClose(b);
}

// Readers share a file; a writer waits for them (spare1), and while it
// waits no new reader gets in; a wait that runs out says so.
TEST_P(DriverTest, ReadersShareAWaitingWriterKeepsNewReadersOut) {
    Store* s = nullptr;
    ASSERT_EQ(open(&s, 0, 64), rc::kOk);
    DataPutU32(s, 8, 42);
    StoreClose(s);
    Store* first = nullptr;
    Store* second = nullptr;
    ASSERT_EQ(open(&first, 17), rc::kOk);
    ASSERT_EQ(open(&second, 17), rc::kOk);
    errno = 0;
    EXPECT_EQ(open(&s, 16), rc::kCreateFile);
    EXPECT_EQ(errno, EWOULDBLOCK);
    LumDbParams waiting{16, 0, 0, GetParam(), 100, 0};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StoreOpen(&s, &waiting, path.c_str()), rc::kBusy);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(errno, EWOULDBLOCK);
    StoreClose(second);

    Store* writer = nullptr;
    uint32_t writerCode = ~0u;
    std::thread wait([&] {
        LumDbParams p{16, 0, 0, GetParam(), 10000, 0};
        writerCode = StoreOpen(&writer, &p, path.c_str());
    });
    // The writer at the gate: a new reader is refused although only
    // readers hold the file.
    uint32_t late = rc::kOk;
    for (int i = 0; i < 500 && late == rc::kOk; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        late = open(&second, 17);
        if (late == rc::kOk) StoreClose(second);
    }
    EXPECT_EQ(late, rc::kCreateFile);
    StoreClose(first);
    wait.join();
    ASSERT_EQ(writerCode, rc::kOk);
    EXPECT_EQ(DataGetU32(writer, 8), 42u);
    StoreClose(writer);
}

// A reader that waited for a file renamed over meanwhile reads the new one.
TEST_P(DriverTest, AWaitingReaderOfAFileRenamedOverOpensTheNewOne) {
    Store* s = nullptr;
    ASSERT_EQ(open(&s, 0, 64), rc::kOk);
    DataPutU32(s, 8, 1);
    StoreClose(s);
    const std::string other = dir.file("other");
    ASSERT_EQ(openStore(&s, other, 0, GetParam(), 64), rc::kOk);
    DataPutU32(s, 8, 2);
    StoreClose(s);

    Store* holder = nullptr;
    ASSERT_EQ(open(&holder, 16), rc::kOk);
    Store* reader = nullptr;
    uint32_t readerCode = ~0u;
    std::thread wait([&] {
        LumDbParams p{17, 0, 0, GetParam(), 10000, 0};
        readerCode = StoreOpen(&reader, &p, path.c_str());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
    StoreClose(holder);
    wait.join();
    ASSERT_EQ(readerCode, rc::kOk);
    EXPECT_EQ(DataGetU32(reader, 8), 2u);
    StoreClose(reader);
}

TEST_P(DriverTest, ReadOnlyOpenLeavesTheFileAsItWas) {
    Store* s = nullptr;
    ASSERT_EQ(open(&s, 0, 32), rc::kOk);
    DataPutU32(s, 8, 7);
    StoreClose(s);
    const struct timespec past[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    const std::vector<uint8_t> before = readFile(path);

    for (uint32_t flags : {17u, 273u}) {
        ASSERT_EQ(open(&s, flags), rc::kOk);
        DataPutU32(s, 8, 99);
        HeaderPutU8(s, 0, 'X');
        EXPECT_TRUE(s->writeRefused);
        EXPECT_EQ(DataGetU32(s, 8), 7u);
        EXPECT_EQ(StoreGrow(s), rc::kBadFlags);
        // The mapped view flushes nothing new; the file driver refuses to write.
        EXPECT_EQ(StoreCommit(s), mapped() ? rc::kOk : rc::kWriteFile);
        StoreClose(s);
        EXPECT_EQ(readFile(path), before) << flags;
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1000000) << flags;
    }
}

TEST_P(DriverTest, ThingsThatAreNotFilesAreRefusedWithoutWaiting) {
    Store* s = nullptr;
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    for (uint32_t flags : {1u, 16u, 17u}) {
        errno = 0;
        EXPECT_EQ(open(&s, flags), rc::kCreateFile) << flags;
        EXPECT_EQ(errno, EISDIR) << flags;
    }
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (uint32_t flags : {1u, 16u, 17u})
        EXPECT_EQ(openStore(&s, fifo, flags, GetParam()), rc::kCreateFile) << flags;

    errno = 0;
    EXPECT_EQ(openStore(&s, fifo + "/below", 1, GetParam()), rc::kGetFileAttributes);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(openStore(&s, "", 0, GetParam()), rc::kCreateFile);
    LumDbParams p{0, 0, 0, GetParam(), 0, 0};
    EXPECT_EQ(StoreOpen(&s, &p, nullptr), rc::kBadParameter);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverTest, ::testing::Values(kMapped, kFile),
                         [](const auto& info) { return info.param == kMapped ? "Mapped" : "File"; });

TEST(FileDriverTest, NothingReachesTheFileBeforeCommitAndCloseWritesBack) {
    tarn_test::TempDir dir;
    const std::string path = dir.file("f.db");
    Store* s = nullptr;
    ASSERT_EQ(openStore(&s, path, 0, kFile, 16), rc::kOk);
    EXPECT_EQ(fileSize(path), 0);
    DataPutU32(s, 8, 5);
    ASSERT_EQ(StoreCommit(s), rc::kOk);
    EXPECT_EQ(fileSize(path), kHeader + 16);
    DataPutU32(s, 12, 6);
    ASSERT_EQ(StoreGrow(s), rc::kOk);
    DataPutU32(s, 16 + 65532, 9);
    StoreClose(s);  // no commit: close writes back

    const std::vector<uint8_t> bytes = readFile(path);
    ASSERT_EQ(int64_t(bytes.size()), kHeader + 16 + 65536);
    EXPECT_EQ(getU32(&bytes[kHeader + 8]), 5u);
    EXPECT_EQ(getU32(&bytes[kHeader + 12]), 6u);
    EXPECT_EQ(getU32(&bytes[bytes.size() - 4]), 9u);
}

// ---- staging of new mapped files ------------------------------------------------

// Header and data as the store holds them, for comparison with the file.
std::vector<uint8_t> heldBytes(Store* s) {
    std::vector<uint8_t> bytes(size_t(kHeader) + StoreDataSize(s));
    std::memcpy(bytes.data(), s->view->header, size_t(kHeader));
    DataGetBytes(s, 0, StoreDataSize(s), bytes.data() + kHeader);
    return bytes;
}

void putPattern(Store* s, uint32_t from, uint32_t len, uint8_t seed) {
    std::vector<uint8_t> pattern(len);
    for (uint32_t i = 0; i < len; ++i) pattern[i] = uint8_t(i * 13 + seed);
    DataPutBytes(s, from, len, pattern.data());
}

// A new mapped store on a fresh file; the system calls are put back after.
class MappedStagingTest : public ::testing::Test {
protected:
    tarn_test::TempDir dir;
    const std::string path = dir.file("s.db");
    tarn_test::SysRestore restore;
    Store* s = nullptr;
};

TEST_F(MappedStagingTest, TheFirstCommitWritesTheFileWholeAndLaterChangesWaitForTheNext) {
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 100), rc::kOk);
    putPattern(s, 0, 100, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(StoreGrow(s), rc::kOk);
        EXPECT_EQ(fileSize(path), kHeader + StoreDataSize(s));  // its blocks are reserved
    }
    putPattern(s, 100, StoreDataSize(s) - 100, 2);
    ASSERT_EQ(StoreCommit(s), rc::kOk);
    EXPECT_EQ(readFile(path), heldBytes(s));

    const std::vector<uint8_t> committed = readFile(path);
    DataPutU32(s, 40, 0x11223344);  // committed once: the file waits for the next commit
    ASSERT_EQ(StoreGrow(s), rc::kOk);
    DataPutU32(s, StoreDataSize(s) - 4, 0x55667788);
    EXPECT_EQ(readFile(path), committed);
    ASSERT_EQ(StoreCommit(s), rc::kOk);
    const std::vector<uint8_t> held = heldBytes(s);
    EXPECT_EQ(readFile(path), held);
    DataPutU32(s, 44, 1);
    EXPECT_EQ(StoreClose(s), rc::kOk);  // a store alone does not commit at close
    EXPECT_EQ(readFile(path), held);
}

TEST_F(MappedStagingTest, GrowthPastTheLimitMapsTheFileAndKeepsEveryByte) {
    // 128 pages of memory: staging ends past a file of 32 pages.
    os::Sys().sysconf = [](int name) -> long { return name == _SC_PHYS_PAGES ? 128 : 4096; };
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 0, 65536), rc::kOk);
    ASSERT_EQ(StoreGrow(s), rc::kOk);  // 77,824 bytes: still staged
    putPattern(s, 0, 65536, 3);
    EXPECT_NE(readFile(path), heldBytes(s));
    ASSERT_EQ(StoreGrow(s), rc::kOk);  // 143,360 bytes: past the limit
    EXPECT_EQ(readFile(path), heldBytes(s));
    DataPutU32(s, 70000, 99);
    EXPECT_EQ(readFile(path), heldBytes(s));
    StoreClose(s);
}

// A staged store large enough to be faulted in ahead: every step of growth
// is written whole, the last bytes first, while the filler's thread works
// ahead of it; the file gets every byte, and the staging pages beyond the
// store stay out of it.
TEST_F(MappedStagingTest, ALargeStagedStoreFaultedInAheadKeepsEveryByte) {
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 0, 1u << 20), rc::kOk);
    uint8_t seed = 0;
    while (StoreDataSize(s) < (40u << 20)) {
        const uint32_t from = StoreDataSize(s);
        ASSERT_EQ(StoreGrow(s), rc::kOk);
        const uint32_t size = StoreDataSize(s) - from;
        putPattern(s, from + size / 2, size - size / 2, ++seed);
        putPattern(s, from, size / 2, ++seed);
    }
    const std::vector<uint8_t> held = heldBytes(s);
    ASSERT_EQ(StoreCommit(s), rc::kOk);
    EXPECT_EQ(readFile(path), held);
    EXPECT_EQ(StoreClose(s), rc::kOk);
    EXPECT_EQ(readFile(path), held);
}

// The filler faults pages in without ever writing to them: what another
// thread writes meanwhile stays, and what nobody wrote stays zero.
TEST(StagingFillerTest, WritesMadeWhileFillingStayAndTheRestStaysZero) {
    uint8_t* base = os::ReserveStaging();
    ASSERT_NE(base, nullptr);
    constexpr size_t kStep = size_t(1) << 20, kSteps = 48;
    {
        os::StagingFiller filler;
        for (size_t i = 0; i < kSteps; ++i) {
            filler.fillTo(base, (i + 8) * kStep);
            for (size_t at = i * kStep; at < (i + 1) * kStep; at += 4096) base[at + i % 4096] = uint8_t(i + 1);
        }
    }  // the filler's thread is joined here
    size_t wrong = 0;
    for (size_t i = 0; i < kSteps + 8; ++i)
        for (size_t at = i * kStep; at < (i + 1) * kStep; ++at) {
            const bool written = i < kSteps && (at - i * kStep) % 4096 == i % 4096;
            wrong += base[at] != (written ? uint8_t(i + 1) : 0);
        }
    EXPECT_EQ(wrong, 0u);
    os::ReleaseStaging(base);
}

TEST_F(MappedStagingTest, AFailedFirstCommitIsReportedAndLosesNothing) {
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 5000), rc::kOk);
    putPattern(s, 0, 5000, 4);
    const std::vector<uint8_t> held = heldBytes(s);

    os::Sys().pwrite = [](int fd, const void* p, size_t n, off_t off) -> ssize_t {
        static int calls = 0;
        if (++calls == 1) return ::pwrite(fd, p, std::min<size_t>(n, 4096), off);
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(StoreCommit(s), rc::kWriteFile);
    EXPECT_EQ(errno, EIO);
    os::Sys() = os::DefaultSys();
    os::Sys().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(StoreCommit(s), rc::kFlushFileBuffers);
    os::Sys() = os::DefaultSys();
    // Once written, a file that cannot be mapped keeps the staged bytes as
    // its view: the commit is done all the same, and so is the next one.
    os::Sys().mmap = [](void*, size_t, int, int, int, off_t) {
        errno = ENOMEM;
        return MAP_FAILED;
    };
    EXPECT_EQ(StoreCommit(s), rc::kOk);
    os::Sys() = os::DefaultSys();
    EXPECT_EQ(heldBytes(s), held);
    EXPECT_EQ(readFile(path), held);

    DataPutU32(s, 4000, 0xCAFE);
    ASSERT_EQ(StoreCommit(s), rc::kOk);
    EXPECT_EQ(readFile(path), heldBytes(s));
    EXPECT_FALSE(s->damaged);
    EXPECT_EQ(StoreClose(s), rc::kOk);
}

TEST_F(MappedStagingTest, AFailedWriteBackAtCloseIsReported) {
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 64), rc::kOk);
    os::Sys().pwrite = [](int, const void*, size_t, off_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    const int fds = openFdCount();
    EXPECT_EQ(StoreClose(s), rc::kWriteFile);
    EXPECT_EQ(openFdCount(), fds - 1);
}

// ---- injected failures -------------------------------------------------------

int gCallsLeft = 0;  // calls of the faked function that still succeed

void* callocFailingLater(size_t n, size_t size) {
    if (gCallsLeft-- == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::calloc(n, size);
}

struct OpenFault {
    const char* name;
    uint32_t driver;
    void (*inject)();
    uint32_t code;
    int error;
};

const OpenFault kOpenFaults[] = {
    {"calloc context", kMapped, [] { gCallsLeft = 0; os::Sys().calloc = callocFailingLater; },
     rc::kMalloc, ENOMEM},
    {"fstat", kMapped,
     [] { os::Sys().fstat = [](int, struct stat*) { errno = EIO; return -1; }; },
     rc::kGetFileSize, EIO},
    {"size of 4 GiB", kMapped,
     [] {
         os::Sys().fstat = [](int fd, struct stat* st) {
             const int r = ::fstat(fd, st);
             st->st_size = off_t(1) << 32;
             return r;
         };
     },
     rc::kFileTooLarge, EFBIG},
    {"realpath", kMapped,
     [] { os::Sys().realpath = [](const char*, char*) -> char* { errno = EIO; return nullptr; }; },
     rc::kCreateFile, EIO},
    {"gate", kFile,
     [] { os::Sys().fcntlLock = [](int, int, struct flock*) { errno = ENOLCK; return -1; }; },
     rc::kCreateFile, ENOLCK},
    {"mmap", kMapped,
     [] {
         os::Sys().mmap = [](void*, size_t, int, int, int, off_t) {
             errno = ENOMEM;
             return MAP_FAILED;
         };
     },
     rc::kMapView, ENOMEM},
    {"calloc context", kFile, [] { gCallsLeft = 0; os::Sys().calloc = callocFailingLater; },
     rc::kMalloc, ENOMEM},
    {"calloc data", kFile, [] { gCallsLeft = 1; os::Sys().calloc = callocFailingLater; },
     rc::kMalloc, ENOMEM},
    {"calloc header", kFile, [] { gCallsLeft = 2; os::Sys().calloc = callocFailingLater; },
     rc::kMalloc, ENOMEM},
    {"pread", kFile,
     [] {
         os::Sys().pread = [](int, void*, size_t, off_t) -> ssize_t {
             errno = EIO;
             return -1;
         };
     },
     rc::kReadFile, EIO},
    {"file shorter than its size", kFile,
     [] { os::Sys().pread = [](int, void*, size_t, off_t) -> ssize_t { return 0; }; },
     rc::kReadFile, EIO},
};

TEST(DriverFaultTest, FailedOpenReturnsItsCodeAndLeavesNothingOpen) {
    tarn_test::TempDir dir;
    for (const OpenFault& f : kOpenFaults) {
        SCOPED_TRACE(std::string(f.name) + (f.driver == kMapped ? " (mapped)" : " (file)"));
        const std::string path = dir.file("x.db");
        Store* s = nullptr;
        ASSERT_EQ(openStore(&s, path, 0, f.driver, 64), rc::kOk);
        DataPutU32(s, 8, 31337);
        StoreClose(s);
        const std::vector<uint8_t> before = readFile(path);
        const int fds = openFdCount();
        {
            tarn_test::SysRestore restore;
            f.inject();
            errno = 0;
            EXPECT_EQ(openStore(&s, path, 16, f.driver), f.code);
            EXPECT_EQ(errno, f.error);
        }
        EXPECT_EQ(openFdCount(), fds);
        EXPECT_EQ(readFile(path), before);
        ASSERT_EQ(openStore(&s, path, 16, f.driver), rc::kOk);  // not left locked
        EXPECT_EQ(DataGetU32(s, 8), 31337u);
        StoreClose(s);
    }
}

TEST(DriverFaultTest, FailedMappedGrowKeepsTheOldView) {
    tarn_test::TempDir dir;
    const std::string path = dir.file("g.db");
    tarn_test::SysRestore restore;
    mapNewFilesAtOnce();
    Store* s = nullptr;
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 64, 4096), rc::kOk);
    DataPutU32(s, 8, 77);

    // The reservation fails after extending the file part of the way.
    os::Sys().fallocate = [](int fd, off_t off, off_t len) {
        return ::ftruncate(fd, off + len - 1) == 0 ? ENOSPC : errno;
    };
    errno = 0;
    EXPECT_EQ(StoreGrow(s), rc::kCreateMapping);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(fileSize(path), kHeader + 64);
    os::Sys() = os::DefaultSys();

    os::Sys().mremap = [](void*, size_t, size_t, int) {
        errno = ENOMEM;
        return MAP_FAILED;
    };
    EXPECT_EQ(StoreGrow(s), rc::kMapView);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(fileSize(path), kHeader + 64);
    os::Sys() = os::DefaultSys();

    EXPECT_EQ(StoreDataSize(s), 64u);
    EXPECT_EQ(DataGetU32(s, 8), 77u);
    DataPutU32(s, 60, 78);
    ASSERT_EQ(StoreGrow(s), rc::kOk);
    EXPECT_EQ(StoreDataSize(s), 64u + 4096);
    EXPECT_EQ(DataGetU32(s, 60), 78u);
    EXPECT_FALSE(s->damaged);
    StoreClose(s);
    EXPECT_EQ(fileSize(path), kHeader + 64 + 4096);
}

TEST(DriverFaultTest, MappedFlushAndUnmapFailuresAreReported) {
    tarn_test::TempDir dir;
    const std::string path = dir.file("m.db");
    tarn_test::SysRestore restore;
    mapNewFilesAtOnce();
    Store* s = nullptr;
    ASSERT_EQ(openStore(&s, path, 0, kMapped, 64), rc::kOk);
    os::Sys().msync = [](void*, size_t, int) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(StoreCommit(s), rc::kFlushView);
    EXPECT_EQ(errno, EIO);
    os::Sys() = os::DefaultSys();
    const struct timespec past[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    EXPECT_EQ(StoreCommit(s), rc::kOk);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, 1000000);  // the commit stamps the write time
    EXPECT_EQ(st.st_atim.tv_sec, 1000000);  // and leaves the access time alone

    os::Sys().munmap = [](void* p, size_t n) {
        ::munmap(p, n);
        errno = EINVAL;
        return -1;
    };
    const int fds = openFdCount();
    EXPECT_EQ(StoreClose(s), rc::kUnmapView);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(openFdCount(), fds - 1);  // the file is closed all the same
    os::Sys() = os::DefaultSys();
    ASSERT_EQ(openStore(&s, path, 16, kMapped), rc::kOk);
    StoreClose(s);
}

TEST(DriverFaultTest, FileCommitSurvivesShortWritesAndInterruptions) {
    tarn_test::TempDir dir;
    const std::string path = dir.file("w.db");
    tarn_test::SysRestore restore;
    Store* s = nullptr;
    ASSERT_EQ(openStore(&s, path, 0, kFile, 10000), rc::kOk);
    std::vector<uint8_t> pattern(10000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i % 251);
    DataPutBytes(s, 0, 10000, pattern.data());
    os::Sys().pwrite = [](int fd, const void* p, size_t n, off_t off) -> ssize_t {
        static int calls = 0;
        if (++calls % 3 == 0) {
            errno = EINTR;
            return -1;
        }
        return ::pwrite(fd, p, std::min<size_t>(n, 999), off);
    };
    os::Sys().pread = [](int fd, void* p, size_t n, off_t off) -> ssize_t {
        return ::pread(fd, p, std::min<size_t>(n, 777), off);
    };
    ASSERT_EQ(StoreCommit(s), rc::kOk);
    StoreClose(s);
    const std::vector<uint8_t> bytes = readFile(path);
    ASSERT_EQ(int64_t(bytes.size()), kHeader + 10000);
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), bytes.begin() + kHeader));

    ASSERT_EQ(openStore(&s, path, 16, kFile), rc::kOk);  // read back in short pieces
    std::vector<uint8_t> back(10000);
    DataGetBytes(s, 0, 10000, back.data());
    EXPECT_EQ(back, pattern);
    StoreClose(s);
}

TEST(DriverFaultTest, FileCommitAndGrowFailuresAreReported) {
    tarn_test::TempDir dir;
    const std::string path = dir.file("c.db");
    tarn_test::SysRestore restore;
    Store* s = nullptr;
    ASSERT_EQ(openStore(&s, path, 0, kFile, 64, 4096), rc::kOk);
    DataPutU32(s, 8, 55);

    os::Sys().pwrite = [](int, const void*, size_t, off_t) -> ssize_t {
        errno = ENOSPC;
        return -1;
    };
    EXPECT_EQ(StoreCommit(s), rc::kWriteFile);
    EXPECT_EQ(errno, ENOSPC);
    os::Sys().pwrite = [](int, const void*, size_t, off_t) -> ssize_t { return 0; };
    EXPECT_EQ(StoreCommit(s), rc::kWriteFile);  // no progress is a failure, not a spin
    os::Sys() = os::DefaultSys();

    os::Sys().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(StoreCommit(s), rc::kFlushFileBuffers);
    EXPECT_EQ(errno, EIO);
    os::Sys() = os::DefaultSys();

    os::Sys().realloc = [](void*, size_t) -> void* {
        errno = ENOMEM;
        return nullptr;
    };
    EXPECT_EQ(StoreGrow(s), rc::kRealloc);
    EXPECT_EQ(StoreDataSize(s), 64u);
    EXPECT_EQ(DataGetU32(s, 8), 55u);
    os::Sys() = os::DefaultSys();
    ASSERT_EQ(StoreGrow(s), rc::kOk);
    EXPECT_EQ(DataGetU32(s, 8), 55u);
    EXPECT_FALSE(s->damaged);
    StoreClose(s);
    EXPECT_EQ(fileSize(path), kHeader + 64 + 4096);
}

}  // namespace
