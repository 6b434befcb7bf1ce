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

// A SAXException raised by the failure of a database or a file behind the
// event interfaces (the storing handler, the replay driver, the stream of an
// input file): it carries that failure's code beside the message, an engine
// result code (engine/tarn20.h) or one of lumret (xml/lumxmlexception.h).
class TARNXML_API SAXCodedException : public SAXException {
public:
    SAXCodedException(const char* message, int code);
    int getCode() const { return _code; }

private:
    int _code;
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
