#include "xml/sax/driverorlo.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "tests/test_files.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/handlerorlo.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

using namespace LumXMLSAX;

namespace {

const unsigned char* u(const char* text) { return reinterpret_cast<const unsigned char*>(text); }
std::string s(const unsigned char* text) {
    return text == nullptr ? "(null)" : reinterpret_cast<const char*>(text);
}

// Writes every event as one word: "+name k=v" for a start tag, "-name" for
// an end tag, 't' for character data, <doc> and </doc> for the document.
class Recorder : public HandlerBase {
public:
    void setDocumentLocator(const Locator* locator) override {
        ASSERT_NE(locator, nullptr);
        EXPECT_EQ(locator->getLineNumber(), -1);
        EXPECT_EQ(locator->getColumnNumber(), -1);
        EXPECT_EQ(locator->getPublicId(), nullptr);
        EXPECT_EQ(locator->getSystemId(), nullptr);
        ++locators;
    }
    void startDocument() override { add("<doc>"); }
    void endDocument() override { add("</doc>"); }
    void startElement(const unsigned char* name, const AttributeList& attributes) override {
        std::string word = "+" + s(name);
        for (unsigned int i = 0; i < attributes.getLength(); ++i) {
            EXPECT_EQ(s(attributes.getType(i)), "CDATA");
            word += " " + s(attributes.getName(i)) + "=" + s(attributes.getValue(i));
        }
        add(word);
    }
    void endElement(const unsigned char* name) override { add("-" + s(name)); }
    void characters(const unsigned char* chars, unsigned int start, unsigned int length) override {
        EXPECT_EQ(start, 0u);
        add("'" + std::string(reinterpret_cast<const char*>(chars) + start, length) + "'");
    }

    std::string text;
    int locators = 0;

private:
    void add(const std::string& word) { text += text.empty() ? word : " " + word; }
};

// Counts instead of recording, for documents too deep to print.
class DepthCounter : public HandlerBase {
public:
    void startElement(const unsigned char*, const AttributeList&) override {
        ++starts;
        if (++depth > maxDepth) maxDepth = depth;
    }
    void endElement(const unsigned char*) override {
        ++ends;
        if (--depth < 0) negative = true;
    }
    void characters(const unsigned char* chars, unsigned int, unsigned int length) override {
        text.append(reinterpret_cast<const char*>(chars), length);
    }
    long starts = 0, ends = 0, depth = 0, maxDepth = 0;
    bool negative = false;
    std::string text;
};

class DriverOrloTest : public ::testing::Test {
protected:

    void store(const std::string& xml) {
        const std::string path = dir + "/doc.xml";
        tarn_test::writeText(path, xml);
        DriverText text;
        HandlerOrlo handler(db.c_str());
        text.setDocumentHandler(&handler);
        text.setErrorHandler(&handler);
        text.parse(path.c_str());
    }

    std::string replay() {
        DriverOrlo driver;
        Recorder recorder;
        driver.setDocumentHandler(&recorder);
        driver.parse(db.c_str());
        EXPECT_EQ(recorder.locators, 1);
        return recorder.text;
    }

    std::string query(const char* environment, const char* tag, const char* value,
                      bool expectFound) {
        DriverOrlo driver;
        Recorder recorder;
        driver.setDocumentHandler(&recorder);
        InputSource source(db.c_str());
        EXPECT_EQ(driver.queryUnique(source, u(environment), u(tag), u(value)), expectFound);
        EXPECT_EQ(recorder.locators, 1);
        return recorder.text;
    }

    // True when no one holds the database open: the engine locks the file
    // exclusively while it is open.
    bool closedAgain() {
        LumXMLDb check(db.c_str(), 64);
        try {
            check.Open();
            check.Close();
            return true;
        } catch (const LumXMLException&) {
            return false;
        }
    }

    tarn_test::TempDir tmp;
    std::string dir = tmp.path();
    std::string db = dir + "/doc.db";
};

const char* const kMixed =
    "<r a=\"root\" z=\"\"><p k=\"v\" n=\"2\">x<b>bold</b>y<e/></p>"
    "tail<q>\xC3\xA9t\xC3\xA9 &amp; &lt;</q></r>";

// ---- Replay ---------------------------------------------------------------

TEST_F(DriverOrloTest, ReplaysEveryShapeInStoredOrder) {
    store(kMixed);
    EXPECT_EQ(replay(),
              "<doc> +r a=root z= +p k=v n=2 'x' +b 'bold' -b 'y' +e -e -p 'tail' "
              "+q '\xC3\xA9t\xC3\xA9 & <' -q -r </doc>");
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, AttributesOnlyAndEmptyRoot) {
    store("<r><a x=\"1\" y=\"\"/><a z=\"3\"></a></r>");
    EXPECT_EQ(replay(), "<doc> +r +a x=1 y= -a +a z=3 -a -r </doc>");
    store("<only/>");
    EXPECT_EQ(replay(), "<doc> +only -only </doc>");
}

TEST_F(DriverOrloTest, EveryOverloadReplaysTheSameDocument) {
    store("<r><c>t</c></r>");
    const std::string expected = "<doc> +r +c 't' -c -r </doc>";
    DriverOrlo driver;
    Recorder byChars, byBytes, bySource;
    driver.setDocumentHandler(&byChars);
    driver.parse(db.c_str());
    driver.setDocumentHandler(&byBytes);
    driver.parse(u(db.c_str()));
    driver.setDocumentHandler(&bySource);
    InputSource source(db.c_str());
    driver.parse(source);
    EXPECT_EQ(byChars.text, expected);
    EXPECT_EQ(byBytes.text, expected);
    EXPECT_EQ(bySource.text, expected);
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, WithoutDocumentHandlerNothingIsCalled) {
    store("<r><c>t</c></r>");
    DriverOrlo driver;
    Recorder unused;
    driver.setDTDHandler(&unused);
    driver.setErrorHandler(&unused);
    driver.setEntityResolver(&unused);
    driver.parse(db.c_str());
    InputSource source(db.c_str());
    EXPECT_TRUE(driver.queryUnique(source, u("r"), u("c"), u("t")));
    EXPECT_EQ(unused.text, "");
    EXPECT_EQ(unused.locators, 0);
}

TEST_F(DriverOrloTest, ElementNamedSodEndsTheWalkAtOnce) {
    store("<r><a>1</a><SOD k=\"v\"><b/></SOD><c/></r>");
    EXPECT_EQ(replay(), "<doc> +r +a '1' -a </doc>");
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, DatabaseWithoutDocumentReplaysNothing) {
    {
        LumXMLDb empty(db.c_str(), 64);
        empty.Create();
        empty.Close();
    }
    EXPECT_EQ(replay(), "<doc> </doc>");
    EXPECT_EQ(replay(), "<doc> </doc>");
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, HundredThousandLevelsReplayWithoutRecursion) {
    constexpr long kLevels = 100000;
    {
        LumXMLDb deep(db.c_str(), 64);
        deep.Create();
        {
            lumxmlref ref;
            deep.GetDocumentRootNode(u("d"), &ref);
            for (long i = 1; i < kLevels; ++i) ref.putElement(u("d"));
            ref.putPCDATA(u("bottom"));
        }
        deep.Close();
    }
    DriverOrlo driver;
    DepthCounter counter;
    driver.setDocumentHandler(&counter);
    driver.parse(db.c_str());
    EXPECT_EQ(counter.starts, kLevels);
    EXPECT_EQ(counter.ends, kLevels);
    EXPECT_EQ(counter.maxDepth, kLevels);
    EXPECT_FALSE(counter.negative);
    EXPECT_EQ(counter.text, "bottom");

    // The nearest enclosing "d" of the text is the second deepest element.
    EXPECT_EQ(query("d", "d", "bottom", true), "<doc> +d +d 'bottom' -d -d </doc>");
}

// Elements replayed one by one from a database the caller holds open, as
// parse replays them, without the document's events; a position that is no
// element start is a damaged file, and the opening stays usable.
TEST_F(DriverOrloTest, ElementsOfAnOpenDatabaseReplayOneByOne) {
    store(kMixed);
    const std::string before = tarn_test::readText(db);
    LumXMLDb database(db.c_str());
    database.OpenReadOnly();
    const auto chainOf = [&](const char* tag, const char* text, bool start) {
        lumxmlref ref;
        EXPECT_TRUE(database.GetElementPCDATAUnique(nullptr, u(tag), u(text), &ref));
        const unsigned long field = ref.getCurrentLocation();
        ref.GotoCurrentTagChainStart();
        return start ? ref.getCurrentLocation() : field;
    };
    DriverOrlo driver;
    Recorder recorder;
    driver.setDocumentHandler(&recorder);
    driver.replayElement(database, chainOf("p", "x", true));
    driver.replayElement(database, chainOf("q", "\xC3\xA9t\xC3\xA9 & <", true));
    driver.replayElement(database, chainOf("r", "tail", true));
    EXPECT_EQ(recorder.locators, 0);
    EXPECT_EQ(recorder.text,
              "+p k=v n=2 'x' +b 'bold' -b 'y' +e -e -p +q '\xC3\xA9t\xC3\xA9 & <' -q "
              "+r a=root z= +p k=v n=2 'x' +b 'bold' -b 'y' +e -e -p 'tail' +q '\xC3\xA9t\xC3\xA9 & <' -q -r");
    for (unsigned long wrong : {0ul, chainOf("b", "bold", false), 0xFFFFFFF0ul}) {
        recorder.text.clear();
        try {
            driver.replayElement(database, wrong);
            ADD_FAILURE() << "replayed from " << wrong;
        } catch (const SAXException& e) {
            EXPECT_EQ(s(e.getMessage()), "Illegal database file") << wrong;
        }
        EXPECT_EQ(recorder.text, "");
    }
    driver.replayElement(database, chainOf("b", "bold", true));
    EXPECT_EQ(recorder.text, "+b 'bold' -b");
    database.Close();
    EXPECT_EQ(tarn_test::readText(db), before);
}

// ---- Query ----------------------------------------------------------------

TEST_F(DriverOrloTest, QueryReplaysTheNearestEnclosingEnvironment) {
    store("<r><s id=\"1\">a<s id=\"2\"><t>v</t></s><t>w</t></s><s id=\"3\"><t>x</t></s></r>");
    EXPECT_EQ(query("s", "t", "v", true), "<doc> +s id=2 +t 'v' -t -s </doc>");
    EXPECT_EQ(query("s", "t", "w", true),
              "<doc> +s id=1 'a' +s id=2 +t 'v' -t -s +t 'w' -t -s </doc>");
    EXPECT_EQ(query("s", "t", "x", true), "<doc> +s id=3 +t 'x' -t -s </doc>");
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, RootAsEnvironmentReplaysTheWholeDocument) {
    store(kMixed);
    const std::string whole =
        "<doc> +r a=root z= +p k=v n=2 'x' +b 'bold' -b 'y' +e -e -p 'tail' "
        "+q '\xC3\xA9t\xC3\xA9 & <' -q -r </doc>";
    EXPECT_EQ(query("r", "b", "bold", true), whole);
    EXPECT_EQ(query("p", "b", "bold", true), "<doc> +p k=v n=2 'x' +b 'bold' -b 'y' +e -e -p </doc>");
    EXPECT_EQ(query("r", "q", "\xC3\xA9t\xC3\xA9 & <", true).substr(0, 9), "<doc> +r ");
    // The document chain's own tag encloses every element, the root too.
    EXPECT_EQ(query("SOD", "b", "bold", true), whole);
    EXPECT_EQ(query("SOD", "r", "tail", true), whole);
    EXPECT_TRUE(closedAgain());
    // An element of that name ends the walk at its start, as in any replay.
    store("<r><SOD>DOCCHAIN</SOD></r>");
    EXPECT_EQ(query("SOD", "SOD", "DOCCHAIN", true), "<doc> +r </doc>");
}

TEST_F(DriverOrloTest, QueryThatFindsNothing) {
    store("<r><s><t>v</t></s><t> v </t></r>");
    // The value must equal a whole stored run.
    EXPECT_EQ(query("s", "t", "none", false), "<doc> </doc>");
    EXPECT_EQ(query("s", "t", "v ", false), "<doc> </doc>");
    EXPECT_EQ(query("s", "unknown", "v", false), "<doc> </doc>");
    // No enclosing element bears the name; the found element itself does
    // not count.
    EXPECT_EQ(query("nowhere", "t", "v", false), "<doc> </doc>");
    EXPECT_EQ(query("t", "t", "v", false), "<doc> </doc>");
    EXPECT_EQ(query("s", "t", " v ", false), "<doc> </doc>");
    EXPECT_EQ(query("r", "t", " v ", true), "<doc> +r +s +t 'v' -t -s +t ' v ' -t -r </doc>");
    EXPECT_TRUE(closedAgain());
    // Attribute names and values share the text's index key; they are no
    // match, also when they come first in result order.
    store("<r><c><t>Dune</t></c><b><t k=\"Dune\">x</t></b></r>");
    EXPECT_EQ(query("c", "t", "Dune", true), "<doc> +c +t 'Dune' -t -c </doc>");
    EXPECT_EQ(query("b", "t", "Dune", false), "<doc> </doc>");
    EXPECT_EQ(query("b", "t", "k", false), "<doc> </doc>");
}

// The id of the "s" around the text that the database lookup finds first.
std::string firstMatchId(const std::string& path) {
    LumXMLDb db(path.c_str(), 64);
    db.Open();
    std::string id;
    {
        lumxmlref ref;
        EXPECT_TRUE(db.GetElementPCDATAUnique(u("s"), u("t"), u("v"), &ref));
        EXPECT_TRUE(ref.GotoNamedParentTagChainStart(u("s")));
        EXPECT_TRUE(ref.GotoNextField());
        unsigned char* name = nullptr;
        unsigned char* value = nullptr;
        EXPECT_TRUE(ref.getAttributeDyn(&name, &value));
        id = s(value);
        free(name);
        free(value);
    }
    db.Close();
    return id;
}

TEST_F(DriverOrloTest, TwoMatchesReplayOnlyTheFirstInResultOrder) {
    store("<r><s id=\"1\"><t>v</t></s><s id=\"2\"><t>v</t></s></r>");
    const std::string id = firstMatchId(db);
    ASSERT_TRUE(id == "1" || id == "2") << id;
    EXPECT_EQ(query("s", "t", "v", true), "<doc> +s id=" + id + " +t 'v' -t -s </doc>");
}

TEST_F(DriverOrloTest, QueryWithoutSourceFindsNothing) {
    DriverOrlo driver;
    Recorder recorder;
    driver.setDocumentHandler(&recorder);
    EXPECT_FALSE(driver.queryUnique(u("s"), u("t"), u("v")));
    EXPECT_EQ(recorder.text, "");
}

// ---- Failures ---------------------------------------------------------------

class Reentrant : public Recorder {
public:
    explicit Reentrant(DriverOrlo& driver) : _driver(driver) {}
    void startElement(const unsigned char* name, const AttributeList& attributes) override {
        Recorder::startElement(name, attributes);
        _driver.parse("anything");
    }

private:
    DriverOrlo& _driver;
};

TEST_F(DriverOrloTest, ParseFromInsideAHandlerIsRefused) {
    store("<r><c>t</c></r>");
    DriverOrlo driver;
    Reentrant handler(driver);
    driver.setDocumentHandler(&handler);
    try {
        driver.parse(db.c_str());
        FAIL() << "no exception";
    } catch (const SAXException& e) {
        EXPECT_EQ(s(e.getMessage()), "Already parsing");
    }
    EXPECT_EQ(handler.text, "<doc> +r");
    EXPECT_TRUE(closedAgain());
    // The driver is idle again.
    Recorder recorder;
    driver.setDocumentHandler(&recorder);
    driver.parse(db.c_str());
    EXPECT_EQ(recorder.text, "<doc> +r +c 't' -c -r </doc>");
}

class Throwing : public Recorder {
public:
    void characters(const unsigned char*, unsigned int, unsigned int) override {
        throw SAXParseException(u("stop here"), u("pub"), u("sys"), 3, 4);
    }
};

TEST_F(DriverOrloTest, HandlerExceptionArrivesAsPlainSAXException) {
    store("<r><c>t</c></r>");
    DriverOrlo driver;
    Throwing handler;
    driver.setDocumentHandler(&handler);
    for (int round = 0; round < 2; ++round) {
        try {
            if (round == 0) {
                driver.parse(db.c_str());
            } else {
                InputSource source(db.c_str());
                driver.queryUnique(source, u("r"), u("c"), u("t"));
            }
            FAIL() << "no exception";
        } catch (const SAXParseException&) {
            FAIL() << "the handler's own exception escaped";
        } catch (const SAXException& e) {
            EXPECT_EQ(s(e.getMessage()), "stop here");
        }
        EXPECT_TRUE(closedAgain());
    }
}

TEST_F(DriverOrloTest, FilesThatAreNotDatabases) {
    const std::string text = dir + "/text.db";
    std::ofstream(text, std::ios::binary) << std::string(20000, 'x');
    const std::string truncated = dir + "/short.db";
    std::ofstream(truncated, std::ios::binary) << "tiny";
    struct Case {
        std::string path;
        std::string message;
    } cases[] = {
        {dir + "/missing.db", ""},
        {text, LumErrorMessage(29)},
        {truncated, LumErrorMessage(29)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        DriverOrlo driver;
        Recorder recorder;
        driver.setDocumentHandler(&recorder);
        try {
            driver.parse(c.path.c_str());
            FAIL() << "no exception";
        } catch (const SAXException& e) {
            ASSERT_NE(e.getMessage(), nullptr);
            if (!c.message.empty()) {
                EXPECT_EQ(s(e.getMessage()), c.message);
            }
        }
        InputSource source(c.path.c_str());
        EXPECT_THROW(driver.queryUnique(source, u("a"), u("b"), u("c")), SAXException);
        // Nothing but the locator reached the handler.
        EXPECT_EQ(recorder.text, "");
        EXPECT_EQ(recorder.locators, 2);
    }
}

TEST_F(DriverOrloTest, SetInputSourceOpensUntilTheNextCall) {
    store("<r>t</r>");
    DriverOrlo driver;
    InputSource source(db.c_str());
    EXPECT_TRUE(driver.setInputSource(source));
    EXPECT_FALSE(closedAgain());
    Recorder recorder;
    driver.setDocumentHandler(&recorder);
    driver.parse(source);
    EXPECT_EQ(recorder.text, "<doc> +r 't' -r </doc>");
    EXPECT_TRUE(closedAgain());
    {
        DriverOrlo other;
        EXPECT_TRUE(other.setInputSource(source));
    }
    EXPECT_TRUE(closedAgain());
}

// Sends file descriptor 1 to a temporary file while the walk prints.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        std::FILE* file = std::tmpfile();
        _file = dup(fileno(file));
        std::fclose(file);
        _saved = dup(1);
        dup2(_file, 1);
    }
    std::string finish() {
        std::fflush(stdout);
        dup2(_saved, 1);
        close(_saved);
        std::string text;
        char buffer[512];
        ssize_t n;
        off_t offset = 0;
        while ((n = pread(_file, buffer, sizeof buffer, offset)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
            offset += n;
        }
        close(_file);
        return text;
    }

private:
    int _file;
    int _saved;
};

TEST_F(DriverOrloTest, FieldThatCannotBeReplayedIsReportedAndEndsTheWalk) {
    {
        LumXMLDb odd(db.c_str(), 64);
        odd.Create();
        {
            lumxmlref ref;
            odd.GetDocumentRootNode(u("r"), &ref);
            ref.putPCDATA(u("t"));
            // An attribute after content: the walk only reads attributes
            // right after the chain start.
            ref.putAttributeValues(u("k"), u("v"));
            ref.putPCDATA(u("never"));
        }
        odd.Close();
    }
    StdoutCapture capture;
    const std::string events = replay();
    EXPECT_EQ(capture.finish(), "error: tagname=\"r\", basetype=0x93\n");
    EXPECT_EQ(events, "<doc> +r 't' </doc>");
    EXPECT_TRUE(closedAgain());
    // The line stands where the walk met the field, also when the writer
    // holds its output back.
    for (HandlerDump::Flushing flushing :
         {HandlerDump::Flushing::AfterEvents, HandlerDump::Flushing::AtEnd}) {
        StdoutCapture output;
        {
            DriverOrlo driver;
            HandlerDump writer(flushing);
            driver.setDocumentHandler(&writer);
            driver.parse(db.c_str());
        }
        EXPECT_EQ(output.finish(),
                  "<?xml version=\"1.0\"?><r>terror: tagname=\"r\", basetype=0x93\n\n");
    }
}

// ---- Damaged files ------------------------------------------------------------

// Overwrites the 32-bit value of the field at `address` through the engine.
void poke(const std::string& path, uint32_t address, uint32_t value) {
    lumdb* handle = nullptr;
    LumDbParams params{16, 0, 0, 0, 0, 0};
    ASSERT_EQ(LumDbCreate(&handle, 0, path.c_str(), &params), 0u);
    lumcursor* cursor = nullptr;
    ASSERT_EQ(LumCursorCreate(&cursor, handle), 0u);
    ASSERT_EQ(LumCursorGotoMemberAddress(cursor, address), 0u);
    ASSERT_EQ(LumCursorModifyField(cursor, nullptr, &value, 4, nullptr), 0u);
    ASSERT_EQ(LumCursorDestroy(cursor), 0u);
    ASSERT_EQ(LumDbClose(handle), 0u);
}

struct Addresses {
    unsigned long rootStart, childPointer, childStart, grandchildPointer;
};

// r holds a pointer to c, c a pointer to g; returns where those fields are.
Addresses storeThreeLevels(const std::string& path) {
    Addresses at{};
    LumXMLDb db(path.c_str(), 64);
    db.Create();
    {
        lumxmlref ref;
        db.GetDocumentRootNode(u("r"), &ref);
        at.rootStart = ref.getCurrentLocation();
        ref.putElement(u("c"));
        at.childStart = ref.getCurrentLocation();
        ref.putElement(u("g"));
        ref.putPCDATA(u("text"));
        ref.GotoParentTagChainInBranch();
        at.grandchildPointer = ref.getCurrentLocation();
        ref.GotoParentTagChainInBranch();
        at.childPointer = ref.getCurrentLocation();
    }
    db.Close();
    return at;
}

void expectDamaged(const std::string& path) {
    DriverOrlo driver;
    DepthCounter counter;
    driver.setDocumentHandler(&counter);
    try {
        driver.parse(path.c_str());
        FAIL() << "no exception";
    } catch (const SAXException& e) {
        EXPECT_EQ(s(e.getMessage()), LumErrorMessage(29));
    }
    EXPECT_LT(counter.starts, 10);
}

TEST_F(DriverOrloTest, PointerBackToAnOpenElementIsReported) {
    const Addresses at = storeThreeLevels(db);
    poke(db, static_cast<uint32_t>(at.grandchildPointer), static_cast<uint32_t>(at.rootStart));
    expectDamaged(db);
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, ChainStartNotLeadingBackIsReported) {
    const Addresses at = storeThreeLevels(db);
    poke(db, static_cast<uint32_t>(at.childStart), static_cast<uint32_t>(at.rootStart));
    expectDamaged(db);
    EXPECT_TRUE(closedAgain());
}

TEST_F(DriverOrloTest, PointerToAFieldThatIsNoChainStartIsReported) {
    const Addresses at = storeThreeLevels(db);
    poke(db, static_cast<uint32_t>(at.childPointer), static_cast<uint32_t>(at.grandchildPointer));
    expectDamaged(db);
    EXPECT_TRUE(closedAgain());
}

}  // namespace
