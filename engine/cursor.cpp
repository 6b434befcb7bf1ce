// Cursors: the only way to read and write records.
//
// A cursor stands on one record (the data offset of its owner) and one field
// of it. States, and the calls that move between them:
//   no record            --AppendField-->                 record, current field
//   any                  --GotoMemberAddress, list item--> record, current field
//   record, field        --GotoField, Fetch, Modify, Append--> record, field
//   record, field        --EraseField on a member-->       record, no field
//   record, field        --EraseField on a lone owner-->   no record
//   record               --EraseRecord, NewRecord-->       no record
// A store found damaged answers 29 from every call but Destroy.
//
// Positions are not stored in the file; index and count are caches. They are
// stamped with the database's modCount, which every erase, move and insertion
// before a record's end advances, so caches older than such a change are
// dropped, whichever cursor made it. An append at a record's end shifts no
// position but lengthens the record, so a count is always kept together with
// the field it ends at (count = position of `last` + 1) and brought up to date
// by stepping on from there. The memo of engine/cursor_memo.h keeps the
// positions of fields the cursor has left and the counts of records.
#include "engine/cursor.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "encoding/encoding.h"
#include "engine/c_boundary.h"
#include "engine/cursor_memo.h"
#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/storage/objstore.h"
#include "engine/storage/os.h"
#include "engine/storage/value_index.h"


struct lumcursor {
    lumdb* db = nullptr;
    uint32_t field = 0;  // 0: no current field
    uint32_t owner = 0;  // 0: no current record
    uint32_t index = tarn::kUnset;
    uint32_t count = tarn::kUnset;
    uint32_t last = 0;   // the field `count` ends at; set whenever count is
    uint64_t stamp = 0;  // the db->modCount that index, count and last belong to
    tarn::cursor_memo::Memo memo;
};

namespace tarn {
namespace {

Store* storeOf(const lumcursor* c) { return c->db->store; }
uint32_t nextOf(Store* s, uint32_t f) { return DataGetU32(s, f + fmt::kFieldNext); }
uint32_t ownerOf(Store* s, uint32_t f) { return DataGetU32(s, f + fmt::kFieldOwner); }
uint8_t kindOf(Store* s, uint32_t f) { return DataGetU8(s, f + fmt::kFieldKind); }
bool isField(Store* s, uint32_t f) {
    uint8_t k = kindOf(s, f);
    return k == fmt::kKindPlain || k == fmt::kKindIndexed;
}

// A call that found the store damaged on its way reports that instead.
uint32_t checked(const lumcursor* c, uint32_t rc) {
    return storeOf(c)->damaged ? rc::kIllegalFile : rc;
}

// ---- caches ----------------------------------------------------------------

void refresh(lumcursor* c) {
    if (c->stamp == c->db->modCount) return;
    c->index = c->count = kUnset;
    c->last = 0;
    c->stamp = c->db->modCount;
}

// For a change this cursor made and has already accounted for in its caches
// (which refresh() made current before the change).
void advance(lumcursor* c) { c->stamp = ++c->db->modCount; }

void forgetRecord(lumcursor* c) {
    c->field = c->owner = 0;
    c->index = c->count = kUnset;
    c->last = 0;
}

void remember(lumcursor* c) {
    refresh(c);
    const bool counted = c->owner != 0 && c->count != kUnset;
    // The position of the field a count ends at goes with the count.
    if (c->field != 0 && c->index != kUnset && !(counted && c->last == c->field))
        c->memo.notePosition({c->field, c->owner, c->index, c->stamp}, c->stamp);
    if (counted) c->memo.noteCount({c->owner, c->count, c->last, c->stamp}, c->stamp);
}

void recall(lumcursor* c) {
    const cursor_memo::Count* n = c->memo.count(c->owner, c->stamp);
    if (c->count == kUnset && n != nullptr) {
        c->count = n->count;
        c->last = n->last;
    }
    if (c->index != kUnset) return;
    // The field a count ends at has its position with it.
    if (c->count != kUnset && c->last == c->field) {
        c->index = c->count - 1;
        return;
    }
    cursor_memo::Position p;
    if (c->memo.position(c->field, c->stamp, &p) && p.owner == c->owner) c->index = p.index;
}

// Position of `target` in the chain from `owner`, and its predecessor.
bool findField(Store* s, uint32_t owner, uint32_t target, uint32_t* index, uint32_t* pred) {
    const uint64_t limit = StoreMaxSteps(s);
    uint32_t prev = 0;
    uint32_t f = owner;
    for (uint64_t i = 0; f != 0 && i <= limit && !s->damaged; ++i) {
        if (f == target) {
            *index = uint32_t(i);
            if (pred != nullptr) *pred = prev;
            return true;
        }
        prev = f;
        f = nextOf(s, f);
    }
    return false;
}

// Fields after `from` up to the end of its chain, and the last one.
bool stepToEnd(Store* s, uint32_t from, uint32_t* steps, uint32_t* last) {
    const uint64_t limit = StoreMaxSteps(s);
    uint64_t n = 0;
    uint32_t f = from;
    for (uint32_t next; (next = nextOf(s, f)) != 0; f = next)
        if (++n > limit) return false;
    *steps = uint32_t(n);
    *last = f;
    return !s->damaged;
}

uint32_t knowIndex(lumcursor* c) {
    refresh(c);
    recall(c);
    if (c->index != kUnset) return 0;
    uint32_t i = 0;
    if (!findField(storeOf(c), c->owner, c->field, &i, nullptr)) return rc::kIllegalFile;
    c->index = i;
    return 0;
}

uint32_t knowCount(lumcursor* c) {
    refresh(c);
    recall(c);
    uint32_t from = c->owner, before = 1;
    if (c->count != kUnset) {
        from = c->last;
        before = c->count;
    } else if (c->field != 0 && c->index != kUnset) {
        from = c->field;
        before = c->index + 1;
    }
    uint32_t steps = 0, last = 0;
    if (!stepToEnd(storeOf(c), from, &steps, &last)) return rc::kIllegalFile;
    c->count = before + steps;
    c->last = last;
    return 0;
}

// ---- values ------------------------------------------------------------------

// A field's value copied out of the store. Zero padding after it ends any
// string and lets a shorter value be read at a wider integer type.
constexpr uint32_t kPad = 8;
struct Value {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    Value() = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    ~Value() { std::free(bytes); }
};

uint32_t copyValue(Store* s, uint32_t f, Value* v) {
    FieldValueSize(s, f, &v->size);
    if (!dataInRange(s, FieldValueOffset(s, f), v->size)) return rc::kIllegalFile;
    v->bytes = static_cast<uint8_t*>(os::Sys().malloc(size_t(v->size) + kPad));
    if (v->bytes == nullptr) return rc::kMalloc;
    FieldRead(s, f, v->bytes, v->size);
    std::memset(v->bytes + v->size, 0, kPad);
    return s->damaged ? rc::kIllegalFile : 0;
}

// A caller's text converted to the stored encoding.
struct Utf8 {
    const void* text = nullptr;
    void* owned = nullptr;
    uint32_t size = 0;  // bytes of text, terminator included
    Utf8() = default;
    Utf8(const Utf8&) = delete;
    Utf8& operator=(const Utf8&) = delete;
    ~Utf8() {
        if (owned != nullptr) std::free(owned);
    }
};

uint32_t toUtf8(uint32_t from, const void* in, Utf8* out) {
    // Text in UTF-8 already is used in place: only its size is needed.
    if (from == enc::kUtf8 && in != nullptr) {
        const size_t size = std::strlen(static_cast<const char*>(in)) + 1;
        if (size <= UINT32_MAX) {
            out->text = in;
            out->size = uint32_t(size);
            return 0;
        }
    }
    return uint32_t(enc::EncodingConvert(from, enc::kUtf8, in, &out->text, &out->owned, &out->size));
}

// ---- field layout ----------------------------------------------------------

struct FieldType {
    uint8_t base;
    uint8_t flag;  // as asked: 0 indexed, 1 plain
    uint16_t number;
    int cls;
};

FieldType splitId(LumTypeId id) {
    uint8_t base = uint8_t(id & 0xFF);
    return {base, uint8_t((id >> 8) & 0xFF), uint16_t(id >> 16), fmt::baseTypeClass(base)};
}

bool validType(const FieldType& t) { return t.cls != fmt::kClassNone && t.flag <= 1; }

// Classes without an index key are stored plain whatever was asked.
uint8_t storedFlag(const FieldType& t) { return fmt::hasIndexKey(t.cls) ? t.flag : 1; }

bool needsValue(const FieldType& t, uint32_t length) {
    if (t.base == fmt::kBaseBlock) return length != 0;
    return t.cls != fmt::kClassNoValue;
}

uint32_t valueStart(uint8_t base, uint8_t stored) {
    return (stored == 0 || base == fmt::kBaseBlock) ? fmt::kIndexedValue : fmt::kPlainValue;
}

void writeHeader(Store* s, uint32_t f, uint8_t base, uint8_t stored, uint16_t number,
                 uint32_t size) {
    DataPutU8(s, f + fmt::kFieldKind, stored == 0 ? fmt::kKindIndexed : fmt::kKindPlain);
    DataPutU8(s, f + fmt::kFieldBase, base);
    DataPutU16(s, f + fmt::kFieldId, number);
    if (base == fmt::kBaseBlock)
        DataPutU32(s, f + fmt::kFieldBlockLength, size);
    else if (stored == 0)
        DataPutU32(s, f + fmt::kFieldIndexLink, 0);
}

// Takes an indexed field out of the value index.
uint32_t unindex(Store* s, uint32_t f) {
    if (kindOf(s, f) != fmt::kKindIndexed) return 0;
    Value v;
    if (uint32_t r = copyValue(s, f, &v)) return r;
    IndexRemove(s, DataGetU8(s, f + fmt::kFieldBase), DataGetU16(s, f + fmt::kFieldId), v.bytes, f);
    return 0;
}

// ---- append ----------------------------------------------------------------

// Accounts for a field linked right after the current one, by an append or
// by the caller before the cursor leaves (pointer pairs do this).
void noteLinkedAfter(lumcursor* c) {
    Store* s = storeOf(c);
    const uint32_t n = nextOf(s, c->field);
    if (n == 0) return;
    if (nextOf(s, n) != 0) {
        // Possibly an insertion before the record's end: later positions moved.
        c->count = kUnset;
        c->last = 0;
        advance(c);
    } else if (c->index != kUnset) {
        // n's position goes with the count, which ends at it.
        c->count = c->index + 2;
        c->last = n;
    } else if (c->count != kUnset && c->last == c->field) {
        ++c->count;
        c->last = n;
    } else if (c->last != n) {
        c->count = kUnset;
        c->last = 0;
    }
}

// noteLinkedAfter for a field `n` the caller has just linked after the
// current one, whose next word it wrote: `after`.
void noteLinked(lumcursor* c, uint32_t n, uint32_t after) {
    if (after != 0) {
        c->count = kUnset;
        c->last = 0;
        advance(c);
    } else if (c->index != kUnset) {
        c->count = c->index + 2;
        c->last = n;
    } else if (c->count != kUnset && c->last == c->field) {
        ++c->count;
        c->last = n;
    } else if (c->last != n) {
        c->count = kUnset;
        c->last = 0;
    }
}

// Links the new field `f` after the current one (or as a new owner) and moves
// the cursor onto it, keeping its caches exact.
void linkNew(lumcursor* c, uint32_t f) {
    Store* s = storeOf(c);
    refresh(c);
    if (c->owner == 0) {
        FieldLink(s, f, 0);
        c->owner = c->field = c->last = f;
        c->index = 0;
        c->count = 1;
        return;
    }
    FieldLink(s, f, c->field);
    noteLinkedAfter(c);
    if (c->index != kUnset) ++c->index;
    c->field = f;
}

uint32_t append(lumcursor* c, LumTypeId id, const void* value, uint32_t length,
                const uint32_t* options) {
    Store* s = storeOf(c);
    if (s->damaged) return rc::kIllegalFile;
    if (c->owner != 0 && c->field == 0) return rc::kNoField;
    const FieldType t = splitId(id);
    if (!validType(t)) return rc::kBadBaseType;
    if (value == nullptr && needsValue(t, length)) return rc::kBadParameter;
    if (uint32_t r = DbWritable(c->db)) return r;

    Utf8 text;
    const void* v = value;
    const uint32_t encoding = options != nullptr ? options[0] : 0;
    if (t.cls == fmt::kClassText) {
        if (uint32_t r = toUtf8(encoding, value, &text)) return r;
        v = text.text;
    }
    // UTF-8 text needs no conversion, and its size is known from the look at it.
    const uint32_t size = t.base == fmt::kBaseBlock                           ? length
                          : t.cls == fmt::kClassText && encoding == enc::kUtf8 ? text.size
                                                                               : ValueSize(t.cls, v);
    const uint8_t stored = storedFlag(t);
    // After a current field the new one is born with the words linking it
    // in (the predecessor's owner and next), which only the predecessor's
    // next word then has to be pointed at it.
    const uint32_t prev = c->owner != 0 ? c->field : 0;
    if (prev != 0 && !dataInRange(s, prev, fmt::kPlainOverhead)) return rc::kIllegalFile;
    const uint32_t owner = prev != 0 ? getU32(DataRaw(s, prev + fmt::kFieldOwner)) : 0;
    const uint32_t after = prev != 0 ? getU32(DataRaw(s, prev + fmt::kFieldNext)) : 0;
    uint32_t f = 0;
    if (uint32_t r = FieldCreateWith(s, &f, t.base, stored, t.number, owner, after, v, size))
        return checked(c, r);
    // Entered before it is linked, so that a failure leaves the record as it was.
    if (stored == 0) {
        const uint32_t length = fmt::isStringClass(t.cls) ? size - 1 : kLengthUnknown;
        if (uint32_t r = IndexInsert(s, t.base, t.number, v, f, length)) {
            ObjFree(s, f, valueStart(t.base, stored) + size);
            return checked(c, r);
        }
    }
    if (prev == 0) {
        linkNew(c, f);
        return checked(c, rc::kOk);
    }
    refresh(c);
    DataPutU32(s, prev + fmt::kFieldNext, f);
    noteLinked(c, f, after);
    if (c->index != kUnset) ++c->index;
    c->field = f;
    return checked(c, rc::kOk);
}

// ---- modify ----------------------------------------------------------------

struct Layout {
    uint8_t base;
    uint8_t stored;
    uint16_t number;
    uint32_t size;
};

// Puts `to` in the place of `from` in the chain and frees `from`.
void replaceField(lumcursor* c, uint32_t from, uint32_t to, uint32_t pred, uint32_t oldBlock) {
    Store* s = storeOf(c);
    if (pred != 0)
        DataPutU32(s, pred + fmt::kFieldNext, to);
    else
        FieldSetOwner(s, to, to);
    ObjFree(s, from, oldBlock);
    if (c->owner == from) c->owner = to;
    if (c->last == from) c->last = to;
    c->field = to;
    advance(c);
}

// IndexInsert failed after the old value left the index: put the field back.
void undoModify(Store* s, uint32_t f, uint32_t moved, const Layout& old, const Layout& now,
                const Value& oldValue) {
    if (moved != 0) {
        ObjFree(s, moved, valueStart(now.base, now.stored) + now.size);
    } else {
        writeHeader(s, f, old.base, old.stored, old.number, old.size);
        FieldWrite(s, f, oldValue.bytes, old.size, old.stored);
    }
    if (old.stored == 0) IndexInsert(s, old.base, old.number, oldValue.bytes, f);
}

uint32_t modify(lumcursor* c, const LumTypeId* idPtr, const void* value, uint32_t length,
                const uint32_t* encoding) {
    Store* s = storeOf(c);
    if (s->damaged) return rc::kIllegalFile;
    if (c->field == 0) return rc::kNoField;
    const uint32_t f = c->field;
    if (!isField(s, f)) return checked(c, rc::kIllegalFile);
    Layout old{DataGetU8(s, f + fmt::kFieldBase),
               uint8_t(kindOf(s, f) == fmt::kKindIndexed ? 0 : 1),
               DataGetU16(s, f + fmt::kFieldId), 0};
    const LumTypeId oldId = old.base | uint32_t(old.stored) << 8 | uint32_t(old.number) << 16;
    const FieldType t = splitId(idPtr != nullptr ? *idPtr : oldId);
    if (!validType(t)) return rc::kBadBaseType;
    if (uint32_t r = DbWritable(c->db)) return r;
    refresh(c);

    Value oldValue;
    if (uint32_t r = copyValue(s, f, &oldValue)) return checked(c, r);
    old.size = oldValue.size;
    Utf8 text;
    const void* v = value != nullptr ? value : oldValue.bytes;
    if (value != nullptr && t.cls == fmt::kClassText) {
        if (uint32_t r = toUtf8(encoding != nullptr ? *encoding : 0, value, &text)) return r;
        v = text.text;
    }
    // Without a new value the old bytes are kept, sized as the new type reads them.
    const uint32_t blockLength = value != nullptr ? length : old.size;
    const Layout now{t.base, storedFlag(t), t.number,
                     t.base == fmt::kBaseBlock ? blockLength : ValueSize(t.cls, v)};

    // A larger value, or a layout whose value starts later, needs a new block.
    const uint32_t oldBlock = FieldBlockSize(s, f);
    const bool move = now.size > old.size || valueStart(now.base, now.stored) + now.size > oldBlock;
    uint32_t pred = 0, moved = 0;
    if (move) {
        uint32_t index = 0;
        if (f != c->owner && !findField(s, c->owner, f, &index, &pred)) return checked(c, rc::kIllegalFile);
        if (uint32_t r = FieldCreate(s, &moved, now.base, now.stored, now.number, ownerOf(s, f),
                                     nextOf(s, f), now.size))
            return checked(c, r);
    }
    if (old.stored == 0) IndexRemove(s, old.base, old.number, oldValue.bytes, f);
    if (!move) writeHeader(s, f, now.base, now.stored, now.number, now.size);
    const uint32_t target = move ? moved : f;
    FieldWrite(s, target, v, now.size, now.stored);
    if (now.stored == 0) {
        if (uint32_t r = IndexInsert(s, now.base, now.number, v, target)) {
            undoModify(s, f, moved, old, now, oldValue);
            return checked(c, r);
        }
    }
    if (move) replaceField(c, f, moved, pred, oldBlock);
    return checked(c, rc::kOk);
}

// ---- erase -----------------------------------------------------------------

uint32_t eraseField(lumcursor* c) {
    Store* s = storeOf(c);
    if (s->damaged) return rc::kIllegalFile;
    if (c->field == 0) return rc::kNoField;
    const uint32_t f = c->field;
    if (!isField(s, f)) return checked(c, rc::kIllegalFile);
    const uint32_t next = nextOf(s, f);
    const bool isOwner = f == c->owner;
    if (isOwner && next != 0) return rc::kOwnerHasMembers;
    if (uint32_t r = DbWritable(c->db)) return r;
    refresh(c);

    uint32_t pred = 0, index = 0;
    if (!isOwner && !findField(s, c->owner, f, &index, &pred)) return checked(c, rc::kIllegalFile);
    if (uint32_t r = unindex(s, f)) return checked(c, r);
    const uint32_t block = FieldBlockSize(s, f);
    if (pred != 0) DataPutU32(s, pred + fmt::kFieldNext, next);
    ObjFree(s, f, block);

    if (isOwner) {
        // The record is gone with its owner; nothing is left to stand on.
        forgetRecord(c);
    } else {
        c->index = index;
        if (c->count != kUnset && index < c->count) {
            --c->count;
            if (c->last == f) c->last = pred;
        }
        c->field = 0;
    }
    advance(c);
    return checked(c, rc::kOk);
}

uint32_t eraseRecord(lumcursor* c) {
    Store* s = storeOf(c);
    if (s->damaged) return rc::kIllegalFile;
    if (c->owner == 0) return rc::kNoRecord;
    if (uint32_t r = DbWritable(c->db)) return r;

    // Everything is read before anything is freed: a chain that loops or
    // leaves the fields must not free a block twice.
    const uint64_t limit = StoreMaxSteps(s);
    std::vector<uint32_t> chain;
    for (uint32_t f = c->owner; f != 0; f = nextOf(s, f)) {
        if (chain.size() > limit || !isField(s, f)) return checked(c, rc::kIllegalFile);
        chain.push_back(f);
    }
    if (s->damaged) return rc::kIllegalFile;
    std::vector<Value> values(chain.size());
    for (size_t i = 0; i < chain.size(); ++i)
        if (kindOf(s, chain[i]) == fmt::kKindIndexed)
            if (uint32_t r = copyValue(s, chain[i], &values[i])) return checked(c, r);

    for (size_t i = 0; i < chain.size(); ++i) {
        const uint32_t f = chain[i];
        if (values[i].bytes != nullptr)
            IndexRemove(s, DataGetU8(s, f + fmt::kFieldBase), DataGetU16(s, f + fmt::kFieldId),
                        values[i].bytes, f);
        ObjFree(s, f, FieldBlockSize(s, f));
    }
    forgetRecord(c);
    c->count = 0;
    c->last = 0;
    advance(c);
    return checked(c, rc::kOk);
}

// ---- fetch -----------------------------------------------------------------

// Stored text is UTF-8: asked for in UTF-8, it is copied out as it stands,
// which a reader of every field of a document does for each of them.
uint32_t fetchUtf8(Store* s, uint32_t f, void* buffer, uint32_t size, uint32_t* outSize) {
    uint32_t n = 0;
    FieldValueSize(s, f, &n);
    const uint8_t* stored = DataPtr(s, FieldValueOffset(s, f), n);
    if (stored == nullptr || s->damaged) return rc::kIllegalFile;
    if (outSize != nullptr) *outSize = n;
    if (buffer == nullptr) return rc::kOk;
    if (n > size) return rc::kBufferTooSmall;
    std::memcpy(buffer, stored, n);
    return rc::kOk;
}

uint32_t fetchText(Store* s, uint32_t f, void* buffer, uint32_t size, uint32_t encoding,
                   uint32_t* outSize) {
    if (encoding == enc::kUtf8) return fetchUtf8(s, f, buffer, size, outSize);
    Value stored;
    if (uint32_t r = copyValue(s, f, &stored)) return r;
    const void* text = nullptr;
    void* owned = nullptr;
    uint32_t n = 0;
    if (int32_t r = enc::EncodingConvert(enc::kUtf8, encoding, stored.bytes, &text, &owned, &n))
        return uint32_t(r);
    if (outSize != nullptr) *outSize = n;
    uint32_t rc = rc::kOk;
    if (buffer != nullptr) {
        if (n > size)
            rc = rc::kBufferTooSmall;
        else
            std::memcpy(buffer, text, n);
    }
    std::free(owned);
    return rc;
}

uint32_t fetchRaw(Store* s, uint32_t f, void* buffer, uint32_t size, uint32_t* outSize) {
    uint32_t n = 0;
    FieldValueSize(s, f, &n);
    if (!dataInRange(s, FieldValueOffset(s, f), n)) return rc::kIllegalFile;
    if (outSize != nullptr) *outSize = n;
    if (buffer == nullptr) return rc::kOk;
    if (n > size) return rc::kBufferTooSmall;
    FieldRead(s, f, buffer, n);
    return rc::kOk;
}

}  // namespace

// ---- internal interface ------------------------------------------------------

void CursorPlace(lumcursor* cur, uint32_t field, uint32_t owner, uint32_t index, uint32_t count) {
    refresh(cur);
    if (cur->field != 0) noteLinkedAfter(cur);
    remember(cur);
    cur->field = field;
    cur->owner = owner;
    cur->index = index;
    cur->count = kUnset;
    cur->last = 0;
    // A count is kept only with the field it ends at.
    if (count != kUnset && index != kUnset && index + 1 == count && field != 0 &&
        nextOf(storeOf(cur), field) == 0) {
        cur->count = count;
        cur->last = field;
    }
}

void CursorPlaceNewRecord(lumcursor* cur, uint32_t start, uint32_t linked, uint32_t linkedNext) {
    refresh(cur);
    if (cur->field != 0) noteLinked(cur, linked, linkedNext);
    remember(cur);
    cur->field = cur->owner = cur->last = start;
    cur->index = 0;
    cur->count = 1;
}

uint32_t CursorField(const lumcursor* cur) { return cur->field; }
uint32_t CursorOwner(const lumcursor* cur) { return cur->owner; }
lumdb* CursorDatabase(const lumcursor* cur) { return cur->db; }

}  // namespace tarn

// ---- public interface ----------------------------------------------------------

using tarn::kUnset;
namespace rc = tarn::rc;

uint32_t LumCursorCreate(lumcursor** out, lumdb* db) {
    if (db == nullptr) return rc::kBadDatabase;
    if (db->store->damaged) return rc::kIllegalFile;
    if (out == nullptr) return rc::kBadParameter;
    void* mem = tarn::os::Sys().malloc(sizeof(lumcursor));
    if (mem == nullptr) return rc::kMalloc;
    auto* c = new (mem) lumcursor();
    c->db = db;
    c->stamp = db->modCount;
    ++db->refCount;
    *out = c;
    return rc::kOk;
}

uint32_t LumCursorDestroy(lumcursor* cur) {
    if (cur == nullptr) return rc::kBadCursor;
    --cur->db->refCount;
    cur->~lumcursor();
    std::free(cur);
    return rc::kOk;
}

uint32_t LumCursorNewRecord(lumcursor* cur) {
    if (cur == nullptr) return rc::kBadCursor;
    if (cur->db->store->damaged) return rc::kIllegalFile;
    tarn::remember(cur);
    tarn::forgetRecord(cur);
    return rc::kOk;
}

uint32_t LumCursorAppendField(lumcursor* cur, LumTypeId id, const void* value, uint32_t length,
                              const uint32_t* options) {
    if (cur == nullptr) return rc::kBadCursor;
    return tarn::append(cur, id, value, length, options);
}

uint32_t LumCursorExpectValue(lumcursor* cur, LumTypeId id, const void* value, const uint32_t* options) {
    if (cur == nullptr) return rc::kBadCursor;
    tarn::Store* s = tarn::storeOf(cur);
    if (s->damaged) return rc::kIllegalFile;
    const tarn::FieldType t = tarn::splitId(id);
    if (!tarn::validType(t)) return rc::kBadBaseType;
    if (value == nullptr) return rc::kBadParameter;
    // Text in another encoding is converted only when it is appended.
    const uint32_t encoding = options != nullptr ? options[0] : 0;
    if (tarn::storedFlag(t) == 0 && (t.cls != tarn::fmt::kClassText || encoding == tarn::enc::kUtf8))
        tarn::IndexExpect(s, t.base, value);
    return rc::kOk;
}

uint32_t LumCursorGotoField(lumcursor* cur, uint32_t position) {
    if (cur == nullptr) return rc::kBadCursor;
    tarn::Store* s = tarn::storeOf(cur);
    if (s->damaged) return rc::kIllegalFile;
    if (cur->owner == 0) return rc::kNoRecord;
    tarn::refresh(cur);
    // Forward from the current field when the target lies ahead, else from the owner.
    uint32_t at = 0, f = cur->owner;
    if (cur->field != 0 && cur->index != kUnset && position >= cur->index) {
        at = cur->index;
        f = cur->field;
    }
    // No chain of a well-formed store is that long.
    if (position - at > tarn::StoreMaxSteps(s)) return tarn::checked(cur, rc::kBadFieldIndex);
    for (; at < position; ++at) {
        f = tarn::nextOf(s, f);
        if (f == 0) return tarn::checked(cur, rc::kBadFieldIndex);
    }
    tarn::remember(cur);
    cur->field = f;
    cur->index = position;
    return tarn::checked(cur, rc::kOk);
}

uint32_t LumCursorGotoNextField(lumcursor* cur) {
    if (cur == nullptr) return rc::kBadCursor;
    tarn::Store* s = tarn::storeOf(cur);
    if (s->damaged) return rc::kIllegalFile;
    if (cur->owner == 0) return rc::kNoRecord;
    if (cur->field == 0) return rc::kNoField;
    // The position is looked up once after a jump and then counted, so that
    // a chain that loops back on itself ends a walk as it ends GotoField.
    tarn::refresh(cur);
    if (cur->index == kUnset) {
        if (uint32_t r = tarn::knowIndex(cur)) return tarn::checked(cur, r);
    }
    if (uint64_t(cur->index) + 1 > tarn::StoreMaxSteps(s)) return tarn::checked(cur, rc::kBadFieldIndex);
    const uint32_t f = tarn::nextOf(s, cur->field);
    if (f == 0) return tarn::checked(cur, rc::kBadFieldIndex);
    cur->field = f;
    ++cur->index;
    return tarn::checked(cur, rc::kOk);
}

uint32_t LumCursorGetFieldIndex(lumcursor* cur, uint32_t* out) {
    if (cur == nullptr) return rc::kBadCursor;
    if (cur->db->store->damaged) return rc::kIllegalFile;
    if (cur->owner == 0) return rc::kNoRecord;
    if (cur->field == 0) return rc::kNoField;
    if (out == nullptr) return rc::kBadParameter;
    if (uint32_t r = tarn::knowIndex(cur)) return tarn::checked(cur, r);
    *out = cur->index;
    return tarn::checked(cur, rc::kOk);
}

uint32_t LumCursorGetNumFields(lumcursor* cur, uint32_t* out) {
    if (cur == nullptr) return rc::kBadCursor;
    if (cur->db->store->damaged) return rc::kIllegalFile;
    if (cur->owner == 0) return rc::kNoRecord;
    if (out == nullptr) return rc::kBadParameter;
    if (uint32_t r = tarn::knowCount(cur)) return tarn::checked(cur, r);
    *out = cur->count;
    return tarn::checked(cur, rc::kOk);
}

uint32_t LumCursorGotoMemberAddress(lumcursor* cur, uint32_t address) {
    if (cur == nullptr) return rc::kBadCursor;
    tarn::Store* s = tarn::storeOf(cur);
    if (s->damaged) return rc::kIllegalFile;
    // Checked without marking the store: a wrong address is the caller's.
    const auto inside = [s](uint32_t off) {
        return off >= tarn::fmt::kFirstObject &&
               uint64_t(off) + tarn::fmt::kPlainOverhead <= tarn::StoreDataSize(s);
    };
    if (!inside(address)) return rc::kIllegalFile;
    const uint32_t owner = tarn::ownerOf(s, address);
    if (!inside(owner)) return rc::kIllegalFile;
    tarn::remember(cur);
    cur->field = address;
    cur->owner = owner;
    cur->index = cur->count = kUnset;
    cur->last = 0;
    // A record's owner is its first field.
    if (address == owner) cur->index = 0;
    tarn::recall(cur);
    return rc::kOk;
}

uint32_t LumCursorFetchField(lumcursor* cur, LumTypeId* outId, void* buffer, uint32_t size,
                             const uint32_t* encoding, uint32_t* outSize, uint32_t* outField,
                             uint32_t* outOwner) {
    if (cur == nullptr) return rc::kBadCursor;
    tarn::Store* s = tarn::storeOf(cur);
    if (s->damaged) return rc::kIllegalFile;
    if (cur->field == 0) return rc::kNoField;
    const uint32_t f = cur->field;
    if (!tarn::isField(s, f)) return tarn::checked(cur, rc::kIllegalFile);
    const uint8_t base = tarn::DataGetU8(s, f + tarn::fmt::kFieldBase);
    if (outId != nullptr) {
        const uint32_t plain = tarn::kindOf(s, f) == tarn::fmt::kKindPlain ? 1 : 0;
        *outId = base | plain << 8 | uint32_t(tarn::DataGetU16(s, f + tarn::fmt::kFieldId)) << 16;
    }
    if (outField != nullptr) *outField = f;
    if (outOwner != nullptr) *outOwner = cur->owner;
    if (buffer == nullptr && outSize == nullptr) return tarn::checked(cur, rc::kOk);
    const uint32_t r = tarn::fmt::baseTypeClass(base) == tarn::fmt::kClassText
                           ? tarn::fetchText(s, f, buffer, size, encoding ? *encoding : 0, outSize)
                           : tarn::fetchRaw(s, f, buffer, size, outSize);
    return tarn::checked(cur, r);
}

uint32_t LumCursorModifyField(lumcursor* cur, const LumTypeId* id, const void* value,
                              uint32_t length, const uint32_t* encoding) {
    if (cur == nullptr) return rc::kBadCursor;
    return tarn::modify(cur, id, value, length, encoding);
}

uint32_t LumCursorEraseField(lumcursor* cur) {
    if (cur == nullptr) return rc::kBadCursor;
    return tarn::eraseField(cur);
}

uint32_t LumCursorEraseRecord(lumcursor* cur) {
    if (cur == nullptr) return rc::kBadCursor;
    return tarn::Guarded([&] { return tarn::eraseRecord(cur); });
}
