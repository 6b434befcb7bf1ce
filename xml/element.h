// LumXMLElement: one stored element, read on demand.
//
// A light value: a share of its database and the member address of the
// element's chain start field. Nothing of the element is read before an
// operation asks for it, and every operation reads the stored chains afresh
// through an engine cursor of its own that it releases before it returns,
// so an element holds no engine handle and never keeps LumXMLDb::Close from
// closing.
//
// What an element holds between its tags is stored as runs of character
// data (each run all the text between two tags) and child elements, in
// document order. text() joins the element's own runs; content() tells them
// apart as ElementTree does: `text` is what comes before the first child and
// each child's `tail` what comes after it, up to the next child or the end.
// For <a>x<b>y</b>z<c/></a>: text() "xz"; content().text "x", children b
// (tail "z") and c (tail ""); b.text() "y".
//
// Failures are LumXMLException with the engine's code: 2 once the database
// is closed (also when it was opened again since), 29 when the stored chains
// are not what an element's are, else what the engine finds wrong (14 for a
// tag the dictionary lacks, 0x1000 for exhausted memory). Each operation
// reads one chain, and the chains of the children it hands out, so it ends
// on any file. The links between elements are checked both ways (a child's
// chain leads back to the field that refers to it), but a damaged file may
// still link elements in a circle that each step alone does not see: a walk
// down through children() that must end on any file keeps the chains it is
// inside, as the replay of xml() does, or bounds its depth.
//
// Lifetime and threads: an element keeps its database open as long as it
// lives, like a copy of LumXMLDb (an explicit Close closes it for all), and
// is used on the database's thread, one thread at a time. Copies are cheap
// (a shared pointer and an address) and share nothing but the database.
#ifndef TARNXML_ELEMENT_H
#define TARNXML_ELEMENT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "xml/export.h"
#include "xml/lumxmldb.h"

namespace LumXMLSAX {
class DocumentHandler;
}

namespace tarnxml_detail {

// The share of a database that answers and elements keep: a copy of the
// caller's LumXMLDb, which shares its engine state. Internal to the layer.
struct HeldDatabase {
    explicit HeldDatabase(const LumXMLDb& other) : database(other) {}
    LumXMLDb database;
};

}  // namespace tarnxml_detail

struct LumXMLContent;

class TARNXML_API LumXMLElement {
public:
    // The root element of the database's document; none when it holds no
    // document (or an empty one). Throws as the operations below, and 2
    // for a database that is not open.
    static std::optional<LumXMLElement> root(LumXMLDb& database);

    // The tag name.
    std::string tag() const;
    // The attributes as (name, value), in the order of the start tag.
    std::vector<std::pair<std::string, std::string>> attributes() const;
    // The element's own runs of character data, joined in order with
    // nothing between them; the text of its children is not in it.
    std::string text() const;
    // The child elements in document order.
    std::vector<LumXMLElement> children() const;
    // The children together with the text around them (see above).
    LumXMLContent content() const;
    // The element around this one; none for a document's root and for an
    // element made outside any document.
    std::optional<LumXMLElement> parent() const;

    // The element as XML, exactly as HandlerDump writes its replay: the
    // start tag, the content, the end tag, no declaration and no line feed.
    // A field the replay cannot place ends the text early, with the
    // driver's line about it on standard output.
    std::string xml() const;
    // The replay itself, as DriverOrlo::replayElement delivers it, to
    // `handler`: database failures as LumXMLException, and whatever the
    // handler throws passes unchanged.
    void xml(LumXMLSAX::DocumentHandler& handler) const;

    // The member address of the element's chain start field: in one
    // database, the same element always has the same address.
    unsigned long address() const { return _chain; }

private:
    friend class LumXMLMatches;
    class Reader;

    LumXMLElement(std::shared_ptr<tarnxml_detail::HeldDatabase> held, uint32_t chain)
        : _held(std::move(held)), _chain(chain) {}

    std::shared_ptr<tarnxml_detail::HeldDatabase> _held;
    uint32_t _chain;
};

// What content() gives; see above.
struct LumXMLContent {
    struct Child {
        LumXMLElement element;
        std::string tail;
    };
    std::string text;
    std::vector<Child> children;
};

#endif
