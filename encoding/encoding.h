// Text encoding conversion between eight encodings identified by number.
// Compiled into each shared library; exported from neither.
#ifndef TARN_ENCODING_H
#define TARN_ENCODING_H

#include <cstdint>

namespace tarn::enc {

enum Code : uint32_t {
    kAscii = 0,
    kLatin1 = 1,
    kUtf8 = 2,
    kUtf16Le = 3,
    kUtf16Be = 4,
    kUcs2Le = 5,
    kUcs2Be = 6,
    kUcs4Be = 7,
};

constexpr int32_t kConvertFailed = -1;

// Bytes of the NUL-terminated text in `code` units, terminator included: for
// codes 3 to 6 the text ends at the first two-byte unit that is zero, for
// code 7 at the first four-byte unit that is zero. 0 for an unknown code, a
// null text, or a text of 4 GiB or more.
uint32_t EncodingTextSize(uint32_t code, const void* text);

// Converts the NUL-terminated `in` from `from` to `to`.
// Returns, the first that applies:
//   1       a code outside 0..7;
//   -1      `in`, `outText` or `outFree` null;
//   1       no converter for the pair;
//   0x1000  an allocation failed;
//   -1      the input cannot be converted (see below).
// On success *outText points to the converted text; *outFree is the buffer
// to free() afterwards, or null when the input itself is the answer (no
// conversion needed); *outSize, when outSize is not null, receives the size
// of the converted text in bytes including its terminator. On failure the
// outputs are left untouched and nothing stays allocated.
// What cannot be converted: a byte of 0x80 or above from US-ASCII to UCS-4;
// a stray continuation byte leading a UTF-8 character (other malformed UTF-8
// becomes the value 0xFFFFFFFF); a UTF-16 surrogate out of its pair; a value
// of 0x80000000 or above into UTF-8. Characters a target lacks become a
// space (US-ASCII, ISO-8859-1; UTF-8 to US-ASCII writes one per byte) or
// U+FFFD (UTF-16); UCS-2 keeps the low 16 bits, or U+FFFD where those are
// all zero. US-ASCII into ISO-8859-1 or UTF-8 needs no conversion, so bytes
// of 0x80 or above pass unchanged.
// 16-bit input is read little-endian from 3 to 2, 5 to 2 and 5 to 7;
// big-endian from 4 to 2 and 6 to 7; from 3 to 7, 4 to 7 and 6 to 2 in the
// order of a leading byte-order mark, big-endian without one. A mark of the
// other order anywhere switches the order and is dropped. Codes 5 and 6
// convert into each other by swapping the bytes of each unit.
int32_t EncodingConvert(uint32_t from, uint32_t to, const void* in, const void** outText,
                        void** outFree, uint32_t* outSize);

}  // namespace tarn::enc

#endif
