// The event interfaces between parser drivers and handlers.
//
// Every name, value, identifier and message crossing these interfaces is a
// NUL-terminated UTF-8 byte string (`const unsigned char*`); nothing here
// converts or validates it. Character data is passed as (bytes, start, length)
// and is not NUL-terminated; the drivers of this library always pass start 0.
//
// The order in which the operations are declared is the order of the virtual
// table slots and must not change (slot 0 is the destructor).
//
// What the drivers of this library guarantee to a handler:
//  - setDocumentLocator comes first, before startDocument; the locator belongs
//    to the driver and stays valid until parse returns or throws.
//  - startDocument and endDocument bracket one parse; startElement and
//    endElement are properly nested; one run of text may arrive in several
//    characters calls.
//  - ignorableWhitespace, processingInstruction, resolveEntity, error and
//    warning are never called; fatalError reports a malformed document.
//  - The AttributeList given to startElement lives only for that call.
#ifndef TARNXML_SAX_SAX_H
#define TARNXML_SAX_SAX_H

#include "xml/export.h"

namespace LumXMLSAX {

class InputSource;
class SAXParseException;

// The position of the event being delivered.
class TARNXML_API Locator {
public:
    virtual ~Locator() = default;
    // Column of the current event, counted from 0.
    virtual int getColumnNumber() const = 0;
    // Line of the current event, counted from 1.
    virtual int getLineNumber() const = 0;
    // Identifiers of the source being read; null when the source has none.
    virtual const unsigned char* getPublicId() const = 0;
    virtual const unsigned char* getSystemId() const = 0;
};

// The attributes of one start tag, in document order.
class TARNXML_API AttributeList {
public:
    virtual ~AttributeList() = default;
    virtual unsigned int getLength() const = 0;
    // Null when index is not less than getLength(), or when no attribute has
    // the name (names compare byte for byte; the first match wins).
    virtual const unsigned char* getName(unsigned int index) const = 0;
    virtual const unsigned char* getType(const unsigned char* name) const = 0;
    virtual const unsigned char* getType(unsigned int index) const = 0;
    virtual const unsigned char* getValue(const unsigned char* name) const = 0;
    virtual const unsigned char* getValue(unsigned int index) const = 0;
};

// Receives the content of a document.
class TARNXML_API DocumentHandler {
public:
    virtual ~DocumentHandler() = default;
    virtual void startDocument() = 0;
    virtual void endDocument() = 0;
    virtual void ignorableWhitespace(const unsigned char* chars,
                                     unsigned int start,
                                     unsigned int length) = 0;
    virtual void startElement(const unsigned char* name,
                              const AttributeList& attributes) = 0;
    virtual void endElement(const unsigned char* name) = 0;
    virtual void characters(const unsigned char* chars, unsigned int start,
                            unsigned int length) = 0;
    virtual void processingInstruction(const unsigned char* target,
                                       const unsigned char* data) = 0;
    virtual void setDocumentLocator(const Locator* locator) = 0;
};

// Receives the notations and unparsed entities a document type declares.
class TARNXML_API DTDHandler {
public:
    virtual ~DTDHandler() = default;
    virtual void notationDecl(const unsigned char* name,
                              const unsigned char* publicId,
                              const unsigned char* systemId) = 0;
    virtual void unparsedEntityDecl(const unsigned char* name,
                                    const unsigned char* publicId,
                                    const unsigned char* systemId,
                                    const unsigned char* notationName) = 0;
};

// Maps an external entity to a source. The caller owns the returned source;
// null means "read the entity by its system identifier".
class TARNXML_API EntityResolver {
public:
    virtual ~EntityResolver() = default;
    virtual InputSource* resolveEntity(const unsigned char* publicId,
                                       const unsigned char* systemId) = 0;
};

// Receives problems found in the document. A handler that returns from
// fatalError lets the driver end the parse normally; one that throws ends it
// with that exception.
class TARNXML_API ErrorHandler {
public:
    virtual ~ErrorHandler() = default;
    virtual void error(const SAXParseException& exception) = 0;
    virtual void fatalError(const SAXParseException& exception) = 0;
    virtual void warning(const SAXParseException& exception) = 0;
};

// Produces events for the handlers set on it. The setters store the pointer
// only (null means "no such handler"); handlers are not owned and must outlive
// every parse. parse throws SAXException (or SAXParseException) on failure.
class TARNXML_API Parser {
public:
    virtual ~Parser() = default;
    virtual void setDocumentHandler(DocumentHandler* handler) = 0;
    virtual void setDTDHandler(DTDHandler* handler) = 0;
    virtual void setEntityResolver(EntityResolver* resolver) = 0;
    virtual void setErrorHandler(ErrorHandler* handler) = 0;
    virtual void parse(const char* systemId) = 0;
    virtual void parse(const unsigned char* systemId) = 0;
    virtual void parse(InputSource& source) = 0;
};

}  // namespace LumXMLSAX

#endif
