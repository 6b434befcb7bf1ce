// The exception of the database side of the XML layer (LumXMLDb, lumxmlref).
//
// It carries one code: an engine result code passed through unchanged
// (0-13572, 4096 for a failed allocation) or one of the layer's own codes
// below. Thrown by value, caught by reference.
#ifndef TARNXML_LUMXMLEXCEPTION_H
#define TARNXML_LUMXMLEXCEPTION_H

#include <cstdint>

#include "xml/export.h"

enum lumret : int32_t {
    XMLERR_DOCTYPE_MISSING = 0x8000,
    XMLERR_ENTITY_MISSING = 0x8001,
    XMLERR_NO_DOCUMENT_START = 0x8002,
    XMLERR_BAD_DOCUMENT_START = 0x8003,
    XMLERR_UNKNOWN_DATATYPE = 0x8004,
    XMLERR_PARSE = 0x8005,
    XMLERR_MISSING_START_TAG = 0x8006,
    XMLERR_UNKNOWN_TAG = 0x8007,
    XMLERR_QUERY_NOT_FOUND = 0x8008,
    XMLERR_QUERY_NOT_UNIQUE = 0x8009,
    // Thrown by LumXMLDb::Create and Open when no name is set; it has no text
    // of its own, so message() gives "LUMXML: Unknown error".
    XMLERR_NO_DATABASE_NAME = 0x800B,
};

class TARNXML_API LumXMLException {
public:
    LumXMLException(lumret code) : _code(code) {}
    // An engine result code; the value is kept as the engine gave it.
    explicit LumXMLException(int code) : _code(static_cast<lumret>(code)) {}
    LumXMLException(const LumXMLException& other) = default;
    LumXMLException& operator=(const LumXMLException& other);

    lumret getCode() const { return _code; }

    // Codes below 0x3505 (signed): the engine's text (LumErrorMessage, which
    // for 0x1000/0x2000-range codes is a process-wide area overwritten by the
    // next such call); 0x8000-0x8009: the layer's texts; anything else:
    // "LUMXML: Unknown error". Never null, never to be freed.
    const char* message() const;

private:
    lumret _code;
};

#endif
