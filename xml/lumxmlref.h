// lumxmlref: a position in stored XML -- one engine cursor on one field of a
// tag chain, together with the database it belongs to.
//
// A reference owns its cursor: Destroy (and the destructor) releases it, and
// every copy gets a cursor of its own. It holds a share of its database's
// engine state, so it never touches handles of a closed database: on a
// closed database every bool operation returns false and moves do nothing.
// Destroy the reference (or call Destroy) before LumXMLDb::Close.
//
// state: 0 after construction; GotoNextField sets XMLCTRL_NONE on success
// and XMLCTRL_CHAIN_END on a refused step; getStateInTagChain overwrites it
// with the kind of the current field unless the base type reads as 0. No
// other operation changes it, so XMLCTRL_CHAIN_END stays in force across
// other moves and writes until the next successful GotoNextField, and
// getCurrentBasetype reads 0 meanwhile.
//
// Buffers handed out by the *Dyn operations come from malloc and belong to
// the caller (free), except the shared empty text of GetPCDATADyn.
// Failures are thrown as LumXMLException where stated; elsewhere engine
// results are ignored.
#ifndef TARNXML_LUMXMLREF_H
#define TARNXML_LUMXMLREF_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "xml/export.h"

class LumXMLDb;
namespace LumXMLSAX {
class HandlerOrlo;
}
namespace tarnxml_detail {
struct DbState;
}

// Kind of the current field, from its base type.
enum lumxmlctrl : int32_t {
    XMLCTRL_NONE = 0,             // any other base type
    XMLCTRL_PCDATA = 1,           // 153
    XMLCTRL_ATTRIBUTE_NAME = 2,   // 147
    XMLCTRL_ATTRIBUTE_VALUE = 3,  // 148
    XMLCTRL_ELEMENT = 6,          // 134, 135
    XMLCTRL_CHAIN_END = 7,        // the last GotoNextField was refused
    XMLCTRL_CHAIN_START = 8,      // 129
    XMLCTRL_DOCUMENT = 10,        // 130
    XMLCTRL_STRING = 11,          // 9
};

class TARNXML_API lumxmlref {
public:
    // No database, no cursor; bound later by a LumXMLDb operation or by
    // assignment.
    lumxmlref();
    // createXMLref of db: a new cursor without a current record.
    explicit lumxmlref(LumXMLDb* db);
    // Takes db and cursor; the reference now owns cursor.
    lumxmlref(LumXMLDb* db, lumcursor* cursor);
    // A new cursor on the field other stands on; state 0. Copying a
    // reference without a cursor gives one without a cursor. Throws.
    lumxmlref(const lumxmlref& other);
    // Moves this reference to the field other stands on, creating a cursor
    // when it has none (or when other belongs to another database); state is
    // kept. Assigning a reference without a cursor releases this one's.
    lumxmlref& operator=(const lumxmlref& other);
    lumxmlref clone() const;
    ~lumxmlref();

    // Releases the cursor (when the database is open) and forgets it; keeps
    // the database. Safe to repeat.
    void Destroy();
    // Set the member only: a cursor given here is owned by the reference; a
    // cursor replaced here is forgotten, not destroyed.
    void setDatabase(LumXMLDb* db);
    void setCursorHandle(lumcursor* cursor);
    LumXMLDb* getDatabase() const { return database; }

    // Member address of the current field; 0 when there is none.
    unsigned long getCurrentLocation() const;
    // Member address of the current chain's start field (field 0); 0 when
    // there is none.
    unsigned long getCurrentChainLocation() const;
    // The member address the current field holds: for a chain start field
    // the parent's pointer field that refers to its chain (0 for none), for
    // a pointer field (130, 134, 135) the chain it refers to; 0 for any
    // other field. Throws when the field cannot be read.
    unsigned long getLinkedLocation();
    // Jumps to a member address (result ignored).
    void setNewLocation(unsigned long address);

    // ---- Writing: each leaves the cursor on the last field it wrote. ------
    // A pointer field (134) of the current chain's user type after the
    // current field and a new chain for tag; the cursor moves to the new
    // chain's start field. Throws.
    void putElement(const unsigned char* tag);
    // As putElement with base type 135; nothing when the database is closed.
    void putAttributeBranch(const unsigned char* tag);
    // Fields 147 (name) and 148 (value) after the current field. Throws.
    void putAttributeValues(const unsigned char* name, const unsigned char* value);
    // A 153 field holding text after the current field (result ignored).
    void putPCDATA(const unsigned char* text);
    // Announces text that a field of base type 147, 148 or 153 is about to
    // hold, so that its place in the index is looked up together with the
    // others announced (see LumCursorExpectValue). Writes nothing; a closed
    // database or a refusal is ignored.
    void expectText(int basetype, const unsigned char* text);

    // ---- Reading ---------------------------------------------------------
    // The current field's value, NUL-terminated, into buffer (size bytes);
    // left unchanged when it does not fit.
    void GetPCDATA(unsigned char* buffer, unsigned long size);
    // The current field's value: *length its length; when *length is 0,
    // *text is a shared empty text that must NOT be freed, otherwise a
    // malloc buffer of *length + 1 bytes (NUL-terminated) the caller frees.
    // Throws 4096 when malloc fails.
    void GetPCDATADyn(unsigned char** text, unsigned long* length);
    // On an attribute name field (147) followed by its value (148): *name
    // and *value receive malloc copies (the caller frees both) and the
    // cursor ends on the value field; true. False (nothing allocated, the
    // cursor back on the name field when it had moved) on any other field or
    // a closed database.
    bool getAttributeDyn(unsigned char** name, unsigned char** value);
    // Tag name of the element the current field belongs to, whole, in a
    // malloc buffer the caller frees; *length is its strlen. Throws
    // (4096 for malloc, 14 for an unknown user type, 6 without a cursor).
    void getCurrentTagDyn(unsigned char** name, unsigned long* length) const;
    // The current field's value (not its tag name) into buffer, fetched in
    // encoding 0; result ignored.
    void getCurrentTag(unsigned char* buffer, int size);

    // The same readings into storage the caller keeps, for one that reads
    // many fields: no buffer is taken per call.
    // GetPCDATADyn's text into `text` (cleared for an empty value or a
    // closed database). Throws as GetPCDATADyn.
    void GetPCDATA(std::string& text);
    // getAttributeDyn's name and value into `name` and `value`; on false
    // they hold unspecified text.
    bool getAttribute(std::string& name, std::string& value);
    // getCurrentTagDyn's name, held by the database: valid until it is
    // closed. Throws as getCurrentTagDyn.
    const std::string& getCurrentTagName() const;
    // 0 while state is XMLCTRL_CHAIN_END, else the current field's base
    // type. Throws when the field cannot be read.
    int getCurrentBasetype() const;
    // Recomputes state from getCurrentBasetype (kept when that is 0).
    lumxmlctrl getStateInTagChain();
    // Moves to field 0 of the current chain; true when it is a chain start
    // with a parent.
    bool hasParent();

    // ---- Moving ----------------------------------------------------------
    void GotoCurrentTagChainStart();
    void GotoCurrentTagChainEnd();
    // One field on; false (cursor unchanged, state XMLCTRL_CHAIN_END) on the
    // chain's last field. Throws an unexpected engine failure.
    bool GotoNextField();
    // To the parent's pointer field that refers to this chain; false with
    // the cursor on field 0 when the chain has no parent (the document and
    // unlinked chains, a chain start holding 0).
    bool GotoParentTagChainInBranch();
    // To the field after the parent's pointer field; false (back on field 0
    // of the chain it came from, state XMLCTRL_CHAIN_END) when there is none.
    bool GotoParentTagChainNextBranch();
    void GotoParentTagChainStart();
    void GotoParentTagChainEnd();
    // From a pointer field (130, 134, 135) to the start field of the chain
    // it refers to; false, cursor unchanged, on any other field.
    bool GotoChildTagChainStart();
    // To field 1 of the child chain; false when the child chain holds only
    // its start field (the cursor is then on that field).
    bool GotoFirstChild();
    // To the last field of the child chain.
    bool GotoLastChild();
    // Climbs parent by parent to the pointer field, inside the nearest proper
    // ancestor named tag, that leads down towards the starting point; true
    // when found. Otherwise the climb stops where no parent is left (field 0
    // of the document chain for a stored document) and returns false.
    bool GotoNamedParentTagChain(const unsigned char* tag);
    // The same, then to field 0 / the last field of the chain reached.
    bool GotoNamedParentTagChainStart(const unsigned char* tag);
    bool GotoNamedParentTagChainEnd(const unsigned char* tag);
    // Climbs to the document pointer (130) of the current document; stops
    // early where no parent is left.
    void GotoRootNode();
    // True; no other effect.
    bool GotoDocumentTagChainInBranch();
    // Erases every field of the current chain; child chains and the parent's
    // pointer field stay. False on a closed database. Throws.
    bool DeleteCurrentTagChain();
    // As above; with recursive, every descendant chain is erased first.
    bool DeleteCurrentTagChain(bool recursive);

private:
    bool _live() const;
    void _bind(LumXMLDb* db, lumcursor* newCursor, uint32_t typeId);
    void _bindShared(LumXMLDb* db, const std::shared_ptr<tarnxml_detail::DbState>& shared,
                     lumcursor* newCursor);
    void _releaseShare();
    void _holdShare();
    void _updateState(int basetype);
    int _getCurrentUsertype();
    int _getUsertype(const unsigned char* tag);
    uint32_t _currentTypeId() const;
    void _known(uint32_t typeId, uint32_t address, uint32_t owner = 0) const;
    void _learnHead() const;
    uint32_t _gotoField(uint32_t position);
    bool _gotoAddress(uint32_t address);
    bool _readChainStart(uint32_t* value);
    void _appendPair(const unsigned char* tag, int basetype);
    uint32_t _appendText(int basetype, const unsigned char* text);
    std::vector<uint32_t> _childChains();
    void _eraseTree();

    friend class LumXMLDb;
    // The storing handler goes back to a parent by the pointer it made.
    friend class LumXMLSAX::HandlerOrlo;

    LumXMLDb* database;
    lumcursor* cursor;
    lumxmlctrl state;
    std::shared_ptr<tarnxml_detail::DbState> _shared;
    // What is known of the current field without asking the engine, each 0
    // when unknown: its type id, its address and its chain's start field.
    // Every move forgets them (_known) unless it knows them; a walk asks for
    // them at every field.
    mutable uint32_t _typeId;
    mutable uint32_t _address = 0;
    mutable uint32_t _owner = 0;
    // The pointer field the latest pointer pair put in the parent's chain,
    // and its type id.
    uint32_t _pairPointer = 0;
    uint32_t _pairTypeId = 0;
};

#endif
