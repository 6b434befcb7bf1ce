// XMLString: the layer's own byte string (UTF-8 text).
//
// It owns one NUL-terminated buffer of exactly its content plus one byte,
// allocated with new[], or nothing at all: the *empty* state (ptr() is null).
// A string holding "" has a buffer and is not empty. Lengths are found by
// scanning for the NUL. Allocation failure is new's std::bad_alloc.
#ifndef TARNXML_XMLSTRING_H
#define TARNXML_XMLSTRING_H

#include "xml/export.h"

class TARNXML_API XMLString {
public:
    XMLString() : _buffer(nullptr) {}
    // Copies of s; a null s gives an empty string.
    XMLString(const char* s);
    XMLString(const unsigned char* s);
    XMLString(const XMLString& other);
    ~XMLString();

    // Releases the old buffer and holds a copy of s (empty for a null s).
    // s may point into this string's own buffer.
    void set(const unsigned char* s);
    // Copy of other's content, or empty when other is empty.
    void set(const XMLString& other);
    // The one-character string ch.
    void set(unsigned char ch);

    // Appends s (when empty: set(s)); a null s appends nothing.
    void append(const unsigned char* s);
    // Appends at most n bytes of s, stopping early at a NUL byte; s need not
    // be NUL-terminated within n bytes.
    void append(const unsigned char* s, unsigned int n);
    void append(unsigned char ch);

    void clear();
    bool empty() const { return _buffer == nullptr; }

    // Byte-wise comparison with the sign convention of strcmp; a null
    // argument compares as "".
    static int compare(const unsigned char* a, const char* b);
    static int compare(const unsigned char* a, const unsigned char* b);
    // This string's content against other; an empty string compares as "".
    int compare(const unsigned char* other) const;

    // The buffer, or null when empty. Valid until the next change.
    const unsigned char* ptr() const { return _buffer; }
    operator const unsigned char*() const { return _buffer; }
    operator const char*() const { return reinterpret_cast<const char*>(_buffer); }

    // set(s); returns s itself, not this string.
    const unsigned char* operator=(const unsigned char* s);
    // set(other); returns other, not this string.
    const XMLString& operator=(const XMLString& other);

private:
    unsigned char* _buffer;
};

#endif
