#include "xml/sax/saxexception.h"

#include "xml/sax/sax.h"

namespace LumXMLSAX {

SAXException::SAXException(const char* message) : _message(message) {}

SAXException::SAXException(const unsigned char* message) : _message(message) {}

SAXException::SAXException(const SAXException& other)
    : _message(other._message) {}

SAXException& SAXException::operator=(const SAXException& other) {
    if (this != &other) _message.set(other._message);
    return *this;
}

SAXException::~SAXException() = default;

const unsigned char* SAXException::getMessage() const { return _message.ptr(); }

SAXCodedException::SAXCodedException(const char* message, int code)
    : SAXException(message), _code(code) {}

SAXParseException::SAXParseException(const char* message, const Locator& locator)
    : SAXParseException(reinterpret_cast<const unsigned char*>(message), locator) {}

SAXParseException::SAXParseException(const unsigned char* message,
                                     const Locator& locator)
    : SAXException(message),
      _publicId(locator.getPublicId()),
      _systemId(locator.getSystemId()),
      _lineNumber(locator.getLineNumber()),
      _columnNumber(locator.getColumnNumber()) {}

SAXParseException::SAXParseException(const unsigned char* message,
                                     const unsigned char* publicId,
                                     const unsigned char* systemId,
                                     int lineNumber, int columnNumber)
    : SAXException(message),
      _publicId(publicId),
      _systemId(systemId),
      _lineNumber(lineNumber),
      _columnNumber(columnNumber) {}

SAXParseException::SAXParseException(const SAXParseException& other)
    : SAXException(other),
      _publicId(other._publicId),
      _systemId(other._systemId),
      _lineNumber(other._lineNumber),
      _columnNumber(other._columnNumber) {}

SAXParseException& SAXParseException::operator=(const SAXParseException& other) {
    if (this != &other) {
        SAXException::operator=(other);
        _publicId.set(other._publicId);
        _systemId.set(other._systemId);
        _lineNumber = other._lineNumber;
        _columnNumber = other._columnNumber;
    }
    return *this;
}

SAXParseException::~SAXParseException() = default;

const unsigned char* SAXParseException::getPublicId() const { return _publicId.ptr(); }

const unsigned char* SAXParseException::getSystemId() const { return _systemId.ptr(); }

int SAXParseException::getLineNumber() const { return _lineNumber; }

int SAXParseException::getColumnNumber() const { return _columnNumber; }

}  // namespace LumXMLSAX
