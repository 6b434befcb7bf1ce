#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/tarn20.h"
#include "tests/test_files.h"
#include "tests/xml/xml_test_util.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlref.h"
#include "xml/sax/attributelist.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerorlo.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {
namespace {

const unsigned char* u(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

std::string str(const unsigned char* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string("<null>");
}

// The current field's text value.
std::string text(lumxmlref& ref) {
    unsigned char* value = nullptr;
    unsigned long length = 0;
    ref.GetPCDATADyn(&value, &length);
    std::string s(reinterpret_cast<const char*>(value), length);
    if (length != 0) std::free(value);
    return s;
}

std::string tag(const lumxmlref& ref) {
    unsigned char* name = nullptr;
    unsigned long length = 0;
    ref.getCurrentTagDyn(&name, &length);
    std::string s(reinterpret_cast<const char*>(name), length);
    std::free(name);
    return s;
}

// Writes the chain the reference stands on (at its start field) as
// tag(field,field,...): "t" for text, k=v for an attribute, and a child
// chain after 134 (element) or 135 (element with attributes).
std::string describeChain(lumxmlref& ref) {
    std::string out = tag(ref) + "(";
    bool first = true;
    while (ref.GotoNextField()) {
        int base = ref.getCurrentBasetype();
        // An attribute's value joins its name as k=v.
        if (base == 148) {
            out += "=" + text(ref);
            continue;
        }
        if (!first) out += ",";
        first = false;
        if (base == 153) {
            out += "\"" + text(ref) + "\"";
        } else if (base == 147) {
            out += text(ref);
        } else if (base == 134 || base == 135) {
            lumxmlref child(ref);
            child.GotoChildTagChainStart();
            out += std::to_string(base) + ":" + describeChain(child);
        } else {
            out += "?" + std::to_string(base);
        }
    }
    return out + ")";
}

// The stored document, as describeChain writes it.
std::string storedDocument(const std::string& path) {
    LumXMLDb db(path.c_str());
    db.Open();
    std::string out;
    {
        lumxmlref ref;
        db.GetDocumentRootNode(nullptr, &ref);
        EXPECT_EQ(ref.getCurrentBasetype(), 130);
        ref.GotoChildTagChainStart();
        out = describeChain(ref);
    }
    db.Close();
    return out;
}

// Number of document chains in the database file, read through the engine.
int documentChains(const std::string& path) {
    lumdb* db = nullptr;
    LumDbParams params{};
    params.flags = 16;
    EXPECT_EQ(LumDbCreate(&db, 0, path.c_str(), &params), 0u);
    lumdct* dct = nullptr;
    lumxmldct* xd = nullptr;
    EXPECT_EQ(LumDctCreate(&dct, db), 0u);
    EXPECT_EQ(LumXMLDctCreate(&xd, dct), 0u);
    int32_t sod = 0;
    uint32_t count = 0;
    if (LumXMLDctLookupTag(xd, "SOD", 0, &sod) == 0) {
        const LumTypeId type = (static_cast<uint32_t>(sod & 0xFFFF) << 16) | 9;
        count = xml_test::searchEqual(db, type, "DOCCHAIN");
    }
    LumXMLDctDestroy(xd);
    LumDctDestroy(dct);
    EXPECT_EQ(LumDbClose(db), 0u);
    return static_cast<int>(count);
}

using tarn_test::canLockExclusively;

class HandlerOrloTest : public ::testing::Test {
protected:
    // Loads xml through the text driver into db.
    void load(const std::string& xml) {
        std::string file = _dir + "/doc.xml";
        tarn_test::writeText(file, xml);
        DriverText driver;
        HandlerOrlo handler(db.c_str());
        driver.setDocumentHandler(&handler);
        driver.setErrorHandler(&handler);
        driver.setDTDHandler(&handler);
        driver.parse(file.c_str());
    }

    tarn_test::TempDir tmp;
    std::string _dir = tmp.path();
    std::string db = _dir + "/doc.db";
};

TEST_F(HandlerOrloTest, StoresMixedContentInDocumentOrder) {
    load("<a>t<b k=\"v\"/>u<e/></a>");
    EXPECT_EQ(storedDocument(db), "a(\"t\",135:b(k=v),\"u\",134:e())");
}

TEST_F(HandlerOrloTest, KeepsEveryCharacterOfNestedMixedContent) {
    load("<p>\n  one <b>two</b> three <i>four <u x=\"1\" y=\"&lt;2&gt;\">five</u></i>.\n</p>");
    EXPECT_EQ(storedDocument(db),
              "p(\"\n  one \",134:b(\"two\"),\" three \","
              "134:i(\"four \",135:u(x=1,y=<2>,\"five\")),\".\n\")");
}

// Every end goes back to the chain of the element's parent, whatever came
// in between: text, attributes, children, at every depth.
TEST_F(HandlerOrloTest, ElementsEndingAtEveryDepthReturnToTheirParentsChain) {
    load("<r><a x=\"1\"><b><c y=\"2\">t</c>u</b>v<d/></a>w<e><f/></e>z</r>");
    EXPECT_EQ(storedDocument(db),
              "r(135:a(x=1,134:b(135:c(y=2,\"t\"),\"u\"),\"v\",134:d()),\"w\","
              "134:e(134:f()),\"z\")");
}

// The root's pointer stays the document's 130 field; its attributes follow
// its chain start as any element's do.
TEST_F(HandlerOrloTest, RootAttributesAreStoredInOrder) {
    load("<r id=\"7\" lang=\"en\">t<c y=\"2\"/></r>");
    EXPECT_EQ(storedDocument(db), "r(id=7,lang=en,\"t\",135:c(y=2))");
}

TEST_F(HandlerOrloTest, EmptyRootGivesADocumentWithAnEmptyChain) {
    load("<only/>");
    EXPECT_EQ(storedDocument(db), "only()");
    EXPECT_EQ(documentChains(db), 1);
}

TEST_F(HandlerOrloTest, ExpandedEntitiesAndCdataJoinTheSurroundingText) {
    load("<!DOCTYPE r [<!ENTITY e \"entity\">]><r>a &e; b<![CDATA[ <c> ]]>d</r>");
    EXPECT_EQ(storedDocument(db), "r(\"a entity b <c> d\")");
}

TEST_F(HandlerOrloTest, TextInManyCallsIsOneField) {
    {
        HandlerOrlo handler(db.c_str());
        AttributeListImpl none;
        handler.startDocument();
        handler.startElement(u("r"), none);
        handler.characters(u("xxone"), 2, 3);
        handler.characters(u(" two "), 0, 5);
        handler.ignorableWhitespace(u("\t\n"), 0, 2);
        handler.characters(u("three"), 0, 5);
        handler.characters(u(""), 0, 0);
        handler.endElement(u("r"));
        handler.endDocument();
    }
    EXPECT_EQ(storedDocument(db), "r(\"one two \t\nthree\")");
}

TEST_F(HandlerOrloTest, LongRunInTinyPiecesIsStoredWhole) {
    const size_t kSize = 4 << 20;
    std::string run;
    run.reserve(kSize);
    for (size_t i = 0; run.size() < kSize; ++i) run += static_cast<char>('a' + i % 26);
    {
        HandlerOrlo handler(db.c_str());
        AttributeListImpl none;
        handler.startDocument();
        handler.startElement(u("r"), none);
        // Quadratic appending would not finish in a test's lifetime.
        for (size_t at = 0; at < run.size(); at += 4)
            handler.characters(u(run.c_str()), static_cast<unsigned>(at), 4);
        handler.endElement(u("r"));
        handler.endDocument();
    }
    EXPECT_EQ(storedDocument(db), "r(\"" + run + "\")");
}

TEST_F(HandlerOrloTest, EmptyInputGivesADatabaseWithoutDocument) {
    load("");
    EXPECT_EQ(documentChains(db), 0);
}

TEST_F(HandlerOrloTest, MalformedDocumentKeepsWhatWasStoredAndClosesTheFile) {
    std::string file = _dir + "/bad.xml";
    std::ofstream(file) << "<r>before<c a=\"1\">in</c><d>cut";
    DriverText driver;
    HandlerOrlo handler(db.c_str());
    driver.setDocumentHandler(&handler);
    driver.setErrorHandler(&handler);
    try {
        driver.parse(file.c_str());
        FAIL() << "no exception";
    } catch (const SAXParseException& e) {
        EXPECT_EQ(str(e.getMessage()), "no element found");
        EXPECT_EQ(str(e.getSystemId()), file);
    }
    // Closed while the handler still lives: the file is free and complete.
    EXPECT_TRUE(canLockExclusively(db));
    EXPECT_EQ(storedDocument(db), "r(\"before\",135:c(a=1,\"in\"),134:d())");
}

TEST_F(HandlerOrloTest, DestroyingTheHandlerMidDocumentClosesTheDatabase) {
    {
        HandlerOrlo handler(db.c_str());
        AttributeListImpl none;
        handler.startDocument();
        handler.startElement(u("r"), none);
        handler.characters(u("lost"), 0, 4);
        handler.startElement(u("kept"), none);
        EXPECT_FALSE(canLockExclusively(db));
    }
    EXPECT_TRUE(canLockExclusively(db));
    EXPECT_EQ(storedDocument(db), "r(\"lost\",134:kept())");
}

// Whole or nothing: the file keeps its old contents until endDocument, and
// a document that does not end leaves it as it was; the work in between
// goes to one temporary file beside it, gone afterwards either way.
TEST_F(HandlerOrloTest, WholeOrNothingReplacesTheFileOnlyAtTheEnd) {
    load("<r>old</r>");
    const std::string old = tarn_test::readText(db);
    const auto filesNow = [this] {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(_dir)) n += entry.exists();
        return n;
    };
    const size_t before = filesNow();
    AttributeListImpl none;
    {
        HandlerOrlo handler(db.c_str(), HandlerOrlo::Storing::WholeOrNothing);
        handler.startDocument();
        handler.startElement(u("r"), none);
        handler.characters(u("unfinished"), 0, 10);
        EXPECT_EQ(filesNow(), before + 1);
        EXPECT_FALSE(canLockExclusively(db)) << "the file to be replaced is not locked";
    }
    EXPECT_EQ(tarn_test::readText(db), old);
    EXPECT_EQ(filesNow(), before);
    {
        HandlerOrlo handler(db.c_str(), HandlerOrlo::Storing::WholeOrNothing);
        handler.startDocument();
        handler.startElement(u("r"), none);
        handler.characters(u("new"), 0, 3);
        handler.endElement(u("r"));
        EXPECT_EQ(tarn_test::readText(db), old);
        handler.endDocument();
        EXPECT_EQ(filesNow(), before);
    }
    EXPECT_EQ(storedDocument(db), "r(\"new\")");
}

TEST_F(HandlerOrloTest, DatabaseFailuresBecomeSAXExceptions) {
    HandlerOrlo handler((_dir + "/missing/folder/doc.db").c_str());
    try {
        handler.startDocument();
        FAIL() << "no exception";
    } catch (const SAXException& e) {
        EXPECT_EQ(str(e.getMessage()).rfind("CreateFile() failed", 0), 0u) << str(e.getMessage());
    }
}

TEST_F(HandlerOrloTest, ConstructionTouchesNoFile) {
    { HandlerOrlo handler(db.c_str()); }
    EXPECT_NE(access(db.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace LumXMLSAX
