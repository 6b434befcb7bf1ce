// What goes in comes back: generated documents, loaded with xmlload and
// printed with xmldump, parse (with expat alone) to the same elements,
// attributes in order and text as the documents themselves. The documents
// mix what a parser turns into something else on the way in (entities,
// character references, CDATA sections, line ends, white space in attribute
// values, several encodings) with what it must keep (CR as a reference,
// tabs and line breaks in attribute values, text directly in the root).
#include <expat.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "tests/tools/tool_runner.h"

namespace {

using tarntest::runTool;
using tarntest::ToolResult;

// Events as one string: every name, value and text run length-prefixed, so
// that no content can pass for structure.
class Canonical {
public:
    // Empty when `xml` is not well-formed.
    static std::string of(const std::string& xml) {
        Canonical c;
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetUserData(parser, &c);
        XML_SetElementHandler(parser, start, end);
        XML_SetCharacterDataHandler(parser, text);
        const bool ok = XML_Parse(parser, xml.data(), int(xml.size()), 1) == XML_STATUS_OK;
        XML_ParserFree(parser);
        return ok ? c._events : std::string();
    }

private:
    void put(char kind, const std::string& s) {
        _events += kind + std::to_string(s.size()) + ":" + s;
    }
    void flush() {
        if (!_text.empty()) put('T', _text);
        _text.clear();
    }
    static void start(void* self, const XML_Char* name, const XML_Char** attributes) {
        auto* c = static_cast<Canonical*>(self);
        c->flush();
        c->put('S', name);
        for (int i = 0; attributes[i] != nullptr; i += 2) {
            c->put('A', attributes[i]);
            c->put('V', attributes[i + 1]);
        }
    }
    static void end(void* self, const XML_Char* name) {
        auto* c = static_cast<Canonical*>(self);
        c->flush();
        c->put('E', name);
    }
    static void text(void* self, const XML_Char* s, int length) {
        static_cast<Canonical*>(self)->_text.append(s, size_t(length));
    }

    std::string _events;
    std::string _text;
};

enum class Encoding { Utf8, Utf16Le, Utf16Be, Latin1 };

// The code points of UTF-8 text (the generator writes only valid UTF-8).
std::vector<uint32_t> codePoints(const std::string& utf8) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = uint8_t(utf8[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (uint8_t(utf8[i + k]) & 0x3F);
        out.push_back(cp);
        i += size_t(extra) + 1;
    }
    return out;
}

std::string encode(const std::string& utf8, Encoding encoding) {
    if (encoding == Encoding::Utf8) return utf8;
    std::string out;
    const auto unit = [&](uint32_t u) {
        const char hi = char(u >> 8), lo = char(u & 0xFF);
        if (encoding == Encoding::Utf16Le) out += {lo, hi};
        else out += {hi, lo};
    };
    if (encoding != Encoding::Latin1) unit(0xFEFF);
    for (uint32_t cp : codePoints(utf8)) {
        if (encoding == Encoding::Latin1) {
            out += char(cp);
        } else if (cp < 0x10000) {
            unit(cp);
        } else {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

class Generator {
public:
    Generator(unsigned seed, bool latin1) : _random(seed), _latin1(latin1) {}

    std::string document(const char* encodingName) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"" + std::string(encodingName) + "\"?>\n";
        xml += "<!DOCTYPE r [<!ENTITY e \"ent&#38;#38;ity &lt;in&gt;\"> <!ENTITY f \"&#13;\">]>\n";
        xml += element("r", 0);
        return xml + "\n<!-- after -->\n";
    }

private:
    std::string pick(const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(_random)];
    }
    int upTo(int n) { return std::uniform_int_distribution<int>(0, n)(_random); }

    std::string nonAscii() { return _latin1 ? pick({"\xC3\xA9", "\xC3\xBF", "\xC2\xA0"}) : pick({"\xC3\xA9", "\xE9\x9B\xAA", "\xF0\x9F\x98\x80"}); }

    std::string value() {
        std::string v;
        for (int i = upTo(5); i > 0; --i) {
            v += pick({"plain", " ", "&amp;", "&lt;", "&gt;", ">", "&quot;", "'", "&#9;", "&#10;",
                       "&#13;", "&#x20;", "\t", "\n", "\r\n", "&e;", "&f;", "&#233;"});
            if (upTo(4) == 0) v += nonAscii();
        }
        return v;
    }

    std::string text() {
        std::string t;
        for (int i = upTo(4); i > 0; --i) {
            t += pick({"words", " ", "\n", "\r\n", "\r", "\t", "&amp;", "&lt;", "&gt;", "\"", "'",
                       "&#13;", "&#xD;&#xA;", "&e;", "&f;", "<![CDATA[<c> & ]]]]>", "<!-- c -->",
                       "<?pi data?>", "]]&gt;"});
            if (upTo(3) == 0) t += nonAscii();
        }
        return t;
    }

    std::string element(const std::string& name, int depth) {
        std::string xml = "<" + name;
        const std::vector<std::string> names = {"id", "k", "lang", "xmlns", "w", "caf\xC3\xA9"};
        for (int i = 0, n = upTo(3); i < n; ++i) xml += " " + names[size_t(i * 2 + upTo(1))] + "=\"" + value() + "\"";
        if (upTo(5) == 0) return xml + "/>";
        xml += ">" + text();
        for (int i = depth < 4 ? upTo(3) : 0; i > 0; --i) {
            xml += element(pick({"a", "b", "item", "x-y", "n\xC3\xBC"}), depth + 1) + text();
        }
        return xml + "</" + name + ">";
    }

    std::mt19937 _random;
    bool _latin1;
};

TEST(RoundTrip, DumpedDocumentsParseToWhatWasLoaded) {
    tarn_test::TempDir dir;
    const std::string xml = dir.file("in.xml");
    const std::string db = dir.file("in.db");
    const struct {
        Encoding encoding;
        const char* name;
    } kEncodings[] = {{Encoding::Utf8, "UTF-8"},
                      {Encoding::Utf16Le, "UTF-16"},
                      {Encoding::Utf16Be, "UTF-16"},
                      {Encoding::Latin1, "ISO-8859-1"}};
    const unsigned seed = 20261209;
    for (unsigned round = 0; round < 48; ++round) {
        const auto& encoding = kEncodings[round % 4];
        Generator generator(seed + round, encoding.encoding == Encoding::Latin1);
        const std::string utf8 = generator.document(encoding.name);
        SCOPED_TRACE("seed " + std::to_string(seed + round) + ", " + encoding.name + ":\n" + utf8);
        const std::string input = encode(utf8, encoding.encoding);
        const std::string expected = Canonical::of(input);
        ASSERT_FALSE(expected.empty()) << "the generated document is not well-formed";

        tarn_test::writeText(xml, input);
        const ToolResult loaded = runTool({XMLLOAD_PATH, xml, db});
        ASSERT_EQ(loaded.exitStatus, 0) << loaded.err;
        const ToolResult dumped = runTool({XMLDUMP_PATH, db});
        ASSERT_EQ(dumped.exitStatus, 0) << dumped.err;
        EXPECT_EQ(Canonical::of(dumped.out), expected) << "dump:\n" << dumped.out;
    }
}

}  // namespace
