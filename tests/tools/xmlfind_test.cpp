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
#include "tests/test_files.h"
#include "tests/tools/tool_runner.h"

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

// A document as a list of elements in document order; the root is element 0.
struct Element {
    std::string tag;
    std::vector<std::pair<std::string, std::string>> attributes;
    struct Item {
        std::string text;  // when child < 0
        int child = -1;
    };
    std::vector<Item> content;
    int parent = -1;
};

// The writer's escaping for the texts generated here: everything from 128
// up as a decimal character reference.
std::string escaped(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            out += utf8[i++];
            continue;
        }
        const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        uint32_t ch = byte & (0x7F >> length);
        for (int k = 1; k < length; ++k) ch = ch << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out += "&#" + std::to_string(ch) + ";";
        i += length;
    }
    return out;
}

class Document {
public:
    explicit Document(std::mt19937& random) : _random(random) {
        grow(-1, 0);
    }

    const std::vector<Element>& elements() const { return _elements; }

    // With `stored`, as the writer prints the element; else as XML to load.
    std::string xml(int e, bool stored) const {
        const Element& element = _elements[e];
        std::string out = "<" + element.tag;
        for (const auto& [name, value] : element.attributes)
            out += " " + name + "=\"" + (stored ? escaped(value) : value) + "\"";
        out += ">";
        for (const Element::Item& item : element.content)
            out += item.child < 0 ? (stored ? escaped(item.text) : item.text) : xml(item.child, stored);
        return out + "</" + element.tag + ">";
    }

    // A piece of some text or attribute value of the document, cut anywhere,
    // even inside a character: what a search is likely to find something for.
    std::string piece(bool wholeOnly) {
        std::vector<const std::string*> texts;
        for (const Element& element : _elements) {
            for (const auto& attribute : element.attributes) texts.push_back(&attribute.second);
            for (const Element::Item& item : element.content)
                if (item.child < 0) texts.push_back(&item.text);
        }
        if (texts.empty()) return text(1);
        const std::string& text = *texts[below(texts.size())];
        if (wholeOnly || text.empty()) return text;
        const size_t from = below(text.size());
        return text.substr(from, 1 + below(text.size() - from));
    }

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(_random); }

    std::string text(size_t fewest) {
        static const char* const kPieces[] = {"a", "b", "ab", " ", "\xC3\xA9", "\xE6\x9D\xB1"};
        std::string out;
        for (size_t n = fewest + below(3); n > 0; --n) out += kPieces[below(6)];
        return out;
    }

private:
    void grow(int parent, int depth) {
        static const char* const kTags[] = {"a", "b", "c"};
        const int e = static_cast<int>(_elements.size());
        _elements.push_back({});
        _elements[e].tag = parent < 0 ? "doc" : kTags[below(3)];
        _elements[e].parent = parent;
        for (const char* name : {"k", "m"})
            if (below(3) == 0) _elements[e].attributes.emplace_back(name, text(0));
        const size_t items = depth < 4 ? below(parent < 0 ? 8 : 5) : below(2);
        bool afterText = false;
        for (size_t i = 0; i < items; ++i) {
            if (afterText || below(2) == 0) {
                const int child = static_cast<int>(_elements.size());
                grow(e, depth + 1);
                _elements[e].content.push_back({"", child});
                afterText = false;
            } else {
                _elements[e].content.push_back({text(1), -1});
                afterText = true;
            }
        }
    }

    std::mt19937& _random;
    std::vector<Element> _elements;
};

struct Condition {
    std::string join;  // "" for the first
    std::string mode;  // "--exact", "--prefix", "--contains", "--range"
    std::string attribute;
    std::string tag, value, high;

    bool matches(const std::string& text) const {
        if (mode == "--exact") return text == value;
        if (mode == "--prefix") return text.compare(0, value.size(), value) == 0;
        if (mode == "--contains") return text.find(value) != std::string::npos;
        std::string low = value, top = high;
        if (!low.empty() && !top.empty() && low > top) std::swap(low, top);
        return (low.empty() || text >= low) && (top.empty() || text <= top);
    }
};

struct Query {
    std::string within, wrap;
    bool count = false;
    long limit = -1;
    std::vector<Condition> conditions;

    std::vector<std::string> arguments(const std::string& db) const {
        std::vector<std::string> out;
        if (!within.empty()) out.insert(out.end(), {"--within", within});
        if (!wrap.empty()) out.push_back("--wrap=" + wrap);
        if (count) out.push_back("--count");
        if (limit >= 0) out.insert(out.end(), {"--limit", std::to_string(limit)});
        for (const Condition& c : conditions) {
            if (!c.join.empty()) out.push_back(c.join);
            out.push_back(c.mode);
            if (!c.attribute.empty()) out.insert(out.end(), {"--attr", c.attribute});
            if (c.join.empty()) out.push_back(db);  // the first condition's options go before it
            out.insert(out.end(), {c.tag, c.value});
            if (c.mode == "--range") out.push_back(c.high);
        }
        return out;
    }
};

// What a plain scan of the document selects, in document order.
std::vector<int> scan(const Document& document, const Query& query) {
    const std::vector<Element>& elements = document.elements();
    std::set<int> result;
    for (const Condition& c : query.conditions) {
        std::set<int> selected;
        for (int e = 0; e < static_cast<int>(elements.size()); ++e) {
            if (elements[e].tag != c.tag) continue;
            bool hit = false;
            if (!c.attribute.empty()) {
                for (const auto& [name, value] : elements[e].attributes)
                    hit = hit || (name == c.attribute && c.matches(value));
            } else {
                for (const Element::Item& item : elements[e].content)
                    hit = hit || (item.child < 0 && c.matches(item.text));
            }
            int around = e;
            while (hit && !query.within.empty() && around >= 0 && elements[around].tag != query.within)
                around = elements[around].parent;
            if (hit && around >= 0) selected.insert(around);
        }
        std::set<int> combined;
        if (c.join.empty() || c.join == "--or") {
            std::set_union(result.begin(), result.end(), selected.begin(), selected.end(),
                           std::inserter(combined, combined.end()));
        } else if (c.join == "--and") {
            std::set_intersection(result.begin(), result.end(), selected.begin(), selected.end(),
                                  std::inserter(combined, combined.end()));
        } else {
            std::set_difference(result.begin(), result.end(), selected.begin(), selected.end(),
                                std::inserter(combined, combined.end()));
        }
        result = std::move(combined);
    }
    std::vector<int> out(result.begin(), result.end());
    if (query.limit >= 0 && out.size() > static_cast<size_t>(query.limit)) out.resize(query.limit);
    return out;
}

std::string expectedOutput(const Document& document, const Query& query) {
    const std::vector<int> found = scan(document, query);
    if (query.count) return std::to_string(found.size()) + "\n";
    std::string out = query.wrap.empty() ? "" : kDeclaration + ("<" + query.wrap + ">\n");
    for (int e : found) out += document.xml(e, true) + "\n";
    return query.wrap.empty() ? out : out + "</" + query.wrap + ">\n";
}

Query randomQuery(Document& document) {
    static const char* const kModes[] = {"--exact", "--prefix", "--contains", "--range"};
    static const char* const kJoins[] = {"--and", "--or", "--and-not"};
    static const char* const kTags[] = {"a", "b", "c", "doc", "zz"};
    Query query;
    if (document.below(5) < 2) query.within = kTags[document.below(5)];
    query.count = document.below(5) == 0;
    if (!query.count && document.below(6) == 0) query.wrap = "found";
    if (document.below(6) == 0) query.limit = static_cast<long>(document.below(4));
    const size_t conditions = document.below(3) == 0 ? 2 + document.below(2) : 1;
    for (size_t i = 0; i < conditions; ++i) {
        Condition c;
        if (i > 0) c.join = kJoins[document.below(3)];
        c.mode = kModes[document.below(4)];
        if (document.below(3) == 0)
            c.attribute = document.below(8) == 0 ? "zz" : (document.below(2) ? "k" : "m");
        c.tag = kTags[document.below(10) == 0 ? 4 : document.below(4)];
        const bool whole = c.mode != "--contains" && document.below(2) == 0;
        c.value = document.below(8) == 0 ? "" : document.piece(whole);
        if (c.mode == "--range") c.high = document.below(6) == 0 ? "" : document.piece(whole);
        // A prefix just below a stored text, which a search up to the
        // prefix's successor reaches but must not count.
        if (c.mode == "--prefix" && document.below(3) == 0 && !c.value.empty() && c.value.back() != 1)
            c.value.back() = static_cast<char>(c.value.back() - 1);
        query.conditions.push_back(c);
    }
    return query;
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
    for (const char* file : {XMLQUERY_PATH, XMLFIND_PATH, TARN20_SONAME_PATH, TARNXML_SONAME_PATH}) {
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
    const ToolResult refused = runTool(unprivileged(bin, XMLQUERY_PATH, {db, "book", "title", "Dune"}));
    ASSERT_EQ(refused.exitStatus, 1) << "a program that opens it to write is refused: " << describe(refused);
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
        std::string bytes = original;
        for (int flips = 0; flips < 8; ++flips) {
            const size_t at = kHeader + random() % (bytes.size() - kHeader);
            bytes[at] = static_cast<char>(random());
        }
        tarn_test::writeText(damaged, bytes);
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
