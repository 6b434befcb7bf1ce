#include "xml/sax/handlerbase.h"

#include "xml/sax/saxexception.h"

namespace LumXMLSAX {

HandlerBase::~HandlerBase() = default;

InputSource* HandlerBase::resolveEntity(const unsigned char*, const unsigned char*) {
    return nullptr;
}

void HandlerBase::notationDecl(const unsigned char*, const unsigned char*,
                               const unsigned char*) {}

void HandlerBase::unparsedEntityDecl(const unsigned char*, const unsigned char*,
                                     const unsigned char*, const unsigned char*) {}

void HandlerBase::startDocument() {}

void HandlerBase::endDocument() {}

void HandlerBase::ignorableWhitespace(const unsigned char*, unsigned int,
                                      unsigned int) {}

void HandlerBase::startElement(const unsigned char*, const AttributeList&) {}

void HandlerBase::endElement(const unsigned char*) {}

void HandlerBase::characters(const unsigned char*, unsigned int, unsigned int) {}

void HandlerBase::processingInstruction(const unsigned char*, const unsigned char*) {}

void HandlerBase::setDocumentLocator(const Locator*) {}

void HandlerBase::error(const SAXParseException&) {}

void HandlerBase::fatalError(const SAXParseException& exception) { throw exception; }

void HandlerBase::warning(const SAXParseException&) {}

}  // namespace LumXMLSAX
