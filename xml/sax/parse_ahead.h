// A parse whose events are handled on the calling thread while the parser
// runs ahead on a second one. Internal to the library: the loading call
// (xml/load.h) is its public face, and states its contract.
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
// Exceptions: a handler's exception (or the hook's, between blocks) ends
// the parse (the parser stops at its next block) and is rethrown; the
// parser's own exception, a failed allocation of a block included, is
// rethrown once the events before it have been handled. Either way the
// parser's thread has ended by then. Memory: the queue holds at most
// kQueueDepth blocks of about kBlockBytes, beyond single events larger than
// that. Without a second thread the parse runs on the calling thread alone.
#ifndef TARNXML_SAX_PARSE_AHEAD_H
#define TARNXML_SAX_PARSE_AHEAD_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "xml/sax/sax.h"

namespace tarnxml_detail {

// The faces of a handler a driver reports to; a null face receives nothing,
// as with the driver itself.
struct Handlers {
    LumXMLSAX::DocumentHandler* document = nullptr;
    LumXMLSAX::ErrorHandler* error = nullptr;
    LumXMLSAX::DTDHandler* dtd = nullptr;
};

template <typename Handler>
Handlers HandlersOf(Handler& handler) {
    return {static_cast<LumXMLSAX::DocumentHandler*>(&handler),
            static_cast<LumXMLSAX::ErrorHandler*>(&handler),
            static_cast<LumXMLSAX::DTDHandler*>(&handler)};
}

inline void connect(LumXMLSAX::Parser& driver, const Handlers& to) {
    driver.setDocumentHandler(to.document);
    driver.setErrorHandler(to.error);
    driver.setDTDHandler(to.dtd);
}

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

// Called on the handlers' thread before each block is replayed, the block
// with the end of the document included; what it throws ends the parse as a
// handler's exception does.
using BetweenBlocks = std::function<void()>;

// parser.parse(systemId) with the events reaching `to` on this thread, and
// their texts `ahead`, if given. The parser's handlers are set to `to` when
// it returns.
void ParseAhead(LumXMLSAX::Parser& parser, const char* systemId, const Handlers& to,
                LookAhead* ahead = nullptr, const BetweenBlocks& between = nullptr);
// The same with parser.parse(source).
void ParseAhead(LumXMLSAX::Parser& parser, LumXMLSAX::InputSource& source, const Handlers& to,
                LookAhead* ahead = nullptr, const BetweenBlocks& between = nullptr);

}  // namespace tarnxml_detail

#endif
