#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "tests/test_files.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {
namespace {

const unsigned char* u(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

std::string str(const unsigned char* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string("<null>");
}

class InputSourceTest : public ::testing::Test {
protected:
    std::string path(const char* name) const { return _tmp.file(name); }
    std::string write(const char* name, const std::string& bytes) const {
        return tarn_test::writeText(path(name), bytes);
    }
    // The message getByteStream throws for the file, or "" when it opens.
    static std::string openFailure(const std::string& p) {
        InputSourceURI source(u(p.c_str()));
        try {
            std::unique_ptr<InputStreamByte> stream(source.getByteStream());
            return "";
        } catch (const SAXException& e) {
            return str(e.getMessage());
        }
    }
    static std::string patterned(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i * 7 + 1));
        return s;
    }

    tarn_test::TempDir _tmp;
    std::string _dir = _tmp.path();
};

TEST_F(InputSourceTest, PlainSourceHasNoStream) {
    InputSource source("doc.xml");
    EXPECT_EQ(source.getByteStream(), nullptr);
    source.setSystemId(nullptr);
    EXPECT_EQ(source.getSystemId(), nullptr);
}

TEST_F(InputSourceTest, EmptyFileIsAtEndAtOnce) {
    std::string p = write("empty.xml", "");
    InputSourceURI source(u(p.c_str()));
    std::unique_ptr<InputStreamByte> stream(source.getByteStream());
    unsigned char buf[16];
    EXPECT_TRUE(stream->eof());
    EXPECT_EQ(stream->read(buf, sizeof buf), 0u);
    EXPECT_TRUE(stream->eof());
}

TEST_F(InputSourceTest, ChunkedReadsAroundTheChunkSize) {
    for (size_t size : {size_t(1), size_t(255), size_t(256), size_t(257), size_t(513)}) {
        SCOPED_TRACE(size);
        std::string bytes = patterned(size);
        std::string p = write("chunks.bin", bytes);
        InputStreamByteFile stream(u(p.c_str()));
        std::string got;
        unsigned char buf[256];
        size_t reads = 0;
        while (!stream.eof()) {
            unsigned long n = stream.read(buf, sizeof buf);
            ASSERT_GT(n, 0u);
            EXPECT_EQ(n, std::min<size_t>(256, size - got.size()));
            got.append(reinterpret_cast<char*>(buf), n);
            ++reads;
        }
        EXPECT_EQ(got, bytes);
        EXPECT_EQ(reads, (size + 255) / 256);
        EXPECT_EQ(stream.read(buf, sizeof buf), 0u);
    }
}

TEST_F(InputSourceTest, MissingFileFailsWithTheSystemsText) {
    std::string message = openFailure(path("missing.xml"));
    EXPECT_EQ(message.rfind("CreateFile() failed", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
    message = openFailure("");
    EXPECT_EQ(message.rfind("CreateFile() failed", 0), 0u) << message;
}

TEST_F(InputSourceTest, DirectoryFailsToOpen) {
    std::string message = openFailure(_dir);
    EXPECT_EQ(message.rfind("CreateFile() failed", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(EISDIR)), std::string::npos) << message;
}

TEST_F(InputSourceTest, UnreadableFileFailsToOpen) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    std::string p = write("secret.xml", "<a/>");
    ASSERT_EQ(chmod(p.c_str(), 0), 0);
    std::string message = openFailure(p);
    EXPECT_EQ(message.rfind("CreateFile() failed", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(EACCES)), std::string::npos) << message;
}

TEST_F(InputSourceTest, FifoIsRefusedWithoutBlocking) {
    std::string p = path("pipe");
    ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
    std::string message = openFailure(p);
    EXPECT_EQ(message.rfind("CreateFileMapping() failed", 0), 0u) << message;
}

TEST_F(InputSourceTest, FileOfFourGiBIsTooLarge) {
    std::string p = write("huge.bin", "");
    ASSERT_EQ(truncate(p.c_str(), 0x100000000LL), 0) << std::strerror(errno);
    std::string message = openFailure(p);
    EXPECT_EQ(message.rfind("GetFileSize(): File size exceeds 4 GB", 0), 0u) << message;
}

using tarn_test::canLockExclusively;

bool isMapped(const std::string& p) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.size() >= p.size() && line.compare(line.size() - p.size(), p.size(), p) == 0)
            return true;
    }
    return false;
}

TEST_F(InputSourceTest, StreamHoldsTheFileUntilDestroyedThroughItsInterface) {
    std::string p = write("held.xml", "<held/>");
    InputSourceURI source(u(p.c_str()));
    InputStreamByte* stream = source.getByteStream();
    EXPECT_TRUE(isMapped(p));
    EXPECT_FALSE(canLockExclusively(p));
    delete stream;
    EXPECT_FALSE(isMapped(p));
    EXPECT_TRUE(canLockExclusively(p));
    EXPECT_EQ(unlink(p.c_str()), 0);
}

TEST_F(InputSourceTest, FileLockedExclusivelyCannotBeOpened) {
    std::string p = write("busy.xml", "<busy/>");
    int fd = open(p.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::string message = openFailure(p);
    close(fd);
    EXPECT_EQ(message.rfind("CreateFile() failed", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(EWOULDBLOCK)), std::string::npos) << message;
    EXPECT_EQ(openFailure(p), "");
}

TEST_F(InputSourceTest, TwoReadersShareAFile) {
    std::string p = write("shared.xml", "<s/>");
    InputStreamByteFile first(u(p.c_str()));
    InputStreamByteFile second(u(p.c_str()));
    EXPECT_FALSE(first.eof());
    EXPECT_FALSE(second.eof());
}

}  // namespace
}  // namespace LumXMLSAX
