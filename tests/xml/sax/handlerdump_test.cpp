#include "xml/sax/handlerdump.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "encoding/encoding.h"
#include "xml/sax/attributelist.h"

using LumXMLSAX::AttributeListImpl;
using LumXMLSAX::HandlerDump;

namespace {

const unsigned char* u(const char* text) { return reinterpret_cast<const unsigned char*>(text); }

// Sends file descriptor 1 to a temporary file for the life of the object.
// Reads go through the descriptor, so they see only what the handler has
// actually handed over (flushed), never what waits in stdout's buffer.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char path[] = "/tmp/handlerdump_XXXXXX";
        _file = mkstemp(path);
        unlink(path);
        _saved = dup(1);
        dup2(_file, 1);
    }
    ~StdoutCapture() { restore(); }

    // What reached the descriptor so far.
    std::string flushed() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        off_t offset = 0;
        while ((n = pread(_file, buffer, sizeof buffer, offset)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
            offset += n;
        }
        return text;
    }

    // Flushes whatever is pending, puts fd 1 back and returns everything.
    std::string finish() {
        std::fflush(stdout);
        std::string text = flushed();
        restore();
        return text;
    }

private:
    void restore() {
        if (_saved < 0) return;
        std::fflush(stdout);
        dup2(_saved, 1);
        close(_saved);
        close(_file);
        _saved = -1;
    }

    int _file = -1;
    int _saved = -1;
};

std::string dumpCharacters(const std::string& text, unsigned int start = 0) {
    HandlerDump dump;
    StdoutCapture capture;
    dump.characters(u(text.c_str()), start, static_cast<unsigned int>(text.size() - start));
    return capture.finish();
}

TEST(HandlerDumpCharacters, EscapesMarkupAndEveryCharacterFrom128) {
    EXPECT_EQ(dumpCharacters("x\"y&z"), "x&quot;y&amp;z");
    EXPECT_EQ(dumpCharacters("a<b>c"), "a&lt;b&gt;c");
    EXPECT_EQ(dumpCharacters("it's"), "it's");
    EXPECT_EQ(dumpCharacters("\xC3\xA9"), "&#233;");
    EXPECT_EQ(dumpCharacters("\xC2\x80"), "&#128;");
    EXPECT_EQ(dumpCharacters("\x7F"), "\x7F");
    EXPECT_EQ(dumpCharacters("\xE9\x9B\xAA"), "&#38634;");
    EXPECT_EQ(dumpCharacters("\xF0\x9F\x98\x80!"), "&#128512;!");
    EXPECT_EQ(dumpCharacters("line\nbreak\ttab"), "line\nbreak\ttab");
}

TEST(HandlerDumpCharacters, WritesOnlyTheGivenRun) {
    EXPECT_EQ(dumpCharacters("skip<kept", 4), "&lt;kept");
    HandlerDump dump;
    StdoutCapture capture;
    dump.characters(u("abcdef"), 1, 3);
    dump.characters(u("abc"), 0, 0);
    EXPECT_EQ(capture.finish(), "bcd");
}

TEST(HandlerDumpCharacters, NulEndsTheText) {
    EXPECT_EQ(dumpCharacters(std::string("ab\0cd", 5)), "ab");
}

TEST(HandlerDumpCharacters, OutputStaysWellFormedForBadText) {
    // Malformed sequences and characters XML cannot carry.
    EXPECT_EQ(dumpCharacters("bad\xC3"), "bad&#65533;");
    EXPECT_EQ(dumpCharacters("\xFF\xFE"), "&#65533;&#65533;");
    EXPECT_EQ(dumpCharacters("a\x01\x1F\tb\rc"), "a&#65533;&#65533;\tb&#13;c");
    EXPECT_EQ(dumpCharacters("\xED\xA0\x80"), "&#65533;");
    EXPECT_EQ(dumpCharacters("\xEF\xBF\xBE\xEF\xBF\xBD"), "&#65533;&#65533;");
    EXPECT_EQ(dumpCharacters("\xF4\x90\x80\x80"), "&#65533;");
    // The converter rejects a continuation byte in lead position: the call
    // writes nothing.
    HandlerDump dump;
    StdoutCapture capture;
    dump.characters(u("ok"), 0, 2);
    dump.characters(u("x\x80y"), 0, 3);
    dump.characters(u("!"), 0, 1);
    EXPECT_EQ(capture.finish(), "ok!");
}

// The escaping as its rules are stated: the text converted to UCS-4 by the
// library's converter (nothing when it refuses), then one character at a
// time.
std::string modelEscaped(const std::string& text, bool attribute) {
    const void* converted = nullptr;
    void* toFree = nullptr;
    uint32_t size = 0;
    if (tarn::enc::EncodingConvert(tarn::enc::kUtf8, tarn::enc::kUcs4Be, text.c_str(), &converted,
                                   &toFree, &size) != 0) {
        return "";
    }
    std::string out;
    const auto* units = static_cast<const unsigned char*>(converted);
    for (uint32_t at = 0; at + 4 <= size; at += 4) {
        uint32_t ch = (uint32_t{units[at]} << 24) | (uint32_t{units[at + 1]} << 16) |
                      (uint32_t{units[at + 2]} << 8) | units[at + 3];
        if (ch == 0) break;
        const bool xmlChar = ch < 0x20 ? ch == '\t' || ch == '\n' || ch == '\r'
                                       : (ch < 0xD800 || ch > 0xDFFF) && ch != 0xFFFE &&
                                             ch != 0xFFFF && ch <= 0x10FFFF;
        if (!xmlChar) ch = 0xFFFD;
        if (ch == '"') out += "&quot;";
        else if (ch == '&') out += "&amp;";
        else if (ch == '<') out += "&lt;";
        else if (ch == '>') out += "&gt;";
        else if (ch >= 128 || ch == '\r' || (attribute && (ch == '\t' || ch == '\n')))
            out += "&#" + std::to_string(ch) + ";";
        else out += static_cast<char>(ch);
    }
    std::free(toFree);
    return out;
}

// Random runs of the bytes that matter to a decoder: markup, white space,
// controls, NUL, continuation and lead bytes of every length.
TEST(HandlerDumpCharacters, EscapingMatchesTheConverterOnRandomBytes) {
    constexpr uint32_t kSeed = 20250322;
    std::mt19937 random(kSeed);
    static const char kBytes[] =
        "a\"&<>\t\n\r\x01\x7F\0\x80\xBF\xA9\xC0\xC3\xDF\xE2\xED\xEF\xF0\xF4\xF8\xFC\xFE\xFF";
    const std::string alphabet(kBytes, sizeof kBytes - 1);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            // Every other byte a continuation byte, so that long sequences form.
            text += random() % 2 ? static_cast<char>(0x80 + random() % 64)
                                 : alphabet[random() % alphabet.size()];
        }
        // Now and then a text longer than the writer escapes at a time, its
        // characters across the pieces' ends, and what may spoil it last.
        if (round % 50 == 0) {
            std::string longer;
            while (longer.size() < 10000) longer += "ab\xE2\x82\xAC&c";
            text = longer + text;
        }
        SCOPED_TRACE("seed " + std::to_string(kSeed) + " round " + std::to_string(round));
        EXPECT_EQ(dumpCharacters(text), modelEscaped(text, false));
        HandlerDump dump;
        AttributeListImpl attributes;
        attributes.addAttribute(u("a"), u("CDATA"), u(text.c_str()));
        StdoutCapture capture;
        dump.startElement(u("e"), attributes);
        EXPECT_EQ(capture.finish(), "<e a=\"" + modelEscaped(text, true) + "\">");
    }
}

TEST(HandlerDumpDocument, DeclarationTagsAndFinalLineFeed) {
    HandlerDump dump;
    AttributeListImpl attributes;
    attributes.addAttribute(u("k"), u("CDATA"), u("v"));
    AttributeListImpl none;
    StdoutCapture capture;
    dump.startDocument();
    dump.startElement(u("a"), attributes);
    dump.characters(u("x<y"), 0, 3);
    dump.startElement(u("e"), none);
    dump.endElement(u("e"));
    dump.endElement(u("a"));
    dump.endDocument();
    EXPECT_EQ(capture.finish(), "<?xml version=\"1.0\"?><a k=\"v\">x&lt;y<e></e></a>\n");
}

TEST(HandlerDumpDocument, AttributeValuesAreEscapedNamesAreNot) {
    HandlerDump dump;
    AttributeListImpl attributes;
    attributes.addAttribute(u("q"), u("CDATA"), u("say \"hi\" & <go>"));
    attributes.addAttribute(u("caf\xC3\xA9"), u("CDATA"), u("\xC3\xA9t\xC3\xA9"));
    attributes.addAttribute(u("empty"), u("CDATA"), u(""));
    attributes.addAttribute(u("bad"), u("CDATA"), u("\xC3"));
    attributes.addAttribute(u("rejected"), u("CDATA"), u("\x80"));
    attributes.addAttribute(u("apos"), u("CDATA"), u("it's"));
    attributes.addAttribute(u("ws"), u("CDATA"), u("a\tb\nc\rd e"));
    StdoutCapture capture;
    dump.startElement(u("e"), attributes);
    EXPECT_EQ(capture.finish(),
              "<e q=\"say &quot;hi&quot; &amp; &lt;go&gt;\" caf\xC3\xA9=\"&#233;t&#233;\" "
              "empty=\"\" bad=\"&#65533;\" rejected=\"\" apos=\"it's\" "
              "ws=\"a&#9;b&#10;c&#13;d e\">");
}

TEST(HandlerDumpDocument, IgnorableWhitespaceIsWrittenUnchanged) {
    HandlerDump dump;
    StdoutCapture capture;
    dump.ignorableWhitespace(u("  <&\xC3\xA9\n"), 1, 5);
    EXPECT_EQ(capture.finish(), " <&\xC3\xA9");
}

// Whatever buffering stdout has, these events hand their bytes to the
// descriptor before they return.
TEST(HandlerDumpFlushing, EventsThatFlush) {
    HandlerDump dump;
    AttributeListImpl none;
    StdoutCapture capture;
    dump.startDocument();
    dump.startElement(u("a"), none);
    dump.characters(u("t"), 0, 1);
    EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t");
    dump.startElement(u("b"), none);
    dump.endElement(u("b"));
    EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t<b></b>");
    dump.ignorableWhitespace(u(" "), 0, 1);
    EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t<b></b> ");
    dump.endElement(u("a"));
    dump.endDocument();
    EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t<b></b> </a>\n");
    dump.startDocument();
    dump.characters(u(""), 0, 0);
    EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t<b></b> </a>\n<?xml version=\"1.0\"?>");
}

// Held back by the writer itself, whatever stdout's buffering: even a flush
// of stdout by someone else does not bring them out.
TEST(HandlerDumpFlushing, AtEndHandsOnAtEndDocumentFlushAndDestruction) {
    AttributeListImpl none;
    StdoutCapture capture;
    {
        HandlerDump dump(HandlerDump::Flushing::AtEnd);
        dump.startDocument();
        dump.startElement(u("a"), none);
        dump.characters(u("t"), 0, 1);
        dump.ignorableWhitespace(u(" "), 0, 1);
        dump.endElement(u("a"));
        std::fflush(stdout);
        EXPECT_EQ(capture.flushed(), "");
        dump.endDocument();
        EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t </a>\n");
        dump.startElement(u("b"), none);
        HandlerDump copy(dump);
        copy.endElement(u("c"));
        std::fflush(stdout);
        EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t </a>\n");
        dump.flush();
        EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t </a>\n<b>");
        dump.characters(u("d"), 0, 1);
    }
    // The copy goes first.
    EXPECT_EQ(capture.flushed(), "<?xml version=\"1.0\"?><a>t </a>\n<b></c>d");
}

}  // namespace
