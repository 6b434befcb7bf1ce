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

#include "tools/tool_main.h"
#include "xml/sax/sax.h"

namespace tool {

constexpr size_t kBlockBytes = 64 * 1024;
constexpr size_t kQueueDepth = 8;

// parser.parse(systemId) with the events reaching `to` on this thread. The
// parser's handlers are set to `to` when it returns.
void ParseAhead(LumXMLSAX::Parser& parser, const char* systemId, const Handlers& to);

}  // namespace tool

#endif
