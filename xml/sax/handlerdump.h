// A handler that writes the events it receives as XML text on the process's
// standard output.
#ifndef TARNXML_SAX_HANDLERDUMP_H
#define TARNXML_SAX_HANDLERDUMP_H

#include "xml/export.h"
#include "xml/sax/handlerbase.h"

namespace LumXMLSAX {

// Writes every event at once to the C stream stdout, without
// indentation, line breaks or checks on the order of events. Character data
// and attribute values are escaped so that the output is pure ASCII and
// well-formed: "&quot;" "&amp;" "&lt;" "&gt;" for the four markup characters,
// "&#N;" (decimal) for every character from 128 up, for carriage return
// ("&#13;", which a parser would read back as a line feed) and, in attribute
// values, for tab and line feed ("&#9;", "&#10;", which a parser would read
// back as spaces), so that the output parses back to what was stored. A
// malformed UTF-8 sequence, and any character XML cannot carry (controls other than tab,
// line feed and carriage return, surrogates, U+FFFE, U+FFFF, values above
// U+10FFFF), is written as "&#65533;"; text the converter rejects outright
// (a stray continuation byte in lead position) is not written at all.
// Empty elements print as "<e></e>".
//
// By default the stream is flushed after endElement, characters,
// ignorableWhitespace and endDocument, and only there (Flushing::AfterEvents).
// Output errors are not reported; the stream keeps its error state.
class TARNXML_API HandlerDump : public HandlerBase {
public:
    // When the writer flushes stdout. Either way every event's bytes are in
    // the stream when the event returns, so whatever else is written through
    // stdout stays in order with them.
    enum class Flushing {
        // After endElement, characters, ignorableWhitespace and endDocument:
        // text written to file descriptor 1 or 2 by other means between
        // events appears where it was written.
        AfterEvents,
        // Only at endDocument, flush() and destruction, and whenever stdout's
        // buffer fills: a whole document costs a few large writes instead of
        // one or more per event. Call flush() before writing to standard
        // error or to the descriptor by other means. The writes are as large
        // as stdout's buffer, which a program sets with setvbuf before its
        // first output.
        AtEnd,
    };

    // Flushing::AfterEvents.
    HandlerDump() = default;
    explicit HandlerDump(Flushing flushing) : _flushing(flushing) {}
    // A copy writes with the same Flushing.
    HandlerDump(const HandlerDump&) = default;
    HandlerDump& operator=(const HandlerDump&) = default;
    // With Flushing::AtEnd, flushes stdout; otherwise nothing.
    ~HandlerDump() override;

    // The 21 bytes <?xml version="1.0"?>, no line break.
    void startDocument() override;
    // One line feed.
    void endDocument() override;
    // The bytes unchanged.
    void ignorableWhitespace(const unsigned char* chars, unsigned int start,
                             unsigned int length) override;
    // Names byte for byte, values escaped, in list order.
    void startElement(const unsigned char* name,
                      const AttributeList& attributes) override;
    void endElement(const unsigned char* name) override;
    // The `length` bytes from chars[start], escaped; a NUL byte ends them.
    void characters(const unsigned char* chars, unsigned int start,
                    unsigned int length) override;

    // The output is always US-ASCII: the argument is ignored.
    void setOutputEncoding(const char* encoding);
    const char* getOutputEncoding() const;

    // Flushes stdout (fflush), whatever the Flushing: everything written to
    // it so far, by this writer or otherwise, reaches file descriptor 1.
    void flush();

private:
    void _afterEvent();

    Flushing _flushing = Flushing::AfterEvents;
};

}  // namespace LumXMLSAX

#endif
