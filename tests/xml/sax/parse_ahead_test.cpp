// Parsing ahead: the handlers see exactly the events of a plain parse, in
// order, whatever the size of an event, and every way a parse can end is
// reported as a plain parse reports it.
#include "xml/sax/parse_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/saxexception.h"

namespace {

using LumXMLSAX::AttributeList;
using LumXMLSAX::DriverText;
using LumXMLSAX::SAXException;
using LumXMLSAX::SAXParseException;

std::string str(const unsigned char* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string("<null>");
}

// Every event as a line. Adjacent text is one line whatever calls brought
// it, as a parser may split or join character data.
class Log : public LumXMLSAX::HandlerBase {
public:
    std::vector<std::string> events;
    int throwAtStart = -1;  // startElement number that throws
    bool rethrowFatal = false;
    int textCalls = 0;
    size_t longestText = 0;

    void startDocument() override { event("startDocument"); }
    void endDocument() override { event("endDocument"); }
    void startElement(const unsigned char* name, const AttributeList& list) override {
        std::string e = "start " + str(name);
        for (unsigned i = 0; i < list.getLength(); ++i)
            e += " " + str(list.getName(i)) + "=" + str(list.getValue(i)) + ":" + str(list.getType(i));
        if (list.getLength() > 0) {
            e += " first:" + str(list.getValue(list.getName(0)));
            e += " none:" + str(list.getValue(reinterpret_cast<const unsigned char*>("?")));
        }
        event(e);
        if (++starts == throwAtStart) throw SAXException("stop here");
    }
    void endElement(const unsigned char* name) override { event("end " + str(name)); }
    void characters(const unsigned char* chars, unsigned start, unsigned length) override {
        ++textCalls;
        longestText = std::max<size_t>(longestText, length);
        const std::string text(reinterpret_cast<const char*>(chars) + start, length);
        if (!events.empty() && events.back().rfind("chars ", 0) == 0)
            events.back() += text;
        else
            events.push_back("chars " + text);
    }
    void notationDecl(const unsigned char* n, const unsigned char* p, const unsigned char* s) override {
        event("notation " + str(n) + " " + str(p) + " " + str(s));
    }
    void unparsedEntityDecl(const unsigned char* n, const unsigned char* p, const unsigned char* s,
                            const unsigned char* notation) override {
        event("unparsed " + str(n) + " " + str(p) + " " + str(s) + " " + str(notation));
    }
    void fatalError(const SAXParseException& e) override {
        event("fatal " + str(e.getMessage()) + " @" + std::to_string(e.getLineNumber()) + ":" +
              std::to_string(e.getColumnNumber()) + " " + str(e.getSystemId()));
        if (rethrowFatal) HandlerBase::fatalError(e);
    }

private:
    void event(const std::string& e) { events.push_back(e); }
    int starts = 0;
};

// What a parse ended with: the events and the message of its exception.
struct Outcome {
    std::vector<std::string> events;
    std::string thrown;
    bool operator==(const Outcome& o) const { return events == o.events && thrown == o.thrown; }
};

template <typename Parse>
Outcome run(Log& log, Parse&& parse) {
    Outcome o;
    try {
        parse();
    } catch (const SAXParseException& e) {
        o.thrown = "parse: " + str(e.getMessage()) + " @" + std::to_string(e.getLineNumber());
    } catch (const SAXException& e) {
        o.thrown = str(e.getMessage());
    }
    o.events = log.events;
    return o;
}

class ParseAheadTest : public ::testing::Test {
protected:
    // The same file parsed plainly and ahead, with handlers set up alike.
    void expectSame(const std::string& xml, const std::function<void(Log&)>& setUp = nullptr) {
        const std::string path = tarn_test::writeText(dir.file("doc.xml"), xml);
        Log plain, ahead;
        if (setUp) {
            setUp(plain);
            setUp(ahead);
        }
        DriverText driver;
        driver.setDocumentHandler(&plain);
        driver.setDTDHandler(&plain);
        driver.setErrorHandler(&plain);
        const Outcome want = run(plain, [&] { driver.parse(path.c_str()); });
        const Outcome got = run(ahead, [&] { tarnxml_detail::ParseAhead(driver, path.c_str(), tarnxml_detail::HandlersOf(ahead)); });
        EXPECT_EQ(got.thrown, want.thrown);
        ASSERT_EQ(got.events.size(), want.events.size());
        for (size_t i = 0; i < want.events.size(); ++i) ASSERT_EQ(got.events[i], want.events[i]) << "event " << i;
    }

    tarn_test::TempDir dir;
};

TEST_F(ParseAheadTest, EveryKindOfEventArrivesAsInAPlainParse) {
    expectSame(
        "<?xml version='1.0' encoding='UTF-8'?>\n"
        "<!DOCTYPE r [<!NOTATION gif SYSTEM 'viewer'><!NOTATION png PUBLIC 'png-id'>"
        "<!ENTITY pic SYSTEM 'a.gif' NDATA gif><!ENTITY who 'wide &amp; <b>bold</b>'>]>\n"
        "<r a='1' b=\"two &amp; three\"><!-- note --><?pi data?>caf\xC3\xA9 &who; "
        "<e x=''/><![CDATA[<raw>]]>\n  <f>t</f></r>");
}

// Many blocks: 30,000 elements with attributes (some alike), an attribute
// value three blocks long, 50,000 adjacent runs of character data.
std::string largeDocument() {
    std::string xml = "<r a='1' b=''>";
    for (int i = 0; i < 30000; ++i)
        xml += "<c n=\"" + std::to_string(i) + "\" m='&lt;'>" + std::to_string(i * 7) + "</c>\n";
    xml += "<big v=\"" + std::string(3 * tarnxml_detail::kBlockBytes, 'a') + "\">";
    for (int i = 0; i < 50000; ++i) xml += "text run " + std::to_string(i) + " &amp; ";
    xml += "</big><e/>caf\xC3\xA9</r>";
    return xml;
}

TEST_F(ParseAheadTest, LargeDocumentsAndEventsLargerThanABlockKeepTheirOrder) {
    expectSame(largeDocument());
}

// Told ahead and heard: the texts of the events as told before them, and as
// the events carry them, with how many had been told when each arrived.
class Teller : public LumXMLSAX::HandlerBase, public tarnxml_detail::LookAhead {
public:
    std::vector<std::string> told, carried;
    std::vector<size_t> toldBefore;

    void text(Kind kind, const unsigned char* chars) override {
        told.push_back((kind == Kind::AttributeName ? "name " : kind == Kind::AttributeValue ? "value " : "text ") +
                       str(chars));
    }

    void startElement(const unsigned char*, const AttributeList& list) override {
        for (unsigned i = 0; i < list.getLength(); ++i) {
            heard("name " + str(list.getName(i)));
            heard("value " + str(list.getValue(i)));
        }
    }
    void characters(const unsigned char* chars, unsigned start, unsigned length) override {
        heard("text " + std::string(reinterpret_cast<const char*>(chars) + start, length));
    }

private:
    void heard(const std::string& text) {
        carried.push_back(text);
        toldBefore.push_back(told.size());
    }
};

// Every text is told, whole and in order, before the event that carries it,
// but for one told lately, which the index has just seen.
TEST_F(ParseAheadTest, TextsAreToldWholeAndInOrderBeforeTheirEvents) {
    const std::string path = tarn_test::writeText(dir.file("told.xml"), largeDocument());
    Teller teller;
    DriverText driver;
    tarnxml_detail::ParseAhead(driver, path.c_str(), tarnxml_detail::HandlersOf(teller), &teller);
    // Texts that came before, as any kind of text: a value told lately
    // stands for the same characters as data.
    std::map<std::string, size_t> lastSeen;
    size_t t = 0;
    for (size_t i = 0; i < teller.carried.size(); ++i) {
        const std::string& item = teller.carried[i];
        const std::string text = item.substr(item.find(' ') + 1);
        if (t < teller.told.size() && teller.told[t] == item) {
            ASSERT_GT(teller.toldBefore[i], t) << "told after its event: " << item;
            ++t;
        } else {
            const auto last = lastSeen.find(text);
            ASSERT_TRUE(text.empty() || last != lastSeen.end()) << "new, and not told: " << item;
        }
        lastSeen[text] = i;
    }
    EXPECT_EQ(t, teller.told.size()) << "told but never carried: " << (t < teller.told.size() ? teller.told[t] : "");
    EXPECT_GT(t, 60000u);
}

// Joined, but never into more than about a block: the handler's thread
// must not hold a long run in one piece it would not have had.
TEST_F(ParseAheadTest, AdjacentTextArrivesJoinedInCallsOfAboutABlock) {
    std::string xml = "<r>";
    for (int i = 0; i < 100000; ++i) xml += "a&amp;b\n";
    xml += "</r>";
    expectSame(xml);
    const std::string path = tarn_test::writeText(dir.file("text.xml"), xml);
    Log plain, ahead;
    DriverText driver;
    driver.setDocumentHandler(&plain);
    driver.parse(path.c_str());
    tarnxml_detail::ParseAhead(driver, path.c_str(), tarnxml_detail::HandlersOf(ahead));
    EXPECT_EQ(ahead.events, plain.events);
    EXPECT_LT(ahead.textCalls * 100, plain.textCalls);
    EXPECT_LE(ahead.longestText, tarnxml_detail::kBlockBytes + DriverText::kChunkSize);
}

TEST_F(ParseAheadTest, MalformedDocumentsReachTheErrorHandlerAfterTheEventsBefore) {
    std::string xml = "<r>";
    for (int i = 0; i < 5000; ++i) xml += "<c>" + std::to_string(i) + "</c>";
    expectSame(xml + "<c></d></r>");
    expectSame(xml + "<c></d></r>", [](Log& log) { log.rethrowFatal = true; });
    expectSame("");
}

TEST_F(ParseAheadTest, AHandlersExceptionStopsTheParserAndIsRethrown) {
    std::string xml = "<r>";
    for (int i = 0; i < 200000; ++i) xml += "<c>" + std::to_string(i) + "</c>";
    xml += "</r>";
    // The first event, one within the first block, and ones far ahead of it.
    for (int at : {1, 2, 5000, 150000}) {
        SCOPED_TRACE(at);
        expectSame(xml, [at](Log& log) { log.throwAtStart = at; });
    }
}

TEST_F(ParseAheadTest, AnUnreadableFileIsReportedBeforeAnyEvent) {
    Log log;
    DriverText driver;
    const std::string missing = dir.file("missing.xml");
    const Outcome got = run(log, [&] { tarnxml_detail::ParseAhead(driver, missing.c_str(), tarnxml_detail::HandlersOf(log)); });
    Log plainLog;
    driver.setDocumentHandler(&plainLog);
    const Outcome want = run(plainLog, [&] { driver.parse(missing.c_str()); });
    EXPECT_FALSE(want.thrown.empty());
    EXPECT_EQ(got, want);
    EXPECT_TRUE(got.events.empty());
}

TEST_F(ParseAheadTest, WithoutAnErrorHandlerTheParsersOwnExceptionArrives) {
    const std::string path = tarn_test::writeText(dir.file("bad.xml"), "<r><c></r>");
    DriverText driver;
    Log plain, ahead;
    driver.setDocumentHandler(&plain);
    const Outcome want = run(plain, [&] { driver.parse(path.c_str()); });
    tarnxml_detail::Handlers onlyDocument;
    onlyDocument.document = &ahead;
    const Outcome got = run(ahead, [&] { tarnxml_detail::ParseAhead(driver, path.c_str(), onlyDocument); });
    EXPECT_EQ(want.thrown.rfind("parse: ", 0), 0u) << want.thrown;
    EXPECT_EQ(got, want);
}

// A handler may rely on the input staying open while it works: the storing
// handler's database cannot replace the file being read, for one.
TEST_F(ParseAheadTest, TheInputStaysOpenUntilTheHandlersHaveSeenTheEnd) {
    std::string xml = "<r>";
    for (int i = 0; i < 20000; ++i) xml += "<c>" + std::to_string(i) + "</c>";
    const std::string path = dir.file("open.xml");
    struct Watch : Log {
        std::string path;
        std::vector<bool> unlocked;
        void startDocument() override { unlocked.push_back(tarn_test::canLockExclusively(path)); }
        void endDocument() override { unlocked.push_back(tarn_test::canLockExclusively(path)); }
        void fatalError(const SAXParseException&) override {
            unlocked.push_back(tarn_test::canLockExclusively(path));
        }
    };
    for (const std::string& doc : {xml + "</r>", xml + "</x>"}) {
        tarn_test::writeText(path, doc);
        Watch watch;
        watch.path = path;
        DriverText driver;
        tarnxml_detail::ParseAhead(driver, path.c_str(), tarnxml_detail::HandlersOf(watch));
        EXPECT_EQ(watch.unlocked, std::vector<bool>(doc == xml + "</r>" ? 2 : 3, false));
        EXPECT_TRUE(tarn_test::canLockExclusively(path));
    }
}

TEST_F(ParseAheadTest, TheParserKeepsTheCallersHandlersAfterwards) {
    const std::string path = tarn_test::writeText(dir.file("d.xml"), "<r><c/></r>");
    DriverText driver;
    Log log;
    tarnxml_detail::ParseAhead(driver, path.c_str(), tarnxml_detail::HandlersOf(log));
    const std::vector<std::string> once = log.events;
    ASSERT_EQ(once.size(), 6u);
    driver.parse(path.c_str());
    ASSERT_EQ(log.events.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(log.events.begin() + 6, log.events.end()), once);
}

}  // namespace
