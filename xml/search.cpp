#include "xml/search.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "engine/tarn20.h"
#include "xml/lumxmlexception.h"
#include "xml/xml_basetypes.h"

namespace {

constexpr uint32_t kSearch = 2;
constexpr uint32_t kRange = 0, kEqual = 1, kContains = 3;
constexpr uint32_t kUnion = 0, kIntersection = 1, kDifference = 2;
constexpr uint32_t kFields = 0;
constexpr uint32_t kUtf8 = 2;
constexpr uint32_t kBufferTooSmall = 10;
constexpr uint32_t kIllegalFile = 29;

// The one-byte text 0xFF: UTF-8 never holds the byte, so it stands above
// every text, an open upper bound.
const std::string kTop = "\xFF";
// The first byte from which the engine's substring search looks no more.
constexpr unsigned kUpperBuckets = 0x80;

[[noreturn]] void fail(uint32_t rc) { throw LumXMLException(static_cast<int>(rc)); }
void check(uint32_t rc) {
    if (rc != 0) fail(rc);
}

// An engine handle released on every way out.
template <typename T, uint32_t (*Destroy)(T*)>
class Handle {
public:
    Handle() = default;
    explicit Handle(T* handle) : _handle(handle) {}
    ~Handle() {
        if (_handle != nullptr) Destroy(_handle);
    }
    Handle(Handle&& other) noexcept : _handle(std::exchange(other._handle, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        std::swap(_handle, other._handle);
        return *this;
    }
    T** out() { return &_handle; }
    T* get() const { return _handle; }
    T* release() { return std::exchange(_handle, nullptr); }

private:
    T* _handle = nullptr;
};

uint32_t destroyQuery(lumquery* query) { return LumQueryDestroy(query, 0); }
using Set = Handle<lumresset, LumResDestroy>;
using List = Handle<lumreslist, LumResListDestroy>;
using Cursor = Handle<lumcursor, LumCursorDestroy>;
using Query = Handle<lumquery, destroyQuery>;

int baseOf(LumTypeId id) { return static_cast<int>(id & 0xFF); }
const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.c_str());
}
uint32_t numberOf(int usertype) { return static_cast<uint32_t>(usertype) & 0xFFFF; }

// The field ids of the index are the element types: a search for a type of
// class 9 finds its texts, attribute names and values alike, and the
// substring search takes only base type code 9 of that class.
Set search(lumdb* db, int usertype, uint32_t op, const std::string& low, const std::string* high) {
    Query query;
    check(LumQueryCreate(query.out(), db));
    LumQueryParams* params = nullptr;
    check(LumQueryGetParams(query.get(), &params));
    params->kind = kSearch;
    params->op = op;
    params->left = kFields;
    params->right = 0;
    params->value1 = low.c_str();
    params->value2 = high != nullptr ? high->c_str() : nullptr;
    params->encoding1 = params->encoding2 = kUtf8;
    params->typeId = xmlTypeId(usertype, XML_BT_STRING);
    Set set;
    check(LumQueryExecute(query.get(), set.out()));
    return set;
}

Set emptySet(lumdb* db) {
    Set set;
    check(LumResCreate(set.out(), db, kFields));
    return set;
}

// The array form of a set, with its size.
List listOf(const Set& set, uint32_t* count) {
    List list;
    check(LumResListCreate(list.out(), set.get(), 0, nullptr));
    check(LumResListGetSize(list.get(), count));
    return list;
}

// Item k of a list: the offset of a field, read back through `cursor` from
// the field itself, since one that cannot be read is damage.
uint32_t offsetAt(const List& list, lumcursor* cursor, uint32_t k) {
    uint32_t offset = 0;
    check(LumResListGetItem(list.get(), cursor, k));
    check(LumCursorFetchField(cursor, nullptr, nullptr, 0, nullptr, nullptr, &offset, nullptr));
    return offset;
}

// The values of a set, each the offset of a field.
std::vector<uint32_t> offsets(const Set& set, lumcursor* cursor) {
    uint32_t count = 0;
    const List list = listOf(set, &count);
    std::vector<uint32_t> values(count);
    for (uint32_t k = 0; k < count; ++k) values[k] = offsetAt(list, cursor, k);
    return values;
}

// The smallest text above every text that begins with `prefix`; false when
// there is none (an empty prefix, or one of 0xFF bytes only).
bool successor(std::string prefix, std::string* out) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
    if (prefix.empty()) return false;
    prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    *out = std::move(prefix);
    return true;
}

// One pass over the fields a condition's searches found: which of them
// count, and the element each one selects.
class Selector {
public:
    Selector(lumdb* db, const LumXMLCondition& condition, int within, bool withinKnown)
        : _condition(condition), _within(within), _withinKnown(withinKnown) {
        check(LumCursorCreate(_cursor.out(), db));
        check(LumCursorCreate(_climber.out(), db));
    }

    // Adds to `into` the elements selected by the fields of `found`;
    // with `lookInto`, only those whose text contains the condition's value.
    void add(const Set& found, bool lookInto, const Set& into) {
        for (uint32_t field : offsets(found, _cursor.get())) {
            uint32_t element = 0;
            if (!counts(field, lookInto, &element)) continue;
            if (_withinKnown) element = climb(element);
            if (element != 0) check(LumResAdd(into.get(), element));
        }
    }

private:
    bool counts(uint32_t field, bool lookInto, uint32_t* owner) {
        lumcursor* cursor = _cursor.get();
        check(LumCursorGotoMemberAddress(cursor, field));
        LumTypeId id = 0;
        check(LumCursorFetchField(cursor, &id, nullptr, 0, nullptr, nullptr, nullptr, owner));
        if (_condition.attribute) {
            if (baseOf(id) != XML_BT_ATTRIBUTE_VALUE || !namedBefore(*_condition.attribute)) return false;
            check(LumCursorGotoMemberAddress(cursor, field));
        } else if (baseOf(id) != XML_BT_PCDATA) {
            return false;
        }
        return !lookInto || text().find(_condition.value) != std::string::npos;
    }

    // Whether the field before the cursor's is the attribute name `name`.
    bool namedBefore(const std::string& name) {
        lumcursor* cursor = _cursor.get();
        uint32_t position = 0;
        check(LumCursorGetFieldIndex(cursor, &position));
        if (position < 2) return false;  // field 0 starts the chain
        check(LumCursorGotoField(cursor, position - 1));
        LumTypeId id = 0;
        check(LumCursorFetchField(cursor, &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr));
        if (baseOf(id) != XML_BT_ATTRIBUTE_NAME) return false;
        // A name of another size does not fit, or fits with room to spare.
        _buffer.resize(name.size() + 1);
        uint32_t size = 0;
        const uint32_t rc = LumCursorFetchField(cursor, nullptr, &_buffer[0],
                                                static_cast<uint32_t>(_buffer.size()), &kUtf8Code,
                                                &size, nullptr, nullptr);
        if (rc == kBufferTooSmall) return false;
        check(rc);
        return size == _buffer.size() && std::memcmp(_buffer.data(), name.c_str(), _buffer.size()) == 0;
    }

    // The text of the cursor's field, without its terminator.
    std::string text() {
        lumcursor* cursor = _cursor.get();
        uint32_t size = 0;
        uint32_t rc = kBufferTooSmall;
        while (rc == kBufferTooSmall) {
            if (size > _buffer.size()) _buffer.resize(size);
            rc = LumCursorFetchField(cursor, nullptr, &_buffer[0], static_cast<uint32_t>(_buffer.size()),
                                     &kUtf8Code, &size, nullptr, nullptr);
        }
        check(rc);
        return std::string(_buffer.data(), size != 0 ? size - 1 : 0);
    }

    // The element named `_within` nearest above or at the element whose
    // chain starts at `chain`; 0 when there is none. The climb passes from
    // each chain start through the pointer field that refers to it into the
    // parent's chain; a file whose pointers lead round in a circle is
    // damaged, and is found so by comparing with a position saved at every
    // power of two steps.
    uint32_t climb(uint32_t chain) {
        lumcursor* cursor = _climber.get();
        uint32_t saved = 0;
        for (uint64_t steps = 1, power = 1;; ++steps) {
            LumTypeId id = 0;
            uint32_t pointer = 0;
            check(LumCursorGotoMemberAddress(cursor, chain));
            check(LumCursorFetchField(cursor, &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr));
            if (baseOf(id) != XML_BT_CHAIN_START) fail(kIllegalFile);
            if ((id >> 16) == numberOf(_within)) return chain;
            check(LumCursorFetchField(cursor, nullptr, &pointer, sizeof pointer, nullptr, nullptr,
                                      nullptr, nullptr));
            if (pointer == 0) return 0;
            check(LumCursorGotoMemberAddress(cursor, pointer));
            check(LumCursorFetchField(cursor, &id, nullptr, 0, nullptr, nullptr, nullptr, &chain));
            // Above a root lies the document chain, which is no element.
            if (baseOf(id) == XML_BT_DOCUMENT) return 0;
            if (baseOf(id) != XML_BT_ELEMENT && baseOf(id) != XML_BT_ATTRIBUTE_BRANCH) fail(kIllegalFile);
            if (chain == saved) fail(kIllegalFile);
            if (steps == power) {
                saved = chain;
                power *= 2;
            }
        }
    }

    static constexpr uint32_t kUtf8Code = kUtf8;

    const LumXMLCondition& _condition;
    int _within;
    bool _withinKnown;
    Cursor _cursor;
    Cursor _climber;
    std::string _buffer;
};

// Searches of one condition's element type, each handing what it finds to
// the condition's selector.
class Searches {
public:
    Searches(lumdb* db, int usertype, Selector& selector, const Set& into)
        : _db(db), _usertype(usertype), _selector(selector), _into(into) {}

    void every() { add(search(_db, _usertype, kRange, "", &kTop)); }

    void equal(const std::string& value) { add(search(_db, _usertype, kEqual, value, nullptr)); }

    // Bounds are inclusive: the search up to the prefix's successor finds
    // that text itself too, which is taken out again.
    void prefixed(const std::string& prefix) {
        std::string above;
        if (!successor(prefix, &above)) return add(search(_db, _usertype, kRange, prefix, &kTop));
        Set found = search(_db, _usertype, kRange, prefix, &above);
        check(LumResMerge(found.get(), search(_db, _usertype, kEqual, above, nullptr).get(), kDifference));
        add(found);
    }

    // The engine's substring search, then the texts it leaves out, a bucket
    // of first bytes at a time, looked into here.
    void containing(const std::string& part) {
        add(search(_db, _usertype, kContains, part, nullptr));
        for (unsigned first = kUpperBuckets; first <= 0xFF; ++first) {
            const std::string low(1, static_cast<char>(first));
            const std::string high = first < 0xFF ? std::string(1, static_cast<char>(first + 1)) : kTop;
            add(search(_db, _usertype, kRange, low, &high), true);
        }
    }

    // Between the two, in whichever order they are given; an empty one is
    // an open end.
    void between(std::string low, std::string high) {
        const bool bothGiven = !low.empty() && !high.empty();
        if (high.empty()) high = kTop;
        if (bothGiven && std::strcmp(low.c_str(), high.c_str()) > 0) std::swap(low, high);
        add(search(_db, _usertype, kRange, low, &high));
    }

private:
    void add(const Set& found, bool lookInto = false) { _selector.add(found, lookInto, _into); }

    lumdb* _db;
    int _usertype;
    Selector& _selector;
    const Set& _into;
};

// The elements one condition selects, as a set of chain start offsets.
Set selectElements(LumXMLDb& database, const LumXMLCondition& condition, const std::optional<int>& within) {
    lumdb* db = database.getDatabaseHandle();
    Set selected = emptySet(db);
    int usertype = 0;
    if (!database.lookupUsertype(bytes(condition.tag), &usertype)) return selected;
    Selector selector(db, condition, within.value_or(0), within.has_value());
    Searches searches(db, usertype, selector, selected);
    const std::string& value = condition.value;
    switch (condition.match) {
    case LumXMLMatch::Exact: searches.equal(value); break;
    // An empty prefix or substring: every text, the empty one too.
    case LumXMLMatch::Prefix: value.empty() ? searches.every() : searches.prefixed(value); break;
    case LumXMLMatch::Contains: value.empty() ? searches.every() : searches.containing(value); break;
    case LumXMLMatch::Range: searches.between(value, condition.high); break;
    }
    return selected;
}

uint32_t mergeOperator(LumXMLJoin join) {
    switch (join) {
    case LumXMLJoin::And: return kIntersection;
    case LumXMLJoin::AndNot: return kDifference;
    default: return kUnion;
    }
}

}  // namespace

// ---- LumXMLSearch ------------------------------------------------------------

LumXMLSearch::LumXMLSearch(LumXMLCondition first) {
    _terms.push_back({LumXMLJoin::Or, std::move(first)});
}

LumXMLSearch& LumXMLSearch::join(LumXMLJoin join, LumXMLCondition condition) {
    _terms.push_back({join, std::move(condition)});
    return *this;
}

LumXMLSearch& LumXMLSearch::within(std::string element) {
    _within = std::move(element);
    return *this;
}

LumXMLSearch& LumXMLSearch::limit(uint64_t elements) {
    _limit = elements;
    return *this;
}

lumresset* LumXMLSearch::_select(LumXMLDb& database) const {
    std::optional<int> within;
    if (_within) {
        int usertype = 0;
        if (!database.lookupUsertype(bytes(*_within), &usertype))
            return emptySet(database.getDatabaseHandle()).release();
        within = usertype;
    }
    Set result;
    for (const Term& term : _terms) {
        Set selected = selectElements(database, term.condition, within);
        if (&term == &_terms.front())
            result = std::move(selected);
        else
            check(LumResMerge(result.get(), selected.get(), mergeOperator(term.join)));
    }
    return result.release();
}

LumXMLMatches LumXMLSearch::find(LumXMLDb& database) const {
    Set selected(_select(database));
    Cursor cursor;
    check(LumCursorCreate(cursor.out(), database.getDatabaseHandle()));
    std::vector<uint32_t> elements = offsets(selected, cursor.get());
    // Only the first `limit` need their order.
    if (_limit && elements.size() > *_limit) {
        const auto end = elements.begin() + static_cast<std::ptrdiff_t>(*_limit);
        std::nth_element(elements.begin(), end, elements.end());
        elements.erase(end, elements.end());
    }
    std::sort(elements.begin(), elements.end());
    return LumXMLMatches(std::make_shared<tarnxml_detail::HeldDatabase>(database), std::move(elements));
}

uint64_t LumXMLSearch::count(LumXMLDb& database) const {
    Set selected(_select(database));
    Cursor cursor;
    check(LumCursorCreate(cursor.out(), database.getDatabaseHandle()));
    // Each element is looked at as find looks at it, so that a count fails
    // where find would.
    uint32_t size = 0;
    const List list = listOf(selected, &size);
    for (uint32_t k = 0; k < size; ++k) offsetAt(list, cursor.get(), k);
    return _limit ? std::min<uint64_t>(size, *_limit) : size;
}

// ---- LumXMLMatches -----------------------------------------------------------

LumXMLMatches::LumXMLMatches(std::shared_ptr<tarnxml_detail::HeldDatabase> held,
                             std::vector<uint32_t> elements)
    : _held(std::move(held)), _elements(std::move(elements)) {}

std::optional<LumXMLElement> LumXMLMatches::next() {
    if (!_held->database.isOpened()) fail(LUM_ERR_BAD_DATABASE);
    if (_next == _elements.size()) return std::nullopt;
    return LumXMLElement(_held, _elements[_next++]);
}
