// The search call and the element view against a plain scan of random
// documents; answers that outlive their database; damaged files.
#include "xml/search.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "tests/search_model.h"
#include "tests/test_files.h"
#include "tests/xml/element_walk.h"
#include "xml/element.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerorlo.h"

using namespace search_model;

namespace {

// Stores `xml` as a new database through the library's own parse.
void store(const std::string& db, const std::string& xml) {
    const std::string path = tarn_test::writeText(db + ".xml", xml);
    LumXMLSAX::DriverText text;
    LumXMLSAX::HandlerOrlo handler(db.c_str());
    text.setDocumentHandler(&handler);
    text.setErrorHandler(&handler);
    text.parse(path.c_str());
}

LumXMLSearch searchOf(const Query& query) {
    const auto condition = [](const Condition& c) {
        LumXMLCondition out;
        out.match = c.mode == "--exact"    ? LumXMLMatch::Exact
                    : c.mode == "--prefix" ? LumXMLMatch::Prefix
                    : c.mode == "--range"  ? LumXMLMatch::Range
                                           : LumXMLMatch::Contains;
        out.tag = c.tag;
        out.value = c.value;
        out.high = c.high;
        if (!c.attribute.empty()) out.attribute = c.attribute;
        return out;
    };
    LumXMLSearch search(condition(query.conditions[0]));
    for (size_t i = 1; i < query.conditions.size(); ++i) {
        const std::string& join = query.conditions[i].join;
        search.join(join == "--and" ? LumXMLJoin::And : join == "--or" ? LumXMLJoin::Or : LumXMLJoin::AndNot,
                    condition(query.conditions[i]));
    }
    if (!query.within.empty()) search.within(query.within);
    if (query.limit >= 0) search.limit(static_cast<uint64_t>(query.limit));
    return search;
}

std::vector<unsigned long> addresses(LumXMLMatches matches, size_t most = SIZE_MAX) {
    std::vector<unsigned long> out;
    while (out.size() < most) {
        const std::optional<LumXMLElement> element = matches.next();
        if (!element) break;
        out.push_back(element->address());
    }
    return out;
}

// Checks the view of element e, and of every element inside it, against the
// model; notes the model element of each address.
void expectModel(const Document& document, int e, const LumXMLElement& element,
                 std::map<unsigned long, int>& modelOf) {
    const Element& model = document.elements()[e];
    modelOf[element.address()] = e;
    EXPECT_EQ(element.tag(), model.tag);
    EXPECT_EQ(element.attributes(), model.attributes);
    EXPECT_EQ(element.xml(), document.xml(e, true));
    std::string all;
    std::vector<std::string> runs(1);
    std::vector<int> children;
    for (const Element::Item& item : model.content) {
        if (item.child >= 0) {
            children.push_back(item.child);
            runs.emplace_back();
        } else {
            runs.back() += item.text;
            all += item.text;
        }
    }
    EXPECT_EQ(element.text(), all);
    const LumXMLContent content = element.content();
    const std::vector<LumXMLElement> views = element.children();
    EXPECT_EQ(content.text, runs[0]);
    ASSERT_EQ(content.children.size(), children.size());
    ASSERT_EQ(views.size(), children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(content.children[i].tail, runs[i + 1]);
        EXPECT_EQ(content.children[i].element.address(), views[i].address());
        const std::optional<LumXMLElement> parent = views[i].parent();
        ASSERT_TRUE(parent.has_value());
        EXPECT_EQ(parent->address(), element.address());
        expectModel(document, children[i], views[i], modelOf);
    }
}

TEST(Search, AnswersAsAScanOfTheDocumentWould) {
    tarn_test::TempDir dir;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        std::mt19937 random(seed);
        Document document(random);
        const std::string db = dir.file("doc" + std::to_string(seed) + ".db");
        store(db, document.xml(0, false));
        const std::string bytes = tarn_test::readText(db);
        LumXMLDb database(db.c_str());
        database.OpenReadOnly();
        SCOPED_TRACE("seed " + std::to_string(seed) + " on " + document.xml(0, false));
        const std::optional<LumXMLElement> root = LumXMLElement::root(database);
        ASSERT_TRUE(root.has_value());
        EXPECT_FALSE(root->parent().has_value());
        std::map<unsigned long, int> modelOf;
        expectModel(document, 0, *root, modelOf);
        for (int round = 0; round < 30; ++round) {
            const Query query = randomQuery(document);
            SCOPED_TRACE("round " + std::to_string(round) + ": " + ::testing::PrintToString(query.arguments("db")));
            const std::vector<int> expected = scan(document, query);
            const LumXMLSearch search = searchOf(query);
            EXPECT_EQ(search.count(database), expected.size());
            const std::vector<unsigned long> found = addresses(search.find(database));
            std::vector<int> elements;
            for (unsigned long address : found) elements.push_back(modelOf.count(address) ? modelOf[address] : -1);
            EXPECT_EQ(elements, expected);
            // Stopping early leaves a prefix of the whole answer.
            const size_t taken = document.below(found.size() + 1);
            const std::vector<unsigned long> first = addresses(search.find(database), taken);
            EXPECT_EQ(first, std::vector<unsigned long>(found.begin(), found.begin() + taken));
        }
        database.Close();
        EXPECT_EQ(tarn_test::readText(db), bytes);
    }
}

// ---- a database closed under its answers ------------------------------------------

const char kCatalog[] =
    "<catalog><book id=\"b1\"><title>Dune</title></book><book id=\"b2\"><title>Emma</title></book></catalog>";

TEST(Search, AnswersAndElementsThrowTwoOnceTheirDatabaseIsClosed) {
    tarn_test::TempDir dir;
    const std::string db = dir.file("catalog.db");
    store(db, kCatalog);
    LumXMLDb database(db.c_str());
    {
        database.Open();
        lumxmlref loose;
        database.createUnlinkedXMLref(reinterpret_cast<const unsigned char*>("loose"), &loose);
        loose.putPCDATA(reinterpret_cast<const unsigned char*>("free"));
    }
    database.Close();
    database.OpenReadOnly();
    // An element made outside the document has no element around it.
    const LumXMLElement loose = *LumXMLSearch(LumXMLCondition::exact("loose", "free")).find(database).next();
    EXPECT_FALSE(loose.parent().has_value());
    EXPECT_EQ(loose.xml(), "<loose>free</loose>");
    const LumXMLSearch search(LumXMLCondition::prefix("title", ""));
    LumXMLMatches matches = search.find(database);
    const std::optional<LumXMLElement> title = matches.next();
    ASSERT_TRUE(title.has_value());
    const LumXMLElement book = *title->parent();
    EXPECT_EQ(book.xml(), "<book id=\"b1\"><title>Dune</title></book>");
    // They hold no cursor: the database closes under them.
    database.Close();
    const auto codeOf = [](const std::function<void()>& action) {
        try {
            action();
        } catch (const LumXMLException& e) {
            return static_cast<int>(e.getCode());
        }
        return 0;
    };
    const std::vector<std::function<void()>> uses = {
        [&] { matches.next(); },         [&] { book.tag(); },      [&] { book.attributes(); },
        [&] { book.text(); },            [&] { book.children(); }, [&] { book.content(); },
        [&] { title->parent(); },        [&] { book.xml(); },      [&] { search.count(database); },
        [&] { search.find(database); }, [&] { LumXMLElement::root(database); },
    };
    for (size_t i = 0; i < uses.size(); ++i) EXPECT_EQ(codeOf(uses[i]), 2) << "use " << i;
    // Opened again, the database is another one to them.
    database.OpenReadOnly();
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(codeOf(uses[i]), 2) << "use " << i << ", reopened";
    EXPECT_EQ(search.count(database), 2u);
}

// ---- damaged files ------------------------------------------------------------------

// Points the chain start of the element found by `condition` at itself
// instead of at the field that refers to it.
void unlinkFromParent(const std::string& db, const LumXMLCondition& condition) {
    LumXMLDb database(db.c_str());
    database.Open();
    const unsigned long chain = LumXMLSearch(condition).find(database).next()->address();
    lumcursor* cursor = nullptr;
    ASSERT_EQ(LumCursorCreate(&cursor, database.getDatabaseHandle()), 0u);
    ASSERT_EQ(LumCursorGotoMemberAddress(cursor, static_cast<uint32_t>(chain)), 0u);
    const uint32_t value = static_cast<uint32_t>(chain);
    ASSERT_EQ(LumCursorModifyField(cursor, nullptr, &value, sizeof value, nullptr), 0u);
    LumCursorDestroy(cursor);
    database.Close();
}

TEST(Search, DamagedFilesGiveAnswersOrAnException) {
    tarn_test::TempDir dir;
    std::string xml = "<r>";
    for (int i = 0; i < 40; ++i)
        xml += "<s id=\"" + std::to_string(i) + "\">t" + std::to_string(i) + "<t k=\"v\">x\xC3\xA9</t>u</s>";
    xml += "</r>";
    const std::string db = dir.file("rows.db");
    store(db, xml);

    const std::string unlinked = dir.file("unlinked.db");
    tarn_test::writeText(unlinked, tarn_test::readText(db));
    unlinkFromParent(unlinked, LumXMLCondition::exact("s", "t7"));
    {
        LumXMLDb database(unlinked.c_str());
        database.OpenReadOnly();
        const LumXMLElement s7 = *LumXMLSearch(LumXMLCondition::exact("s", "t7")).find(database).next();
        const LumXMLElement r = *LumXMLElement::root(database);
        for (const auto& action : std::vector<std::function<void()>>{
                 [&] { s7.parent(); }, [&] { r.children(); }, [&] { r.content(); }}) {
            try {
                action();
                ADD_FAILURE() << "a chain that does not lead back to its pointer passed";
            } catch (const LumXMLException& e) {
                EXPECT_EQ(e.getCode(), 29);
            }
        }
        EXPECT_EQ(s7.text(), "t7u");
        database.Close();
    }

    const std::string original = tarn_test::readText(db);
    const std::string damaged = dir.file("damaged.db");
    const unsigned seed = 5;
    std::mt19937 random(seed);
    constexpr size_t kHeader = 12288;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        tarn_test::writeText(damaged, tarn_test::withRandomBytes(original, random, 8, kHeader));
        LumXMLDb database(damaged.c_str());
        try {
            database.OpenReadOnly();
        } catch (const LumXMLException&) {
            continue;
        }
        std::vector<LumXMLElement> starts;
        element_walk::attempt([&] {
            if (auto root = LumXMLElement::root(database)) starts.push_back(*root);
        });
        element_walk::attempt([&] {
            LumXMLMatches matches = LumXMLSearch(LumXMLCondition::contains("t", "x")).within("s").find(database);
            while (auto element = matches.next()) starts.push_back(*element);
        });
        element_walk::touchAll(std::move(starts), SIZE_MAX);
        database.Close();
    }
}

}  // namespace
