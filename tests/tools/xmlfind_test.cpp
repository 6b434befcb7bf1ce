// xmlfind run as a process: its answers against a plain scan of random
// documents, a database it cannot write to, damaged files, and command lines
// it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "tests/search_model.h"
#include "tests/test_files.h"
#include "tests/tools/tool_runner.h"

using namespace search_model;
using tarntest::runTool;
using tarntest::ToolResult;

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\"?>";

std::string describe(const ToolResult& r) {
    return "exit " + std::to_string(r.exitStatus) + ", signal " + std::to_string(r.signal) +
           (r.timedOut ? ", timed out" : "") + "\nstderr: " + r.err;
}

std::string load(const tarn_test::TempDir& dir, const std::string& name, const std::string& xml) {
    const std::string db = dir.file(name + ".db");
    const ToolResult loaded = runTool({XMLLOAD_PATH, tarn_test::writeText(dir.file(name + ".xml"), xml), db});
    EXPECT_EQ(loaded.exitStatus, 0) << describe(loaded);
    return db;
}

ToolResult find(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), XMLFIND_PATH);
    return runTool(arguments, std::chrono::seconds(60));
}

// ---- the model ----------------------------------------------------------------

std::string expectedOutput(const Document& document, const Query& query) {
    const std::vector<int> found = scan(document, query);
    if (query.count) return std::to_string(found.size()) + "\n";
    std::string out = query.wrap.empty() ? "" : kDeclaration + ("<" + query.wrap + ">\n");
    for (int e : found) out += document.xml(e, true) + "\n";
    return query.wrap.empty() ? out : out + "</" + query.wrap + ">\n";
}

std::string shown(const std::vector<std::string>& arguments) {
    std::string out = "xmlfind";
    for (const std::string& a : arguments) out += " '" + a + "'";
    return out;
}

TEST(XmlFind, AnswersAsAScanOfTheDocumentWould) {
    tarn_test::TempDir dir;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        std::mt19937 random(seed);
        Document document(random);
        const std::string db = load(dir, "doc" + std::to_string(seed), document.xml(0, false));
        for (int round = 0; round < 30; ++round) {
            const Query query = randomQuery(document);
            const std::vector<std::string> arguments = query.arguments(db);
            SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ": " +
                         shown(arguments) + "\non " + document.xml(0, false));
            const ToolResult r = find(arguments);
            ASSERT_EQ(r.exitStatus, 0) << describe(r);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out, expectedOutput(document, query));
        }
    }
}

// ---- a database it may not change ------------------------------------------------

const char kCatalog[] =
    "<catalog><book id=\"b1\" lang=\"en\"><title>Dune</title><year>1965</year></book>"
    "<book id=\"b2\" lang=\"ja\"><title>\xE9\x9B\xAA\xE5\x9B\xBD</title><year>1948</year></book>"
    "</catalog>";

// Runs a tool as a user who cannot write the file, when this process could
// (as root it could write any file). That user may not reach the build tree
// (under /root, say), so the tool and its libraries run from copies in
// `bin`, a folder anybody can read.
std::vector<std::string> unprivileged(const std::string& bin, const char* tool,
                                      const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {tool};
    if (geteuid() == 0) {
        const std::string name = std::filesystem::path(tool).filename().string();
        command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                   "/usr/bin/env", "LD_LIBRARY_PATH=" + bin, bin + "/" + name};
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// The tools and the libraries they load, copied into `bin`.
void copyTools(const std::string& bin) {
    std::filesystem::create_directory(bin);
    for (const char* file : {XMLLOAD_PATH, XMLQUERY_PATH, XMLFIND_PATH, TARN20_SONAME_PATH, TARNXML_SONAME_PATH}) {
        const std::filesystem::path from(file);
        std::filesystem::copy_file(from, bin / from.filename(),
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

TEST(XmlFind, ReadsADatabaseItCannotWriteAndLeavesItAsItWas) {
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to drop root";
    tarn_test::TempDir dir;
    const std::string db = load(dir, "catalog", kCatalog);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(db.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(stat(db.c_str(), &before), 0);
    const std::string bytes = tarn_test::readText(db);

    const std::string bin = dir.file("bin");
    if (geteuid() == 0) copyTools(bin);
    const std::string xml = dir.file("other.xml");
    tarn_test::writeFile(xml, std::vector<uint8_t>{'<', 'r', '/', '>'});
    ASSERT_EQ(chmod(xml.c_str(), 0644), 0);
    const ToolResult refused = runTool(unprivileged(bin, XMLLOAD_PATH, {xml, db}));
    ASSERT_EQ(refused.exitStatus, 1) << "a program that writes it is refused: " << describe(refused);
    // The query opens it read-only too.
    const ToolResult queried = runTool(unprivileged(bin, XMLQUERY_PATH, {db, "book", "title", "Dune"}));
    EXPECT_EQ(queried.exitStatus, 0) << describe(queried);
    EXPECT_NE(queried.out.find("<title>Dune</title>"), std::string::npos) << queried.out;
    // Names the database does not know, which a lookup that creates would add.
    const std::vector<std::vector<std::string>> runs = {
        {"--within", "book", "--attr", "lang", db, "book", "ja"},
        {"--contains", db, "title", "\xE9\x9B\xAA"},
        {db, "unknown", "x"},
        {"--within", "shelf", db, "title", "Dune"},
        {"--attr", "isbn", db, "book", "1"},
        {"--wrap", "w", "--range", db, "year", "", "", "--and-not", "nothing", "x"},
    };
    const std::vector<std::string> answers = {
        "<book id=\"b2\" lang=\"ja\"><title>&#38634;&#22269;</title><year>1948</year></book>\n",
        "<title>&#38634;&#22269;</title>\n",
        "",
        "",
        "",
        std::string(kDeclaration) + "<w>\n<year>1965</year>\n<year>1948</year>\n</w>\n",
    };
    for (size_t i = 0; i < runs.size(); ++i) {
        const ToolResult r = runTool(unprivileged(bin, XMLFIND_PATH, runs[i]));
        EXPECT_EQ(r.exitStatus, 0) << shown(runs[i]) << "\n" << describe(r);
        EXPECT_EQ(r.out, answers[i]) << shown(runs[i]);
    }
    struct stat after {};
    ASSERT_EQ(stat(db.c_str(), &after), 0);
    EXPECT_EQ(tarn_test::readText(db), bytes);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// ---- damaged files ------------------------------------------------------------------

// Ended by itself, with an answer or with one error line.
void expectAnswerOrOneError(const ToolResult& r, const std::string& db) {
    ASSERT_FALSE(r.timedOut) << describe(r);
    ASSERT_EQ(r.signal, 0) << describe(r);
    if (r.exitStatus == 0) {
        EXPECT_EQ(r.err, "");
        return;
    }
    EXPECT_EQ(r.exitStatus, 1) << describe(r);
    const std::string prefix = "Error reading database " + db + ": ";
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// Rewrites the chain start of the element holding `text` so that the
// element becomes its own parent: a climb from it never reaches the top.
void makeOwnParent(const std::string& db, const char* tag, const char* text) {
    lumdb* handle = nullptr;
    LumDbParams params{16, 0, 0, 0, 0, 0};
    ASSERT_EQ(LumDbCreate(&handle, 0, db.c_str(), &params), 0u);
    lumdct* dct = nullptr;
    lumxmldct* tags = nullptr;
    int32_t number = 0;
    ASSERT_EQ(LumDctCreate(&dct, handle), 0u);
    ASSERT_EQ(LumXMLDctCreate(&tags, dct), 0u);
    ASSERT_EQ(LumXMLDctLookupTag(tags, tag, 0, &number), 0u);
    lumquery* query = nullptr;
    LumQueryParams* p = nullptr;
    ASSERT_EQ(LumQueryCreate(&query, handle), 0u);
    ASSERT_EQ(LumQueryGetParams(query, &p), 0u);
    *p = LumQueryParams{2, 1, 0, 0, text, nullptr, 2, 2, (uint32_t(number) & 0xFFFF) << 16 | 153};
    lumresset* set = nullptr;
    ASSERT_EQ(LumQueryExecute(query, &set), 0u);
    lumreslist* list = nullptr;
    ASSERT_EQ(LumResListCreate(&list, set, 0, nullptr), 0u);
    lumcursor* cursor = nullptr;
    ASSERT_EQ(LumCursorCreate(&cursor, handle), 0u);
    ASSERT_EQ(LumResListGetItem(list, cursor, 0), 0u);
    // The element's last field: the pointer to its child.
    uint32_t fields = 0, pointer = 0;
    ASSERT_EQ(LumCursorGetNumFields(cursor, &fields), 0u);
    ASSERT_EQ(LumCursorGotoField(cursor, fields - 1), 0u);
    ASSERT_EQ(LumCursorFetchField(cursor, nullptr, nullptr, 0, nullptr, nullptr, &pointer, nullptr), 0u);
    ASSERT_EQ(LumCursorGotoField(cursor, 0), 0u);
    ASSERT_EQ(LumCursorModifyField(cursor, nullptr, &pointer, 4, nullptr), 0u);
    LumCursorDestroy(cursor);
    LumResListDestroy(list);
    LumResDestroy(set);
    LumQueryDestroy(query, 0);
    LumXMLDctDestroy(tags);
    LumDctDestroy(dct);
    ASSERT_EQ(LumDbClose(handle), 0u);
}

TEST(XmlFind, DamagedFilesGiveAnAnswerOrOneErrorLine) {
    tarn_test::TempDir dir;
    std::string xml = "<r>";
    for (int i = 0; i < 40; ++i)
        xml += "<s id=\"" + std::to_string(i) + "\">t" + std::to_string(i % 3) + "<t k=\"v\">x\xC3\xA9" +
               std::to_string(i) + "</t></s>";
    xml += "</r>";
    const std::string db = load(dir, "rows", xml);
    const std::vector<std::vector<std::string>> queries = {
        {"--within", "r", "--prefix", db, "t", "x"},
        {"--contains", db, "t", "\xC3\xA9"},
        {"--attr", "k", "--within", "s", db, "t", "v", "--or", "s", "t1"},
    };

    const std::string circular = dir.file("circular.db");
    tarn_test::writeText(circular, tarn_test::readText(db));
    makeOwnParent(circular, "s", "t2");
    const ToolResult r = find({"--within", "r", circular, "s", "t2"});
    expectAnswerOrOneError(r, circular);
    EXPECT_EQ(r.exitStatus, 1) << "a circle of parents is a damaged file";

    const std::string original = tarn_test::readText(db);
    const std::string damaged = dir.file("damaged.db");
    const unsigned seed = 23;
    std::mt19937 random(seed);
    constexpr size_t kHeader = 12288;
    for (int round = 0; round < 40; ++round) {
        tarn_test::writeText(damaged, tarn_test::withRandomBytes(original, random, 8, kHeader));
        for (std::vector<std::string> q : queries) {
            std::replace(q.begin(), q.end(), db, damaged);
            SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ": " +
                         shown(q));
            expectAnswerOrOneError(find(q), damaged);
        }
    }
}

// ---- command lines --------------------------------------------------------------------

TEST(XmlFind, CommandLinesOutsideTheGrammarAreOneLineAndStatusTwo) {
    tarn_test::TempDir dir;
    const std::string db = load(dir, "catalog", kCatalog);
    const std::string bytes = tarn_test::readText(db);
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {db},
        {db, "title"},
        {"--bogus", db, "title", "Dune"},
        {"-within", db, "title", "Dune"},
        {"--range", db, "year", "1900"},
        {db, "title", "Dune", "extra"},
        {db, "title", "Dune", "--and"},
        {db, "title", "Dune", "--and", "title"},
        {db, "title", "Dune", "--or", "--within", "book", "title", "Emma"},
        {db, "title", "Dune", "--or", "--bogus", "title", "Emma"},
        {"--and", db, "title", "Dune"},
        {"--prefix", "--contains", db, "title", "D"},
        {"--attr", "a", "--attr", "b", db, "book", "x"},
        {"--within", "a", "--within=b", db, "title", "Dune"},
        {"--within"},
        {"--limit", "ten", db, "title", "Dune"},
        {"--limit=-1", db, "title", "Dune"},
        {"--limit", "99999999999999999999999", db, "title", "Dune"},
        {"--count=yes", db, "title", "Dune"},
        {"--count", "--wrap", "w", db, "title", "Dune"},
        {"--wrap", "1st", db, "title", "Dune"},
        {"--wrap", "a b", db, "title", "Dune"},
        {"--wrap=", db, "title", "Dune"},
    };
    for (const auto& arguments : wrong) {
        const ToolResult r = find(arguments);
        EXPECT_EQ(r.exitStatus, 2) << shown(arguments) << "\n" << describe(r);
        EXPECT_EQ(r.out, "") << shown(arguments);
        EXPECT_EQ(r.err.rfind("xmlfind: ", 0), 0u) << shown(arguments) << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown(arguments) << "\n" << r.err;
    }
    EXPECT_EQ(tarn_test::readText(db), bytes);

    const ToolResult help = find({"--help", "--bogus"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: xmlfind [OPTIONS] DBFILE TAG VALUE [HIGH]", 0), 0u) << help.out;

    // Arguments after a part's options are taken by position, dashes or not.
    const ToolResult dashes = find({"--count", "--", db, "--and", "--or", "--or", "--", "title", "Dune"});
    EXPECT_EQ(dashes.exitStatus, 0) << describe(dashes);
    EXPECT_EQ(dashes.out, "1\n");

    for (const std::string& path : {dir.file("missing.db"), dir.file("catalog.xml"), dir.path()}) {
        const ToolResult r = find({path, "title", "Dune"});
        EXPECT_EQ(r.exitStatus, 1) << describe(r);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Error reading database " + path + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

}  // namespace
