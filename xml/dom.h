// A small read-mostly view of a stored document in the style of the W3C DOM
// Level 1 core.
//
// Every node is a reference of its own (its own engine cursor) standing on
// one field of the stored document:
//  - the document node on its document pointer in the document chain; its
//    children are the fields of the root element's chain (its attributes'
//    fields, nodes of type 0x100 as in every element with attributes, then
//    its content);
//  - an element node on the pointer field that refers to the element's chain
//    (an element created by createElement on the unlinked chain's pointer);
//  - a text node on its character data field.
// Asking a node for a relative gives a new node; the node asked does not
// move. A move that finds no such relative gives a node whose isNull() is
// true.
//
// Lifetime: nodes hold engine cursors, and the database refuses to close
// while one lives, so every node must be destroyed before the XMLDOMObject
// that handed it out is closed. Database failures pass as LumXMLException.
//
// The operations that would change a document (insertBefore, replaceChild,
// removeChild, appendChild, cloneNode) change nothing: they give an empty
// node or null.
#ifndef TARNXML_DOM_H
#define TARNXML_DOM_H

#include "xml/export.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlref.h"
#include "xml/xmlstring.h"

class XMLDOMObject;

class TARNXML_API NodeImpl {
public:
    static constexpr unsigned short kElementNode = 1;
    static constexpr unsigned short kAttributeNode = 2;
    static constexpr unsigned short kTextNode = 3;
    static constexpr unsigned short kDocumentNode = 9;
    // Any field that is not one of the four kinds above.
    static constexpr unsigned short kOtherNode = 0x100;

    NodeImpl();
    explicit NodeImpl(int kind);
    // A reference of its own on the field `ref` stands on.
    explicit NodeImpl(const lumxmlref& ref, int kind = 0);
    NodeImpl(const NodeImpl& other);
    // Moves this node to the field `other` stands on; copies the null flag.
    NodeImpl& operator=(const NodeImpl& other);
    virtual ~NodeImpl();

    // 9 document pointer, 1 element (2 for one stored with attributes),
    // 3 character data, kOtherNode for anything else and for a node that
    // stands nowhere.
    virtual unsigned short getNodeType() const;
    // "#text" (3), "#cdata-section" (4), "#comment" (8), "#document" (9),
    // "#document-fragment" (11); the tag name for element nodes (1 and 2);
    // an empty name otherwise.
    virtual XMLString getNodeName() const;
    // The element (or document) whose chain holds this node's field.
    virtual NodeImpl parentNodeGet() const;
    // The first or last field of the chain this node's field refers to.
    virtual NodeImpl firstChildGet() const;
    virtual NodeImpl lastChildGet() const;
    // With a null refChild as appendChild; returns an empty node.
    virtual NodeImpl insertBefore(NodeImpl newChild, NodeImpl refChild);
    virtual NodeImpl* replaceChild(NodeImpl* newChild, NodeImpl* oldChild);
    virtual NodeImpl* removeChild(NodeImpl* oldChild);
    virtual NodeImpl appendChild(NodeImpl newChild);
    // True when firstChildGet would give a node that is not null.
    virtual bool hasChildNodes() const;
    virtual NodeImpl* cloneNode(bool deep);

    bool isNull() const { return _null; }
    void setNull(bool null) { _null = null; }

protected:
    // The tag name of the element whose chain holds the current field.
    XMLString _getTagName() const;
    // True when the node stands on a field that refers to a chain.
    bool _onPointer() const;
    // True when the node stands on a field at all.
    bool _placed() const;

    lumxmlref _reference;

private:
    enum class Move { kParent, kFirstChild, kLastChild };
    NodeImpl _moved(Move move) const;

    bool _null;
    int _kind;
};

class TARNXML_API ElementImpl : public NodeImpl {
public:
    ElementImpl();
    explicit ElementImpl(const lumxmlref& ref);
    ElementImpl(const ElementImpl& other);
    ElementImpl& operator=(const ElementImpl& other);
    ~ElementImpl() override;

    // The name of the element this node refers to; empty when the node does
    // not stand on a pointer field.
    XMLString getTagName();
    XMLString nodeNameGet();
    // Always the text "" (not an empty XMLString).
    XMLString nodeValueGet() const;
    void nodeValueSet(const XMLString& value);
};

class TARNXML_API DocumentImpl : public NodeImpl {
public:
    // A document of no database: createElement gives a null node.
    DocumentImpl();
    DocumentImpl(const lumxmlref& ref, XMLDOMObject& owner);
    DocumentImpl(const DocumentImpl& other);
    DocumentImpl& operator=(const DocumentImpl& other);
    ~DocumentImpl() override;

    // The last item of the root element's content.
    ElementImpl getDocumentElement();
    // Stores a new element named `tag` under the unlinked chain (this writes
    // to the database) and returns its element node.
    ElementImpl createElement(XMLString tag);

private:
    XMLDOMObject* _owner;
};

// One database file seen through the DOM view. Copies share the open
// database the way copies of LumXMLDb do; only one of them closes it.
class TARNXML_API XMLDOMObject {
public:
    XMLDOMObject();
    explicit XMLDOMObject(const char* name);
    XMLDOMObject(const XMLDOMObject& other);
    XMLDOMObject& operator=(const XMLDOMObject& other);
    // Closes the database when open; a failure to close is swallowed.
    ~XMLDOMObject();

    // Each returns 0; failures throw LumXMLException and leave the object
    // as it was. Create replaces any file of the name; Open needs an
    // existing database. Both do nothing when already open.
    int Create();
    int Open();
    int Close();

    // The document node of the first stored document (when the database has
    // no document chain yet, one is made with an empty document).
    DocumentImpl getOwnerDocument();

private:
    friend class DocumentImpl;

    LumXMLDb _database;
    bool _open;
};

#endif
