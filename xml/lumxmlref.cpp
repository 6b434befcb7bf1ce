#include "xml/lumxmlref.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/tarn20.h"
#include "xml/address_set.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"
#include "xml/xml_basetypes.h"

using tarnxml_detail::DbState;

namespace {

// Values of up to this size are fetched in one call.
constexpr uint32_t kLocalValue = 256;

// Handed out by GetPCDATADyn for an empty value; never freed.
unsigned char gEmptyText[1] = {0};

[[noreturn]] void fail(uint32_t rc) { throw LumXMLException(static_cast<int>(rc)); }
void check(uint32_t rc) {
    if (rc != 0) fail(rc);
}

bool isPointer(int basetype) {
    return basetype == XML_BT_DOCUMENT || basetype == XML_BT_ELEMENT ||
           basetype == XML_BT_ATTRIBUTE_BRANCH;
}

// What the engine knows of the current field without reading its value.
struct FieldHead {
    uint32_t typeId = 0;
    uint32_t address = 0;
    uint32_t owner = 0;
};

uint32_t fetchHead(lumcursor* cursor, FieldHead* head) {
    return LumCursorFetchField(cursor, &head->typeId, nullptr, 0, nullptr, nullptr, &head->address,
                               &head->owner);
}

// The current field's 32-bit value, with what fetchHead gives.
uint32_t fetchWord(lumcursor* cursor, FieldHead* head, uint32_t* value) {
    *value = 0;
    return LumCursorFetchField(cursor, &head->typeId, value, sizeof *value, nullptr, nullptr,
                               &head->address, &head->owner);
}

// The current field's value in `encoding` into `text`, without the
// terminator that the engine's size counts; text is left as it was when the
// fetch fails.
uint32_t fetchText(lumcursor* cursor, uint32_t encoding, FieldHead* head, std::string& text) {
    unsigned char local[kLocalValue];
    uint32_t n = 0;
    uint32_t rc = LumCursorFetchField(cursor, &head->typeId, local, sizeof local, &encoding, &n,
                                      &head->address, &head->owner);
    if (rc == 0) {
        text.assign(reinterpret_cast<const char*>(local), n != 0 ? n - 1 : 0);
        return 0;
    }
    if (rc != LUM_ERR_BUFFER_TOO_SMALL) return rc;
    std::string whole(n, '\0');
    rc = LumCursorFetchField(cursor, nullptr, &whole[0], n, &encoding, nullptr, nullptr, nullptr);
    if (rc != 0) return rc;
    whole.resize(n - 1);
    text.swap(whole);
    return 0;
}

// A malloc copy of `text`, NUL-terminated. Throws 4096 when malloc fails.
unsigned char* mallocCopy(const std::string& text) {
    auto* buffer = static_cast<unsigned char*>(std::malloc(text.size() + 1));
    if (buffer == nullptr) fail(LUM_ERR_MALLOC);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return buffer;
}

}  // namespace

// ---- Construction and ownership ----------------------------------------------

lumxmlref::lumxmlref() : database(nullptr), cursor(nullptr), state(XMLCTRL_NONE), _typeId(0) {}

lumxmlref::lumxmlref(LumXMLDb* db) : lumxmlref() {
    if (db != nullptr) db->createXMLref(this);
}

lumxmlref::lumxmlref(LumXMLDb* db, lumcursor* handle) : lumxmlref() {
    database = db;
    _shared = db != nullptr ? db->_state : nullptr;
    cursor = handle;
    _holdShare();
}

lumxmlref::lumxmlref(const lumxmlref& other) : lumxmlref() {
    database = other.database;
    _shared = other._shared;
    if (!other._live()) return;
    FieldHead head;
    const uint32_t rc = fetchHead(other.cursor, &head);
    if (rc != 0 && rc != LUM_ERR_NO_FIELD) fail(rc);
    lumcursor* handle = nullptr;
    check(LumCursorCreate(&handle, _shared->database));
    if (rc == 0) {
        const uint32_t moved = LumCursorGotoMemberAddress(handle, head.address);
        if (moved != 0) {
            LumCursorDestroy(handle);
            fail(moved);
        }
    }
    cursor = handle;
    _holdShare();
    _known(other._typeId, rc == 0 ? head.address : 0, rc == 0 ? head.owner : 0);
}

lumxmlref& lumxmlref::operator=(const lumxmlref& other) {
    if (this == &other) return *this;
    if (!other._live()) {
        // other.database may have gone already: only the shared state is used.
        _bindShared(other.database, other._shared, nullptr);
        return *this;
    }
    FieldHead head;
    const uint32_t rc = fetchHead(other.cursor, &head);
    if (rc != 0 && rc != LUM_ERR_NO_FIELD) fail(rc);
    if (!_live() || _shared != other._shared) {
        lumcursor* handle = nullptr;
        check(LumCursorCreate(&handle, other._shared->database));
        _bindShared(other.database, other._shared, handle);
    }
    _known(0, 0);
    if (rc == 0) {
        check(LumCursorGotoMemberAddress(cursor, head.address));
        _known(other._typeId, head.address, head.owner);
    } else {
        LumCursorNewRecord(cursor);
    }
    return *this;
}

lumxmlref lumxmlref::clone() const { return lumxmlref(*this); }

lumxmlref::~lumxmlref() { Destroy(); }

void lumxmlref::Destroy() {
    if (cursor == nullptr || _shared == nullptr) return;
    // A closed database has no live cursor left: the engine refuses to close
    // while one exists. So a cursor of a closed database is only forgotten.
    if (_shared->opened) LumCursorDestroy(cursor);
    _releaseShare();
    cursor = nullptr;
    _known(0, 0);
}

void lumxmlref::setDatabase(LumXMLDb* db) {
    _releaseShare();
    database = db;
    _shared = db != nullptr ? db->_state : nullptr;
    _holdShare();
    _known(0, 0);
}

void lumxmlref::setCursorHandle(lumcursor* handle) {
    _releaseShare();
    cursor = handle;
    _holdShare();
    _known(0, 0);
}

bool lumxmlref::_live() const { return cursor != nullptr && _shared != nullptr && _shared->opened; }

void lumxmlref::_releaseShare() {
    if (cursor != nullptr && _shared != nullptr && _shared->liveCursors != 0) --_shared->liveCursors;
}

void lumxmlref::_holdShare() {
    if (cursor != nullptr && _shared != nullptr) ++_shared->liveCursors;
}

void lumxmlref::_bind(LumXMLDb* db, lumcursor* newCursor, uint32_t typeId) {
    _bindShared(db, db != nullptr ? db->_state : nullptr, newCursor);
    _known(typeId, 0);
}

void lumxmlref::_bindShared(LumXMLDb* db, const std::shared_ptr<DbState>& shared,
                            lumcursor* newCursor) {
    Destroy();
    setCursorHandle(nullptr);
    database = db;
    _shared = shared;
    cursor = newCursor;
    _holdShare();
    _known(0, 0);
}

unsigned long lumxmlref::getCurrentLocation() const {
    if (!_live()) return 0;
    if (_address == 0) _learnHead();
    return _address;
}

unsigned long lumxmlref::getCurrentChainLocation() const {
    if (!_live()) return 0;
    if (_owner == 0) _learnHead();
    return _owner;
}

unsigned long lumxmlref::getLinkedLocation() {
    if (!_live()) return 0;
    FieldHead head;
    uint32_t value = 0;
    // Text is asked for in the stored encoding, which costs no conversion;
    // it does not fit, and is not wanted.
    const uint32_t encoding = static_cast<uint32_t>(_shared->outputEncoding);
    const uint32_t rc = LumCursorFetchField(cursor, &head.typeId, &value, sizeof value, &encoding,
                                            nullptr, &head.address, &head.owner);
    if (rc != 0 && rc != LUM_ERR_BUFFER_TOO_SMALL) fail(rc);
    _known(head.typeId, head.address, head.owner);
    const int basetype = xmlBasetypeOf(head.typeId);
    return rc == 0 && (isPointer(basetype) || basetype == XML_BT_CHAIN_START) ? value : 0;
}

void lumxmlref::setNewLocation(unsigned long address) {
    if (!_live() || address > UINT32_MAX) return;
    _gotoAddress(static_cast<uint32_t>(address));
}

// ---- Cursor moves: every move of the cursor passes here ----------------------

uint32_t lumxmlref::_gotoField(uint32_t position) {
    _known(0, 0);
    return LumCursorGotoField(cursor, position);
}

bool lumxmlref::_gotoAddress(uint32_t address) {
    _known(0, 0);
    if (LumCursorGotoMemberAddress(cursor, address) != 0) return false;
    // The engine stands on exactly the address it was given.
    _address = address;
    return true;
}

void lumxmlref::_known(uint32_t typeId, uint32_t address, uint32_t owner) const {
    _typeId = typeId;
    _address = address;
    _owner = owner;
}

// What the engine tells of the current field without its value; nothing
// is known when it cannot tell.
void lumxmlref::_learnHead() const {
    FieldHead head;
    if (fetchHead(cursor, &head) == 0) _known(head.typeId, head.address, head.owner);
}

uint32_t lumxmlref::_currentTypeId() const {
    if (_typeId == 0) _learnHead();
    return _typeId;
}

int lumxmlref::_getCurrentUsertype() { return xmlUsertypeOf(_currentTypeId()); }

int lumxmlref::_getUsertype(const unsigned char* tag) { return _shared->lookupTag(tag); }

// ---- Writing -----------------------------------------------------------------

void lumxmlref::_appendPair(const unsigned char* tag, int basetype) {
    const int parent = _getCurrentUsertype();
    const int child = _getUsertype(tag);
    const uint32_t rc =
        LumXMLAppendPointerPair(cursor, parent, child & 0xFFFF, static_cast<uint8_t>(basetype),
                                &_pairPointer, nullptr);
    _known(rc == 0 ? xmlTypeId(child, XML_BT_CHAIN_START) : 0, 0);
    _pairTypeId = rc == 0 ? xmlTypeId(parent, basetype) : 0;
    check(rc);
}

uint32_t lumxmlref::_appendText(int basetype, const unsigned char* text) {
    const LumTypeId id = xmlTypeId(_getCurrentUsertype(), basetype);
    const uint32_t encoding = static_cast<uint32_t>(_shared->inputEncoding);
    const unsigned char* value = text != nullptr ? text : gEmptyText;
    const uint32_t rc = LumCursorAppendField(cursor, id, value, 0, &encoding);
    // A refused append leaves the cursor where it was.
    if (rc == 0) _known(id, 0);
    return rc;
}

void lumxmlref::putElement(const unsigned char* tag) {
    if (!_live()) fail(LUM_ERR_BAD_CURSOR);
    _appendPair(tag, XML_BT_ELEMENT);
}

void lumxmlref::putAttributeBranch(const unsigned char* tag) {
    if (_shared == nullptr || !_shared->opened) return;
    if (cursor == nullptr) fail(LUM_ERR_BAD_CURSOR);
    _appendPair(tag, XML_BT_ATTRIBUTE_BRANCH);
}

void lumxmlref::putAttributeValues(const unsigned char* name, const unsigned char* value) {
    if (!_live()) fail(LUM_ERR_BAD_CURSOR);
    check(_appendText(XML_BT_ATTRIBUTE_NAME, name));
    check(_appendText(XML_BT_ATTRIBUTE_VALUE, value));
}

void lumxmlref::putPCDATA(const unsigned char* text) {
    if (!_live() || text == nullptr) return;
    _appendText(XML_BT_PCDATA, text);
}

void lumxmlref::expectText(int basetype, const unsigned char* text) {
    if (!_live() || text == nullptr) return;
    const uint32_t encoding = static_cast<uint32_t>(_shared->inputEncoding);
    LumCursorExpectValue(cursor, xmlTypeId(0, basetype), text, &encoding);
}

// ---- Reading -----------------------------------------------------------------

void lumxmlref::GetPCDATA(unsigned char* buffer, unsigned long size) {
    if (!_live() || buffer == nullptr) return;
    const uint32_t encoding = static_cast<uint32_t>(_shared->outputEncoding);
    const uint32_t capped = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    LumCursorFetchField(cursor, nullptr, buffer, capped, &encoding, nullptr, nullptr, nullptr);
}

void lumxmlref::GetPCDATA(std::string& text) {
    text.clear();
    if (!_live()) return;
    FieldHead head;
    // A value that cannot be read is an error, never an empty text.
    check(fetchText(cursor, static_cast<uint32_t>(_shared->outputEncoding), &head, text));
    _known(head.typeId, head.address, head.owner);
}

void lumxmlref::GetPCDATADyn(unsigned char** text, unsigned long* length) {
    if (text == nullptr || length == nullptr) return;
    *text = gEmptyText;
    *length = 0;
    std::string value;
    GetPCDATA(value);
    // An empty value is always the shared text, so a length of 0 alone tells
    // the caller there is nothing to free.
    if (value.empty()) return;
    *text = mallocCopy(value);
    *length = value.size();
}

bool lumxmlref::getAttribute(std::string& name, std::string& value) {
    if (!_live()) return false;
    const uint32_t encoding = static_cast<uint32_t>(_shared->outputEncoding);
    FieldHead nameHead;
    check(fetchText(cursor, encoding, &nameHead, name));
    _known(nameHead.typeId, nameHead.address, nameHead.owner);
    if (xmlBasetypeOf(nameHead.typeId) != XML_BT_ATTRIBUTE_NAME) return false;
    const lumxmlctrl before = state;
    if (GotoNextField()) {
        FieldHead valueHead;
        check(fetchText(cursor, encoding, &valueHead, value));
        _known(valueHead.typeId, valueHead.address, valueHead.owner);
        if (xmlBasetypeOf(valueHead.typeId) == XML_BT_ATTRIBUTE_VALUE) return true;
        // A name without its value: stand on the name again.
        _gotoAddress(nameHead.address);
    }
    state = before;
    return false;
}

bool lumxmlref::getAttributeDyn(unsigned char** name, unsigned char** value) {
    if (name == nullptr || value == nullptr) return false;
    std::string nameText;
    std::string valueText;
    if (!getAttribute(nameText, valueText)) return false;
    unsigned char* nameCopy = mallocCopy(nameText);
    try {
        *value = mallocCopy(valueText);
    } catch (...) {
        std::free(nameCopy);
        throw;
    }
    *name = nameCopy;
    return true;
}

const std::string& lumxmlref::getCurrentTagName() const {
    if (!_live()) fail(LUM_ERR_BAD_CURSOR);
    return _shared->tagName(xmlUsertypeOf(_currentTypeId()));
}

void lumxmlref::getCurrentTagDyn(unsigned char** name, unsigned long* length) const {
    if (name == nullptr) return;
    const std::string& tag = getCurrentTagName();
    *name = mallocCopy(tag);
    if (length != nullptr) *length = tag.size();
}

void lumxmlref::getCurrentTag(unsigned char* buffer, int size) {
    if (!_live() || buffer == nullptr || size <= 0) return;
    LumCursorFetchField(cursor, nullptr, buffer, static_cast<uint32_t>(size), nullptr, nullptr,
                        nullptr, nullptr);
}

int lumxmlref::getCurrentBasetype() const {
    if (state == XMLCTRL_CHAIN_END) return 0;
    if (!_live()) fail(LUM_ERR_BAD_CURSOR);
    if (_typeId == 0) {
        FieldHead head;
        check(fetchHead(cursor, &head));
        _known(head.typeId, head.address, head.owner);
    }
    return xmlBasetypeOf(_typeId);
}

void lumxmlref::_updateState(int basetype) {
    switch (basetype) {
        case XML_BT_PCDATA: state = XMLCTRL_PCDATA; break;
        case XML_BT_ATTRIBUTE_NAME: state = XMLCTRL_ATTRIBUTE_NAME; break;
        case XML_BT_ATTRIBUTE_VALUE: state = XMLCTRL_ATTRIBUTE_VALUE; break;
        case XML_BT_ELEMENT:
        case XML_BT_ATTRIBUTE_BRANCH: state = XMLCTRL_ELEMENT; break;
        case XML_BT_CHAIN_START: state = XMLCTRL_CHAIN_START; break;
        case XML_BT_DOCUMENT: state = XMLCTRL_DOCUMENT; break;
        case XML_BT_STRING: state = XMLCTRL_STRING; break;
        default: state = XMLCTRL_NONE; break;
    }
}

lumxmlctrl lumxmlref::getStateInTagChain() {
    const int basetype = getCurrentBasetype();
    if (basetype != 0) _updateState(basetype);
    return state;
}

bool lumxmlref::_readChainStart(uint32_t* value) {
    if (_gotoField(0) != 0) return false;
    FieldHead head;
    if (fetchWord(cursor, &head, value) != 0) return false;
    _known(head.typeId, head.address, head.owner);
    return xmlBasetypeOf(head.typeId) == XML_BT_CHAIN_START;
}

bool lumxmlref::hasParent() {
    if (!_live()) return false;
    uint32_t parent = 0;
    return _readChainStart(&parent) && parent != 0;
}

// ---- Moving ------------------------------------------------------------------

void lumxmlref::GotoCurrentTagChainStart() {
    if (_live()) _gotoField(0);
}

void lumxmlref::GotoCurrentTagChainEnd() {
    if (!_live()) return;
    uint32_t count = 0;
    LumCursorGetNumFields(cursor, &count);
    if (count != 0) _gotoField(count - 1);
}

bool lumxmlref::GotoNextField() {
    if (!_live()) return false;
    const uint32_t rc = LumCursorGotoNextField(cursor);
    if (rc == LUM_ERR_NO_RECORD || rc == LUM_ERR_NO_FIELD) {
        state = XMLCTRL_CHAIN_END;
        return false;
    }
    if (rc == LUM_ERR_BAD_FIELD_INDEX) {
        // No next field; the cursor (and what is known of its field) stays.
        state = XMLCTRL_CHAIN_END;
        return false;
    }
    _known(0, 0);
    check(rc);
    state = XMLCTRL_NONE;
    return true;
}

bool lumxmlref::GotoParentTagChainInBranch() {
    if (!_live()) return false;
    uint32_t parent = 0;
    if (!_readChainStart(&parent) || parent == 0) return false;
    return _gotoAddress(parent);
}

bool lumxmlref::GotoParentTagChainNextBranch() {
    if (!_live()) return false;
    GotoParentTagChainInBranch();
    if (GotoNextField()) return true;
    GotoChildTagChainStart();
    return false;
}

void lumxmlref::GotoParentTagChainStart() {
    GotoParentTagChainInBranch();
    GotoCurrentTagChainStart();
}

void lumxmlref::GotoParentTagChainEnd() {
    GotoParentTagChainInBranch();
    GotoCurrentTagChainEnd();
}

bool lumxmlref::GotoChildTagChainStart() {
    if (!_live()) return false;
    FieldHead head;
    uint32_t target = 0;
    if (fetchWord(cursor, &head, &target) != 0 || !isPointer(xmlBasetypeOf(head.typeId))) return false;
    return _gotoAddress(target);
}

bool lumxmlref::GotoFirstChild() { return GotoChildTagChainStart() && GotoNextField(); }

bool lumxmlref::GotoLastChild() {
    if (!GotoChildTagChainStart()) return false;
    GotoCurrentTagChainEnd();
    return true;
}

bool lumxmlref::GotoNamedParentTagChain(const unsigned char* tag) {
    if (!_live()) return false;
    // A tag the dictionary lacks names no chain (the climb goes all the way
    // up); nothing is created for it.
    int usertype = 0;
    const bool known = tag == nullptr || _shared->findTag(tag, &usertype);
    const int wanted = known ? usertype & 0xFFFF : -1;
    // A damaged file may link chains in a circle: every pointer field is
    // passed at most once.
    tarnxml_detail::AddressSet passed;
    for (;;) {
        if (!GotoParentTagChainInBranch()) return false;
        FieldHead head;
        if (fetchHead(cursor, &head) != 0 || !passed.insert(head.address)) return false;
        _known(head.typeId, head.address, head.owner);
        if (xmlUsertypeOf(head.typeId) == wanted) return true;
    }
}

bool lumxmlref::GotoNamedParentTagChainStart(const unsigned char* tag) {
    const bool found = GotoNamedParentTagChain(tag);
    GotoCurrentTagChainStart();
    return found;
}

bool lumxmlref::GotoNamedParentTagChainEnd(const unsigned char* tag) {
    const bool found = GotoNamedParentTagChain(tag);
    GotoCurrentTagChainEnd();
    return found;
}

void lumxmlref::GotoRootNode() {
    if (!_live()) return;
    tarnxml_detail::AddressSet passed;
    for (;;) {
        FieldHead head;
        if (fetchHead(cursor, &head) != 0) return;
        _known(head.typeId, head.address, head.owner);
        if (xmlBasetypeOf(head.typeId) == XML_BT_DOCUMENT) return;
        if (!passed.insert(head.address) || !GotoParentTagChainInBranch()) return;
    }
}

bool lumxmlref::GotoDocumentTagChainInBranch() { return true; }

// ---- Deleting ----------------------------------------------------------------

bool lumxmlref::DeleteCurrentTagChain() {
    if (!_live()) return false;
    _known(0, 0);
    check(LumCursorEraseRecord(cursor));
    return true;
}

bool lumxmlref::DeleteCurrentTagChain(bool recursive) {
    if (!recursive) return DeleteCurrentTagChain();
    if (!_live()) return false;
    _eraseTree();
    return true;
}

// Start fields of the chains that the pointer fields (134, 135) of the
// current chain refer to; a target that is not a chain's start field (a
// damaged pointer) is left out.
std::vector<uint32_t> lumxmlref::_childChains() {
    std::vector<uint32_t> targets;
    uint32_t count = 0;
    check(LumCursorGetNumFields(cursor, &count));
    for (uint32_t position = 1; position < count; ++position) {
        check(_gotoField(position));
        FieldHead head;
        uint32_t target = 0;
        if (fetchWord(cursor, &head, &target) != 0) continue;
        const int basetype = xmlBasetypeOf(head.typeId);
        if (basetype == XML_BT_ELEMENT || basetype == XML_BT_ATTRIBUTE_BRANCH) targets.push_back(target);
    }
    std::vector<uint32_t> chains;
    for (uint32_t target : targets) {
        FieldHead head;
        if (!_gotoAddress(target) || fetchHead(cursor, &head) != 0) continue;
        if (xmlBasetypeOf(head.typeId) == XML_BT_CHAIN_START && head.address == head.owner) {
            chains.push_back(target);
        }
    }
    return chains;
}

// Erases the current chain and all chains below it, deepest first. The tree
// is collected breadth-first without recursion; each chain is taken once,
// so a damaged file that links chains in a circle cannot make it loop.
void lumxmlref::_eraseTree() {
    check(_gotoField(0));
    FieldHead root;
    check(fetchHead(cursor, &root));
    std::vector<uint32_t> chains{root.owner};
    tarnxml_detail::AddressSet seen;
    seen.insert(root.owner);
    for (size_t next = 0; next < chains.size(); ++next) {
        if (!_gotoAddress(chains[next])) fail(LUM_ERR_ILLEGAL_FILE);
        for (uint32_t child : _childChains()) {
            if (seen.insert(child)) chains.push_back(child);
        }
    }
    for (auto chain = chains.rbegin(); chain != chains.rend(); ++chain) {
        if (!_gotoAddress(*chain)) fail(LUM_ERR_ILLEGAL_FILE);
        check(LumCursorEraseRecord(cursor));
    }
    _known(0, 0);
}
