// The loading call: every kind of input, on one thread or two, stores the
// same bytes; progress is told in order and ends once; a cancel or a failure
// at any point leaves the old database and nothing else; failures come by
// kind.
#include "xml/load.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/tarn20.h"
#include "tests/test_files.h"
#include "xml/lumxmlexception.h"

namespace {

using Kind = LumXMLLoadError::Kind;

// Varied events, more than the parse queue holds.
std::string document() {
    std::string xml = "<?xml version=\"1.0\"?>\n<catalog lang=\"de\">";
    for (int i = 0; i < 12000; ++i) {
        xml += "<book id=\"b" + std::to_string(i) + "\" n=\"" + std::to_string(i % 7) + "\">";
        xml += "<title>T\xC3\xBCtel " + std::to_string(i * 7919 % 12000) + "</title>text &amp; more";
        xml += i % 3 == 0 ? "<empty/>" : "<note><em>x</em> y</note>";
        xml += "</book>\n";
    }
    return xml + "</catalog>\n";
}

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override { tarn_test::writeText(xml, text); }

    // Names in the folder besides the input and the database.
    std::string strays() const {
        std::string found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string path = entry.path().string();
            if (path != xml && path != db) found += " " + entry.path().filename().string();
        }
        return found;
    }

    tarn_test::TempDir dir;
    const std::string text = document();
    std::string xml = dir.file("in.xml");
    std::string db = dir.file("out.db");
};

TEST_F(LoadTest, EveryInputOnOneThreadOrTwoStoresTheSameBytes) {
    LumXMLLoad(LumXMLInput::File(xml.c_str()), db.c_str());
    const std::vector<uint8_t> expected = tarn_test::readFile(db);
    ASSERT_GT(expected.size(), text.size());
    for (bool ahead : {true, false}) {
        LumXMLLoadOptions options;
        options.parseAhead = ahead;
        std::vector<std::pair<std::string, LumXMLInput>> inputs{
            {"file", LumXMLInput::File(xml.c_str())},
            {"memory", LumXMLInput::Memory(text.data(), text.size())}};
        // Pieces of every size from 1 to 13 bytes, cut anywhere.
        size_t at = 0, piece = 0;
        inputs.emplace_back("reader", LumXMLInput::Read([&](unsigned char* buffer, size_t size) {
            const size_t n = std::min({size, text.size() - at, piece++ % 13 + 1});
            std::memcpy(buffer, text.data() + at, n);
            at += n;
            return n;
        }));
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        std::thread writer([&] {
            for (size_t done = 0; done < text.size();) {
                const ssize_t n = write(pipeEnds[1], text.data() + done, text.size() - done);
                if (n <= 0) break;
                done += size_t(n);
            }
            close(pipeEnds[1]);
        });
        inputs.emplace_back("pipe", LumXMLInput::Descriptor(pipeEnds[0]));
        for (const auto& [name, input] : inputs) {
            std::filesystem::remove(db);
            LumXMLLoad(input, db.c_str(), options);
            EXPECT_EQ(tarn_test::readFile(db), expected) << name << (ahead ? ", ahead" : "");
        }
        writer.join();
        close(pipeEnds[0]);
    }
    EXPECT_EQ(strays(), "");
}

// Never cancelled, the callback is told every byte once, at the end, after
// calls that only grow; cancelled at its first or second call, or when it
// is told the end, the load leaves the old database as it was and no
// temporary file. (On two threads the parser may read to the end while
// blocks wait to be stored, so the number of calls varies.)
TEST_F(LoadTest, ProgressIsToldInOrderAndACancelAnywhereLeavesNothing) {
    for (bool ahead : {true, false}) {
        for (int cancelAt : {-1, 1, 2, 0}) {  // 0: at the end
            tarn_test::writeText(db, "old bytes");
            std::vector<uint64_t> told;
            LumXMLLoadOptions options;
            options.parseAhead = ahead;
            options.progressIntervalMs = 0;
            options.progress = [&](uint64_t done, uint64_t total) {
                EXPECT_EQ(total, text.size());
                told.push_back(done);
                return cancelAt == 0 ? done != total : int(told.size()) != cancelAt;
            };
            const std::string how = (ahead ? "ahead, cancel " : "one thread, cancel ") + std::to_string(cancelAt);
            try {
                LumXMLLoad(LumXMLInput::File(xml.c_str()), db.c_str(), options);
                EXPECT_EQ(cancelAt, -1) << how;
                ASSERT_GE(told.size(), 3u) << how;
                EXPECT_TRUE(std::is_sorted(told.begin(), told.end())) << how;
                EXPECT_EQ(told.back(), text.size()) << how;
                EXPECT_LT(told[told.size() - 2], text.size()) << how << ": the end is told once";
            } catch (const LumXMLLoadError& e) {
                EXPECT_EQ(e.getKind(), Kind::Cancelled) << how;
                EXPECT_NE(cancelAt, -1) << how;
                EXPECT_TRUE(tarn_test::readText(db) == "old bytes") << how;
            }
            EXPECT_EQ(strays(), "") << how;
        }
    }
}

LumXMLLoadError failureOf(const LumXMLInput& input, const std::string& db,
                          const LumXMLLoadOptions& options = {}) {
    try {
        LumXMLLoad(input, db.c_str(), options);
    } catch (const LumXMLLoadError& e) {
        return e;
    }
    ADD_FAILURE() << "the load succeeded";
    return LumXMLLoadError(Kind::Input, "", 0);
}

TEST_F(LoadTest, FailuresComeByKindWithTheirCodes) {
    const std::string bad = "<a>\n<b></a>";
    LumXMLLoadError e = failureOf(LumXMLInput::Memory(bad.data(), bad.size()), db);
    EXPECT_EQ(e.getKind(), Kind::Malformed);
    EXPECT_EQ(e.getCode(), XMLERR_PARSE);
    EXPECT_EQ(e.getLineNumber(), 2);
    EXPECT_EQ(e.getColumnNumber(), 5);
    EXPECT_STREQ(reinterpret_cast<const char*>(e.getMessage()), "mismatched tag");

    e = failureOf(LumXMLInput::File(dir.file("missing.xml").c_str()), db);
    EXPECT_EQ(e.getKind(), Kind::Input);
    EXPECT_EQ(e.getCode(), LUM_ERR_CREATE_FILE);

    e = failureOf(LumXMLInput::Read([](unsigned char*, size_t) -> size_t {
                      throw std::runtime_error("no more");
                  }),
                  db);
    EXPECT_EQ(e.getKind(), Kind::Input);
    EXPECT_STREQ(reinterpret_cast<const char*>(e.getMessage()), "no more");

    e = failureOf(LumXMLInput::File(xml.c_str()), dir.file("no/such/folder.db"));
    EXPECT_EQ(e.getKind(), Kind::Database);
    EXPECT_EQ(e.getCode(), LUM_ERR_CREATE_FILE);

    LumXMLLoadOptions options;
    options.progress = [](uint64_t, uint64_t) -> bool { throw std::logic_error("mine"); };
    EXPECT_THROW(LumXMLLoad(LumXMLInput::File(xml.c_str()), db.c_str(), options), std::logic_error);
    EXPECT_EQ(strays(), "");
    EXPECT_FALSE(tarn_test::exists(db));
}

// Bytes this process has handed to write calls so far (every thread).
uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return 0;
}

// A load that reaches a lowered size limit fails as one at the 4 GiB limit
// does and stops there: what was stored is given up unwritten (the complete
// load writes its whole database; the failing one writes next to nothing),
// in less time than the complete load takes, and leaves nothing behind.
TEST_F(LoadTest, AFailureAtTheSizeLimitWritesNothingAndEndsAtOnce) {
    const size_t from = text.find("<book"), to = text.rfind("</catalog>");
    std::string big = "<catalog>";
    for (int copy = 0; copy < 4; ++copy) big += text.substr(from, to - from);
    tarn_test::writeText(xml, big + "</catalog>");
    using Clock = std::chrono::steady_clock;
    const uint64_t before = bytesWritten();
    const Clock::time_point start = Clock::now();
    LumXMLLoad(LumXMLInput::File(xml.c_str()), db.c_str());
    const double whole = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t size = tarn_test::readFile(db).size();
    const bool measured = bytesWritten() != 0;  // without the kernel's accounting, time alone
    if (measured) {
        ASSERT_GE(bytesWritten() - before, size) << "the measure sees the writes";
    }
    constexpr uint32_t kLimit = 8u << 20;
    ASSERT_GT(size, kLimit + kLimit / 2);
    for (bool ahead : {true, false}) {
        tarn_test::writeText(db, "old bytes");
        LumXMLLoadOptions options;
        options.parseAhead = ahead;
        options.maxDatabaseBytes = kLimit;
        const uint64_t written = bytesWritten();
        const Clock::time_point began = Clock::now();
        const LumXMLLoadError e = failureOf(LumXMLInput::File(xml.c_str()), db, options);
        const double failing = std::chrono::duration<double>(Clock::now() - began).count();
        const std::string how = ahead ? "ahead" : "one thread";
        EXPECT_EQ(e.getKind(), Kind::Database) << how;
        EXPECT_EQ(e.getCode(), LUM_ERR_FILE_TOO_LARGE) << how;
        if (measured) {
            EXPECT_LT(bytesWritten() - written, 64u << 10) << how;
        }
        EXPECT_LT(failing, 2 * whole + 0.05) << how << ": " << failing << " s against " << whole << " s";
        EXPECT_TRUE(tarn_test::readText(db) == "old bytes") << how;
        EXPECT_EQ(strays(), "") << how;
    }
}

}  // namespace
