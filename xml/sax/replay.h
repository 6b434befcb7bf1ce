// The replay of one stored element, for the library's own callers that want
// its failures as they are. Internal to the XML layer.
#ifndef TARNXML_SAX_REPLAY_H
#define TARNXML_SAX_REPLAY_H

#include "xml/lumxmldb.h"
#include "xml/sax/sax.h"

namespace tarnxml_detail {

// What DriverOrlo::replayElement delivers, to `handler` (null: nothing), with
// no driver around it: a database failure passes as LumXMLException (29 for
// an address that is not the start of an element with a parent, or a damaged
// file), and whatever the handler throws passes unchanged.
void replayElement(LumXMLDb& database, unsigned long chainStart,
                   LumXMLSAX::DocumentHandler* handler);

}  // namespace tarnxml_detail

#endif
