// The state of one conversion and the converters the conversion table is
// made of. Private to the encoding library and its tests.
#ifndef TARN_ENCODING_CONVERTER_H
#define TARN_ENCODING_CONVERTER_H

#include <cstddef>
#include <cstdint>

namespace tarn::enc::detail {

// Byte order of 16-bit input. Unknown until the first unit settles it: a
// byte-order mark chooses and is dropped, any other unit means big-endian.
// Later, a mark of the opposite order switches and is dropped; a mark of
// the current order is the character U+FEFF.
enum class ByteOrder : uint8_t { kUnknown = 0, kLittle = 1, kBig = 2 };

// One run of a converter: reads in[inPos, inSize) and appends to
// out[outPos, outCap). Positions are left where the converter stopped.
struct Converter {
    const uint8_t* in;
    size_t inSize;
    size_t inPos;
    uint8_t* out;
    size_t outCap;
    size_t outPos;
    ByteOrder order;
};

// Every converter stops after writing a zero unit (the terminator) and
// returns true. It returns false, having written nothing past outCap, on
// input it cannot convert, on output that does not fit, or on input that
// ends before a terminator.
using ConvertFn = bool (*)(Converter&);

// Into big-endian UCS-4.
bool AsciiToUcs4(Converter& c);    // a byte of 0x80 or above fails
bool Latin1ToUcs4(Converter& c);
bool Utf8ToUcs4(Converter& c);     // malformed sequences become 0xFFFFFFFF
bool Utf16ToUcs4(Converter& c);    // either byte order, per c.order
bool Ucs2ToUcs4(Converter& c);     // either byte order, per c.order

// Out of big-endian UCS-4.
bool Ucs4ToAscii(Converter& c);    // values outside the set become spaces
bool Ucs4ToLatin1(Converter& c);   // values outside the set become spaces
bool Ucs4ToUtf8(Converter& c);     // a value of 0x80000000 or above fails
bool Ucs4ToUtf16Le(Converter& c);  // values above 0x10FFFF become U+FFFD
bool Ucs4ToUtf16Be(Converter& c);
bool Ucs4ToUcs2Le(Converter& c);   // keeps the low 16 bits of each value
bool Ucs4ToUcs2Be(Converter& c);

// Direct, without UCS-4 between.
bool Utf8BytesToAscii(Converter& c);  // one space for every byte of 0x80 or above
bool SwapUnits16(Converter& c);       // reverses the two bytes of every unit

// The allocator of EncodingConvert's buffers, a parameter so that tests can
// fail a chosen allocation. Buffers are released with free().
using Allocator = void* (*)(size_t);

// EncodingConvert with its buffers taken from `alloc`.
int32_t ConvertWith(Allocator alloc, uint32_t from, uint32_t to, const void* in,
                    const void** outText, void** outFree, uint32_t* outSize) noexcept;

}  // namespace tarn::enc::detail

#endif
