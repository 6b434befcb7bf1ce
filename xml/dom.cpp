#include "xml/dom.h"

#include <cstdlib>

#include "xml/xml_basetypes.h"

namespace {

// Frees a buffer handed out by lumxmlref.
struct MallocText {
    unsigned char* text = nullptr;
    ~MallocText() { std::free(text); }
};

bool isPointerBasetype(int basetype) {
    return basetype == XML_BT_DOCUMENT || basetype == XML_BT_ELEMENT ||
           basetype == XML_BT_ATTRIBUTE_BRANCH;
}

XMLString tagOf(const lumxmlref& reference) {
    MallocText name;
    unsigned long length = 0;
    reference.getCurrentTagDyn(&name.text, &length);
    return XMLString(name.text);
}

NodeImpl nullNode() {
    NodeImpl node;
    node.setNull(true);
    return node;
}

}  // namespace

// ---- NodeImpl ----------------------------------------------------------------

NodeImpl::NodeImpl() : _null(false), _kind(0) {}

NodeImpl::NodeImpl(int kind) : _null(false), _kind(kind) {}

NodeImpl::NodeImpl(const lumxmlref& ref, int kind) : _reference(ref), _null(false), _kind(kind) {}

NodeImpl::NodeImpl(const NodeImpl& other)
    : _reference(other._reference), _null(other._null), _kind(other._kind) {}

NodeImpl& NodeImpl::operator=(const NodeImpl& other) {
    if (this != &other) {
        _reference = other._reference;
        _null = other._null;
    }
    return *this;
}

NodeImpl::~NodeImpl() = default;

unsigned short NodeImpl::getNodeType() const {
    if (!_placed()) return kOtherNode;
    switch (_reference.getCurrentBasetype()) {
        case XML_BT_DOCUMENT: return kDocumentNode;
        case XML_BT_ELEMENT: return kElementNode;
        case XML_BT_ATTRIBUTE_BRANCH: return kAttributeNode;
        case XML_BT_PCDATA: return kTextNode;
        default: return kOtherNode;
    }
}

XMLString NodeImpl::getNodeName() const {
    switch (getNodeType()) {
        case kElementNode:
        case kAttributeNode: {
            lumxmlref element = _reference.clone();
            element.GotoChildTagChainStart();
            return tagOf(element);
        }
        case kTextNode: return XMLString("#text");
        case 4: return XMLString("#cdata-section");
        case 8: return XMLString("#comment");
        case kDocumentNode: return XMLString("#document");
        case 11: return XMLString("#document-fragment");
        default: return XMLString("");
    }
}

NodeImpl NodeImpl::parentNodeGet() const { return _moved(Move::kParent); }
NodeImpl NodeImpl::firstChildGet() const { return _moved(Move::kFirstChild); }
NodeImpl NodeImpl::lastChildGet() const { return _moved(Move::kLastChild); }

// A clone of the reference is moved, so this node stays where it is. Only
// pointer fields have children; a chain of its start field alone has none.
NodeImpl NodeImpl::_moved(Move move) const {
    if (move == Move::kParent ? !_placed() : !_onPointer()) return nullNode();
    lumxmlref moved = _reference.clone();
    switch (move) {
        case Move::kParent:
            if (!moved.GotoParentTagChainInBranch()) return nullNode();
            break;
        case Move::kFirstChild:
            if (!moved.GotoFirstChild()) return nullNode();
            break;
        case Move::kLastChild:
            if (!moved.GotoLastChild() || moved.getCurrentBasetype() == XML_BT_CHAIN_START) {
                return nullNode();
            }
            break;
    }
    return NodeImpl(moved);
}

NodeImpl NodeImpl::insertBefore(NodeImpl newChild, NodeImpl refChild) {
    if (refChild.isNull()) appendChild(newChild);
    return NodeImpl(0);
}

NodeImpl* NodeImpl::replaceChild(NodeImpl*, NodeImpl*) { return nullptr; }
NodeImpl* NodeImpl::removeChild(NodeImpl*) { return nullptr; }
NodeImpl NodeImpl::appendChild(NodeImpl) { return NodeImpl(0); }
NodeImpl* NodeImpl::cloneNode(bool) { return nullptr; }

bool NodeImpl::hasChildNodes() const { return !firstChildGet().isNull(); }

XMLString NodeImpl::_getTagName() const { return tagOf(_reference); }

bool NodeImpl::_placed() const { return _reference.getCurrentLocation() != 0; }

bool NodeImpl::_onPointer() const {
    return _placed() && isPointerBasetype(_reference.getCurrentBasetype());
}

// ---- ElementImpl -----------------------------------------------------------

ElementImpl::ElementImpl() = default;
ElementImpl::ElementImpl(const lumxmlref& ref) : NodeImpl(ref, kElementNode) {}
ElementImpl::ElementImpl(const ElementImpl& other) = default;
ElementImpl& ElementImpl::operator=(const ElementImpl& other) = default;
ElementImpl::~ElementImpl() = default;

XMLString ElementImpl::getTagName() {
    if (!_onPointer()) return XMLString("");
    const unsigned long here = _reference.getCurrentLocation();
    _reference.GotoChildTagChainStart();
    XMLString name = _getTagName();
    _reference.setNewLocation(here);
    return name;
}

XMLString ElementImpl::nodeNameGet() { return getTagName(); }
XMLString ElementImpl::nodeValueGet() const { return XMLString(""); }
void ElementImpl::nodeValueSet(const XMLString&) {}

// ---- DocumentImpl ----------------------------------------------------------

DocumentImpl::DocumentImpl() : NodeImpl(kDocumentNode), _owner(nullptr) {}

DocumentImpl::DocumentImpl(const lumxmlref& ref, XMLDOMObject& owner)
    : NodeImpl(ref, kDocumentNode), _owner(&owner) {}

DocumentImpl::DocumentImpl(const DocumentImpl& other) = default;

DocumentImpl& DocumentImpl::operator=(const DocumentImpl& other) {
    NodeImpl::operator=(other);
    _owner = other._owner;
    return *this;
}

DocumentImpl::~DocumentImpl() = default;

ElementImpl DocumentImpl::getDocumentElement() {
    if (_onPointer()) {
        lumxmlref last = _reference.clone();
        if (last.GotoLastChild() && last.getCurrentBasetype() != XML_BT_CHAIN_START) {
            return ElementImpl(last);
        }
    }
    ElementImpl none;
    none.setNull(true);
    return none;
}

ElementImpl DocumentImpl::createElement(XMLString tag) {
    ElementImpl element;
    if (_owner == nullptr) {
        element.setNull(true);
        return element;
    }
    lumxmlref created;
    _owner->_database.createUnlinkedXMLref(tag.ptr(), &created);
    // Like every element node, the new one stands on the field that refers
    // to its chain: here the unlinked chain's pointer.
    created.GotoParentTagChainInBranch();
    return ElementImpl(created);
}

// ---- XMLDOMObject ----------------------------------------------------------

XMLDOMObject::XMLDOMObject() : _open(false) {}

XMLDOMObject::XMLDOMObject(const char* name) : _open(false) { _database.SetDatabaseName(name); }

XMLDOMObject::XMLDOMObject(const XMLDOMObject& other) = default;
XMLDOMObject& XMLDOMObject::operator=(const XMLDOMObject& other) = default;

// The database itself closes when its last holder (copy or node) goes.
XMLDOMObject::~XMLDOMObject() = default;

int XMLDOMObject::Create() {
    if (!_database.isOpened()) _database.Create();
    _open = true;
    return 0;
}

int XMLDOMObject::Open() {
    if (!_database.isOpened()) _database.Open();
    _open = true;
    return 0;
}

int XMLDOMObject::Close() {
    if (_database.isOpened()) _database.Close();
    _open = false;
    return 0;
}

DocumentImpl XMLDOMObject::getOwnerDocument() {
    lumxmlref root;
    _database.GetDocumentRootNode(nullptr, &root);
    return DocumentImpl(root, *this);
}
