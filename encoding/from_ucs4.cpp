// Converters from big-endian UCS-4 into the other encodings, and the two
// direct converters that do without it.
#include "encoding/converter.h"
#include "encoding/units.h"

namespace tarn::enc::detail {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint8_t kSpace = 0x20;

// Reads each UCS-4 value and hands it to `put` (bool(Cursor&, uint32_t)),
// which writes it or reports that it cannot; the zero value ends the text.
template <typename PutFn>
inline bool FromUcs4(Converter& c, PutFn put) {
    return Drive(c, [&put](Cursor& k) {
        if (k.InLeft() < 4) return Step::kFail;
        const uint32_t value = LoadBe32(k.in);
        k.in += 4;
        if (!put(k, value)) return Step::kFail;
        return value == 0 ? Step::kDone : Step::kMore;
    });
}

inline bool PutByte(Cursor& k, uint8_t b) {
    if (!k.Room(1)) return false;
    *k.out++ = b;
    return true;
}

inline bool PutUtf8(Cursor& k, uint32_t v) {
    if (v < 0x80) return PutByte(k, uint8_t(v));
    if (v >= 0x80000000) return false;
    unsigned trail = 1;
    uint32_t lead = 0xC0;
    for (uint32_t limit = 0x800; v >= limit && trail < 5; limit <<= 5) {
        ++trail;
        lead = (lead >> 1) | 0x80;
    }
    if (!k.Room(trail + 1)) return false;
    k.out[0] = uint8_t(lead | (v >> (6 * trail)));
    for (unsigned i = trail; i > 0; --i) {
        k.out[i] = uint8_t(0x80 | (v & 0x3F));
        v >>= 6;
    }
    k.out += trail + 1;
    return true;
}

inline bool PutUnit16(Cursor& k, uint32_t unit, bool littleEndian) {
    if (!k.Room(2)) return false;
    StoreUnit16(k.out, unit, littleEndian);
    k.out += 2;
    return true;
}

inline bool PutUtf16(Cursor& k, uint32_t v, bool littleEndian) {
    if (v < 0x10000) return PutUnit16(k, v, littleEndian);
    if (v > 0x10FFFF) return PutUnit16(k, kReplacement, littleEndian);
    if (!k.Room(4)) return false;
    v -= 0x10000;
    StoreUnit16(k.out, 0xD800 + (v >> 10), littleEndian);
    StoreUnit16(k.out + 2, 0xDC00 + (v & 0x3FF), littleEndian);
    k.out += 4;
    return true;
}

// Only the low 16 bits survive; a value whose low bits are all zero would
// end the text early, so it becomes U+FFFD instead.
inline bool PutUcs2(Cursor& k, uint32_t v, bool littleEndian) {
    const uint32_t unit = v & 0xFFFF;
    return PutUnit16(k, unit == 0 && v != 0 ? kReplacement : unit, littleEndian);
}

}  // namespace

bool Ucs4ToAscii(Converter& c) {
    return FromUcs4(c, [](Cursor& k, uint32_t v) { return PutByte(k, v < 0x80 ? uint8_t(v) : kSpace); });
}

bool Ucs4ToLatin1(Converter& c) {
    return FromUcs4(c, [](Cursor& k, uint32_t v) { return PutByte(k, v < 0x100 ? uint8_t(v) : kSpace); });
}

bool Ucs4ToUtf8(Converter& c) {
    return FromUcs4(c, PutUtf8);
}

bool Ucs4ToUtf16Le(Converter& c) {
    return FromUcs4(c, [](Cursor& k, uint32_t v) { return PutUtf16(k, v, true); });
}

bool Ucs4ToUtf16Be(Converter& c) {
    return FromUcs4(c, [](Cursor& k, uint32_t v) { return PutUtf16(k, v, false); });
}

bool Ucs4ToUcs2Le(Converter& c) {
    return FromUcs4(c, [](Cursor& k, uint32_t v) { return PutUcs2(k, v, true); });
}

bool Ucs4ToUcs2Be(Converter& c) {
    return FromUcs4(c, [](Cursor& k, uint32_t v) { return PutUcs2(k, v, false); });
}

bool Utf8BytesToAscii(Converter& c) {
    return Drive(c, [](Cursor& k) {
        const uint8_t b = *k.in++;
        if (!PutByte(k, b < 0x80 ? b : kSpace)) return Step::kFail;
        return b == 0 ? Step::kDone : Step::kMore;
    });
}

bool SwapUnits16(Converter& c) {
    return Drive(c, [](Cursor& k) {
        if (k.InLeft() < 2 || !k.Room(2)) return Step::kFail;
        const uint8_t b0 = k.in[0];
        const uint8_t b1 = k.in[1];
        k.in += 2;
        k.out[0] = b1;
        k.out[1] = b0;
        k.out += 2;
        return (b0 | b1) == 0 ? Step::kDone : Step::kMore;
    });
}

}  // namespace tarn::enc::detail
