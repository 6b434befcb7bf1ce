// xmlload then xmlquery, run as processes; standard output compared byte for
// byte.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "tests/tools/tool_runner.h"

using tarntest::runTool;
using tarntest::ToolResult;

namespace {

const char kUsageTail[] = " xmlfile environment tag value\n";
const char kUsageHead[] =
    "Querys an LUMXML database and outputs XML data to\n"
    "standard output in plain text.\n"
    "\n"
    "Usage:\n"
    "  ";
const char kDeclaration[] = "<?xml version=\"1.0\"?>";

const char kLibrary[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<lib><shelf n=\"1\"><book id=\"a&amp;b\" note=\"&quot;q&quot; &lt;&gt;\">"
    "<title>Dune</title><price cur=\"\xE2\x82\xAC\">5 &lt; 6</price></book></shelf>"
    "<shelf n=\"2\"><book id=\"c\"><title>Emma</title><t2>caf\xC3\xA9 'x'</t2><empty/>"
    "</book><title> Padded </title></shelf></lib>";

class XmlQueryTest : public ::testing::Test {
protected:
    std::string load(const std::string& xml, const std::string& base = "lib") {
        const std::string xmlPath = dir + "/" + base + ".xml";
        const std::string dbPath = dir + "/" + base + ".db";
        tarn_test::writeText(xmlPath, xml);
        const ToolResult loaded = runTool({XMLLOAD_PATH, xmlPath, dbPath});
        EXPECT_EQ(loaded.exitStatus, 0) << loaded.err;
        return dbPath;
    }

    static ToolResult query(const std::string& db, const std::string& environment,
                            const std::string& tag, const std::string& value) {
        return runTool({XMLQUERY_PATH, db, environment, tag, value}, std::chrono::seconds(20));
    }

    // Found or not: the writer's output, nothing on standard error, status 0.
    static void expectOutput(const ToolResult& result, const std::string& element) {
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, kDeclaration + element + "\n");
    }

    // One error line naming the file, nothing written by the query.
    static void expectError(const ToolResult& result, const std::string& db,
                            const std::string& message = "") {
        EXPECT_EQ(result.signal, 0);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, "");
        const std::string prefix = "Error reading database " + db + ": ";
        EXPECT_EQ(result.err.compare(0, prefix.size(), prefix), 0) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        if (!message.empty()) {
            EXPECT_EQ(result.err, prefix + message + "\n");
        }
    }

    tarn_test::TempDir tmp;
    std::string dir = tmp.path();
};

using tarn_test::readText;
using tarn_test::writeText;

TEST_F(XmlQueryTest, WrongArgumentCountPrintsUsage) {
    const std::string program = XMLQUERY_PATH;
    const std::string never = dir + "/never.db";
    const std::vector<std::vector<std::string>> commands = {
        {program},
        {program, never, "a", "b"},
        {program, never, "a", "b", "c", "d"},
    };
    for (const auto& command : commands) {
        const ToolResult result = runTool(command);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, kUsageHead + program + kUsageTail);
        EXPECT_EQ(result.err, "");
    }
    EXPECT_EQ(readText(never), "");
    // The name is the one the program was invoked by.
    const std::string link = dir + "/q";
    ASSERT_EQ(symlink(XMLQUERY_PATH, link.c_str()), 0);
    EXPECT_EQ(runTool({link}).out, kUsageHead + link + kUsageTail);
}

TEST_F(XmlQueryTest, PrintsTheEnclosingEnvironment) {
    const std::string db = load(kLibrary);
    expectOutput(query(db, "book", "title", "Dune"),
                 "<book id=\"a&amp;b\" note=\"&quot;q&quot; &lt;&gt;\"><title>Dune</title>"
                 "<price cur=\"&#8364;\">5 &lt; 6</price></book>");
    expectOutput(query(db, "shelf", "title", "Emma"),
                 "<shelf n=\"2\"><book id=\"c\"><title>Emma</title><t2>caf&#233; 'x'</t2>"
                 "<empty></empty></book><title> Padded </title></shelf>");
    expectOutput(query(db, "shelf", "t2", "caf\xC3\xA9 'x'"),
                 "<shelf n=\"2\"><book id=\"c\"><title>Emma</title><t2>caf&#233; 'x'</t2>"
                 "<empty></empty></book><title> Padded </title></shelf>");
    expectOutput(query(db, "book", "price", "5 < 6"),
                 "<book id=\"a&amp;b\" note=\"&quot;q&quot; &lt;&gt;\"><title>Dune</title>"
                 "<price cur=\"&#8364;\">5 &lt; 6</price></book>");
}

TEST_F(XmlQueryTest, RootEnvironmentPrintsTheWholeDocument) {
    const std::string db = load(kLibrary);
    expectOutput(query(db, "lib", "title", "Emma"),
                 "<lib><shelf n=\"1\"><book id=\"a&amp;b\" note=\"&quot;q&quot; &lt;&gt;\">"
                 "<title>Dune</title><price cur=\"&#8364;\">5 &lt; 6</price></book></shelf>"
                 "<shelf n=\"2\"><book id=\"c\"><title>Emma</title><t2>caf&#233; 'x'</t2>"
                 "<empty></empty></book><title> Padded </title></shelf></lib>");
}

TEST_F(XmlQueryTest, QueriesThatFindNothing) {
    const std::string db = load(kLibrary);
    expectOutput(query(db, "book", "title", "Nothing"), "");
    expectOutput(query(db, "book", "title", "dune"), "");
    // The value is compared with the whole stored run.
    expectOutput(query(db, "shelf", "title", "Padded"), "");
    expectOutput(query(db, "shelf", "title", " Padded "),
                 "<shelf n=\"2\"><book id=\"c\"><title>Emma</title><t2>caf&#233; 'x'</t2>"
                 "<empty></empty></book><title> Padded </title></shelf>");
    // No enclosing book around this title.
    expectOutput(query(db, "book", "title", " Padded "), "");
    expectOutput(query(db, "nowhere", "title", "Dune"), "");
    expectOutput(query(db, "book", "unknown", "Dune"), "");
}

// The index keeps attribute names and values under the same key as the
// element's text; only the text is looked for.
TEST_F(XmlQueryTest, AttributeTextsAreNoMatch) {
    const std::string db = load(kLibrary);
    expectOutput(query(db, "shelf", "book", "c"), "");
    expectOutput(query(db, "book", "price", "cur"), "");
    expectOutput(query(db, "book", "price", "\xE2\x82\xAC"), "");
    expectOutput(query(db, "book", "price", "5 < 6"),
                 "<book id=\"a&amp;b\" note=\"&quot;q&quot; &lt;&gt;\"><title>Dune</title>"
                 "<price cur=\"&#8364;\">5 &lt; 6</price></book>");
}

TEST_F(XmlQueryTest, BundledCatalog) {
    const std::string db = dir + "/catalog.db";
    const ToolResult loaded =
        runTool({XMLLOAD_PATH, std::string(TARN_SOURCE_DIR) + "/examples/catalog.xml", db});
    ASSERT_EQ(loaded.exitStatus, 0) << loaded.err;
    const ToolResult prince = query(db, "book", "title", "Le Petit Prince");
    EXPECT_EQ(prince.exitStatus, 0);
    EXPECT_EQ(prince.out.rfind(std::string(kDeclaration) + "<book id=\"b2\" lang=\"fr\">", 0), 0u)
        << prince.out;
    EXPECT_NE(prince.out.find("Saint-Exup&#233;ry"), std::string::npos);
    EXPECT_NE(prince.out.find("&#171; l'essentiel"), std::string::npos);
    for (unsigned char ch : prince.out) EXPECT_LT(ch, 128u);
    EXPECT_NE(query(db, "book", "title", "\xE9\x9B\xAA\xE5\x9B\xBD").out.find(
                  "<title>&#38634;&#22269;</title>"),
              std::string::npos);
    expectOutput(query(db, "book", "title", "Missing"), "");
}

TEST_F(XmlQueryTest, FilesThatAreNotDatabases) {
    const std::string missing = dir + "/missing.db";
    expectError(query(missing, "a", "b", "c"), missing);

    const std::string text = dir + "/text.db";
    writeText(text, std::string(20000, 'x'));
    expectError(query(text, "a", "b", "c"), text, "Illegal database file");

    const std::string empty = dir + "/empty.db";
    writeText(empty, "");
    expectError(query(empty, "a", "b", "c"), empty);

    const std::string xml = dir + "/lib.xml";
    writeText(xml, kLibrary);
    expectError(query(xml, "book", "title", "Dune"), xml);
}

uint32_t readLe32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

// Cut anywhere before the end of the last stored object: an error line.
// Cut after it: the file still holds everything, and the query works.
TEST_F(XmlQueryTest, TruncatedDatabases) {
    const std::string db = load(kLibrary);
    const std::string whole = readText(db);
    constexpr size_t kHeader = 12288;
    constexpr size_t kHighWaterOffset = 72;
    ASSERT_GT(whole.size(), kHeader);
    const size_t used = kHeader + readLe32(whole, kHighWaterOffset);
    ASSERT_LE(used, whole.size());
    const std::string cut = dir + "/cut.db";
    const size_t damaging[] = {1, 16, 4096, kHeader - 1, kHeader, kHeader + 1,
                               (kHeader + used) / 2, used - 1};
    for (size_t length : damaging) {
        SCOPED_TRACE(length);
        writeText(cut, whole.substr(0, length));
        expectError(query(cut, "book", "title", "Dune"), cut);
    }
    const ToolResult intact = query(db, "book", "title", "Dune");
    for (size_t length : {used, (used + whole.size()) / 2, whole.size() - 1}) {
        SCOPED_TRACE(length);
        writeText(cut, whole.substr(0, length));
        const ToolResult result = query(cut, "book", "title", "Dune");
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, intact.out);
    }
}

TEST_F(XmlQueryTest, DamagedHeaderIsReported) {
    const std::string db = load(kLibrary);
    std::string bytes = readText(db);
    for (size_t i = 0; i < 16; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    writeText(db, bytes);
    expectError(query(db, "book", "title", "Dune"), db);
}

// Random byte flips: each run must end cleanly, with the writer's output or
// with one error line, never with a signal or a hang.
TEST_F(XmlQueryTest, GarbledDatabasesEndCleanly) {
    const std::string db = load(kLibrary);
    const std::string whole = readText(db);
    constexpr uint32_t kSeed = 20240611;
    std::mt19937 random(kSeed);
    for (int round = 0; round < 120; ++round) {
        std::string bytes = whole;
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) {
            // Most rounds hit the data area, where the documents live.
            const size_t at = round % 4 == 0 ? random() % bytes.size()
                                             : 12288 + random() % (bytes.size() - 12288);
            bytes[at] = static_cast<char>(bytes[at] ^ (1u << (random() % 8)));
        }
        const std::string garbled = dir + "/garbled.db";
        writeText(garbled, bytes);
        const ToolResult result = query(garbled, round % 2 ? "shelf" : "lib", "title", "Emma");
        SCOPED_TRACE("seed " + std::to_string(kSeed) + " round " + std::to_string(round));
        ASSERT_EQ(result.signal, 0) << result.err;
        ASSERT_FALSE(result.timedOut);
        if (result.exitStatus == 0) {
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.out.rfind(kDeclaration, 0), 0u);
            EXPECT_EQ(result.out.back(), '\n');
        } else {
            EXPECT_EQ(result.exitStatus, 1);
            EXPECT_EQ(result.err.rfind("Error reading database " + garbled + ": ", 0), 0u)
                << result.err;
        }
    }
}

}  // namespace
