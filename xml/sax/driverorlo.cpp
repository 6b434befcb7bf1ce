#include "xml/sax/driverorlo.h"

#include <cstdio>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "xml/address_set.h"
#include "xml/lumxmlexception.h"
#include "xml/xml_basetypes.h"
#include "xml/xmlstring.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/replay.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {

namespace {

constexpr int kIllegalDatabaseFile = 29;

const unsigned char* bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

[[noreturn]] void throwDamaged() { throw LumXMLException(kIllegalDatabaseFile); }

// Runs a replay; a handler's SAXException surfaces as a plain SAXException
// carrying its message, a database failure as one that carries its code too.
template <typename Replay>
void replaying(Replay&& replay) {
    try {
        replay();
    } catch (const SAXCodedException& e) {
        throw SAXCodedException(reinterpret_cast<const char*>(e.getMessage()), e.getCode());
    } catch (const SAXException& e) {
        throw SAXException(e.getMessage());
    } catch (const LumXMLException& e) {
        throw SAXCodedException(e.message(), e.getCode());
    }
}

constexpr char kCdata[] = "CDATA";

// The attributes of the element being started, every one of type "CDATA".
// Their storage is kept from one element to the next, so that a walk takes
// no memory per element beyond what its largest element took.
class StoredAttributes : public AttributeList {
public:
    void clear() { _count = 0; }
    // Storage for the next attribute; it counts once kept.
    std::string& nextName() { return _slot().name; }
    std::string& nextValue() { return _slot().value; }
    void keep() { ++_count; }

    unsigned int getLength() const override { return _count; }
    const unsigned char* getName(unsigned int index) const override {
        return index < _count ? bytes(_records[index].name.c_str()) : nullptr;
    }
    const unsigned char* getType(unsigned int index) const override {
        return index < _count ? bytes(kCdata) : nullptr;
    }
    const unsigned char* getValue(unsigned int index) const override {
        return index < _count ? bytes(_records[index].value.c_str()) : nullptr;
    }
    const unsigned char* getType(const unsigned char* name) const override {
        return _find(name) != nullptr ? bytes(kCdata) : nullptr;
    }
    const unsigned char* getValue(const unsigned char* name) const override {
        const Record* record = _find(name);
        return record != nullptr ? bytes(record->value.c_str()) : nullptr;
    }

private:
    struct Record {
        std::string name;
        std::string value;
    };

    Record& _slot() {
        if (_records.size() == _count) _records.emplace_back();
        return _records[_count];
    }
    // The first of that name, as in AttributeListImpl.
    const Record* _find(const unsigned char* name) const {
        if (name == nullptr) return nullptr;
        for (unsigned int i = 0; i < _count; ++i) {
            if (XMLString::compare(bytes(_records[i].name.c_str()), name) == 0) return &_records[i];
        }
        return nullptr;
    }

    std::vector<Record> _records;
    unsigned int _count = 0;
};

// One pass of the walk over a stored element and everything inside it.
//
// Besides the depth counter, the walk remembers for each open element the
// pointer field it was entered from and the chain it entered. In a sound
// file every chain start leads back to the pointer that refers to it and no
// element contains itself; a file that breaks either would otherwise make
// the walk loop or descend without end, so it is reported as damaged.
//
// What the walk reads goes into storage it keeps (the text, the attributes,
// the open chains), and tag names are the database's own, so that it takes
// no memory per field.
class Walk {
public:
    Walk(lumxmlref& reference, DocumentHandler* handler)
        : _ref(reference), _handler(handler) {}

    // Runs until the element the walk started on is closed, or until the
    // walk meets a "SOD" element or a field it cannot replay.
    void run() {
        while (_step()) {
        }
    }

private:
    bool _step() {
        switch (_ref.getStateInTagChain()) {
            case XMLCTRL_PCDATA: return _textField();
            case XMLCTRL_ELEMENT:
            case XMLCTRL_DOCUMENT: return _elementStart();
            case XMLCTRL_CHAIN_END: return _elementEnd();
            case XMLCTRL_CHAIN_START: return _chainStart();
            case XMLCTRL_STRING:
                _ref.GotoNextField();
                return true;
            default: return _unknownField();
        }
    }

    bool _textField() {
        _ref.GetPCDATA(_text);
        if (_handler != nullptr) {
            _handler->characters(bytes(_text.c_str()), 0, static_cast<unsigned int>(_text.size()));
        }
        _ref.GotoNextField();
        return true;
    }

    bool _elementStart() {
        ++_depth;
        _enter();
        _ref.GotoNextField();
        _attributes.clear();
        while (_ref.getCurrentBasetype() == XML_BT_ATTRIBUTE_NAME) {
            if (!_ref.getAttribute(_attributes.nextName(), _attributes.nextValue())) break;
            _attributes.keep();
            _ref.GotoNextField();
        }
        const std::string& tag = _ref.getCurrentTagName();
        if (tag == XML_TAG_DOCUMENT_CHAIN) return false;
        if (_handler != nullptr) _handler->startElement(bytes(tag.c_str()), _attributes);
        return true;
    }

    bool _elementEnd() {
        _emitEnd();
        _climb();
        _leave();
        // Once the element the walk began with is complete, the next position
        // is never read, and finding it could mean walking a long parent chain.
        if (--_depth == 0) return false;
        _ref.GotoNextField();
        return true;
    }

    bool _chainStart() {
        if (_ref.GotoNextField()) return true;
        _emitEnd();
        _ref.GotoParentTagChainInBranch();
        return false;
    }

    // Nothing would move the reference on: say so once and stop.
    bool _unknownField() {
        const std::string& tag = _ref.getCurrentTagName();
        // The line goes to standard output too: what a writer holds back
        // belongs before it.
        if (auto* writer = dynamic_cast<HandlerDump*>(_handler)) writer->flush();
        std::printf("error: tagname=\"%s\", basetype=0x%02x\n", tag.c_str(),
                    static_cast<unsigned int>(_ref.getCurrentBasetype()) & 0xffu);
        std::fflush(stdout);
        return false;
    }

    void _emitEnd() {
        const std::string& tag = _ref.getCurrentTagName();
        if (_handler != nullptr) _handler->endElement(bytes(tag.c_str()));
    }

    // From a pointer field into the chain it refers to.
    void _enter() {
        const unsigned long pointer = _ref.getCurrentLocation();
        _ref.GotoChildTagChainStart();
        const unsigned long chain = _ref.getCurrentLocation();
        const unsigned long parent = _ref.getLinkedLocation();
        if (_ref.getCurrentBasetype() != XML_BT_CHAIN_START ||
            !_open.insert(static_cast<uint32_t>(chain))) {
            throwDamaged();
        }
        _path.push_back(Frame{pointer, chain, parent});
    }

    // From the end of a chain to the pointer field its start leads back to.
    // Still in the chain it entered, the walk knows that start's value
    // already; anywhere else it reads the start of the chain it is in.
    void _climb() {
        if (_path.empty() || _ref.getCurrentChainLocation() != _path.back().chain) {
            _ref.GotoParentTagChainInBranch();
            return;
        }
        // A start that leads elsewhere, or nowhere, fails the check that follows.
        const Frame& frame = _path.back();
        if (frame.parent == frame.pointer) _ref.setNewLocation(frame.pointer);
    }

    // Called after the climb from a finished chain to its parent.
    void _leave() {
        if (_path.empty() || _ref.getCurrentLocation() != _path.back().pointer) throwDamaged();
        _open.erase(static_cast<uint32_t>(_path.back().chain));
        _path.pop_back();
    }

    struct Frame {
        unsigned long pointer;
        unsigned long chain;
        // The value of the chain's start field.
        unsigned long parent;
    };

    lumxmlref& _ref;
    DocumentHandler* _handler;
    long _depth = 0;
    std::string _text;
    StoredAttributes _attributes;
    std::vector<Frame> _path;
    // The chains of the open elements.
    tarnxml_detail::AddressSet _open;
};

bool onPointerField(lumxmlref& reference) {
    const lumxmlctrl state = reference.getStateInTagChain();
    return state == XMLCTRL_ELEMENT || state == XMLCTRL_DOCUMENT;
}

// Field 0 of the document chain, its "DOCCHAIN" string.
bool onDocumentChain(lumxmlref& reference) {
    return reference.getStateInTagChain() == XMLCTRL_STRING;
}

void check(uint32_t rc) {
    if (rc != 0) throw LumXMLException(static_cast<int>(rc));
}

// User type of the field at `address`.
uint32_t usertypeAt(lumdb* database, unsigned long address) {
    lumcursor* cursor = nullptr;
    check(LumCursorCreate(&cursor, database));
    LumTypeId id = 0;
    uint32_t rc = LumCursorGotoMemberAddress(cursor, static_cast<uint32_t>(address));
    if (rc == 0) rc = LumCursorFetchField(cursor, &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    LumCursorDestroy(cursor);
    check(rc);
    return id >> 16;
}

// A document chain may hold an empty document whose root has no type (user
// type 0), as a database made from an empty XML text does: nothing to replay.
bool holdsDocument(LumXMLDb& database, lumxmlref& reference) {
    if (!onPointerField(reference)) return false;
    lumxmlref root = reference.clone();
    return root.GotoChildTagChainStart() &&
           usertypeAt(database.getDatabaseHandle(), root.getCurrentLocation()) != 0;
}

}  // namespace

// ---- StoredLocator ---------------------------------------------------------

int StoredLocator::getColumnNumber() const { return -1; }
int StoredLocator::getLineNumber() const { return -1; }
const unsigned char* StoredLocator::getPublicId() const { return nullptr; }
const unsigned char* StoredLocator::getSystemId() const { return nullptr; }

// ---- DriverOrlo ------------------------------------------------------------

// The span of one parse or query: marks the driver busy and, unless the call
// finished normally, releases the reference and the database on the way out.
class DriverOrlo::Session {
public:
    explicit Session(DriverOrlo& driver) : _driver(driver) { _driver._parsing = true; }
    ~Session() {
        if (!_finished) _driver._abandon();
        _driver._parsing = false;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void finished() { _finished = true; }

private:
    DriverOrlo& _driver;
    bool _finished = false;
};

DriverOrlo::DriverOrlo()
    : _entityResolver(nullptr),
      _dtdHandler(nullptr),
      _documentHandler(nullptr),
      _errorHandler(nullptr),
      _parsing(false) {}

DriverOrlo::~DriverOrlo() { _abandon(); }

void DriverOrlo::setDocumentHandler(DocumentHandler* handler) { _documentHandler = handler; }
void DriverOrlo::setDTDHandler(DTDHandler* handler) { _dtdHandler = handler; }
void DriverOrlo::setEntityResolver(EntityResolver* resolver) { _entityResolver = resolver; }
void DriverOrlo::setErrorHandler(ErrorHandler* handler) { _errorHandler = handler; }

void DriverOrlo::parse(const char* systemId) { parse(bytes(systemId)); }

void DriverOrlo::parse(const unsigned char* systemId) {
    if (_parsing) throw SAXException("Already parsing");
    InputSourceURI source(systemId);
    parse(static_cast<InputSource&>(source));
}

void DriverOrlo::parse(InputSource& source) {
    if (_parsing) throw SAXException("Already parsing");
    StoredLocator locator;
    Session session(*this);
    replaying([&] {
        _begin(locator, source);
        // Asking for the root of a database without a document chain would
        // create one; a replay must not change the file.
        const bool hasChain = _database.HasDocumentChain();
        if (hasChain) _database.GetDocumentRootNode(nullptr, &*_reference);
        if (_documentHandler != nullptr) _documentHandler->startDocument();
        if (hasChain && holdsDocument(_database, *_reference)) _follow(locator);
        _finish();
    });
    session.finished();
}

bool DriverOrlo::queryUnique(InputSource& source, const unsigned char* environment,
                             const unsigned char* tag, const unsigned char* value) {
    if (_parsing) throw SAXException("Already parsing");
    StoredLocator locator;
    Session session(*this);
    bool found = false;
    replaying([&] {
        _begin(locator, source);
        // The climb fails when no enclosing element bears the name: that is
        // no match either.
        found = _database.GetElementPCDATAUnique(environment, tag, value, &*_reference) &&
                _reference->GotoNamedParentTagChainStart(environment);
        if (!found) {
            if (_documentHandler != nullptr) {
                _documentHandler->startDocument();
                _documentHandler->endDocument();
            }
            _reference.reset();
            _database.Close();
        } else {
            // The document chain, reached when the environment is its own
            // tag, has no chain start to climb from: the walk starts on its
            // first field and replays the document.
            const bool climbed = _reference->GotoParentTagChainInBranch();
            if (climbed ? !onPointerField(*_reference) : !onDocumentChain(*_reference)) {
                throwDamaged();
            }
            if (_documentHandler != nullptr) _documentHandler->startDocument();
            _follow(locator);
            _finish();
        }
    });
    session.finished();
    return found;
}

bool DriverOrlo::queryUnique(const unsigned char*, const unsigned char*, const unsigned char*) {
    return false;
}

bool DriverOrlo::setInputSource(InputSource& source) {
    _database.SetDatabaseName(source.getSystemId());
    _database.OpenReadOnly();
    return true;
}

void DriverOrlo::replayElement(LumXMLDb& database, unsigned long chainStart) {
    if (_parsing) throw SAXException("Already parsing");
    struct Busy {
        bool& flag;
        explicit Busy(bool& f) : flag(f) { flag = true; }
        ~Busy() { flag = false; }
    } busy(_parsing);
    replaying([&] { tarnxml_detail::replayElement(database, chainStart, _documentHandler); });
}

void DriverOrlo::_begin(const Locator& locator, InputSource& source) {
    if (_documentHandler != nullptr) _documentHandler->setDocumentLocator(&locator);
    _database.SetDatabaseName(source.getSystemId());
    _database.OpenReadOnly();
    _reference.emplace();
}

// The normal end: the reference goes before the database, which refuses to
// close while a cursor of it lives; endDocument comes last.
void DriverOrlo::_finish() {
    _reference.reset();
    _database.Close();
    if (_documentHandler != nullptr) _documentHandler->endDocument();
}

void DriverOrlo::_abandon() noexcept {
    try {
        _reference.reset();
        _database.Close();
    } catch (...) {
        // Already failing: the first failure is the one reported.
    }
}

void DriverOrlo::_follow(const Locator&) { Walk(*_reference, _documentHandler).run(); }

}  // namespace LumXMLSAX

void tarnxml_detail::replayElement(LumXMLDb& database, unsigned long chainStart,
                                   LumXMLSAX::DocumentHandler* handler) {
    using namespace LumXMLSAX;
    // The walk starts on the pointer field that leads into the element.
    lumxmlref element(&database);
    element.setNewLocation(chainStart);
    if (chainStart == 0 || element.getCurrentLocation() != chainStart ||
        element.getCurrentBasetype() != XML_BT_CHAIN_START ||
        !element.GotoParentTagChainInBranch() || !onPointerField(element)) {
        throwDamaged();
    }
    Walk(element, handler).run();
}
