// The tools as processes under hostile conditions: a disk that fills up while
// loading, any system call failing, loads killed at random moments, a
// database held open by another process (waited for, then refused), and an
// XML file named as its own database. Whatever happens, a tool ends by itself (no signal, no hang) with
// exit status 0, or with 1 and one error line, and never destroys data: a
// load that fails leaves the database it was to replace byte for byte as it
// was, and no temporary file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "tests/engine/storage/temp_dir.h"
#include "tests/tools/tool_runner.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tarntest::runTool;
using tarntest::ToolResult;

constexpr auto kToolTimeout = std::chrono::seconds(120);

// A catalog of numbered items, about `bytes` long.
std::vector<uint8_t> catalog(size_t bytes) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
    s.reserve(bytes + 256);
    char item[256];
    for (int i = 0; s.size() < bytes; ++i) {
        std::snprintf(item, sizeof item,
                      "  <item id=\"i%06d\" kind=\"k%d\"><name>item-%06d</name><price>%d.%02d</price>"
                      "<text>Text of item %d, with &amp; and \xC3\xA9 inside.</text></item>\n",
                      i, i % 7, i, i % 100, i % 97, i);
        s += item;
    }
    s += "</catalog>\n";
    return std::vector<uint8_t>(s.begin(), s.end());
}

long lineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

std::string describe(const ToolResult& r) {
    return "exit " + std::to_string(r.exitStatus) + ", signal " + std::to_string(r.signal) +
           (r.timedOut ? ", timed out" : "") + "\nstderr: " + r.err;
}

// Ended by itself with status 1 and exactly one line on standard error that
// begins with `prefix`.
void expectOneErrorLine(const ToolResult& r, const std::string& prefix) {
    EXPECT_FALSE(r.timedOut) << describe(r);
    EXPECT_EQ(r.signal, 0) << describe(r);
    EXPECT_EQ(r.exitStatus, 1) << describe(r);
    EXPECT_EQ(lineCount(r.err), 1) << describe(r);
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << "expected the line to begin with " << prefix << "\n" << describe(r);
}

ToolResult load(const std::string& xml, const std::string& db,
                milliseconds timeout = kToolTimeout, int killSignal = SIGKILL) {
    return runTool({XMLLOAD_PATH, xml, db}, timeout, killSignal);
}

ToolResult query(const std::string& db, const std::string& value) {
    return runTool({XMLQUERY_PATH, db, "item", "name", value}, kToolTimeout);
}

// Lowers the file size limit that children inherit, with SIGXFSZ ignored so
// that exceeding it is an EFBIG error rather than a fatal signal; both are
// restored afterwards. This process writes no file meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lower = old_;
        lower.rlim_cur = std::min<rlim_t>(bytes, old_.rlim_max);
        setrlimit(RLIMIT_FSIZE, &lower);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &oldAction_);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        sigaction(SIGXFSZ, &oldAction_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    struct sigaction oldAction_ {};
};

class Robustness : public ::testing::Test {
protected:
    // The temporary files a load left in the folder.
    std::vector<std::string> temporaryFiles() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.find(".tmp.") != std::string::npos) found.push_back(name);
        }
        return found;
    }
    // A database to be replaced: `old` loaded from a small catalog.
    std::vector<uint8_t> oldDatabase() {
        const std::string small = dir.file("old.xml");
        tarn_test::writeFile(small, catalog(4 << 10));
        EXPECT_EQ(load(small, db).exitStatus, 0);
        return tarn_test::readFile(db);
    }
    void expectUnchanged(const std::vector<uint8_t>& old) const {
        EXPECT_TRUE(tarn_test::readFile(db) == old) << "the old database was changed";
        EXPECT_TRUE(temporaryFiles().empty()) << temporaryFiles().front();
    }

    tarn_test::TempDir dir;
    std::string xml = dir.file("catalog.xml");
    std::string db = dir.file("catalog.db");
};

TEST_F(Robustness, AFullDiskWhileLoadingIsOneErrorLineAndChangesNothing) {
    constexpr rlim_t kLimit = 100 * 1024;
    const std::vector<uint8_t> old = oldDatabase();
    tarn_test::writeFile(xml, catalog(2 << 20));
    for (const std::string& target : {db, dir.file("new.db")}) {
        SCOPED_TRACE(target);
        ToolResult r;
        {
            FileSizeLimit limit(kLimit);
            r = load(xml, target);
        }
        expectOneErrorLine(r, "Error reading XML file " + xml + ": ");
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    expectUnchanged(old);
    EXPECT_FALSE(tarn_test::exists(dir.file("new.db")));
}

// Each call the load makes, failed in turn: the outcome is the old database
// with one error line, or, when the failure does not matter (a courtesy such
// as setting the file's time), the whole new one.
TEST_F(Robustness, AnyFailingSystemCallLeavesTheOldDatabaseOrTheWholeNewOne) {
    tarn_test::writeFile(xml, catalog(8 << 10));
    const std::string reference = dir.file("reference.db");
    ASSERT_EQ(load(xml, reference).exitStatus, 0);
    const std::vector<uint8_t> whole = tarn_test::readFile(reference);
    unlink(reference.c_str());
    const std::vector<uint8_t> old = oldDatabase();

    const std::string calls = dir.file("calls.txt");
    setenv("LD_PRELOAD", FAILING_CALLS_PATH, 1);
    // The preloaded library comes before the sanitizers' runtime, if any.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
    setenv("TARN_CALLS", calls.c_str(), 1);
    ASSERT_EQ(load(xml, db).exitStatus, 0);
    unsetenv("TARN_CALLS");
    std::ifstream counts(calls);
    std::string name;
    unsigned long count = 0;
    int failures = 0;
    while (counts >> name >> count) {
        // Every call of a kind while they are few, then a spread of them.
        for (unsigned long n = 1; n <= count; n += (n < 8 ? 1 : count / 8 + 1)) {
            const std::string plan = name + ":" + std::to_string(n);
            SCOPED_TRACE(plan);
            tarn_test::writeFile(db, old);
            setenv("TARN_FAIL", plan.c_str(), 1);
            const ToolResult r = load(xml, db);
            ASSERT_FALSE(r.timedOut) << describe(r);
            ASSERT_EQ(r.signal, 0) << describe(r);
            if (r.exitStatus == 0) {
                EXPECT_TRUE(r.err.empty()) << r.err;
                EXPECT_TRUE(tarn_test::readFile(db) == whole) << "a load reported whole is not";
                EXPECT_TRUE(temporaryFiles().empty());
            } else {
                ++failures;
                expectOneErrorLine(r, "Error reading XML file " + xml + ": ");
                expectUnchanged(old);
            }
        }
    }
    unsetenv("TARN_FAIL");
    unsetenv("LD_PRELOAD");
    unsetenv("ASAN_OPTIONS");
    EXPECT_GE(failures, 10) << "most failed calls are meant to fail the load";
}

TEST_F(Robustness, LoadsKilledAtRandomMomentsLeaveTheOldDatabaseOrTheWholeNewOne) {
    tarn_test::writeFile(xml, catalog(3 << 20));
    // The faster of two loads: one slowed by a busy machine would put most
    // moments past the end.
    milliseconds loadTime = milliseconds::max();
    for (int i = 0; i < 2; ++i) {
        const auto start = Clock::now();
        const ToolResult full = load(xml, db);
        loadTime = std::min(loadTime, std::chrono::duration_cast<milliseconds>(Clock::now() - start));
        ASSERT_EQ(full.exitStatus, 0) << describe(full);
    }
    const std::vector<uint8_t> whole = tarn_test::readFile(db);
    const std::vector<uint8_t> old = oldDatabase();

    const unsigned seed = 20240611;
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> moment(1, std::max<long>(2, long(loadTime.count())));
    int kills = 0;
    size_t leftovers = 0;
    for (int run = 0; run < 24; ++run) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run));
        // Killed outright, a load may leave its temporary file; any signal
        // it can handle takes the file with it.
        const int signal = run % 3 == 0 ? SIGKILL : run % 3 == 1 ? SIGTERM : SIGINT;
        tarn_test::writeFile(db, old);
        const ToolResult killed = load(xml, db, milliseconds(moment(random)), signal);
        // A load may finish in the instant its time runs out: then it was not killed.
        const bool wasKilled = killed.signal == signal;
        ASSERT_TRUE(wasKilled || (killed.signal == 0 && killed.exitStatus == 0)) << describe(killed);
        kills += wasKilled;
        const std::vector<uint8_t> after = tarn_test::readFile(db);
        // Killed after the rename, the load is whole.
        EXPECT_TRUE(after == old || after == whole) << "a killed load left a part of a database";
        if (signal != SIGKILL) {
            EXPECT_LE(temporaryFiles().size(), leftovers) << "a load that could clean up left its file";
        }
        leftovers = temporaryFiles().size();  // the next load removes these
    }
    EXPECT_GE(kills, 12) << "most loads are meant to be cut short";

    // Left by SIGKILL, temporary files go with the next load, but for one a
    // live process holds and names of other patterns.
    const std::string held = db + ".tmp.Held01";
    const int holder = open(held.c_str(), O_RDWR | O_CREAT, 0644);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_len = 1;
    ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &lock), 0);
    const std::vector<std::string> others = {db + ".tmp.abc", db + ".tmp.abcdefg", db + ".tmp.ab-def",
                                             dir.file("other.db.tmp.abcdef")};
    for (const std::string& name : others) tarn_test::writeFile(name, {1});
    for (int i = 0; i < 3; ++i) {
        tarn_test::writeFile(db, old);
        ASSERT_TRUE(load(xml, db, milliseconds(moment(random)), SIGKILL).signal == SIGKILL ||
                    tarn_test::readFile(db) == whole);
    }
    ASSERT_EQ(load(xml, db).exitStatus, 0);
    EXPECT_EQ(temporaryFiles().size(), others.size() + 1);
    EXPECT_TRUE(tarn_test::exists(held));
    for (const std::string& name : others) EXPECT_TRUE(tarn_test::exists(name)) << name;
    close(holder);
}

// Held for writing elsewhere, a database makes the tools wait for their
// busy timeout and then give up with one line, having changed nothing;
// without a timeout they give up at once. Held for reading, it is shared
// with every reader and only a writer waits.
TEST_F(Robustness, ADatabaseHeldElsewhereIsWaitedForThenRefusedAndLeftIntact) {
    tarn_test::writeFile(xml, catalog(50 << 10));
    ASSERT_EQ(load(xml, db).exitStatus, 0);
    const ToolResult before = query(db, "item-000042");
    ASSERT_EQ(before.exitStatus, 0) << describe(before);
    const std::vector<uint8_t> bytes = tarn_test::readFile(db);
    const std::string other = dir.file("other.xml");
    tarn_test::writeFile(other, catalog(1 << 10));

    lumdb* held = nullptr;
    LumDbParams params{16, 0, 0, 1, 0, 0};
    ASSERT_EQ(LumDbCreate(&held, 0, db.c_str(), &params), 0u);
    for (const char* timeout : {"400", "0"}) {
        SCOPED_TRACE(std::string("TARN_BUSY_TIMEOUT=") + timeout);
        setenv("TARN_BUSY_TIMEOUT", timeout, 1);
        const auto start = Clock::now();
        const ToolResult queried = query(db, "item-000042");
        const ToolResult loaded = load(other, db);
        const auto waited = Clock::now() - start;
        const bool waits = timeout[0] != '0';
        const std::string why = waits ? "database is busy" : "CreateFile() failed";
        expectOneErrorLine(queried, "Error reading database " + db + ": ");
        EXPECT_NE(queried.err.find(why), std::string::npos) << queried.err;
        EXPECT_TRUE(queried.out.empty()) << queried.out;
        expectOneErrorLine(loaded, "Error reading XML file " + other + ": ");
        EXPECT_NE(loaded.err.find(why), std::string::npos) << loaded.err;
        if (waits) {
            EXPECT_GE(waited, milliseconds(800)) << "each tool waits its timeout";
        }
        EXPECT_LT(waited, std::chrono::seconds(20));
    }
    unsetenv("TARN_BUSY_TIMEOUT");
    // The holder still reads its database: the element names are all there.
    lumdct* dct = nullptr;
    lumxmldct* tags = nullptr;
    int32_t number = 0;
    ASSERT_EQ(LumDctCreate(&dct, held), 0u);
    ASSERT_EQ(LumXMLDctCreate(&tags, dct), 0u);
    for (const char* tag : {"catalog", "item", "name", "price", "text"})
        EXPECT_EQ(LumXMLDctLookupTag(tags, tag, 0, &number), 0u) << tag;
    EXPECT_EQ(LumXMLDctDestroy(tags), 0u);
    EXPECT_EQ(LumDctDestroy(dct), 0u);
    EXPECT_EQ(LumDbClose(held), 0u);

    LumDbParams reading{17, 0, 0, 1, 0, 0};
    ASSERT_EQ(LumDbCreate(&held, 0, db.c_str(), &reading), 0u);
    setenv("TARN_BUSY_TIMEOUT", "200", 1);
    const ToolResult shared = query(db, "item-000042");
    EXPECT_EQ(shared.exitStatus, 0) << describe(shared);
    EXPECT_EQ(shared.out, before.out);
    expectOneErrorLine(load(other, db), "Error reading XML file " + other + ": ");
    unsetenv("TARN_BUSY_TIMEOUT");
    EXPECT_EQ(LumDbClose(held), 0u);

    EXPECT_TRUE(tarn_test::readFile(db) == bytes) << "the refused tools changed the database";
    EXPECT_TRUE(temporaryFiles().empty());
    const ToolResult after = query(db, "item-000042");
    EXPECT_EQ(after.exitStatus, 0) << describe(after);
    EXPECT_EQ(after.out, before.out);
}

TEST_F(Robustness, AnXmlFileNamedAsItsOwnDatabaseIsNeverDestroyed) {
    tarn_test::writeFile(xml, catalog(20 << 10));
    const std::vector<uint8_t> bytes = tarn_test::readFile(xml);
    const std::string link = dir.file("link.xml");
    ASSERT_EQ(symlink(xml.c_str(), link.c_str()), 0);
    const std::string hard = dir.file("hard.xml");
    ASSERT_EQ(::link(xml.c_str(), hard.c_str()), 0);
    const std::string dotted = dir.file("./catalog.xml");

    for (const std::string& target : {xml, dotted, link, hard}) {
        SCOPED_TRACE("database named " + target);
        const ToolResult r = load(xml, target);
        expectOneErrorLine(r, "Error reading XML file " + xml + ": ");
        EXPECT_TRUE(tarn_test::readFile(xml) == bytes) << "the XML file was overwritten";
    }
}

}  // namespace
