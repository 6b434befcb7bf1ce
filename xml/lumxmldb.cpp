#include "engine/tarn20.h"
#include "xml/lumxmldb.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "xml/file_locks.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/xml_basetypes.h"

using tarnxml_detail::DbState;

namespace {

constexpr uint32_t kFlagsCreate = 0;
constexpr uint32_t kFlagsOpen = 16;
constexpr uint32_t kFlagsReadOnly = 17;
constexpr uint32_t kUtf8 = 2;

// What the dictionary answers for a type without a name field.
constexpr uint32_t kUnnamedType = LUM_ERR_BAD_FIELD_INDEX;

// Tag names are read into a buffer that doubles from 64 bytes up to this.
constexpr uint32_t kFirstNameBuffer = 64;
constexpr uint32_t kLongestName = 1u << 24;

[[noreturn]] void fail(uint32_t rc) { throw LumXMLException(static_cast<int>(rc)); }
void check(uint32_t rc) {
    if (rc != 0) fail(rc);
}

const unsigned char* bytes(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

// One engine handle of an operation, released on every way out.
template <typename T>
class Owned {
public:
    using Destroy = uint32_t (*)(T*);
    explicit Owned(Destroy destroy) : _destroy(destroy) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    T** out() { return &_handle; }
    T* get() const { return _handle; }
    T* release() {
        T* handle = _handle;
        _handle = nullptr;
        return handle;
    }
    void reset() {
        if (_handle != nullptr) _destroy(_handle);
        _handle = nullptr;
    }

private:
    T* _handle = nullptr;
    Destroy _destroy;
};

uint32_t destroyQueryDeep(lumquery* query) { return LumQueryDestroy(query, 1); }
uint32_t destroyQueryFlat(lumquery* query) { return LumQueryDestroy(query, 0); }

// Equality search for fields of `type` holding `value`; on success `list`
// holds the matches and *count their number. The query and its result set
// are gone when this returns.
uint32_t search(lumdb* db, LumTypeId type, const void* value, uint32_t encoding, bool deep,
                Owned<lumreslist>& list, uint32_t* count) {
    Owned<lumquery> query(deep ? destroyQueryDeep : destroyQueryFlat);
    uint32_t rc = LumQueryCreate(query.out(), db);
    LumQueryParams* params = nullptr;
    if (rc == 0) rc = LumQueryGetParams(query.get(), &params);
    if (rc != 0) return rc;
    params->kind = 2;  // search
    params->op = 1;    // equal
    params->left = 0;  // the set holds fields
    params->right = 0;
    params->value1 = value;
    params->encoding1 = encoding;
    params->typeId = type;
    Owned<lumresset> set(LumResDestroy);
    rc = LumQueryExecute(query.get(), set.out());
    if (rc != 0) return rc;
    query.reset();
    rc = LumResListCreate(list.out(), set.get(), 0, nullptr);
    if (rc != 0) return rc;
    return LumResListGetSize(list.get(), count);
}

std::atomic<unsigned int> gBusyTimeout{0};

// The temporary files of killed loads beside the database, once it is open
// for writing (and so no load of it can be under way).
void removeLeftovers(const char* name) {
    char* real = realpath(name, nullptr);
    if (real == nullptr) return;
    tarnxml_detail::RemoveLeftoverTemporaries(real);
    std::free(real);
}

char* duplicate(const char* name) {
    if (name == nullptr) return nullptr;
    const size_t size = std::strlen(name) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) fail(LUM_ERR_MALLOC);
    std::memcpy(copy, name, size);
    return copy;
}

}  // namespace

// ---- Shared state -----------------------------------------------------------

DbState::~DbState() { release(); }

void DbState::release() noexcept { closeBy(LumDbClose); }

void DbState::abandon() noexcept { closeBy(LumDbAbandon); }

void DbState::closeBy(uint32_t (*close)(lumdb*)) noexcept {
    if (unlinkedCursor != nullptr) LumCursorDestroy(unlinkedCursor);
    if (xmlDictionary != nullptr) LumXMLDctDestroy(xmlDictionary);
    if (dictionary != nullptr) LumDctDestroy(dictionary);
    if (database != nullptr) close(database);
    unlinkedCursor = nullptr;
    xmlDictionary = nullptr;
    dictionary = nullptr;
    database = nullptr;
    opened = false;
    tagNames.clear();
    for (RecentTag& recent : recentTags) recent.length = 0;
}

int DbState::lookupTag(const unsigned char* tag) {
    if (tag == nullptr) return 0;
    if (xmlDictionary == nullptr) fail(LUM_ERR_BAD_DATABASE);
    const char* name = reinterpret_cast<const char*>(tag);
    const size_t n = std::strlen(name);
    RecentTag* recent = nullptr;
    if (n != 0 && n < kRecentTagBytes) {
        recent = &recentTags[(n * 7 + tag[0] * 3 + tag[n - 1]) & 15];
        if (recent->length == n && std::memcmp(recent->name, name, n) == 0) return recent->usertype;
    }
    int32_t usertype = 0;
    check(LumXMLDctLookupTag(xmlDictionary, name, 1, &usertype));
    if (recent != nullptr) {  // a tag's type never changes while the database is open
        std::memcpy(recent->name, name, n);
        recent->length = n;
        recent->usertype = usertype;
    }
    return usertype;
}

bool DbState::findTag(const unsigned char* tag, int* usertype) {
    if (tag == nullptr) return false;
    if (xmlDictionary == nullptr) fail(LUM_ERR_BAD_DATABASE);
    int32_t found = 0;
    const uint32_t rc =
        LumXMLDctLookupTag(xmlDictionary, reinterpret_cast<const char*>(tag), 0, &found);
    if (rc == LUM_ERR_NAME_NOT_FOUND) return false;
    check(rc);
    if (usertype != nullptr) *usertype = found;
    return true;
}

const std::string& DbState::tagName(int usertype) {
    const int number = usertype & 0xFFFF;
    const auto slot = static_cast<std::size_t>(number);
    if (slot < tagNames.size() && tagNames[slot] != nullptr) return *tagNames[slot];
    if (dictionary == nullptr) fail(LUM_ERR_BAD_DATABASE);
    // Tag types have base type 0 and index flag 0: their id is the number
    // shifted. The engine does not report a name's size, so grow until it fits.
    std::string buffer(kFirstNameBuffer, '\0');
    for (;;) {
        const uint32_t rc =
            LumDctGetTypeAttributes(dictionary, xmlTypeId(number, 0), nullptr, nullptr, nullptr,
                                    &buffer[0], static_cast<uint32_t>(buffer.size()), kUtf8);
        if (rc == 0) {
            buffer.resize(std::strlen(buffer.c_str()));
            break;
        }
        if (rc == kUnnamedType) {
            buffer.clear();
            break;
        }
        if (rc != LUM_ERR_BUFFER_TOO_SMALL || buffer.size() >= kLongestName) fail(rc);
        buffer.assign(buffer.size() * 2, '\0');
    }
    if (slot >= tagNames.size()) tagNames.resize(slot + 1);
    tagNames[slot] = std::make_unique<std::string>(std::move(buffer));
    return *tagNames[slot];
}

// ---- Construction -----------------------------------------------------------

LumXMLDb::LumXMLDb() : databaseName(nullptr), sizeHint(64) {}

LumXMLDb::LumXMLDb(const char* name, unsigned int sizeHint)
    : databaseName(nullptr), sizeHint(sizeHint) {
    SetDatabaseName(name);
}

LumXMLDb::LumXMLDb(const LumXMLDb& other)
    : _state(other._state), databaseName(duplicate(other.databaseName)), sizeHint(other.sizeHint),
      maxFileBytes(other.maxFileBytes) {}

LumXMLDb& LumXMLDb::operator=(const LumXMLDb& other) {
    char* name = duplicate(other.databaseName);
    std::free(databaseName);
    databaseName = name;
    sizeHint = other.sizeHint;
    maxFileBytes = other.maxFileBytes;
    _state = other._state;
    return *this;
}

LumXMLDb::~LumXMLDb() { std::free(databaseName); }

void LumXMLDb::SetDatabaseName(const char* name) {
    char* copy = duplicate(name);
    std::free(databaseName);
    databaseName = copy;
}

void LumXMLDb::SetDatabaseName(const unsigned char* name) {
    SetDatabaseName(reinterpret_cast<const char*>(name));
}

// ---- Opening and closing ----------------------------------------------------

void LumXMLDb::Create() { _open(kFlagsCreate); }

void LumXMLDb::Open() { _open(kFlagsOpen); }

void LumXMLDb::OpenReadOnly() { _open(kFlagsReadOnly); }

void LumXMLDb::SetBusyTimeout(unsigned int milliseconds) { gBusyTimeout.store(milliseconds); }

unsigned int LumXMLDb::BusyTimeout() { return gBusyTimeout.load(); }

void LumXMLDb::_open(uint32_t flags) {
    if (databaseName == nullptr) throw LumXMLException(XMLERR_NO_DATABASE_NAME);
    if (isOpened()) Close();
    // A fresh state: copies still holding the old one see it closed.
    auto state = std::make_shared<DbState>();
    state->params.spare1 = BusyTimeout();
    state->params.spare2 = maxFileBytes;
    state->params.flags = flags;
    state->readOnly = flags == kFlagsReadOnly;
    check(LumDbCreate(&state->database, 0, databaseName, &state->params));
    state->inputEncoding = state->outputEncoding = static_cast<int>(kUtf8);
    _state = state;
    try {
        check(LumDctCreate(&state->dictionary, state->database));
        check(LumXMLDctCreate(&state->xmlDictionary, state->dictionary));
        CreateUnlinkedTagchain();
        if (flags == kFlagsOpen) {
            int32_t sod = 0;
            LumXMLDctLookupTag(state->xmlDictionary, XML_TAG_DOCUMENT_CHAIN, 1, &sod);
        }
    } catch (...) {
        state->release();
        _state.reset();
        throw;
    }
    state->opened = true;
    if (flags == kFlagsOpen) removeLeftovers(databaseName);
}

void LumXMLDb::CreateUnlinkedTagchain() {
    DbState& st = *_state;
    check(LumCursorCreate(&st.unlinkedCursor, st.database));
    // Read-only, a file without the chain (or without its tag) keeps none.
    if (!st.readOnly) {
        st.unlinkedType = st.lookupTag(bytes(XML_TAG_UNLINKED));
    } else if (!st.findTag(bytes(XML_TAG_UNLINKED), &st.unlinkedType)) {
        return;
    }
    const LumTypeId start = xmlTypeId(st.unlinkedType, XML_BT_CHAIN_START);
    const uint32_t zero = 0;
    Owned<lumreslist> list(LumResListDestroy);
    uint32_t count = 0;
    check(search(st.database, start, &zero, 0, true, list, &count));
    if (count > 1) fail(LUM_ERR_ILLEGAL_FILE);
    if (count == 0) {
        if (st.readOnly) return;
        LumCursorNewRecord(st.unlinkedCursor);
        check(LumCursorAppendField(st.unlinkedCursor, start, &zero, sizeof zero, nullptr));
        return;
    }
    check(LumResListGetItem(list.get(), st.unlinkedCursor, 0));
    uint32_t fields = 0;
    check(LumCursorGetNumFields(st.unlinkedCursor, &fields));
    if (fields == 0) fail(LUM_ERR_ILLEGAL_FILE);
    check(LumCursorGotoField(st.unlinkedCursor, fields - 1));
}

void LumXMLDb::Close() {
    if (!isOpened()) return;
    DbState& st = *_state;
    // The engine would refuse only after the dictionaries are gone; refuse
    // first so a refused Close leaves everything usable.
    if (st.liveCursors != 0) fail(LUM_ERR_REFERENCED);
    // The engine's close commits too but cannot report a failed write-back;
    // committing here first does, while everything is still usable.
    check(LumDbCommit(st.database));
    DestroyUnlinkedTagchain();
    check(LumXMLDctDestroy(st.xmlDictionary));
    st.xmlDictionary = nullptr;
    check(LumDctDestroy(st.dictionary));
    st.dictionary = nullptr;
    const uint32_t rc = LumDbClose(st.database);
    if (rc == LUM_ERR_REFERENCED) {
        // Handles opened on the database outside this layer: reopen what was
        // closed so the object stays open and whole.
        try {
            check(LumDctCreate(&st.dictionary, st.database));
            check(LumXMLDctCreate(&st.xmlDictionary, st.dictionary));
            CreateUnlinkedTagchain();
        } catch (const LumXMLException&) {
        }
        fail(LUM_ERR_REFERENCED);
    }
    check(rc);
    st.database = nullptr;
    st.opened = false;
    st.tagNames.clear();
    for (DbState::RecentTag& recent : st.recentTags) recent.length = 0;
}

void LumXMLDb::Abandon() {
    if (!isOpened()) return;
    if (_state->liveCursors != 0) fail(LUM_ERR_REFERENCED);
    _state->abandon();
}

bool LumXMLDb::isOpened() const { return _state != nullptr && _state->opened; }

DbState& LumXMLDb::_requireOpen() const {
    if (!isOpened()) fail(LUM_ERR_BAD_DATABASE);
    return *_state;
}

void LumXMLDb::DestroyUnlinkedTagchain() {
    if (_state == nullptr || _state->unlinkedCursor == nullptr) return;
    check(LumCursorDestroy(_state->unlinkedCursor));
    _state->unlinkedCursor = nullptr;
}

// ---- Tag names --------------------------------------------------------------

int LumXMLDb::getUsertype(const unsigned char* tag) {
    if (tag == nullptr) return 0;
    return _requireOpen().lookupTag(tag);
}

bool LumXMLDb::lookupUsertype(const unsigned char* tag, int* usertype) {
    return _requireOpen().findTag(tag, usertype);
}

void LumXMLDb::getUsertypeName(int usertype, void* buffer, unsigned long size,
                               unsigned long* length) {
    DbState& st = _requireOpen();
    if (st.xmlDictionary == nullptr) fail(LUM_ERR_BAD_DATABASE);
    const uint32_t capped = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    check(LumXMLLookupUserType(st.xmlDictionary, usertype & 0xFFFF, buffer, capped));
    if (length != nullptr) {
        *length = buffer != nullptr && size != 0 ? strnlen(static_cast<const char*>(buffer), size) : 0;
    }
}

// ---- Handing out references -------------------------------------------------

bool LumXMLDb::HasDocumentChain() {
    DbState& st = _requireOpen();
    int sod = 0;
    if (!st.findTag(bytes(XML_TAG_DOCUMENT_CHAIN), &sod)) return false;
    Owned<lumreslist> list(LumResListDestroy);
    uint32_t count = 0;
    check(search(st.database, xmlTypeId(sod, XML_BT_STRING), XML_DOCCHAIN_VALUE, kUtf8, true, list,
                 &count));
    if (count > 1) fail(LUM_ERR_ILLEGAL_FILE);
    return count == 1;
}

void LumXMLDb::GetDocumentRootNode(const unsigned char* rootTag, lumxmlref* ref) {
    DbState& st = _requireOpen();
    if (ref == nullptr) fail(LUM_ERR_BAD_PARAMETER);
    const int sod = st.lookupTag(bytes(XML_TAG_DOCUMENT_CHAIN));
    Owned<lumcursor> cursor(LumCursorDestroy);
    check(LumCursorCreate(cursor.out(), st.database));
    Owned<lumreslist> list(LumResListDestroy);
    uint32_t count = 0;
    check(search(st.database, xmlTypeId(sod, XML_BT_STRING), XML_DOCCHAIN_VALUE, kUtf8, true, list,
                 &count));
    if (count > 1) fail(LUM_ERR_ILLEGAL_FILE);
    if (count == 1) {
        check(LumResListGetItem(list.get(), cursor.get(), 0));
        list.reset();
        uint32_t fields = 0;
        check(LumCursorGetNumFields(cursor.get(), &fields));
        if (fields == 0) fail(LUM_ERR_ILLEGAL_FILE);
        if (rootTag == nullptr) {
            check(LumCursorGotoField(cursor.get(), 1));
            ref->_bind(this, cursor.release(), 0);
            return;
        }
        check(LumCursorGotoField(cursor.get(), fields - 1));
    } else {
        list.reset();
        LumCursorNewRecord(cursor.get());
        const uint32_t encoding = static_cast<uint32_t>(st.inputEncoding);
        check(LumCursorAppendField(cursor.get(), xmlTypeId(sod, XML_BT_STRING), XML_DOCCHAIN_VALUE,
                                   sizeof XML_DOCCHAIN_VALUE - 1, &encoding));
    }
    const int root = st.lookupTag(rootTag);
    check(LumXMLAppendPointerPair(cursor.get(), sod & 0xFFFF, root & 0xFFFF, XML_BT_DOCUMENT,
                                  nullptr, nullptr));
    ref->_bind(this, cursor.release(), xmlTypeId(root, XML_BT_CHAIN_START));
    // The empty document just made is handed out as a found one is: on its
    // pointer in the document chain, not on its chain.
    if (rootTag == nullptr && !ref->GotoParentTagChainInBranch()) fail(LUM_ERR_ILLEGAL_FILE);
}

void LumXMLDb::createXMLref(lumxmlref* ref) {
    if (ref == nullptr) return;
    lumcursor* cursor = nullptr;
    if (isOpened()) LumCursorCreate(&cursor, _state->database);
    ref->_bind(this, cursor, 0);
}

void LumXMLDb::createUnlinkedXMLref(const unsigned char* tag, lumxmlref* ref) {
    DbState& st = _requireOpen();
    if (ref == nullptr) fail(LUM_ERR_BAD_PARAMETER);
    const int child = st.lookupTag(tag != nullptr ? tag : bytes(XML_TAG_UNKNOWN));
    uint32_t owner = 0;
    check(LumCursorFetchField(st.unlinkedCursor, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                              &owner));
    Owned<lumcursor> cursor(LumCursorDestroy);
    check(LumCursorCreate(cursor.out(), st.database));
    check(LumCursorGotoMemberAddress(cursor.get(), owner));
    check(LumXMLAppendPointerPair(cursor.get(), st.unlinkedType & 0xFFFF, child & 0xFFFF,
                                  XML_BT_ELEMENT, nullptr, nullptr));
    ref->_bind(this, cursor.release(), xmlTypeId(child, XML_BT_CHAIN_START));
}

bool LumXMLDb::GetElementPCDATAUnique(const unsigned char*, const unsigned char* tag,
                                      const unsigned char* value, lumxmlref* ref) {
    if (!isOpened() || ref == nullptr || value == nullptr) return false;
    DbState& st = *_state;
    // Only a missing match answers false; a failure to search is thrown, so
    // that it is never mistaken for "not found".
    // A tag the dictionary lacks has no elements; it is not created here.
    int usertype = 0;
    if (!st.findTag(tag, &usertype)) return false;
    Owned<lumcursor> cursor(LumCursorDestroy);
    check(LumCursorCreate(cursor.out(), st.database));
    Owned<lumreslist> list(LumResListDestroy);
    uint32_t count = 0;
    check(search(st.database, xmlTypeId(usertype, XML_BT_PCDATA), value,
                 static_cast<uint32_t>(st.inputEncoding), false, list, &count));
    // The index keeps an element's attribute names and values under the same
    // key as its text: only a text field is a match.
    for (uint32_t i = 0; i < count; ++i) {
        check(LumResListGetItem(list.get(), cursor.get(), i));
        LumTypeId id = 0;
        check(LumCursorFetchField(cursor.get(), &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr));
        if (xmlBasetypeOf(id) != XML_BT_PCDATA) continue;
        ref->_bind(this, cursor.release(), id);
        return true;
    }
    return false;
}

void LumXMLDb::GotoNamedDocumentStart(const unsigned char*) {}

// ---- Accessors --------------------------------------------------------------

lumdb* LumXMLDb::getDatabaseHandle() const { return isOpened() ? _state->database : nullptr; }

int LumXMLDb::getInputEncoding() const {
    return _state != nullptr ? _state->inputEncoding : static_cast<int>(kUtf8);
}

int LumXMLDb::getOutputEncoding() const {
    return _state != nullptr ? _state->outputEncoding : static_cast<int>(kUtf8);
}
