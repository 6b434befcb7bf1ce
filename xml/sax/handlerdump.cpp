#include "xml/sax/handlerdump.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace LumXMLSAX {

// Appends to a writer's buffer; a full buffer goes into stdout, and a piece
// larger than the buffer goes there directly. A string needs no buffer in
// front of it.
class HandlerDumpOutput {
public:
    explicit HandlerDumpOutput(HandlerDump& writer) : _writer(writer) { writer._reserve(); }

    void bytes(const unsigned char* from, std::size_t length) {
        if (length == 0) return;
        if (length > _writer._capacity - _writer._used) {
            _writer._handOn();
            if (length >= _writer._capacity) {
                _writer._write(from, length);
                return;
            }
        }
        std::memcpy(_writer._buffer + _writer._used, from, length);
        _writer._used += length;
    }
    void bytes(const char* text) { bytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text)); }
    void text(const unsigned char* text) {
        if (text != nullptr) bytes(text, std::strlen(reinterpret_cast<const char*>(text)));
    }
    void byte(char ch) {
        const auto one = static_cast<unsigned char>(ch);
        bytes(&one, 1);
    }

private:
    HandlerDump& _writer;
};

namespace {

using Output = HandlerDumpOutput;

// The writer's buffer by Flushing: one that hands its bytes on after every
// event needs no more than an event usually writes.
constexpr std::size_t kEventBuffer = 4096;
constexpr std::size_t kDocumentBuffer = 256 * 1024;

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
// ends at `end` or at a NUL before it. Returns the position after the
// character, or null when the lead byte is a continuation byte.
const unsigned char* decode(const unsigned char* at, const unsigned char* end, uint32_t& ch) {
    const uint32_t lead = *at++;
    if (lead < 0xC0) return nullptr;
    ch = kBadSequence;
    if (lead >= 0xFE) return at;
    const unsigned trail = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
    uint32_t value = lead & (0x3Fu >> trail);
    for (unsigned i = 0; i < trail; ++i) {
        if (at == end || *at == 0) return at;
        const uint32_t next = *at++;
        if ((next & 0xC0) != 0x80) return at;
        value = (value << 6) | (next & 0x3F);
    }
    ch = value;
    return at;
}

// Where the text `begin` to `end` ends once decoded: at a NUL, at an
// overlong NUL, or at `end`. Null when the text is unreadable.
const unsigned char* decodedEnd(const unsigned char* begin, const unsigned char* end) {
    const unsigned char* at = begin;
    while (at != end) {
        if (*at < 0x80) {
            if (*at == 0) return at;
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

// The bytes written as they are in `context`, all of them ASCII: looked up
// once per byte.
struct PlainBytes {
    bool plain[256] = {};
    constexpr explicit PlainBytes(Context context) {
        for (uint32_t ch = 0; ch < 128; ++ch) {
            plain[ch] = isXmlCharacter(ch) && !isMarkup(ch) && !mustReference(ch, context);
        }
    }
};
constexpr PlainBytes kPlainData(Context::Data);
constexpr PlainBytes kPlainAttribute(Context::AttributeValue);

// Writes `ch`, which is not a plain byte, at `to`: an entity for markup,
// else a decimal reference, or the byte itself for ASCII written in more
// bytes than it needs. Returns the end of what it wrote (at most 10 bytes).
unsigned char* escapeCharacter(unsigned char* to, uint32_t ch, Context context) {
    if (!isXmlCharacter(ch)) ch = kReplacementCharacter;
    const char* entity = nullptr;
    switch (ch) {
        case '"': entity = "&quot;"; break;
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        default: break;
    }
    if (entity != nullptr) {
        const std::size_t length = std::strlen(entity);
        std::memcpy(to, entity, length);
        return to + length;
    }
    if (ch < 128 && !mustReference(ch, context)) {
        *to = static_cast<unsigned char>(ch);
        return to + 1;
    }
    unsigned char digits[8];
    unsigned char* digit = digits + sizeof digits;
    do {
        *--digit = static_cast<unsigned char>('0' + ch % 10);
        ch /= 10;
    } while (ch != 0);
    *to++ = '&';
    *to++ = '#';
    const auto count = static_cast<std::size_t>(digits + sizeof digits - digit);
    std::memcpy(to, digit, count);
    to[count] = ';';
    return to + count + 1;
}

// Text is escaped a piece at a time on the stack. An input byte gives at most
// 8 output bytes ("&#65533;"), and a character begun in a piece may run on
// past its end by 5 bytes, which give at most one more reference.
constexpr std::size_t kPieceInput = 480;
constexpr std::size_t kPieceOutput = 8 * kPieceInput + 16;

enum class Piece { More, Ended, Unreadable };

// Escapes the characters that begin in `at` to `pieceEnd` (the text ends at
// `end`) into `to`; `at` and `to` move past what was done.
template <Context context>
Piece escapePiece(const unsigned char*& at, const unsigned char* pieceEnd,
                  const unsigned char* end, unsigned char*& to) {
    const bool* plain = (context == Context::Data ? kPlainData : kPlainAttribute).plain;
    while (at < pieceEnd) {
        const unsigned char* run = at;
        while (at < pieceEnd && plain[*at]) ++at;
        std::memcpy(to, run, static_cast<std::size_t>(at - run));
        to += at - run;
        if (at == pieceEnd) break;
        uint32_t ch = *at;
        if (ch == 0) return Piece::Ended;
        if (ch < 0x80) {
            ++at;
        } else {
            const unsigned char* next = decode(at, end, ch);
            if (next == nullptr) return Piece::Unreadable;
            if (ch == 0) return Piece::Ended;
            at = next;
        }
        to = escapeCharacter(to, ch, context);
    }
    return Piece::More;
}

// Writes the text `begin` to `end`, or to a NUL before it, escaped. A text
// of one piece is checked as it goes, since nothing of it is out before its
// end; a longer one is checked whole first.
void writeEscaped(Output& out, const unsigned char* begin, const unsigned char* end,
                  Context context) {
    if (static_cast<std::size_t>(end - begin) > kPieceInput) {
        end = decodedEnd(begin, end);
        if (end == nullptr) return;
    }
    unsigned char piece[kPieceOutput];
    const unsigned char* at = begin;
    while (at < end) {
        const std::size_t left = static_cast<std::size_t>(end - at);
        unsigned char* to = piece;
        const unsigned char* pieceEnd = at + (left < kPieceInput ? left : kPieceInput);
        const Piece result = context == Context::Data
                                 ? escapePiece<Context::Data>(at, pieceEnd, end, to)
                                 : escapePiece<Context::AttributeValue>(at, pieceEnd, end, to);
        if (result == Piece::Unreadable) return;
        out.bytes(piece, static_cast<std::size_t>(to - piece));
        if (result == Piece::Ended) return;
    }
}

}  // namespace

HandlerDump::HandlerDump(const HandlerDump& other)
    : HandlerBase(other), _flushing(other._flushing), _sink(other._sink) {}

HandlerDump& HandlerDump::operator=(const HandlerDump& other) {
    if (this != &other) {
        _handOn();
        HandlerBase::operator=(other);
        _flushing = other._flushing;
        _sink = other._sink;
    }
    return *this;
}

HandlerDump::~HandlerDump() {
    _handOn();
    if (_flushing == Flushing::AtEnd && _sink == nullptr) std::fflush(stdout);
    std::free(_buffer);
}

void HandlerDump::flush() {
    _handOn();
    if (_sink == nullptr) std::fflush(stdout);
}

void HandlerDump::_handOn() {
    if (_used != 0) _write(_buffer, _used);
    _used = 0;
}

void HandlerDump::_write(const unsigned char* bytes, std::size_t length) {
    if (_sink != nullptr) {
        _sink->append(reinterpret_cast<const char*>(bytes), length);
    } else {
        std::fwrite(bytes, 1, length, stdout);
    }
}

void HandlerDump::_reserve() {
    if (_buffer != nullptr || _sink != nullptr) return;
    _capacity = _flushing == Flushing::AtEnd ? kDocumentBuffer : kEventBuffer;
    _buffer = static_cast<unsigned char*>(std::malloc(_capacity));
    if (_buffer == nullptr) _capacity = 0;
}

// With Flushing::AfterEvents an event's bytes are in stdout when it returns,
// and the events that end a run of output flush it.
void HandlerDump::_afterEvent(bool flushes) {
    if (_flushing != Flushing::AfterEvents || _sink != nullptr) return;
    _handOn();
    if (flushes) std::fflush(stdout);
}

void HandlerDump::startDocument() {
    Output(*this).bytes("<?xml version=\"1.0\"?>");
    _afterEvent(false);
}

void HandlerDump::endDocument() {
    Output(*this).byte('\n');
    flush();
}

void HandlerDump::ignorableWhitespace(const unsigned char* chars, unsigned int start,
                                      unsigned int length) {
    if (chars != nullptr) Output(*this).bytes(chars + start, length);
    _afterEvent(true);
}

void HandlerDump::startElement(const unsigned char* name, const AttributeList& attributes) {
    Output out(*this);
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
    _afterEvent(false);
}

void HandlerDump::endElement(const unsigned char* name) {
    Output out(*this);
    out.bytes("</");
    out.text(name);
    out.byte('>');
    _afterEvent(true);
}

void HandlerDump::characters(const unsigned char* chars, unsigned int start,
                             unsigned int length) {
    if (chars != nullptr && length != 0) {
        Output out(*this);
        writeEscaped(out, chars + start, chars + start + length, Context::Data);
    }
    _afterEvent(true);
}

void HandlerDump::setOutputEncoding(const char*) {}

const char* HandlerDump::getOutputEncoding() const { return "US-ASCII"; }

}  // namespace LumXMLSAX
