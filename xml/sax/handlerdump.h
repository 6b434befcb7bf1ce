// A handler that writes the events it receives as XML text on the process's
// standard output, or into a string.
#ifndef TARNXML_SAX_HANDLERDUMP_H
#define TARNXML_SAX_HANDLERDUMP_H

#include <cstddef>
#include <string>

#include "xml/export.h"
#include "xml/sax/handlerbase.h"

namespace LumXMLSAX {

// Writes the events to the C stream stdout, without indentation, line breaks
// or checks on the order of events. Character data and attribute values are
// escaped so that the output is pure ASCII and well-formed: "&quot;" "&amp;"
// "&lt;" "&gt;" for the four markup characters,
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
// A writer made with a string appends to it instead, each event's bytes
// before the event returns; it never writes or flushes stdout.
//
// By default every event's bytes are in stdout when it returns, and the
// stream is flushed after endElement, characters, ignorableWhitespace and
// endDocument, and only there (Flushing::AfterEvents). Output errors are not
// reported; the stream keeps its error state.
class TARNXML_API HandlerDump : public HandlerBase {
public:
    // When the writer hands its bytes on.
    enum class Flushing {
        // Each event's bytes go into stdout before it returns, and stdout is
        // flushed after endElement, characters, ignorableWhitespace and
        // endDocument: whatever else is written to stdout, or to file
        // descriptor 1 or 2 between those events, appears where it was
        // written.
        AfterEvents,
        // The bytes wait in the writer's own buffer of 256 KiB, which goes
        // into stdout, and stdout is flushed, at endDocument, at flush() and
        // at destruction; a full buffer goes into stdout unflushed. A whole
        // document costs a write per 256 KiB instead of one or more per
        // event. Call flush() before anything else writes to stdout, stderr
        // or either descriptor; the database driver does so before its line
        // about a field it cannot replay.
        AtEnd,
    };

    // Flushing::AfterEvents.
    HandlerDump() = default;
    explicit HandlerDump(Flushing flushing) : _flushing(flushing) {}
    // Appends to `sink`, which must outlive the writer and is not cleared.
    explicit HandlerDump(std::string& sink) : _sink(&sink) {}
    // A copy writes with the same Flushing (or into the same string) and
    // starts with nothing waiting; what waits in `other` stays with it.
    HandlerDump(const HandlerDump& other);
    // Hands on what waits in this writer first.
    HandlerDump& operator=(const HandlerDump& other);
    // Hands on what waits and, with Flushing::AtEnd, flushes stdout.
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

    // Hands on what waits in this writer and flushes stdout (fflush),
    // whatever the Flushing: everything written so far, by this writer or
    // through stdout otherwise, reaches file descriptor 1. Nothing for a
    // writer into a string.
    void flush();

private:
    friend class HandlerDumpOutput;

    void _afterEvent(bool flushes);
    void _handOn();
    void _reserve();
    void _write(const unsigned char* bytes, std::size_t length);

    Flushing _flushing = Flushing::AfterEvents;
    // Where the bytes go instead of stdout; null for stdout.
    std::string* _sink = nullptr;
    // Bytes written and not yet handed to stdout: _used of _capacity, taken
    // at the first event by the Flushing. Without it (no memory) every piece
    // goes to stdout at once.
    unsigned char* _buffer = nullptr;
    std::size_t _capacity = 0;
    std::size_t _used = 0;
};

}  // namespace LumXMLSAX

#endif
