// Value index: keys. How a caller's value becomes a search or insertion key
// (class, bucket byte, the number or the string with its start), and how a
// key compares with the key a node holds. Internal to the index.
#ifndef TARN_STORAGE_INDEX_KEY_H
#define TARN_STORAGE_INDEX_KEY_H

#include <cstdint>
#include <cstring>

#include "engine/storage/bytes.h"
#include "engine/storage/format.h"
#include "engine/storage/store.h"
#include "engine/storage/value_index.h"

namespace tarn::vindex {

// Bytes of a string key kept as its start: enough to settle most
// comparisons without reading the rest of the key.
constexpr uint32_t kKeyStart = 18;

// A key as far as a comparison without its node goes: a string's first
// kKeyStart bytes, zero from its terminator on, as big-endian words. Two
// starts order as their strings do as far as they reach.
struct KeyStart {
    uint64_t a = 0, b = 0;
    uint16_t c = 0;
};
static_assert(kKeyStart == 18, "a key start is two words and a half-word");

inline KeyStart keyStart(const uint8_t* bytes) {
    return {getBE64(bytes), getBE64(bytes + 8), getBE16(bytes + 16)};
}

inline int compareStarts(const KeyStart& x, const KeyStart& y) {
    if (x.a != y.a) return x.a < y.a ? -1 : 1;
    if (x.b != y.b) return x.b < y.b ? -1 : 1;
    return (x.c > y.c) - (x.c < y.c);
}

// A search or insertion key: numeric keys as a widened integer, string keys
// by pointer and start. Lives on the caller's stack, as does the value.
struct KeyDesc {
    int cls = 0;
    uint32_t width = 0;  // 1, 2 or 4; 0 for strings
    int64_t num = 0;
    const char* str = nullptr;
    KeyStart start;
    bool whole = false;  // a string that ends within its start
    uint32_t bucket = 0;
    uint32_t length = kLengthUnknown;  // of a string, before its terminator, when known
};

inline int sign(int64_t d) { return (d > 0) - (d < 0); }

// Numeric value of class cls from a caller's buffer (host order).
inline int64_t loadNumber(int cls, const void* v) {
    switch (cls) {
    case fmt::kClassU8: return *static_cast<const uint8_t*>(v);
    case fmt::kClassS8: return *static_cast<const int8_t*>(v);
    case fmt::kClassU16: return loadU16(v);
    case fmt::kClassS16: return int16_t(loadU16(v));
    case fmt::kClassU32: return loadU32(v);
    default: return int32_t(loadU32(v));
    }
}

// The bucket byte is the key's top byte, its top bit inverted for signed
// classes, so that bucket order is key order.
inline KeyDesc describeNumber(int cls, int64_t num) {
    KeyDesc kd;
    kd.cls = cls;
    kd.width = fmt::numberWidth(cls);
    kd.num = num;
    const uint32_t top = uint32_t(uint64_t(num) >> (8 * (kd.width - 1))) & 0xFF;
    kd.bucket = fmt::isSignedClass(cls) ? top ^ 0x80 : top;
    return kd;
}

// The first n bytes of str (n < kKeyStart) in fixed-size pieces, which the
// compiler turns into plain moves, as overlapping pieces cover any n.
inline void copyShort(uint8_t* to, const char* str, uint32_t n) {
    if (n >= 8) {
        std::memcpy(to, str, 8);
        if (n > 16) std::memcpy(to + 8, str + 8, 8);
        std::memcpy(to + n - 8, str + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, str, 4);
        std::memcpy(to + n - 4, str + n - 4, 4);
    } else {
        for (uint32_t i = 0; i < n; ++i) to[i] = uint8_t(str[i]);
    }
}

// `length`: the string's bytes before its terminator, or kLengthUnknown.
// Inlined: every insertion describes its key.
inline __attribute__((always_inline)) KeyDesc describeString(int cls, const char* str,
                                                             uint32_t length = kLengthUnknown) {
    KeyDesc kd;
    kd.cls = cls;
    kd.str = str;
    kd.bucket = uint8_t(str[0]);
    uint8_t start[kKeyStart] = {};
    uint32_t n = 0;
    if (length == kLengthUnknown) {
        for (; n < kKeyStart && str[n] != 0; ++n) start[n] = uint8_t(str[n]);
    } else if (length >= kKeyStart) {
        std::memcpy(start, str, kKeyStart);
        n = kKeyStart;
    } else {
        copyShort(start, str, length);
        n = length;
    }
    kd.start = keyStart(start);
    kd.whole = n < kKeyStart;
    kd.length = kd.whole ? n : length;
    return kd;
}

// Only for classes with index keys and a non-null value.
inline KeyDesc KeyDescribe(int cls, const void* value, uint32_t length = kLengthUnknown) {
    if (fmt::isStringClass(cls)) return describeString(cls, static_cast<const char*>(value), length);
    return describeNumber(cls, loadNumber(cls, value));
}

// The bound a range search uses where the caller gave none, by class.
inline KeyDesc openBound(int cls, bool high) {
    static constexpr int64_t kLow[] = {0, 0, -128, 0, -32768, 0, -2147483647};
    static constexpr int64_t kHigh[] = {0, 255, 127, 65535, 32767, 4294967295, 2147483647};
    static constexpr char kOpenLowString[] = "\x01";
    static constexpr char kOpenHighBytes[] = "\xFF";
    static constexpr char kOpenHighText[] = "\x7F\xFF\xFF\xFF";
    if (cls == fmt::kClassBytes) return describeString(cls, high ? kOpenHighBytes : kOpenLowString);
    if (cls == fmt::kClassText) return describeString(cls, high ? kOpenHighText : kOpenLowString);
    return describeNumber(cls, high ? kHigh[cls] : kLow[cls]);
}

// A string's length, measured only when the key's description does not
// know it.
inline uint32_t stringLength(const KeyDesc& kd) {
    return kd.length != kLengthUnknown ? kd.length : uint32_t(std::strlen(kd.str));
}

inline uint32_t keySize(const KeyDesc& kd) { return kd.width ? kd.width : stringLength(kd) + 1; }

// ---- comparison with a node's key ------------------------------------------------

inline int64_t nodeNumber(Store* s, uint32_t node, int cls) {
    const uint32_t at = node + fmt::kNodeKey;
    switch (cls) {
    case fmt::kClassU16: return DataGetU16(s, at);
    case fmt::kClassS16: return int16_t(DataGetU16(s, at));
    case fmt::kClassU32: return DataGetU32(s, at);
    default: return int32_t(DataGetU32(s, at));
    }
}

// Clears the bytes of a little-endian word after its first zero byte; tells
// whether it had one. The lowest byte the test flags is the first zero byte.
inline uint64_t cutAfterNul(uint64_t w, bool* ended) {
    const uint64_t zeros = (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
    if (zeros == 0) return w;
    *ended = true;
    const int bits = __builtin_ctzll(zeros) + 1;  // through the zero byte
    return bits >= 64 ? w : w & ((uint64_t(1) << bits) - 1);
}

// Sign of (a stored key - kd) as far as kd's start settles it, from the
// stored key's first 16 bytes, which must be readable; *undecided when both
// run on past the start. The stored bytes after its terminator are whatever
// follows it: the first byte in which the words differ decides, unless kd
// (and so the stored key, equal up to there) ended before it.
inline int startVersus(const uint8_t* key, const KeyDesc& kd, bool* undecided) {
    const uint32_t nul = kd.whole ? kd.length : kKeyStart;  // kd's terminator within its start
    uint64_t w = getBE64(key);
    if (w != kd.start.a) {
        if (nul < uint32_t(__builtin_clzll(w ^ kd.start.a)) / 8) return 0;
        return w < kd.start.a ? -1 : 1;
    }
    if (nul < 8) return 0;
    w = getBE64(key + 8);
    if (w != kd.start.b) {
        if (nul < 8 + uint32_t(__builtin_clzll(w ^ kd.start.b)) / 8) return 0;
        return w < kd.start.b ? -1 : 1;
    }
    if (nul < 16) return 0;
    *undecided = true;
    return 0;
}

// Sign of (the string key of `node` - kd), read from the area. When the area
// ends in a NUL every key ends inside it, so the first words that differ, or
// a word in which both keys end, settle it (as compareStarts would on a
// copy); anything else is read whole.
inline int nodeVersus(Store* s, uint32_t node, const KeyDesc& kd) {
    const uint32_t at = node + fmt::kNodeKey;
    if (DataFits(s, at, 16) && DataEndsInNul(s)) {
        bool undecided = false;
        const int c = startVersus(DataRaw(s, at), kd, &undecided);
        if (!undecided) return c;
    }
    return DataStrCmp(s, at, kd.str);
}

// nodeVersus for a caller that has checked both preconditions of its word
// comparison already: the key's first 16 bytes lie in the area, and the
// area ends in a NUL.
inline int checkedNodeVersus(Store* s, uint32_t node, const KeyDesc& kd) {
    bool undecided = false;
    const int c = startVersus(DataRaw(s, node + fmt::kNodeKey), kd, &undecided);
    return undecided ? DataStrCmp(s, node + fmt::kNodeKey, kd.str) : c;
}

// Sign of (node key - kd).
inline int keyVersus(Store* s, uint32_t node, const KeyDesc& kd) {
    if (kd.str) return nodeVersus(s, node, kd);
    return sign(nodeNumber(s, node, kd.cls) - kd.num);
}

}  // namespace tarn::vindex

#endif
