// Unit access shared by the converters: big-endian UCS-4, 16-bit units under
// a byte-order state, and the loop that drives one converter.
#ifndef TARN_ENCODING_UNITS_H
#define TARN_ENCODING_UNITS_H

#include <cstddef>
#include <cstdint>

#include "encoding/converter.h"

namespace tarn::enc::detail {

inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline void StoreUnit16(uint8_t* p, uint32_t unit, bool littleEndian) {
    p[littleEndian ? 0 : 1] = uint8_t(unit);
    p[littleEndian ? 1 : 0] = uint8_t(unit >> 8);
}

// Decodes the unit of bytes b0, b1 under `order`, updating it. Returns false
// for a byte-order mark that is consumed rather than being a character.
inline bool DecodeUnit16(uint8_t b0, uint8_t b1, ByteOrder& order, uint32_t& unit) {
    const uint32_t big = (uint32_t(b0) << 8) | b1;
    switch (order) {
        case ByteOrder::kUnknown:
            unit = big;
            order = big == 0xFFFE ? ByteOrder::kLittle : ByteOrder::kBig;
            return big != 0xFEFF && big != 0xFFFE;
        case ByteOrder::kBig:
            unit = big;
            break;
        case ByteOrder::kLittle:
            unit = (uint32_t(b1) << 8) | b0;
            break;
    }
    if (unit != 0xFFFE) return true;
    order = order == ByteOrder::kBig ? ByteOrder::kLittle : ByteOrder::kBig;
    return false;
}

// Read and write positions of a converter while it runs, held in locals so
// that stores through the output bytes do not force them to be reloaded.
struct Cursor {
    const uint8_t* in;
    const uint8_t* inEnd;
    uint8_t* out;
    uint8_t* outEnd;

    size_t InLeft() const { return size_t(inEnd - in); }
    bool Room(size_t n) const { return size_t(outEnd - out) >= n; }
};

enum class Step : uint8_t { kMore, kDone, kFail };

// Runs `step` (Step(Cursor&)) until it finishes or the input is used up;
// input used up before the terminator is written is a failure.
template <typename StepFn>
inline bool Drive(Converter& c, StepFn step) {
    Cursor k{c.in + c.inPos, c.in + c.inSize, c.out + c.outPos, c.out + c.outCap};
    Step s = Step::kMore;
    while (s == Step::kMore && k.in < k.inEnd) s = step(k);
    c.inPos = size_t(k.in - c.in);
    c.outPos = size_t(k.out - c.out);
    return s == Step::kDone;
}

}  // namespace tarn::enc::detail

#endif
