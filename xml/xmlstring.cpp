#include "xml/xmlstring.h"

#include <cstring>

namespace {

size_t length(const unsigned char* s) { return std::strlen(reinterpret_cast<const char*>(s)); }

// A new[] buffer holding the first n bytes of s and a NUL.
unsigned char* copyOf(const unsigned char* s, size_t n) {
    unsigned char* buffer = new unsigned char[n + 1];
    std::memcpy(buffer, s, n);
    buffer[n] = 0;
    return buffer;
}

const unsigned char* orEmpty(const unsigned char* s) {
    static const unsigned char kEmpty[1] = {0};
    return s != nullptr ? s : kEmpty;
}

}  // namespace

XMLString::XMLString(const char* s) : XMLString(reinterpret_cast<const unsigned char*>(s)) {}

XMLString::XMLString(const unsigned char* s)
    : _buffer(s != nullptr ? copyOf(s, length(s)) : nullptr) {}

XMLString::XMLString(const XMLString& other) : XMLString(other._buffer) {}

XMLString::~XMLString() { clear(); }

void XMLString::set(const unsigned char* s) {
    // Copy before releasing: s may point into the old buffer.
    unsigned char* fresh = s != nullptr ? copyOf(s, length(s)) : nullptr;
    delete[] _buffer;
    _buffer = fresh;
}

void XMLString::set(const XMLString& other) { set(other._buffer); }

void XMLString::set(unsigned char ch) {
    const unsigned char one[2] = {ch, 0};
    set(one);
}

void XMLString::append(const unsigned char* s) {
    if (s == nullptr) return;
    append(s, static_cast<unsigned int>(length(s)));
}

void XMLString::append(const unsigned char* s, unsigned int n) {
    if (s == nullptr) return;
    const void* nul = std::memchr(s, 0, n);
    const size_t added = nul != nullptr ? static_cast<const unsigned char*>(nul) - s : n;
    const size_t old = _buffer != nullptr ? length(_buffer) : 0;
    unsigned char* fresh = new unsigned char[old + added + 1];
    if (old != 0) std::memcpy(fresh, _buffer, old);
    std::memcpy(fresh + old, s, added);
    fresh[old + added] = 0;
    delete[] _buffer;
    _buffer = fresh;
}

void XMLString::append(unsigned char ch) { append(&ch, 1); }

void XMLString::clear() {
    delete[] _buffer;
    _buffer = nullptr;
}

int XMLString::compare(const unsigned char* a, const char* b) {
    return compare(a, reinterpret_cast<const unsigned char*>(b));
}

int XMLString::compare(const unsigned char* a, const unsigned char* b) {
    return std::strcmp(reinterpret_cast<const char*>(orEmpty(a)),
                       reinterpret_cast<const char*>(orEmpty(b)));
}

int XMLString::compare(const unsigned char* other) const { return compare(_buffer, other); }

const unsigned char* XMLString::operator=(const unsigned char* s) {
    set(s);
    return s;
}

const XMLString& XMLString::operator=(const XMLString& other) {
    set(other);
    return other;
}
