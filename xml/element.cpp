#include "xml/element.h"

#include "engine/tarn20.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/replay.h"
#include "xml/xml_basetypes.h"

namespace {

[[noreturn]] void fail(uint32_t rc) { throw LumXMLException(static_cast<int>(rc)); }

using tarnxml_detail::HeldDatabase;

LumXMLDb* requireOpen(const std::shared_ptr<HeldDatabase>& held) {
    if (!held->database.isOpened()) fail(LUM_ERR_BAD_DATABASE);
    return &held->database;
}

// The type id of the field at `address`.
uint32_t typeIdAt(lumdb* db, uint32_t address) {
    lumcursor* cursor = nullptr;
    uint32_t rc = LumCursorCreate(&cursor, db);
    if (rc != 0) fail(rc);
    LumTypeId id = 0;
    rc = LumCursorGotoMemberAddress(cursor, address);
    if (rc == 0) rc = LumCursorFetchField(cursor, &id, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    LumCursorDestroy(cursor);
    if (rc != 0) fail(rc);
    return id;
}

}  // namespace

// One pass over the fields of an element's chain, from its start field on:
// its attributes, then its content. Anything else there is damage.
class LumXMLElement::Reader {
public:
    enum class Field { Attribute, Text, Child, End };

    explicit Reader(const LumXMLElement& element)
        : _held(element._held), _ref(requireOpen(element._held)) {
        const uint32_t chain = element._chain;
        _ref.setNewLocation(chain);
        if (_ref.getCurrentLocation() != chain || _ref.getCurrentBasetype() != XML_BT_CHAIN_START ||
            _ref.getCurrentChainLocation() != chain) {
            fail(LUM_ERR_ILLEGAL_FILE);
        }
    }

    // On to the next field. An attribute is read at once (name(), value()),
    // a text only when appendText asks, a child's pointer and target for
    // children().
    Field next() {
        if (!_ref.GotoNextField()) return Field::End;
        const int basetype = _ref.getCurrentBasetype();
        if (basetype == XML_BT_ATTRIBUTE_NAME && !_inContent) {
            // A name without its value is no attribute.
            if (!_ref.getAttribute(_name, _value)) fail(LUM_ERR_ILLEGAL_FILE);
            return Field::Attribute;
        }
        _inContent = true;
        if (basetype == XML_BT_PCDATA) return Field::Text;
        if (basetype != XML_BT_ELEMENT && basetype != XML_BT_ATTRIBUTE_BRANCH) fail(LUM_ERR_ILLEGAL_FILE);
        _pointers.push_back(static_cast<uint32_t>(_ref.getCurrentLocation()));
        _targets.push_back(static_cast<uint32_t>(_ref.getLinkedLocation()));
        return Field::Child;
    }

    const std::string& name() const { return _name; }
    const std::string& value() const { return _value; }
    // The current text field's text, appended to `out`.
    void appendText(std::string& out) {
        _ref.GetPCDATA(_text);
        out += _text;
    }

    // The children met so far, each checked to lead back to its pointer.
    // The pass is over then: the reference leaves the chain.
    std::vector<LumXMLElement> children() {
        std::vector<LumXMLElement> out;
        if (_targets.empty()) return out;
        out.reserve(_targets.size());
        // After a refused step past the chain's end the reference reads no
        // base type until a step succeeds: one from the start field does.
        _ref.GotoCurrentTagChainStart();
        _ref.GotoNextField();
        for (size_t i = 0; i < _targets.size(); ++i) {
            const uint32_t chain = _targets[i];
            _ref.setNewLocation(chain);
            if (chain == 0 || _ref.getCurrentLocation() != chain ||
                _ref.getCurrentBasetype() != XML_BT_CHAIN_START || _ref.getLinkedLocation() != _pointers[i]) {
                fail(LUM_ERR_ILLEGAL_FILE);
            }
            out.push_back(LumXMLElement(_held, chain));
        }
        return out;
    }

    lumxmlref& reference() { return _ref; }

private:
    const std::shared_ptr<HeldDatabase>& _held;
    lumxmlref _ref;
    bool _inContent = false;
    std::string _name;
    std::string _value;
    std::string _text;
    std::vector<uint32_t> _pointers;
    std::vector<uint32_t> _targets;
};

std::optional<LumXMLElement> LumXMLElement::root(LumXMLDb& database) {
    if (!database.isOpened()) fail(LUM_ERR_BAD_DATABASE);
    if (!database.HasDocumentChain()) return std::nullopt;
    auto held = std::make_shared<HeldDatabase>(database);
    uint32_t chain = 0;
    {
        lumxmlref document;
        held->database.GetDocumentRootNode(nullptr, &document);
        chain = static_cast<uint32_t>(document.getLinkedLocation());
    }
    if (chain == 0) fail(LUM_ERR_ILLEGAL_FILE);
    // An empty document's root has no type.
    if (xmlUsertypeOf(typeIdAt(database.getDatabaseHandle(), chain)) == 0) return std::nullopt;
    return LumXMLElement(held, chain);
}

std::string LumXMLElement::tag() const {
    Reader reader(*this);
    return reader.reference().getCurrentTagName();
}

std::vector<std::pair<std::string, std::string>> LumXMLElement::attributes() const {
    std::vector<std::pair<std::string, std::string>> out;
    Reader reader(*this);
    while (reader.next() == Reader::Field::Attribute) out.emplace_back(reader.name(), reader.value());
    return out;
}

std::string LumXMLElement::text() const {
    std::string out;
    Reader reader(*this);
    for (Reader::Field field; (field = reader.next()) != Reader::Field::End;) {
        if (field == Reader::Field::Text) reader.appendText(out);
    }
    return out;
}

std::vector<LumXMLElement> LumXMLElement::children() const {
    Reader reader(*this);
    while (reader.next() != Reader::Field::End) {
    }
    return reader.children();
}

LumXMLContent LumXMLElement::content() const {
    // Texts go to the element's text until the first child, then to the
    // tail of the child before them.
    std::vector<std::string> texts(1);
    Reader reader(*this);
    for (Reader::Field field; (field = reader.next()) != Reader::Field::End;) {
        if (field == Reader::Field::Text) reader.appendText(texts.back());
        if (field == Reader::Field::Child) texts.emplace_back();
    }
    LumXMLContent content;
    content.text = std::move(texts[0]);
    std::vector<LumXMLElement> children = reader.children();
    content.children.reserve(children.size());
    for (size_t i = 0; i < children.size(); ++i)
        content.children.push_back({std::move(children[i]), std::move(texts[i + 1])});
    return content;
}

std::optional<LumXMLElement> LumXMLElement::parent() const {
    Reader reader(*this);
    lumxmlref& ref = reader.reference();
    const unsigned long pointer = ref.getLinkedLocation();
    if (pointer == 0) return std::nullopt;
    ref.setNewLocation(pointer);
    if (ref.getCurrentLocation() != pointer) fail(LUM_ERR_ILLEGAL_FILE);
    const int basetype = ref.getCurrentBasetype();
    if (basetype == XML_BT_DOCUMENT) return std::nullopt;
    if ((basetype != XML_BT_ELEMENT && basetype != XML_BT_ATTRIBUTE_BRANCH) ||
        ref.getLinkedLocation() != _chain) {
        fail(LUM_ERR_ILLEGAL_FILE);
    }
    const unsigned long owner = ref.getCurrentChainLocation();
    ref.setNewLocation(owner);
    if (ref.getCurrentLocation() != owner || ref.getCurrentBasetype() != XML_BT_CHAIN_START)
        fail(LUM_ERR_ILLEGAL_FILE);
    // The chain of elements made outside any document has no parent itself,
    // and is no element.
    if (ref.getLinkedLocation() == 0) return std::nullopt;
    return LumXMLElement(_held, static_cast<uint32_t>(owner));
}

std::string LumXMLElement::xml() const {
    std::string out;
    LumXMLSAX::HandlerDump writer(out);
    xml(writer);
    return out;
}

void LumXMLElement::xml(LumXMLSAX::DocumentHandler& handler) const {
    tarnxml_detail::replayElement(*requireOpen(_held), _chain, &handler);
}
