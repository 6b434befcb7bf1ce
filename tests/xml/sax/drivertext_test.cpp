#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "xml/sax/attributelist.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {
namespace {

std::string str(const unsigned char* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string("<null>");
}

// Records every event as one line; text runs are kept per call.
class Recorder : public HandlerBase {
public:
    std::vector<std::string> events;
    const Locator* locator = nullptr;
    std::function<void(const std::string&)> onStart;

    void setDocumentLocator(const Locator* l) override {
        locator = l;
        events.push_back("locator");
    }
    void startDocument() override { events.push_back("startDocument"); }
    void endDocument() override { events.push_back("endDocument"); }
    void startElement(const unsigned char* name, const AttributeList& list) override {
        std::string e = "start " + str(name);
        for (unsigned i = 0; i < list.getLength(); ++i) {
            e += " " + str(list.getName(i)) + "=" + str(list.getValue(i)) + ":" +
                 str(list.getType(i));
        }
        events.push_back(e);
        if (onStart) onStart(str(name));
    }
    void endElement(const unsigned char* name) override {
        events.push_back("end " + str(name));
    }
    void characters(const unsigned char* chars, unsigned start, unsigned length) override {
        events.push_back("chars " + std::string(reinterpret_cast<const char*>(chars) + start, length));
        ++characterCalls;
    }
    void notationDecl(const unsigned char* n, const unsigned char* p,
                      const unsigned char* s) override {
        events.push_back("notation " + str(n) + " " + str(p) + " " + str(s));
    }
    void unparsedEntityDecl(const unsigned char* n, const unsigned char* p,
                            const unsigned char* s, const unsigned char* notation) override {
        events.push_back("unparsed " + str(n) + " " + str(p) + " " + str(s) + " " + str(notation));
    }
    void fatalError(const SAXParseException& e) override {
        events.push_back("fatal " + str(e.getMessage()) + " @" + std::to_string(e.getLineNumber()) +
                         ":" + std::to_string(e.getColumnNumber()) + " " + str(e.getSystemId()));
        if (rethrowFatal) HandlerBase::fatalError(e);
    }

    // The events with adjacent text calls joined into one.
    std::vector<std::string> merged() const {
        std::vector<std::string> out;
        for (const std::string& e : events) {
            bool text = e.rfind("chars ", 0) == 0;
            if (text && !out.empty() && out.back().rfind("chars ", 0) == 0) {
                out.back() += e.substr(6);
            } else {
                out.push_back(e);
            }
        }
        return out;
    }

    int characterCalls = 0;
    bool rethrowFatal = false;
};

using Events = std::vector<std::string>;

// A byte stream over a string that logs how the driver uses it.
struct StreamLog {
    std::vector<std::string> calls;
    bool destroyed = false;
};

class LoggingStream : public InputStreamByte {
public:
    LoggingStream(std::string bytes, StreamLog& log) : _bytes(std::move(bytes)), _log(log) {}
    ~LoggingStream() override { _log.destroyed = true; }
    bool eof() const override {
        bool end = _pos == _bytes.size();
        _log.calls.push_back(end ? "eof" : "more");
        return end;
    }
    unsigned long read(unsigned char* buffer, unsigned long size) override {
        unsigned long n = std::min<unsigned long>(size, _bytes.size() - _pos);
        _bytes.copy(reinterpret_cast<char*>(buffer), n, _pos);
        _pos += n;
        _log.calls.push_back("read " + std::to_string(size) + "=" + std::to_string(n));
        return n;
    }

private:
    std::string _bytes;
    size_t _pos = 0;
    StreamLog& _log;
};

class StringSource : public InputSource {
public:
    explicit StringSource(std::string bytes) : InputSource("mem.xml"), _bytes(std::move(bytes)) {}
    InputStreamByte* getByteStream() override { return new LoggingStream(_bytes, log); }
    StreamLog log;

private:
    std::string _bytes;
};

class DriverTextTest : public ::testing::Test {
protected:
    DriverTextTest() {
        driver.setDocumentHandler(&recorder);
        driver.setDTDHandler(&recorder);
        driver.setErrorHandler(&recorder);
    }
    Events parse(const std::string& xml) {
        StringSource source(xml);
        driver.parse(source);
        EXPECT_TRUE(source.log.destroyed);
        return recorder.merged();
    }

    DriverText driver;
    Recorder recorder;
};

TEST_F(DriverTextTest, ElementsAndAttributesInDocumentOrder) {
    Events got = parse("<r><e b=\"2\" a='one &amp; two'/><f/></r>");
    Events want = {"locator", "startDocument", "start r",
                   "start e b=2:CDATA a=one & two:CDATA", "end e", "start f", "end f",
                   "end r", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, TextKeepsWhitespaceReferencesAndCdata) {
    Events got = parse("<r>\n  a&lt;b&#233;<![CDATA[<x>&amp;]]>\n</r>");
    Events want = {"locator", "startDocument", "start r",
                   "chars \n  a<b\xC3\xA9<x>&amp;\n", "end r", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, InternalEntitiesAreExpandedIntoText) {
    Events got = parse(
        "<!DOCTYPE r [<!ENTITY who \"wide &amp; <b>bold</b> world\">]>"
        "<r>hello &who;!</r>");
    Events want = {"locator", "startDocument", "start r", "chars hello wide & ",
                   "start b", "chars bold", "end b", "chars  world!", "end r", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, CommentsAndProcessingInstructionsGiveNoEvent) {
    Events got = parse("<?xml version=\"1.0\"?><!--c--><?pi data?><r><!--x--><?p d?></r><!--t-->");
    Events want = {"locator", "startDocument", "start r", "end r", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, DeclarationsReachTheDtdHandler) {
    Events got = parse(
        "<!DOCTYPE r [<!NOTATION gif PUBLIC \"-//GIF\" \"gif.exe\">"
        "<!ENTITY pic SYSTEM \"pic.gif\" NDATA gif>]><r/>");
    Events want = {"locator", "startDocument", "notation gif -//GIF gif.exe",
                   "unparsed pic <null> pic.gif gif", "start r", "end r", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, ExternalEntitiesAreNotReadAndNamesKeepPrefixes) {
    Events got = parse(
        "<!DOCTYPE r SYSTEM \"missing.dtd\" [<!ENTITY ext SYSTEM \"missing.ent\">]>"
        "<x:r xmlns:x=\"urn:x\">a&ext;b</x:r>");
    Events want = {"locator", "startDocument", "start x:r xmlns:x=urn:x:CDATA", "chars ab",
                   "end x:r", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, EmptyInputNeverReachesTheParser) {
    StringSource source("");
    driver.parse(source);
    EXPECT_EQ(recorder.events, (Events{"locator", "startDocument", "endDocument"}));
    EXPECT_EQ(source.log.calls, (std::vector<std::string>{"eof"}));
}

TEST_F(DriverTextTest, FeedsChunksOf256WithTheFinalFlagFromTheSecondEof) {
    for (size_t size : {size_t(255), size_t(256), size_t(257), size_t(513)}) {
        SCOPED_TRACE(size);
        // A 3-byte UTF-8 character straddles the boundary at byte 256.
        std::string head = "<r>";
        std::string text(size - head.size() - 4, 'x');
        if (size > 300) text.replace(256 - head.size() - 1, 3, "\xE2\x82\xAC");
        StringSource source(head + text + "</r>");
        ASSERT_EQ(head.size() + text.size() + 4, size);
        Recorder fresh;
        driver.setDocumentHandler(&fresh);
        driver.parse(source);
        EXPECT_EQ(fresh.merged(), (Events{"locator", "startDocument", "start r",
                                          "chars " + text, "end r", "endDocument"}));
        // Per chunk: eof asked, read, eof asked again for the final flag.
        std::vector<std::string> want;
        for (size_t done = 0; done < size; done += 256) {
            want.push_back("more");
            want.push_back("read 256=" + std::to_string(std::min<size_t>(256, size - done)));
            want.push_back(done + 256 >= size ? "eof" : "more");
        }
        EXPECT_EQ(source.log.calls, want);
    }
}

TEST_F(DriverTextTest, UnknownEncodingIsFatal) {
    Events got = parse("<?xml version=\"1.0\" encoding=\"x-tarn-unknown\"?><r>t</r>");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2].rfind("fatal unknown encoding @1:", 0), 0u) << got[2];
    EXPECT_EQ(got[3], "endDocument");
}

TEST_F(DriverTextTest, CutOffDocumentReportsPositionAndSource) {
    tarn_test::TempDir tmp;
    const std::string file = tarn_test::writeText(tmp.file("cut.xml"), "<r>\n  <e>text");
    driver.parse(file.c_str());
    Events want = {"locator", "startDocument", "start r", "chars \n  ", "start e", "chars text",
                   "fatal no element found @2:9 " + file, "endDocument"};
    EXPECT_EQ(recorder.merged(), want);
}

TEST_F(DriverTextTest, MalformedTextStopsAtTheError) {
    Events got = parse("<r>\n<a></b>\n<c/></r>");
    Events want = {"locator", "startDocument", "start r", "chars \n", "start a",
                   "fatal mismatched tag @2:5 mem.xml", "endDocument"};
    EXPECT_EQ(got, want);
}

TEST_F(DriverTextTest, WithoutErrorHandlerParseThrowsAndSkipsEndDocument) {
    driver.setErrorHandler(nullptr);
    StringSource source("<r>");
    try {
        driver.parse(source);
        FAIL() << "no exception";
    } catch (const SAXParseException& e) {
        EXPECT_EQ(str(e.getMessage()), "no element found");
        EXPECT_EQ(str(e.getSystemId()), "mem.xml");
        EXPECT_EQ(e.getLineNumber(), 1);
    }
    EXPECT_TRUE(source.log.destroyed);
    EXPECT_EQ(recorder.events.back(), "start r");
}

TEST_F(DriverTextTest, DefaultFatalErrorEndsParseWithTheException) {
    recorder.rethrowFatal = true;
    StringSource source("<r><</r>");
    EXPECT_THROW(driver.parse(source), SAXParseException);
    EXPECT_NE(recorder.events.back(), "endDocument");
    EXPECT_TRUE(source.log.destroyed);
}

TEST_F(DriverTextTest, MissingFileFailsBeforeAnyEvent) {
    try {
        driver.parse("/nonexistent/tarn/doc.xml");
        FAIL() << "no exception";
    } catch (const SAXException& e) {
        EXPECT_EQ(str(e.getMessage()).rfind("CreateFile() failed", 0), 0u);
    }
    EXPECT_TRUE(recorder.events.empty());
    InputSource noStream("x.xml");
    EXPECT_THROW(driver.parse(noStream), SAXException);
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(DriverTextTest, LocatorFollowsTheParse) {
    std::vector<std::string> positions;
    recorder.onStart = [&](const std::string& name) {
        positions.push_back(name + "@" + std::to_string(recorder.locator->getLineNumber()) + ":" +
                            std::to_string(recorder.locator->getColumnNumber()) + " " +
                            str(recorder.locator->getSystemId()));
    };
    parse("<r>\n\n   <e/></r>");
    EXPECT_EQ(positions, (std::vector<std::string>{"r@1:0 mem.xml", "e@3:3 mem.xml"}));
}

TEST_F(DriverTextTest, ParseFromInsideACallbackIsRefusedAndTheParseGoesOn) {
    std::vector<std::string> refusals;
    recorder.onStart = [&](const std::string& name) {
        if (name != "e") return;
        StringSource inner("<other/>");
        for (int overload = 0; overload < 3; ++overload) {
            try {
                if (overload == 0) driver.parse(inner);
                if (overload == 1) driver.parse("inner.xml");
                if (overload == 2) driver.parse(reinterpret_cast<const unsigned char*>("inner.xml"));
            } catch (const SAXException& e) {
                refusals.push_back(str(e.getMessage()));
            }
        }
    };
    Events got = parse("<r><e/>tail</r>");
    EXPECT_EQ(refusals, (std::vector<std::string>(3, "Already parsing")));
    EXPECT_EQ(got, (Events{"locator", "startDocument", "start r", "start e", "end e",
                           "chars tail", "end r", "endDocument"}));
}

TEST_F(DriverTextTest, RefusalLeftToEscapeEndsTheOuterParse) {
    recorder.onStart = [&](const std::string&) { driver.parse("inner.xml"); };
    StringSource source("<r/>");
    try {
        driver.parse(source);
        FAIL() << "no exception";
    } catch (const SAXException& e) {
        EXPECT_EQ(str(e.getMessage()), "Already parsing");
    }
    EXPECT_TRUE(source.log.destroyed);
    recorder.onStart = nullptr;
    recorder.events.clear();
    EXPECT_EQ(parse("<ok/>"), (Events{"locator", "startDocument", "start ok", "end ok",
                                      "endDocument"}));
}

TEST_F(DriverTextTest, HandlerExceptionLeavesParseUnchangedAndStopsEvents) {
    recorder.onStart = [](const std::string& name) {
        if (name == "b") throw SAXException("store failed");
    };
    StringSource source("<r><a/><b/><c/>" + std::string(2000, ' ') + "<d/></r>");
    try {
        driver.parse(source);
        FAIL() << "no exception";
    } catch (const SAXParseException&) {
        FAIL() << "the handler's exception was replaced";
    } catch (const SAXException& e) {
        EXPECT_EQ(str(e.getMessage()), "store failed");
    }
    EXPECT_TRUE(source.log.destroyed);
    EXPECT_EQ(recorder.events.back(), "start b");
    // Expat was stopped: the rest of the input was never read.
    EXPECT_LT(source.log.calls.size(), 6u);
}

TEST_F(DriverTextTest, AnyExceptionTypeCrossesExpatSafely) {
    recorder.onStart = [](const std::string&) { throw std::runtime_error("boom"); };
    StringSource source("<r/>");
    EXPECT_THROW(driver.parse(source), std::runtime_error);
    EXPECT_TRUE(source.log.destroyed);
}

TEST_F(DriverTextTest, SecondParseWithTheSameDriver) {
    parse("<first a=\"1\">x</first>");
    recorder.events.clear();
    EXPECT_EQ(parse("<second>y</second>"),
              (Events{"locator", "startDocument", "start second", "chars y", "end second",
                      "endDocument"}));
    recorder.events.clear();
    parse("<broken>");
    recorder.events.clear();
    EXPECT_EQ(parse("<!DOCTYPE t [<!ENTITY e \"E\">]><t>&e;</t>"),
              (Events{"locator", "startDocument", "start t", "chars E", "end t",
                      "endDocument"}));
}

TEST_F(DriverTextTest, NoHandlersStillParses) {
    DriverText bare;
    StringSource good("<r><e/></r>");
    bare.parse(good);
    StringSource bad("<r>");
    EXPECT_THROW(bare.parse(bad), SAXParseException);
}

TEST_F(DriverTextTest, TwoDriversKeepTheirOwnState) {
    DriverText other;
    Recorder otherRecorder;
    other.setDocumentHandler(&otherRecorder);
    recorder.onStart = [&](const std::string& name) {
        if (name != "outer") return;
        StringSource inner("<inner>i</inner>");
        other.parse(inner);
    };
    Events got = parse("<outer>" + std::string(600, 'o') + "</outer>");
    EXPECT_EQ(got[3], "chars " + std::string(600, 'o'));
    EXPECT_EQ(otherRecorder.merged()[3], "chars i");
}

}  // namespace
}  // namespace LumXMLSAX
