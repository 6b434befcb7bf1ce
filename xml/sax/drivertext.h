// The parser that reads XML text through expat.
//
// Lifecycle: Idle --parse, once the byte stream is open--> Parsing --end of
// input, parse error or exception--> Idle. The expat parser lives as long as
// the driver; a parse after the first one resets it first.
//
// What handlers see: every attribute is typed "CDATA"; names come as written,
// prefixes included (no namespace processing); references to entities
// declared in the internal subset are expanded into character data;
// comments, processing instructions, the XML declaration and the document
// type declaration give no event beyond notationDecl and unparsedEntityDecl.
// External entities are not read. A document in an encoding expat does not
// know is a fatal error.
#ifndef TARNXML_SAX_DRIVERTEXT_H
#define TARNXML_SAX_DRIVERTEXT_H

#include <exception>

#include "xml/export.h"
#include "xml/sax/sax.h"

struct XML_ParserStruct;

namespace LumXMLSAX {

class InputStreamByte;

class TARNXML_API DriverText : public Parser {
public:
    // Bytes handed to expat per call.
    static constexpr unsigned int kChunkSize = 256;

    DriverText();
    ~DriverText() override;
    DriverText(const DriverText&) = delete;
    DriverText& operator=(const DriverText&) = delete;

    void setDocumentHandler(DocumentHandler* handler) override;
    void setDTDHandler(DTDHandler* handler) override;
    void setEntityResolver(EntityResolver* resolver) override;
    void setErrorHandler(ErrorHandler* handler) override;

    // Reads the file named by systemId (through an InputSourceURI).
    void parse(const char* systemId) override;
    void parse(const unsigned char* systemId) override;

    // Throws SAXException "Already parsing" when called during a parse of
    // this driver (the running parse goes on), and the source's exception
    // when its stream cannot be opened (no handler has been called then).
    // A malformed document goes to the error handler's fatalError; when that
    // returns, endDocument follows and parse returns normally; without an
    // error handler parse throws the SAXParseException. Any exception thrown
    // by a handler ends the parse and leaves parse unchanged, without
    // endDocument.
    void parse(InputSource& source) override;

private:
    friend struct DriverTextEvents;

    void _installCallbacks();
    // Feeds the stream to expat; false when expat stops with an error.
    bool _feed(InputStreamByte& stream);
    // Hands expat's error to the error handler, or throws it without one.
    void _reportError(const Locator& locator);
    // Keeps the exception in flight and stops expat; parse rethrows it.
    void _abort();

    EntityResolver* _entityResolver;
    DTDHandler* _dtdHandler;
    DocumentHandler* _documentHandler;
    ErrorHandler* _errorHandler;
    XML_ParserStruct* _parser;
    bool _parsing;
    bool _used;
    std::exception_ptr _failure;
    unsigned char _chunk[kChunkSize];
};

}  // namespace LumXMLSAX

#endif
