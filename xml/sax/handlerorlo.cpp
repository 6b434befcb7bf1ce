#include "xml/sax/handlerorlo.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/tarn20.h"
#include "xml/lumxmlexception.h"
#include "xml/sax/replacement.h"
#include "xml/sax/saxexception.h"
#include "xml/xml_basetypes.h"

namespace LumXMLSAX {
namespace {

constexpr unsigned int kSizeHint = 32;
constexpr size_t kFirstCapacity = 256;

// Runs a storing step, reporting a database failure as the event interfaces
// report failures.
template <typename Step>
void storing(Step&& step) {
    try {
        step();
    } catch (const LumXMLException& e) {
        throw SAXCodedException(e.message(), e.getCode());
    }
}

// Copying the name can run out of memory, which must reach the program as
// the event interfaces report failures, not as a database exception.
LumXMLDb namedDatabase(const char* name) {
    try {
        return LumXMLDb(name, kSizeHint);
    } catch (const LumXMLException& e) {
        throw SAXCodedException(e.message(), e.getCode());
    }
}

}  // namespace

HandlerOrlo::PendingText::~PendingText() { std::free(_bytes); }

void HandlerOrlo::PendingText::append(const unsigned char* bytes, size_t length) {
    if (length == 0) return;
    size_t needed = _length + length + 1;
    if (needed > _capacity) {
        size_t capacity = _capacity ? _capacity : kFirstCapacity;
        while (capacity < needed) capacity *= 2;
        void* grown = std::realloc(_bytes, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        _bytes = static_cast<unsigned char*>(grown);
        _capacity = capacity;
    }
    std::memcpy(_bytes + _length, bytes, length);
    _length += length;
    _bytes[_length] = 0;
}

const unsigned char* HandlerOrlo::PendingText::text() const {
    static const unsigned char kNone[1] = {0};
    return _bytes ? _bytes : kNone;
}

HandlerOrlo::HandlerOrlo(const char* databaseName, Storing storing)
    : _database(namedDatabase(databaseName)), _replacement(nullptr), _rootStored(false) {
    if (storing == Storing::WholeOrNothing) {
        try {
            _replacement = new tarnxml_detail::Replacement(databaseName);
        } catch (const std::bad_alloc&) {
            throw SAXCodedException(LumXMLException(LUM_ERR_MALLOC).message(), LUM_ERR_MALLOC);
        }
    }
}

HandlerOrlo::~HandlerOrlo() {
    _closeQuietly();
    delete _replacement;
}

// The reference's cursor must go before the database will close. A failure
// has nobody to be reported to: the engine frees the handle either way. A
// database about to be removed is given up unwritten, which spares a failed
// load of gigabytes the writing of them.
void HandlerOrlo::_closeQuietly() noexcept {
    try {
        _reference.Destroy();
        if (_replacement != nullptr)
            _database.Abandon();
        else
            _database.Close();
    } catch (const LumXMLException&) {
    }
    if (_replacement != nullptr) _replacement->abandon();
}

void HandlerOrlo::startDocument() {
    storing([this] {
        _reference.Destroy();
        if (_replacement != nullptr) {
            _database.Close();
            _replacement->begin();
            _database.SetDatabaseName(_replacement->temporaryName().c_str());
        }
        _database.Create();
    });
    _rootStored = false;
    _pending.clear();
    _parents.clear();
}

void HandlerOrlo::endDocument() {
    storing([this] {
        _reference.Destroy();
        _database.Close();
        // Close committed the whole database to disk: now it may take the name.
        if (_replacement != nullptr) _replacement->complete();
    });
}

void HandlerOrlo::startElement(const unsigned char* name,
                               const AttributeList& attributes) {
    storing([&] {
        if (!_rootStored) {
            _database.GetDocumentRootNode(name, &_reference);
            _storeAttributes(attributes);
            _rootStored = true;
            _parents.push_back(0);
            _parents.push_back(0);
            return;
        }
        _dump();
        _reference._pairPointer = 0;
        _storeElement(name, attributes);
        _parents.push_back(_reference._pairPointer);
        _parents.push_back(_reference._pairTypeId);
    });
}

void HandlerOrlo::_storeElement(const unsigned char* name,
                                const AttributeList& attributes) {
    if (attributes.getLength() == 0) {
        _reference.putElement(name);
        return;
    }
    _reference.putAttributeBranch(name);
    _storeAttributes(attributes);
}

// Name and value fields after the chain start the reference stands on, in
// the order of the start tag.
void HandlerOrlo::_storeAttributes(const AttributeList& attributes) {
    const unsigned int count = attributes.getLength();
    for (unsigned int i = 0; i < count; ++i) {
        _reference.putAttributeValues(attributes.getName(i), attributes.getValue(i));
    }
}

void HandlerOrlo::endElement(const unsigned char*) {
    storing([this] {
        _dump();
        uint32_t pointer = 0, typeId = 0;
        if (_parents.size() >= 2) {
            typeId = _parents.back();
            _parents.pop_back();
            pointer = _parents.back();
            _parents.pop_back();
        }
        if (pointer == 0)
            _reference.GotoParentTagChainInBranch();
        else if (_reference._live() && _reference._gotoAddress(pointer))
            _reference._typeId = typeId;
    });
}

void HandlerOrlo::characters(const unsigned char* chars, unsigned int start,
                             unsigned int length) {
    _pending.append(chars + start, length);
}

void HandlerOrlo::ignorableWhitespace(const unsigned char* chars, unsigned int start,
                                      unsigned int length) {
    _pending.append(chars + start, length);
}

void HandlerOrlo::expectAttributeName(const unsigned char* name) {
    _reference.expectText(XML_BT_ATTRIBUTE_NAME, name);
}

void HandlerOrlo::expectAttributeValue(const unsigned char* value) {
    _reference.expectText(XML_BT_ATTRIBUTE_VALUE, value);
}

void HandlerOrlo::expectText(const unsigned char* text) { _reference.expectText(XML_BT_PCDATA, text); }

void HandlerOrlo::fatalError(const SAXParseException& exception) {
    // Close first so that the file keeps what was stored; the parse error is
    // what the caller must hear about, even should the close fail.
    _closeQuietly();
    throw exception;
}

void HandlerOrlo::removeTemporaryFiles() noexcept { tarnxml_detail::Replacement::removeAll(); }

void HandlerOrlo::_dump() {
    if (_pending.empty()) return;
    _reference.putPCDATA(_pending.text());
    _pending.clear();
}

}  // namespace LumXMLSAX
