// The exceptions of the event interfaces. Thrown by value, caught by
// reference; a SAXParseException is caught by a handler for SAXException.
// Every string is an owned copy; copies are deep. A message carries no line
// or column text of its own.
#ifndef TARNXML_SAX_SAXEXCEPTION_H
#define TARNXML_SAX_SAXEXCEPTION_H

#include "xml/export.h"
#include "xml/xmlstring.h"

namespace LumXMLSAX {

class Locator;

class TARNXML_API SAXException {
public:
    // A null message gives an empty message.
    explicit SAXException(const char* message);
    explicit SAXException(const unsigned char* message);
    SAXException(const SAXException& other);
    SAXException& operator=(const SAXException& other);
    virtual ~SAXException();

    // The message; null when empty. Valid while the exception lives.
    const unsigned char* getMessage() const;

private:
    XMLString _message;
};

class TARNXML_API SAXParseException : public SAXException {
public:
    // Identifiers and position are read from the locator now, not later.
    SAXParseException(const char* message, const Locator& locator);
    SAXParseException(const unsigned char* message, const Locator& locator);
    SAXParseException(const unsigned char* message,
                      const unsigned char* publicId,
                      const unsigned char* systemId, int lineNumber,
                      int columnNumber);
    SAXParseException(const SAXParseException& other);
    SAXParseException& operator=(const SAXParseException& other);
    ~SAXParseException() override;

    // Null when empty.
    const unsigned char* getPublicId() const;
    const unsigned char* getSystemId() const;
    // Line counted from 1, column from 0, as the locator gave them.
    int getLineNumber() const;
    int getColumnNumber() const;

private:
    XMLString _publicId;
    XMLString _systemId;
    int _lineNumber;
    int _columnNumber;
};

}  // namespace LumXMLSAX

#endif
