#include "xml/sax/drivertext.h"

#include <expat.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {
namespace {

const unsigned char kCdata[] = "CDATA";

const unsigned char* bytes(const XML_Char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

// The position of the event expat is delivering, in the source being read.
class TextLocator : public Locator {
public:
    TextLocator(XML_Parser parser, const InputSource& source)
        : _parser(parser), _source(source) {}

    int getColumnNumber() const override {
        return static_cast<int>(XML_GetCurrentColumnNumber(_parser));
    }
    int getLineNumber() const override {
        return static_cast<int>(XML_GetCurrentLineNumber(_parser));
    }
    const unsigned char* getPublicId() const override { return _source.getPublicId(); }
    const unsigned char* getSystemId() const override { return _source.getSystemId(); }

private:
    XML_Parser _parser;
    const InputSource& _source;
};

// The attributes of one start tag read in place from expat's array of
// name/value pairs: the answers of an AttributeListImpl filled from the same
// array, without copying every string for a list that lives one call.
class ExpatAttributes : public AttributeList {
public:
    explicit ExpatAttributes(const XML_Char** pairs) : _pairs(pairs), _count(0) {
        while (pairs[2 * _count] != nullptr) ++_count;
    }

    unsigned int getLength() const override { return _count; }
    const unsigned char* getName(unsigned int index) const override {
        return index < getLength() ? bytes(_pairs[2 * index]) : nullptr;
    }
    const unsigned char* getType(unsigned int index) const override {
        return index < getLength() ? kCdata : nullptr;
    }
    const unsigned char* getValue(unsigned int index) const override {
        return index < getLength() ? bytes(_pairs[2 * index + 1]) : nullptr;
    }
    const unsigned char* getType(const unsigned char* name) const override {
        return _find(name) < _count ? kCdata : nullptr;
    }
    const unsigned char* getValue(const unsigned char* name) const override {
        const unsigned int index = _find(name);
        return index < _count ? bytes(_pairs[2 * index + 1]) : nullptr;
    }

private:
    // Index of the first attribute called `name`, or _count.
    unsigned int _find(const unsigned char* name) const {
        if (name == nullptr) return _count;
        unsigned int index = 0;
        while (index < _count && std::strcmp(_pairs[2 * index], reinterpret_cast<const char*>(name)) != 0)
            ++index;
        return index;
    }

    const XML_Char** _pairs;
    unsigned int _count;
};

// Holds the parsing flag for the length of one parse.
class ParsingFlag {
public:
    explicit ParsingFlag(bool& flag) : _flag(flag) { _flag = true; }
    ~ParsingFlag() { _flag = false; }
    ParsingFlag(const ParsingFlag&) = delete;
    ParsingFlag& operator=(const ParsingFlag&) = delete;

private:
    bool& _flag;
};

}  // namespace

// expat's callbacks. Each one runs inside XML_Parse, so no exception may
// leave it: a handler's exception is kept by the driver, expat is stopped,
// and parse rethrows it once XML_Parse has returned. After a failure the
// callbacks expat still delivers are ignored.
struct DriverTextEvents {
    template <typename Body>
    static void guarded(void* userData, Body&& body) {
        DriverText* driver = static_cast<DriverText*>(userData);
        if (driver->_failure) return;
        try {
            body(*driver);
        } catch (...) {
            driver->_abort();
        }
    }

    static void startElement(void* userData, const XML_Char* name,
                             const XML_Char** attributes) {
        guarded(userData, [&](DriverText& d) {
            if (d._documentHandler == nullptr) return;
            const ExpatAttributes list(attributes);
            d._documentHandler->startElement(bytes(name), list);
        });
    }

    static void endElement(void* userData, const XML_Char* name) {
        guarded(userData, [&](DriverText& d) {
            if (d._documentHandler) d._documentHandler->endElement(bytes(name));
        });
    }

    static void characters(void* userData, const XML_Char* text, int length) {
        guarded(userData, [&](DriverText& d) {
            if (d._documentHandler == nullptr) return;
            d._documentHandler->characters(bytes(text), 0,
                                           static_cast<unsigned int>(length));
        });
    }

    static void notationDecl(void* userData, const XML_Char* name,
                             const XML_Char* /*base*/, const XML_Char* systemId,
                             const XML_Char* publicId) {
        guarded(userData, [&](DriverText& d) {
            if (d._dtdHandler == nullptr) return;
            d._dtdHandler->notationDecl(bytes(name), bytes(publicId), bytes(systemId));
        });
    }

    static void unparsedEntityDecl(void* userData, const XML_Char* name,
                                   const XML_Char* /*base*/, const XML_Char* systemId,
                                   const XML_Char* publicId,
                                   const XML_Char* notationName) {
        guarded(userData, [&](DriverText& d) {
            if (d._dtdHandler == nullptr) return;
            d._dtdHandler->unparsedEntityDecl(bytes(name), bytes(publicId),
                                              bytes(systemId), bytes(notationName));
        });
    }

    static void comment(void*, const XML_Char*) {}
    static void cdataBoundary(void*) {}
    static void namespaceStart(void*, const XML_Char*, const XML_Char*) {}
    static void namespaceEnd(void*, const XML_Char*) {}
    static void ignoredMarkup(void*, const XML_Char*, int) {}

    // External entities are not read; the document goes on without them.
    static int externalEntity(XML_Parser, const XML_Char*, const XML_Char*,
                              const XML_Char*, const XML_Char*) {
        return XML_STATUS_OK;
    }

    // Refusing makes expat fail the parse with its unknown-encoding error.
    static int unknownEncoding(void*, const XML_Char*, XML_Encoding*) {
        return XML_STATUS_ERROR;
    }

    static int notStandalone(void*) { return XML_STATUS_OK; }
};

DriverText::DriverText()
    : _entityResolver(nullptr),
      _dtdHandler(nullptr),
      _documentHandler(nullptr),
      _errorHandler(nullptr),
      _parser(XML_ParserCreate(nullptr)),
      _parsing(false),
      _used(false),
      _chunk() {
    if (_parser == nullptr) throw std::bad_alloc();
    _installCallbacks();
}

DriverText::~DriverText() { XML_ParserFree(_parser); }

void DriverText::_installCallbacks() {
    using E = DriverTextEvents;
    XML_SetUserData(_parser, this);
    XML_SetCharacterDataHandler(_parser, E::characters);
    XML_SetElementHandler(_parser, E::startElement, E::endElement);
    XML_SetNotationDeclHandler(_parser, E::notationDecl);
    XML_SetUnparsedEntityDeclHandler(_parser, E::unparsedEntityDecl);
    XML_SetCommentHandler(_parser, E::comment);
    XML_SetCdataSectionHandler(_parser, E::cdataBoundary, E::cdataBoundary);
    XML_SetExternalEntityRefHandler(_parser, E::externalEntity);
    XML_SetUnknownEncodingHandler(_parser, E::unknownEncoding, this);
    XML_SetNamespaceDeclHandler(_parser, E::namespaceStart, E::namespaceEnd);
    XML_SetNotStandaloneHandler(_parser, E::notStandalone);
    // The expanding variant, so that internal entities reach characters.
    XML_SetDefaultHandlerExpand(_parser, E::ignoredMarkup);
}

void DriverText::_abort() {
    _failure = std::current_exception();
    XML_StopParser(_parser, XML_FALSE);
}

void DriverText::setDocumentHandler(DocumentHandler* handler) { _documentHandler = handler; }

void DriverText::setDTDHandler(DTDHandler* handler) { _dtdHandler = handler; }

void DriverText::setEntityResolver(EntityResolver* resolver) { _entityResolver = resolver; }

void DriverText::setErrorHandler(ErrorHandler* handler) { _errorHandler = handler; }

void DriverText::parse(const char* systemId) {
    parse(reinterpret_cast<const unsigned char*>(systemId));
}

void DriverText::parse(const unsigned char* systemId) {
    if (_parsing) throw SAXException("Already parsing");
    InputSourceURI source(systemId);
    parse(static_cast<InputSource&>(source));
}

bool DriverText::_feed(InputStreamByte& stream) {
    while (!stream.eof()) {
        unsigned long count = stream.read(_chunk, kChunkSize);
        // A stream that delivers nothing before its end would loop forever.
        bool last = stream.eof() || count == 0;
        XML_Status status = XML_Parse(_parser, reinterpret_cast<const char*>(_chunk),
                                      static_cast<int>(count), last ? XML_TRUE : XML_FALSE);
        if (status == XML_STATUS_ERROR) return false;
        if (last) break;
    }
    return true;
}

void DriverText::_reportError(const Locator& locator) {
    SAXParseException error(XML_ErrorString(XML_GetErrorCode(_parser)), locator);
    if (_errorHandler == nullptr) throw error;
    _errorHandler->fatalError(error);
}

void DriverText::parse(InputSource& source) {
    if (_parsing) throw SAXException("Already parsing");
    TextLocator locator(_parser, source);
    std::unique_ptr<InputStreamByte> stream(source.getByteStream());
    if (!stream) throw SAXException("Input source has no byte stream");
    ParsingFlag parsing(_parsing);
    _failure = nullptr;
    if (_used) {
        XML_ParserReset(_parser, nullptr);
        _installCallbacks();
    }
    _used = true;

    if (_documentHandler) {
        _documentHandler->setDocumentLocator(&locator);
        _documentHandler->startDocument();
    }
    bool wellFormed = _feed(*stream);
    if (_failure) std::rethrow_exception(std::exchange(_failure, nullptr));
    if (!wellFormed) _reportError(locator);
    if (_documentHandler) _documentHandler->endDocument();
}

}  // namespace LumXMLSAX
