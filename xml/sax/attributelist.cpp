#include "xml/sax/attributelist.h"

#include <memory>

#include "xml/xmlstring.h"

namespace LumXMLSAX {

struct AttributeListImpl::Record {
    XMLString name;
    XMLString type;
    XMLString value;
};

namespace {

bool sameName(const XMLString& stored, const unsigned char* name) {
    return !stored.empty() && XMLString::compare(stored.ptr(), name) == 0;
}

}  // namespace

AttributeListImpl::AttributeListImpl()
    : _records(new Record*[kGrowthStep]), _count(0), _capacity(kGrowthStep) {}

AttributeListImpl::~AttributeListImpl() {
    for (unsigned int i = 0; i < _count; ++i) delete _records[i];
    delete[] _records;
}

unsigned int AttributeListImpl::getLength() const { return _count; }

const AttributeListImpl::Record* AttributeListImpl::_at(unsigned int index) const {
    // Bounded through the virtual getLength, so a subclass may narrow the view.
    return index < getLength() ? _records[index] : nullptr;
}

const AttributeListImpl::Record* AttributeListImpl::_find(
    const unsigned char* name) const {
    if (name == nullptr) return nullptr;
    for (unsigned int i = 0; i < _count; ++i) {
        if (sameName(_records[i]->name, name)) return _records[i];
    }
    return nullptr;
}

const unsigned char* AttributeListImpl::getName(unsigned int index) const {
    const Record* r = _at(index);
    return r ? r->name.ptr() : nullptr;
}

const unsigned char* AttributeListImpl::getType(unsigned int index) const {
    const Record* r = _at(index);
    return r ? r->type.ptr() : nullptr;
}

const unsigned char* AttributeListImpl::getValue(unsigned int index) const {
    const Record* r = _at(index);
    return r ? r->value.ptr() : nullptr;
}

const unsigned char* AttributeListImpl::getType(const unsigned char* name) const {
    const Record* r = _find(name);
    return r ? r->type.ptr() : nullptr;
}

const unsigned char* AttributeListImpl::getValue(const unsigned char* name) const {
    const Record* r = _find(name);
    return r ? r->value.ptr() : nullptr;
}

void AttributeListImpl::addAttribute(const unsigned char* name,
                                     const unsigned char* type,
                                     const unsigned char* value) {
    auto record = std::make_unique<Record>();
    record->name.set(name);
    record->type.set(type);
    record->value.set(value);
    if (_count == _capacity) {
        Record** grown = new Record*[_capacity + kGrowthStep];
        for (unsigned int i = 0; i < _count; ++i) grown[i] = _records[i];
        delete[] _records;
        _records = grown;
        _capacity += kGrowthStep;
    }
    _records[_count++] = record.release();
}

}  // namespace LumXMLSAX
