// A handler that implements every operation of the four handler interfaces
// with a default, so that a concrete handler overrides only what it needs.
// The bases come in a fixed order; register each face with a driver
// separately. Deleting through any face destroys the whole object.
#ifndef TARNXML_SAX_HANDLERBASE_H
#define TARNXML_SAX_HANDLERBASE_H

#include "xml/export.h"
#include "xml/sax/sax.h"

namespace LumXMLSAX {

class TARNXML_API HandlerBase : public EntityResolver,
                                public DTDHandler,
                                public DocumentHandler,
                                public ErrorHandler {
public:
    HandlerBase() = default;
    ~HandlerBase() override;

    // Returns null.
    InputSource* resolveEntity(const unsigned char* publicId,
                               const unsigned char* systemId) override;

    // Nothing.
    void notationDecl(const unsigned char* name, const unsigned char* publicId,
                      const unsigned char* systemId) override;
    void unparsedEntityDecl(const unsigned char* name,
                            const unsigned char* publicId,
                            const unsigned char* systemId,
                            const unsigned char* notationName) override;

    // Nothing; the locator is not kept.
    void startDocument() override;
    void endDocument() override;
    void ignorableWhitespace(const unsigned char* chars, unsigned int start,
                             unsigned int length) override;
    void startElement(const unsigned char* name,
                      const AttributeList& attributes) override;
    void endElement(const unsigned char* name) override;
    void characters(const unsigned char* chars, unsigned int start,
                    unsigned int length) override;
    void processingInstruction(const unsigned char* target,
                               const unsigned char* data) override;
    void setDocumentLocator(const Locator* locator) override;

    // error and warning do nothing; fatalError throws a copy of its argument
    // and never returns.
    void error(const SAXParseException& exception) override;
    void fatalError(const SAXParseException& exception) override;
    void warning(const SAXParseException& exception) override;
};

}  // namespace LumXMLSAX

#endif
