// The elements a request selects, found through the value index.
//
// Each condition is one or a few index searches. What they find is checked
// field by field, because the index keeps an element type's texts,
// attribute names and attribute values in one tree: a text condition keeps
// character data runs, an attribute condition values whose name field (just
// before them) is the attribute's. The elements kept -- or with --within
// their nearest enclosing ENV elements -- fill one result set per condition,
// and the sets are combined by the engine's set operators, left to right.
//
// Completeness: equality, prefixes and ranges are searched over the buckets
// their bounds select, whatever their first byte. Texts are UTF-8, in which
// the byte 0xFF never occurs, so the one-byte text 0xFF stands above every
// text as an open upper bound. The engine's substring search covers only
// texts whose first byte is below 0x80; those from 0x80 up are found by
// range searches, one bucket at a time, and their text is looked into here.
//
// Document order is the order of the elements' chain start fields in the
// file: the store hands out space in increasing offsets and never moves a
// chain start, so an element stored after another lies after it. (Space
// freed by erasing can be handed out again, which no program of this system
// does to a stored document.)
#ifndef TARN_TOOLS_XMLFIND_FINDER_H
#define TARN_TOOLS_XMLFIND_FINDER_H

#include <cstdint>
#include <vector>

#include "tools/xmlfind/command_line.h"
#include "xml/lumxmldb.h"

namespace xmlfind {

// Member addresses of the chain start fields of the selected elements,
// distinct, in document order; at most request.limit of them. A tag or
// element name the database does not know selects nothing. `database` must
// be open; nothing is written to it. Throws LumXMLException with the
// engine's code on any failure (29 for a damaged file).
std::vector<uint32_t> Find(LumXMLDb& database, const Request& request);

}  // namespace xmlfind

#endif
