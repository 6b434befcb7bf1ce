#include "xml/sax/handlerdump.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "encoding/encoding.h"

namespace LumXMLSAX {

namespace {

void put(const char* bytes, std::size_t length) {
    if (length != 0) std::fwrite(bytes, 1, length, stdout);
}

void put(const std::string& text) { put(text.data(), text.size()); }

void put(const unsigned char* text) {
    if (text != nullptr) put(reinterpret_cast<const char*>(text), std::strlen(reinterpret_cast<const char*>(text)));
}

uint32_t readUcs4(const unsigned char* unit) {
    return (uint32_t{unit[0]} << 24) | (uint32_t{unit[1]} << 16) |
           (uint32_t{unit[2]} << 8) | uint32_t{unit[3]};
}

// Characters XML cannot carry, even as references. The converter marks a
// malformed UTF-8 sequence as 0xFFFFFFFF, which falls in here too.
bool isXmlCharacter(uint32_t ch) {
    if (ch < 0x20) return ch == '\t' || ch == '\n' || ch == '\r';
    if (ch >= 0xD800 && ch <= 0xDFFF) return false;
    return ch != 0xFFFE && ch != 0xFFFF && ch <= 0x10FFFF;
}

constexpr uint32_t kReplacementCharacter = 0xFFFD;

// Where the text goes decides which white space a parser would not give back
// as it stands: a CR anywhere (read back as LF), and in an attribute value
// also TAB and LF (read back as spaces).
enum class Context { Data, AttributeValue };

bool mustReference(uint32_t ch, Context context) {
    if (ch == '\r') return true;
    return context == Context::AttributeValue && (ch == '\t' || ch == '\n');
}

void appendCharacter(std::string& out, uint32_t ch, Context context) {
    if (!isXmlCharacter(ch)) ch = kReplacementCharacter;
    switch (ch) {
        case '"': out += "&quot;"; return;
        case '&': out += "&amp;"; return;
        case '<': out += "&lt;"; return;
        case '>': out += "&gt;"; return;
        default: break;
    }
    if (ch >= 128 || mustReference(ch, context)) {
        out += "&#";
        out += std::to_string(ch);
        out += ';';
    } else {
        out += static_cast<char>(ch);
    }
}

// Appends `text` (UTF-8, NUL-terminated) escaped to `out`. Going through
// UCS-4 gives every character one number, whatever its UTF-8 length; text
// the converter rejects adds nothing, and characters XML cannot carry become
// U+FFFD, so that the output stays well-formed.
void appendEscaped(std::string& out, const char* text, Context context) {
    const void* converted = nullptr;
    void* toFree = nullptr;
    uint32_t size = 0;
    if (tarn::enc::EncodingConvert(tarn::enc::kUtf8, tarn::enc::kUcs4Be, text, &converted,
                                   &toFree, &size) != 0) {
        return;
    }
    const auto* units = static_cast<const unsigned char*>(converted);
    for (uint32_t offset = 0; offset + 4 <= size; offset += 4) {
        const uint32_t ch = readUcs4(units + offset);
        if (ch == 0) break;
        appendCharacter(out, ch, context);
    }
    std::free(toFree);
}

}  // namespace

HandlerDump::~HandlerDump() {
    if (_flushing == Flushing::AtEnd) flush();
}

void HandlerDump::flush() { std::fflush(stdout); }

void HandlerDump::_afterEvent() {
    if (_flushing == Flushing::AfterEvents) flush();
}

void HandlerDump::startDocument() { put("<?xml version=\"1.0\"?>", 21); }

void HandlerDump::endDocument() {
    std::fputc('\n', stdout);
    flush();
}

void HandlerDump::ignorableWhitespace(const unsigned char* chars, unsigned int start,
                                      unsigned int length) {
    if (chars != nullptr) put(reinterpret_cast<const char*>(chars) + start, length);
    _afterEvent();
}

void HandlerDump::startElement(const unsigned char* name, const AttributeList& attributes) {
    std::string tag = "<";
    if (name != nullptr) tag += reinterpret_cast<const char*>(name);
    const unsigned int count = attributes.getLength();
    for (unsigned int i = 0; i < count; ++i) {
        const unsigned char* attributeName = attributes.getName(i);
        const unsigned char* value = attributes.getValue(i);
        tag += ' ';
        if (attributeName != nullptr) tag += reinterpret_cast<const char*>(attributeName);
        tag += "=\"";
        if (value != nullptr) appendEscaped(tag, reinterpret_cast<const char*>(value), Context::AttributeValue);
        tag += '"';
    }
    tag += '>';
    put(tag);
}

void HandlerDump::endElement(const unsigned char* name) {
    put("</", 2);
    put(name);
    put(">", 1);
    _afterEvent();
}

void HandlerDump::characters(const unsigned char* chars, unsigned int start,
                             unsigned int length) {
    if (chars != nullptr && length != 0) {
        // The converter reads up to a NUL, which the run does not carry.
        const std::string text(reinterpret_cast<const char*>(chars) + start, length);
        std::string escaped;
        escaped.reserve(length);
        appendEscaped(escaped, text.c_str(), Context::Data);
        put(escaped);
    }
    _afterEvent();
}

void HandlerDump::setOutputEncoding(const char*) {}

const char* HandlerDump::getOutputEncoding() const { return "US-ASCII"; }

}  // namespace LumXMLSAX
