// Base type codes of the fields that make up stored XML documents.
//
// Every field of a stored document carries a LumTypeId whose bits 16-31 are
// the user type (the dictionary type number of the element's tag name), bits
// 8-15 are 0 (indexed) and bits 0-7 are one of the codes below.
//
//   code  storage class       value
//   ----  ------------------  ------------------------------------------------
//     9   text                "DOCCHAIN", field 0 of the document chain
//   129   unsigned 32-bit     chain start: member address of the pointer field
//                             that refers to this chain, 0 when none does
//   130   unsigned 32-bit     document pointer -> start field of a root chain
//   134   unsigned 32-bit     child element without stored attributes
//   135   unsigned 32-bit     child element whose chain holds attributes
//   147   text                attribute name
//   148   text                attribute value (follows its name)
//   153   text                one run of character data
//
// Records:
//   document chain  ("SOD", 9) "DOCCHAIN", then one ("SOD", 130) per document
//   element chain   (e, 129), k pairs (e, 147)/(e, 148), then (e, 153), (e, 134)
//                   and (e, 135) fields in document order. The pointer to a
//                   chain holding attributes is a 135 field, except for a
//                   root element, whose pointer is always its document's 130
//                   field. Databases written before roots kept their
//                   attributes hold root chains without 147/148 fields.
//   unlinked chain  ("UnlinkedElements", 129) 0, then one
//                   ("UnlinkedElements", 134) per unlinked element, newest first
// A pointer field and the start field it refers to are written together by
// LumXMLAppendPointerPair; they hold each other's member address and are not
// entered into the value index.
#ifndef TARNXML_XML_BASETYPES_H
#define TARNXML_XML_BASETYPES_H

#include <cstdint>

constexpr int XML_BT_STRING = 9;
constexpr int XML_BT_CHAIN_START = 129;
constexpr int XML_BT_DOCUMENT = 130;
constexpr int XML_BT_ELEMENT = 134;
constexpr int XML_BT_ATTRIBUTE_BRANCH = 135;
constexpr int XML_BT_ATTRIBUTE_NAME = 147;
constexpr int XML_BT_ATTRIBUTE_VALUE = 148;
constexpr int XML_BT_PCDATA = 153;

// Tag names of the records the layer keeps for itself.
constexpr const char XML_TAG_DOCUMENT_CHAIN[] = "SOD";
constexpr const char XML_TAG_UNLINKED[] = "UnlinkedElements";
constexpr const char XML_TAG_UNKNOWN[] = "<?unknown?>";
constexpr const char XML_DOCCHAIN_VALUE[] = "DOCCHAIN";

// Type id of a field: user types from 32768 up arrive negative from the
// engine, so the number is cut to its 16 bits before it is shifted.
constexpr uint32_t xmlTypeId(int usertype, int basetype) {
    return ((static_cast<uint32_t>(usertype) & 0xFFFFu) << 16) |
           (static_cast<uint32_t>(basetype) & 0xFFu);
}

// User type (0-65535) and base type of a type id.
constexpr int xmlUsertypeOf(uint32_t typeId) { return static_cast<int>(typeId >> 16); }
constexpr int xmlBasetypeOf(uint32_t typeId) { return static_cast<int>(typeId & 0xFFu); }

#endif
