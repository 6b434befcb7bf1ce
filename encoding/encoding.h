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

// Bytes of the NUL-terminated text in `code` units, terminator included;
// 0 for an unknown code.
uint32_t EncodingTextSize(uint32_t code, const void* text);

// Converts the NUL-terminated `in` from `from` to `to`.
// Returns 0 (success), 1 (no converter for the pair, or a code outside 0..7),
// 0x1000 (allocation), or -1 (input not convertible / output overflow).
// On success *outText points to the converted text; *outFree is the buffer
// to free() afterwards, or null when the input itself is the answer (no
// conversion needed); *outSize, when outSize is not null, receives the size
// of the converted text in bytes including its terminator.
int32_t EncodingConvert(uint32_t from, uint32_t to, const void* in, const void** outText,
                        void** outFree, uint32_t* outSize);

}  // namespace tarn::enc

#endif
