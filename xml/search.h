// LumXMLSearch: the stored elements that match a request, found through the
// database's value index and answered in document order, one at a time
// (LumXMLMatches) or as a count.
//
// A request is one or more conditions, combined from left to right by the
// join before each of the later ones, without precedence. A condition names
// an element (its tag) and matches one text of it: by default each run of
// the element's own character data as stored (text inside a child element
// is the child's, blanks count, and the text is not joined across children),
// or with an attribute the value of that attribute of the element. Texts are
// compared byte by byte in their UTF-8 form, the order the index keeps:
//   Exact     the text equals `value`
//   Prefix    the text begins with `value` (an empty one: every text, the
//             empty one too; a prefix may end inside a character)
//   Contains  the text holds `value` (an empty one: every text)
//   Range     the text lies between `value` and `high`, both included, in
//             whichever order they are given; an empty one leaves that end
//             open
// With `within`, each element a condition selects stands for the nearest
// element of that name around it (itself, when it bears the name) and
// selects nothing when there is none; the joins then combine those, so that
// conditions on different tags can select one element around them. A tag
// or element name the database does not know selects nothing. `limit`
// keeps the first elements in document order.
//
// Completeness: equality, prefixes and ranges are searched over the index
// buckets their bounds select, whatever their first byte; the engine's
// substring search covers only texts whose first byte is below 0x80, and
// those from 0x80 up are found by a range search per bucket and looked into
// here. Document order is the order of the elements' chain start fields in
// the file: the store hands out space in increasing offsets and never moves
// a chain start, so an element stored after another lies after it (no
// program of this system reuses freed space inside a stored document).
//
// Cost. A condition takes one index search (a Prefix two; a non-empty
// Contains 129: the substring search and one per upper bucket), each
// O(log n) in the index plus the fields it finds, then a visit of each field
// found: a jump, a look at its type (for an attribute condition also at the
// name before it, for Contains from 0x80 up at the text) and, with `within`,
// a climb of the element's depth. While a call runs it holds the engine's
// answers: about 20 bytes per field a search finds and per element a
// condition selects. find then sorts the m elements selected (O(m log m)),
// and its answer keeps 4 bytes per element and builds nothing of one until
// next() hands it out. count reads each element's start field back as find
// does, so that it fails where find would, but neither sorts nor keeps
// anything.
//
// Failures are LumXMLException with the engine's code: 2 for a database
// that is not open (or is closed once an answer exists), 29 for a damaged
// file, 0x1000 for exhausted memory; std::bad_alloc may pass too. A damaged
// file never makes a call crash or run without end. Nothing is ever written
// to the database, so a database opened by LumXMLDb::OpenReadOnly serves.
//
// Lifetime and threads: an answer and the elements it gives hold a share of
// their database, as a copy of LumXMLDb does (the last share closes it), and
// no engine handle, so they never keep LumXMLDb::Close from closing; they
// may not be used after it, where they throw 2, also when the database was
// opened again. They belong to the database's thread: one thread at a time
// uses a database and everything made from it. A request is a plain value,
// of no database; find and count may run on any open database.
#ifndef TARNXML_SEARCH_H
#define TARNXML_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "xml/element.h"
#include "xml/export.h"
#include "xml/lumxmldb.h"

enum class LumXMLMatch { Exact, Prefix, Contains, Range };

// How a condition's elements combine with those of the conditions before it.
enum class LumXMLJoin { And, Or, AndNot };

struct LumXMLCondition {
    LumXMLMatch match = LumXMLMatch::Exact;
    std::string tag;
    std::string value;  // Range: one end
    std::string high;   // Range: the other end; not read otherwise
    // The attribute whose value is matched; none: the element's text.
    std::optional<std::string> attribute;

    static LumXMLCondition exact(std::string tag, std::string value) {
        return {LumXMLMatch::Exact, std::move(tag), std::move(value), {}, std::nullopt};
    }
    static LumXMLCondition prefix(std::string tag, std::string prefix) {
        return {LumXMLMatch::Prefix, std::move(tag), std::move(prefix), {}, std::nullopt};
    }
    static LumXMLCondition contains(std::string tag, std::string part) {
        return {LumXMLMatch::Contains, std::move(tag), std::move(part), {}, std::nullopt};
    }
    static LumXMLCondition range(std::string tag, std::string low, std::string high) {
        return {LumXMLMatch::Range, std::move(tag), std::move(low), std::move(high), std::nullopt};
    }
    // This condition on the value of the attribute `name` instead.
    LumXMLCondition onAttribute(std::string name) const {
        LumXMLCondition copy = *this;
        copy.attribute = std::move(name);
        return copy;
    }
};

class LumXMLMatches;

class TARNXML_API LumXMLSearch {
public:
    explicit LumXMLSearch(LumXMLCondition first);

    // Each returns this request, for chaining.
    LumXMLSearch& join(LumXMLJoin join, LumXMLCondition condition);
    LumXMLSearch& within(std::string element);
    LumXMLSearch& limit(uint64_t elements);

    // The elements selected, distinct, in document order, at most `limit`.
    // `database` must be open; the answer keeps a share of it.
    LumXMLMatches find(LumXMLDb& database) const;
    // How many elements find would give.
    uint64_t count(LumXMLDb& database) const;

private:
    // The set of the selected elements' chain starts, the caller's to
    // destroy.
    lumresset* _select(LumXMLDb& database) const;

    struct Term {
        LumXMLJoin join;  // not read for the first condition
        LumXMLCondition condition;
    };

    std::vector<Term> _terms;
    std::optional<std::string> _within;
    std::optional<uint64_t> _limit;
};

// The answer of LumXMLSearch::find, handed out an element at a time. Moves
// and copies keep their own place.
class TARNXML_API LumXMLMatches {
public:
    // The next element in document order; none after the last. Throws 2
    // once the database is closed.
    std::optional<LumXMLElement> next();
    // The number of elements in the answer, those handed out included.
    std::size_t size() const { return _elements.size(); }

private:
    friend class LumXMLSearch;
    LumXMLMatches(std::shared_ptr<tarnxml_detail::HeldDatabase> held, std::vector<uint32_t> elements);

    std::shared_ptr<tarnxml_detail::HeldDatabase> _held;
    // Chain start addresses.
    std::vector<uint32_t> _elements;
    std::size_t _next = 0;
};

#endif
