// The parser that replays a document stored in a database file.
#ifndef TARNXML_SAX_DRIVERORLO_H
#define TARNXML_SAX_DRIVERORLO_H

#include <optional>

#include "xml/export.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlref.h"
#include "xml/sax/sax.h"

namespace LumXMLSAX {

// The locator of a replay: a stored document has no lines, columns or
// identifiers, so every answer is -1 or null.
class TARNXML_API StoredLocator : public Locator {
public:
    int getColumnNumber() const override;
    int getLineNumber() const override;
    const unsigned char* getPublicId() const override;
    const unsigned char* getSystemId() const override;
};

// Walks the tag chains of a stored document and emits, for every element,
// startElement with its attributes (all of type "CDATA", in stored order),
// its character data runs and child elements in stored order, and
// endElement. Only the document handler is ever called; the other three
// handlers are kept and never used.
//
// Lifecycle: Idle -> Parsing (parse or queryUnique) -> Idle, on every exit.
// The database is opened read-only (LumXMLDb::OpenReadOnly), so that any
// number of replays share it, and is open only inside one call (or from setInputSource to the
// next call or the destructor); the walking reference is released before the
// database is closed.
//
// Failures: every database failure, and every SAXException a handler throws,
// ends the call with the reference released, the database closed and the
// driver idle again; it then surfaces as a plain SAXException carrying the
// original message (a database failure as a SAXCodedException, which carries
// the engine's code too). A damaged file ends the walk with the engine's
// "Illegal database file" message instead of looping or recursing.
class TARNXML_API DriverOrlo : public Parser {
public:
    DriverOrlo();
    ~DriverOrlo() override;
    DriverOrlo(const DriverOrlo&) = delete;
    DriverOrlo& operator=(const DriverOrlo&) = delete;

    void setDocumentHandler(DocumentHandler* handler) override;
    void setDTDHandler(DTDHandler* handler) override;
    void setEntityResolver(EntityResolver* resolver) override;
    void setErrorHandler(ErrorHandler* handler) override;

    // The database file named by systemId; see parse(InputSource&).
    void parse(const char* systemId) override;
    void parse(const unsigned char* systemId) override;
    // Replays the first document of the database file named by the source's
    // system identifier, between startDocument and endDocument. A database
    // without a document gives nothing in between. Throws SAXException
    // "Already parsing" when called from inside a handler of this driver.
    void parse(InputSource& source) override;

    // Finds the first character data run (in the engine's result order) of
    // an element named `tag` whose whole text equals `value`, and replays
    // the nearest enclosing element named `environment` (the found element
    // itself does not count). Returns true when that element was replayed;
    // false, with only startDocument and endDocument delivered, when no run
    // matches or no enclosing element bears the name.
    bool queryUnique(InputSource& source, const unsigned char* environment,
                     const unsigned char* tag, const unsigned char* value);
    // Without a source there is nothing to search: returns false.
    bool queryUnique(const unsigned char* environment, const unsigned char* tag,
                     const unsigned char* value);

    // Opens the database named by the source, read-only, and keeps it open
    // until the next parse, query or the destructor. Returns true; throws
    // LumXMLException when the file cannot be opened as a database.
    bool setInputSource(InputSource& source);

    // Replays one stored element of `database`, which the caller has opened
    // and keeps open: the element whose chain starts at the member address
    // `chainStart` (its field 0), with startElement, its content and
    // endElement as parse delivers them, and nothing else -- no locator, no
    // startDocument or endDocument -- so that a caller can replay many
    // elements of one opening into one output. Nothing is written to the
    // database; the driver's own database is not used. Throws SAXException
    // "Already parsing" from inside a handler of this driver; a database
    // failure or a handler's SAXException surfaces as in parse, and an
    // address that is not the start of an element with a parent as the
    // engine's "Illegal database file".
    void replayElement(LumXMLDb& database, unsigned long chainStart);

private:
    class Session;

    void _begin(const Locator& locator, InputSource& source);
    void _finish();
    void _abandon() noexcept;
    void _follow(const Locator& locator);

    LumXMLDb _database;
    EntityResolver* _entityResolver;
    DTDHandler* _dtdHandler;
    DocumentHandler* _documentHandler;
    ErrorHandler* _errorHandler;
    // Made afresh for each call: a reference keeps the state of its last
    // step, and the end of one walk must not be read as the next one's.
    std::optional<lumxmlref> _reference;
    bool _parsing;
};

}  // namespace LumXMLSAX

#endif
