// The handler that stores the events of one parse as a document in a new
// database file.
//
// Storing XML text into a database is what LumXMLLoad (xml/load.h) does
// with this handler and the text driver, fast and whole or nothing; wire
// them by hand only for what it does not offer.
//
// Per document: startDocument creates the database (replacing any file of
// that name) -> the first startElement creates the document under the root's
// name -> elements and text are stored in document order -> endDocument
// releases the reference and closes the database. fatalError closes the
// database too, so the file keeps what was stored before the error.
//
// Stored WholeOrNothing, the database is built under a temporary name
// beside the file ("<name>.tmp." and six letters or digits) and takes the
// file's name only once endDocument has committed it: a document that fails
// in any way (malformed, unreadable, a full disk, the 4 GiB limit of a
// database, any failing call) leaves a file of that name exactly as it was,
// or absent, and no temporary file. What was stored of a failed document is
// given up unwritten (LumDbAbandon), so the failure ends at once. An
// existing file is locked from
// startDocument on, so that a file another process holds open fails the
// load as it would in place ("CreateFile() failed").
//
// Storing rules: a run of character data is one text field, cut only at
// element boundaries and never trimmed; it goes into the chain of the element
// that contains it, before the next child. The attributes of every element,
// the root's included, are stored in the order of its start tag.
//
// Every database failure becomes a SAXException carrying the database's
// message; the database then stays open and the destructor closes it.
#ifndef TARNXML_SAX_HANDLERORLO_H
#define TARNXML_SAX_HANDLERORLO_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "xml/export.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlref.h"
#include "xml/sax/handlerbase.h"

namespace tarnxml_detail {
class Replacement;
}

namespace LumXMLSAX {

class TARNXML_API HandlerOrlo : public HandlerBase {
public:
    enum class Storing { InPlace, WholeOrNothing };

    // Touches no file; the database is created by startDocument.
    explicit HandlerOrlo(const char* databaseName, Storing storing = Storing::InPlace);
    ~HandlerOrlo() override;
    HandlerOrlo(const HandlerOrlo&) = delete;
    HandlerOrlo& operator=(const HandlerOrlo&) = delete;
    // The largest size in bytes the database file may grow to, for the
    // documents started after the call (LumXMLDb::SetMaxFileBytes); 0, the
    // default, is the format's 4 GiB.
    void setMaxDatabaseBytes(uint32_t bytes) { _database.SetMaxFileBytes(bytes); }

    void startDocument() override;
    void endDocument() override;
    void startElement(const unsigned char* name,
                      const AttributeList& attributes) override;
    void endElement(const unsigned char* name) override;
    void characters(const unsigned char* chars, unsigned int start,
                    unsigned int length) override;
    void ignorableWhitespace(const unsigned char* chars, unsigned int start,
                             unsigned int length) override;
    // Closes the database (WholeOrNothing: and removes it), then throws a
    // copy of the exception.
    void fatalError(const SAXParseException& exception) override;

    // Removes the temporary file of every handler in this process storing
    // WholeOrNothing that has not finished; for a signal handler that then
    // ends the process. Async-signal-safe.
    static void removeTemporaryFiles() noexcept;

    // For a driver that reads ahead: what the next events will store, in
    // their order, so that the index looks up many places at once: the name
    // or the value of an attribute of a start tag, a run of character data
    // whole. A wrong guess costs only its look-up. Never throws.
    void expectAttributeName(const unsigned char* name);
    void expectAttributeValue(const unsigned char* value);
    void expectText(const unsigned char* text);

private:
    // Character data since the last element boundary. Grows geometrically so
    // that a run delivered in many pieces costs amortised O(1) per byte; the
    // storage is kept between runs and bounded by the longest run.
    class PendingText {
    public:
        PendingText() = default;
        ~PendingText();
        PendingText(const PendingText&) = delete;
        PendingText& operator=(const PendingText&) = delete;

        void append(const unsigned char* bytes, size_t length);
        bool empty() const { return _length == 0; }
        // NUL-terminated; valid until the next append.
        const unsigned char* text() const;
        void clear() { _length = 0; }

    private:
        unsigned char* _bytes = nullptr;
        size_t _length = 0;
        size_t _capacity = 0;
    };

    void _closeQuietly() noexcept;
    void _dump();
    void _storeElement(const unsigned char* name,
                       const AttributeList& attributes);
    void _storeAttributes(const AttributeList& attributes);

    LumXMLDb _database;
    // Null when storing in place.
    tarnxml_detail::Replacement* _replacement;
    bool _rootStored;
    PendingText _pending;
    lumxmlref _reference;
    // Per open element two words: the pointer field in its parent's chain
    // that leads to it, where its end takes the reference back without
    // reading the chain start again, and that field's type id, which the
    // next write there need not read either; 0 and 0 for the root, whose end
    // reads the chain start. (Words, not a struct: a member type of this
    // exported class would export its vector's code too.)
    std::vector<uint32_t> _parents;
};

}  // namespace LumXMLSAX

#endif
