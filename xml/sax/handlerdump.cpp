#include "xml/sax/handlerdump.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace LumXMLSAX {

namespace {

// What one event writes, gathered on the stack and handed to stdout in one
// call (more only for an event larger than the buffer): a call per piece
// would cost more than the pieces.
class Output {
public:
    Output() = default;
    ~Output() { drain(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void bytes(const unsigned char* from, std::size_t length) {
        if (length > sizeof _buffer - _used) {
            drain();
            if (length >= sizeof _buffer) {
                std::fwrite(from, 1, length, stdout);
                return;
            }
        }
        std::memcpy(_buffer + _used, from, length);
        _used += length;
    }
    void bytes(const char* text) { bytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text)); }
    void text(const unsigned char* text) {
        if (text != nullptr) bytes(text, std::strlen(reinterpret_cast<const char*>(text)));
    }
    void byte(char ch) {
        if (_used == sizeof _buffer) drain();
        _buffer[_used++] = static_cast<unsigned char>(ch);
    }
    void reference(uint32_t ch) {
        unsigned char digits[16];
        unsigned char* at = digits + sizeof digits;
        *--at = ';';
        do {
            *--at = static_cast<unsigned char>('0' + ch % 10);
            ch /= 10;
        } while (ch != 0);
        *--at = '#';
        *--at = '&';
        bytes(at, static_cast<std::size_t>(digits + sizeof digits - at));
    }

private:
    void drain() {
        if (_used != 0) std::fwrite(_buffer, 1, _used, stdout);
        _used = 0;
    }

    unsigned char _buffer[4096];
    std::size_t _used = 0;
};

// ---- UTF-8 ---------------------------------------------------------------
// Decoded here rather than by the converter, which would take a buffer per
// text, but by the converter's rules, so that a text reads the same here as
// everywhere else in the library: a malformed sequence is one bad value and
// takes its bytes up to and including the first that is not a continuation
// (never the end of the text); a decoded value of 0 (an overlong NUL) ends
// the text; a continuation byte in lead position makes the whole text
// unreadable, and nothing of it is written.

constexpr uint32_t kBadSequence = 0xFFFFFFFF;

// Decodes the character whose lead byte, 0x80 or above, is at `at`; the text
// ends at `end`. Returns the position after the character, or null when the
// lead byte is a continuation byte.
const unsigned char* decode(const unsigned char* at, const unsigned char* end, uint32_t& ch) {
    const uint32_t lead = *at++;
    if (lead < 0xC0) return nullptr;
    ch = kBadSequence;
    if (lead >= 0xFE) return at;
    const unsigned trail = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
    uint32_t value = lead & (0x3Fu >> trail);
    for (unsigned i = 0; i < trail; ++i) {
        if (at == end) return at;
        const uint32_t next = *at++;
        if ((next & 0xC0) != 0x80) return at;
        value = (value << 6) | (next & 0x3F);
    }
    ch = value;
    return at;
}

// Where the text `begin` to `end` (no NUL inside) ends once decoded: at an
// overlong NUL, or at `end`. Null when the text is unreadable.
const unsigned char* decodedEnd(const unsigned char* begin, const unsigned char* end) {
    const unsigned char* at = begin;
    while (at != end) {
        if (*at < 0x80) {
            ++at;
            continue;
        }
        uint32_t ch = 0;
        const unsigned char* next = decode(at, end, ch);
        if (next == nullptr) return nullptr;
        if (ch == 0) return at;
        at = next;
    }
    return end;
}

// ---- Escaping ------------------------------------------------------------

// Characters XML cannot carry, even as references; a bad sequence falls in
// here too.
constexpr bool isXmlCharacter(uint32_t ch) {
    if (ch < 0x20) return ch == '\t' || ch == '\n' || ch == '\r';
    if (ch >= 0xD800 && ch <= 0xDFFF) return false;
    return ch != 0xFFFE && ch != 0xFFFF && ch <= 0x10FFFF;
}

constexpr uint32_t kReplacementCharacter = 0xFFFD;

constexpr bool isMarkup(uint32_t ch) { return ch == '"' || ch == '&' || ch == '<' || ch == '>'; }

// Where the text goes decides which white space a parser would not give back
// as it stands: a CR anywhere (read back as LF), and in an attribute value
// also TAB and LF (read back as spaces).
enum class Context { Data, AttributeValue };

constexpr bool mustReference(uint32_t ch, Context context) {
    if (ch == '\r') return true;
    return context == Context::AttributeValue && (ch == '\t' || ch == '\n');
}

// The ASCII bytes written as they are, by context: looked up once per byte.
struct PlainBytes {
    bool plain[2][128] = {};
    constexpr PlainBytes() {
        for (uint32_t ch = 0; ch < 128; ++ch) {
            const bool kept = isXmlCharacter(ch) && !isMarkup(ch);
            plain[0][ch] = kept && !mustReference(ch, Context::Data);
            plain[1][ch] = kept && !mustReference(ch, Context::AttributeValue);
        }
    }
    bool operator()(unsigned char ch, Context context) const {
        return ch < 128 && plain[context == Context::Data ? 0 : 1][ch];
    }
};
constexpr PlainBytes kPlain;

// Any character but a plain byte: an entity for markup, else a decimal
// reference, or the byte itself for ASCII written in more bytes than it needs.
void writeCharacter(Output& out, uint32_t ch, Context context) {
    if (!isXmlCharacter(ch)) ch = kReplacementCharacter;
    switch (ch) {
        case '"': out.bytes("&quot;"); return;
        case '&': out.bytes("&amp;"); return;
        case '<': out.bytes("&lt;"); return;
        case '>': out.bytes("&gt;"); return;
        default: break;
    }
    if (ch >= 128 || mustReference(ch, context)) {
        out.reference(ch);
    } else {
        out.byte(static_cast<char>(ch));
    }
}

// Writes the text `begin` to `end` escaped: runs of plain bytes as they are,
// every other character as an entity or a decimal reference.
void writeEscaped(Output& out, const unsigned char* begin, const unsigned char* end,
                  Context context) {
    end = decodedEnd(begin, end);
    if (end == nullptr) return;
    const unsigned char* at = begin;
    while (at != end) {
        const unsigned char* run = at;
        while (at != end && kPlain(*at, context)) ++at;
        out.bytes(run, static_cast<std::size_t>(at - run));
        if (at == end) break;
        uint32_t ch = *at;
        if (ch < 0x80) {
            ++at;
        } else {
            at = decode(at, end, ch);
        }
        writeCharacter(out, ch, context);
    }
}

}  // namespace

HandlerDump::~HandlerDump() {
    if (_flushing == Flushing::AtEnd) flush();
}

void HandlerDump::flush() { std::fflush(stdout); }

void HandlerDump::_afterEvent() {
    if (_flushing == Flushing::AfterEvents) flush();
}

void HandlerDump::startDocument() {
    Output out;
    out.bytes("<?xml version=\"1.0\"?>");
}

void HandlerDump::endDocument() {
    {
        Output out;
        out.byte('\n');
    }
    flush();
}

void HandlerDump::ignorableWhitespace(const unsigned char* chars, unsigned int start,
                                      unsigned int length) {
    if (chars != nullptr) {
        Output out;
        out.bytes(chars + start, length);
    }
    _afterEvent();
}

void HandlerDump::startElement(const unsigned char* name, const AttributeList& attributes) {
    Output out;
    out.byte('<');
    out.text(name);
    const unsigned int count = attributes.getLength();
    for (unsigned int i = 0; i < count; ++i) {
        out.byte(' ');
        out.text(attributes.getName(i));
        out.bytes("=\"");
        if (const unsigned char* value = attributes.getValue(i)) {
            const auto* end = value + std::strlen(reinterpret_cast<const char*>(value));
            writeEscaped(out, value, end, Context::AttributeValue);
        }
        out.byte('"');
    }
    out.byte('>');
}

void HandlerDump::endElement(const unsigned char* name) {
    {
        Output out;
        out.bytes("</");
        out.text(name);
        out.byte('>');
    }
    _afterEvent();
}

void HandlerDump::characters(const unsigned char* chars, unsigned int start,
                             unsigned int length) {
    if (chars != nullptr && length != 0) {
        const unsigned char* begin = chars + start;
        // The run ends at its first NUL, if it holds one.
        const void* nul = std::memchr(begin, 0, length);
        const auto* end = nul != nullptr ? static_cast<const unsigned char*>(nul) : begin + length;
        Output out;
        writeEscaped(out, begin, end, Context::Data);
    }
    _afterEvent();
}

void HandlerDump::setOutputEncoding(const char*) {}

const char* HandlerDump::getOutputEncoding() const { return "US-ASCII"; }

}  // namespace LumXMLSAX
