// A parse whose events are handled on the calling thread while the parser
// runs ahead on a second one.
//
// Storing a document costs more than expat spends reading it; on two cores
// a load then takes about as long as the storing alone. The parser's
// thread records each event (with copies of its strings) into blocks that
// pass through a short queue; the calling thread replays them to the
// handlers in the same order with the same arguments, so what the handlers
// do is exactly what they would do on a plain parse. The parser's thread
// holds the end of the document until the handlers have seen it, so the
// input stays open (and locked) while they work, as in a plain parse.
// Differences: handlers get no locator, characters always arrive with start
// 0, and adjacent character data may arrive joined in one call.
//
// Exceptions: a handler's exception ends the parse (the parser stops at its
// next block) and is rethrown; the parser's own exception is rethrown once
// the events before it have been handled. Memory: the queue holds at most
// kQueueDepth blocks of about kBlockBytes, beyond single events larger than
// that. Without a second thread the parse runs on the calling thread alone.
#ifndef TARN_TOOLS_PARSE_AHEAD_H
#define TARN_TOOLS_PARSE_AHEAD_H

#include <cstddef>
#include <cstdint>

#include "tools/tool_main.h"
#include "xml/sax/sax.h"

namespace tool {

constexpr size_t kBlockBytes = 64 * 1024;
constexpr size_t kQueueDepth = 8;

// Told on the handlers' thread, some hundred texts before the handlers see
// them, of the texts events carry: the name and value of each attribute of a
// start tag, and each run of character data (as one run is delivered; a run
// cut by the end of a block is told in parts). In event order; a text told
// lately is not told again.
class LookAhead {
public:
    enum class Kind : uint8_t { AttributeName, AttributeValue, Data };
    virtual void text(Kind kind, const unsigned char* chars) = 0;

protected:
    ~LookAhead() = default;
};

// parser.parse(systemId) with the events reaching `to` on this thread, and
// their texts `ahead`, if given. The parser's handlers are set to `to` when
// it returns.
void ParseAhead(LumXMLSAX::Parser& parser, const char* systemId, const Handlers& to,
                LookAhead* ahead = nullptr);
// The same with parser.parse(source).
void ParseAhead(LumXMLSAX::Parser& parser, LumXMLSAX::InputSource& source, const Handlers& to,
                LookAhead* ahead = nullptr);

}  // namespace tool

#endif
