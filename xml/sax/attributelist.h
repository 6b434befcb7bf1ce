// The attribute list that the drivers build for each start tag.
#ifndef TARNXML_SAX_ATTRIBUTELIST_H
#define TARNXML_SAX_ATTRIBUTELIST_H

#include "xml/export.h"
#include "xml/sax/sax.h"

namespace LumXMLSAX {

// Holds copies of its attributes in the order they were added. The pointer
// array grows by four records at a time. Strings returned by the getters stay
// valid until the list is destroyed.
class TARNXML_API AttributeListImpl : public AttributeList {
public:
    static constexpr unsigned int kGrowthStep = 4;

    AttributeListImpl();
    ~AttributeListImpl() override;
    AttributeListImpl(const AttributeListImpl&) = delete;
    AttributeListImpl& operator=(const AttributeListImpl&) = delete;

    unsigned int getLength() const override;
    const unsigned char* getName(unsigned int index) const override;
    const unsigned char* getType(const unsigned char* name) const override;
    const unsigned char* getType(unsigned int index) const override;
    const unsigned char* getValue(const unsigned char* name) const override;
    const unsigned char* getValue(unsigned int index) const override;

    // Appends copies of the three strings (null strings are kept as null).
    // Duplicate names are not detected: both records are kept and lookup by
    // name finds the first.
    void addAttribute(const unsigned char* name, const unsigned char* type,
                      const unsigned char* value);

    // Number of records the array holds before it must grow.
    unsigned int getCapacity() const { return _capacity; }

private:
    struct Record;

    const Record* _find(const unsigned char* name) const;
    const Record* _at(unsigned int index) const;

    Record** _records;
    unsigned int _count;
    unsigned int _capacity;
};

}  // namespace LumXMLSAX

#endif
