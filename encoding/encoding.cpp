// The conversion table and the entry points. Every pair needs no conversion,
// has a converter (direct, or through UCS-4 in a temporary buffer), or is
// missing; the output buffer is the input size times the pair's factor.
#include "encoding/encoding.h"

#include <cstdlib>
#include <cstring>

#include "encoding/converter.h"
#include "engine/result_codes.h"

namespace tarn::enc {
namespace detail {
namespace {

enum class Route : uint8_t { kMissing, kNone, kDirect, kViaUcs4 };

struct Entry {
    Route route;
    uint8_t factor;
    ByteOrder order;  // initial byte order of 16-bit input
    ConvertFn first;
    ConvertFn second;  // out of UCS-4, for kViaUcs4 only
};

constexpr Entry Missing() { return {Route::kMissing, 0, ByteOrder::kUnknown, nullptr, nullptr}; }
constexpr Entry None() { return {Route::kNone, 0, ByteOrder::kUnknown, nullptr, nullptr}; }
constexpr Entry Direct(ConvertFn fn, uint8_t factor, ByteOrder order = ByteOrder::kUnknown) {
    return {Route::kDirect, factor, order, fn, nullptr};
}
constexpr Entry Via(ConvertFn into, ConvertFn outOf, uint8_t factor,
                    ByteOrder order = ByteOrder::kUnknown) {
    return {Route::kViaUcs4, factor, order, into, outOf};
}

constexpr ByteOrder kLe = ByteOrder::kLittle;
constexpr ByteOrder kBe = ByteOrder::kBig;
constexpr size_t kCodes = 8;

// Row: from; column: to. A pair whose 16-bit input starts in the unknown
// order follows a leading mark and otherwise reads big-endian.
constexpr Entry kTable[kCodes][kCodes] = {
    {None(), None(), None(), Missing(), Missing(), Missing(), Missing(),
     Direct(AsciiToUcs4, 4)},
    {Missing(), None(), Via(Latin1ToUcs4, Ucs4ToUtf8, 2), Missing(), Missing(), Missing(),
     Missing(), Direct(Latin1ToUcs4, 4)},
    {Direct(Utf8BytesToAscii, 1), Via(Utf8ToUcs4, Ucs4ToLatin1, 1), None(),
     Via(Utf8ToUcs4, Ucs4ToUtf16Le, 2), Via(Utf8ToUcs4, Ucs4ToUtf16Be, 4),
     Via(Utf8ToUcs4, Ucs4ToUcs2Le, 4), Via(Utf8ToUcs4, Ucs4ToUcs2Be, 4),
     Direct(Utf8ToUcs4, 4)},
    {Missing(), Missing(), Via(Utf16ToUcs4, Ucs4ToUtf8, 3, kLe), None(), Missing(), Missing(),
     Missing(), Direct(Utf16ToUcs4, 2)},
    {Missing(), Missing(), Via(Utf16ToUcs4, Ucs4ToUtf8, 3, kBe), Missing(), None(), Missing(),
     Missing(), Direct(Utf16ToUcs4, 2)},
    {Missing(), Missing(), Via(Ucs2ToUcs4, Ucs4ToUtf8, 2, kLe), Missing(), Missing(), None(),
     Direct(SwapUnits16, 1), Direct(Ucs2ToUcs4, 2, kLe)},
    {Missing(), Missing(), Via(Ucs2ToUcs4, Ucs4ToUtf8, 2), Missing(), Missing(),
     Direct(SwapUnits16, 1), None(), Direct(Ucs2ToUcs4, 2, kBe)},
    {Direct(Ucs4ToAscii, 1), Missing(), Direct(Ucs4ToUtf8, 2), Direct(Ucs4ToUtf16Le, 1),
     Direct(Ucs4ToUtf16Be, 1), Missing(), Missing(), None()},
};

size_t UnitBytes(uint32_t code) {
    if (code <= kUtf8) return 1;
    return code == kUcs4Be ? 4 : 2;
}

// Bytes of the text up to and including its first all-zero unit.
size_t TextBytes(uint32_t code, const uint8_t* p) {
    const size_t unit = UnitBytes(code);
    if (unit == 1) return std::strlen(reinterpret_cast<const char*>(p)) + 1;
    size_t n = 0;
    if (unit == 2) {
        while ((p[n] | p[n + 1]) != 0) n += 2;
    } else {
        while ((p[n] | p[n + 1] | p[n + 2] | p[n + 3]) != 0) n += 4;
    }
    return n + unit;
}

// Size of the UCS-4 buffer between the two steps of a pair through UCS-4:
// every input unit yields at most one four-byte value.
size_t TemporaryBytes(uint32_t from, size_t inBytes) {
    return inBytes * (4 / UnitBytes(from));
}

// Runs the pair's converter(s) from `in` into `out`; returns 0 or a failure
// code and, on success, the bytes written.
int32_t Run(Allocator alloc, const Entry& e, uint32_t from, const uint8_t* in, size_t inBytes,
            uint8_t* out, size_t outCap, size_t& written) {
    Converter c{in, inBytes, 0, out, outCap, 0, e.order};
    if (e.route == Route::kDirect) {
        if (!e.first(c)) return kConvertFailed;
        written = c.outPos;
        return 0;
    }
    const size_t tempCap = TemporaryBytes(from, inBytes);
    uint8_t* temp = static_cast<uint8_t*>(alloc(tempCap));
    if (temp == nullptr) return int32_t(rc::kMalloc);
    c.out = temp;
    c.outCap = tempCap;
    bool ok = e.first(c);
    if (ok) {
        Converter d{temp, c.outPos, 0, out, outCap, 0, ByteOrder::kUnknown};
        ok = e.second(d);
        written = d.outPos;
    }
    std::free(temp);
    return ok ? 0 : kConvertFailed;
}

}  // namespace

int32_t ConvertWith(Allocator alloc, uint32_t from, uint32_t to, const void* in,
                    const void** outText, void** outFree, uint32_t* outSize) noexcept {
    if (from >= kCodes || to >= kCodes) return int32_t(rc::kNotImplemented);
    if (in == nullptr || outText == nullptr || outFree == nullptr) return kConvertFailed;
    const Entry& e = kTable[from][to];
    if (e.route == Route::kMissing) return int32_t(rc::kNotImplemented);

    const uint8_t* bytes = static_cast<const uint8_t*>(in);
    const size_t inBytes = TextBytes(from, bytes);
    if (inBytes > UINT32_MAX) return kConvertFailed;
    if (e.route == Route::kNone) {
        *outText = in;
        *outFree = nullptr;
        if (outSize != nullptr) *outSize = uint32_t(inBytes);
        return 0;
    }

    const size_t outCap = inBytes * e.factor;
    uint8_t* out = static_cast<uint8_t*>(alloc(outCap));
    if (out == nullptr) return int32_t(rc::kMalloc);
    size_t written = 0;
    int32_t result = Run(alloc, e, from, bytes, inBytes, out, outCap, written);
    if (result == 0 && written > UINT32_MAX) result = kConvertFailed;
    if (result != 0) {
        std::free(out);
        return result;
    }
    *outText = out;
    *outFree = out;
    if (outSize != nullptr) *outSize = uint32_t(written);
    return 0;
}

}  // namespace detail

uint32_t EncodingTextSize(uint32_t code, const void* text) {
    if (code >= detail::kCodes || text == nullptr) return 0;
    const size_t n = detail::TextBytes(code, static_cast<const uint8_t*>(text));
    return n > UINT32_MAX ? 0 : uint32_t(n);
}

int32_t EncodingConvert(uint32_t from, uint32_t to, const void* in, const void** outText,
                        void** outFree, uint32_t* outSize) {
    return detail::ConvertWith(std::malloc, from, to, in, outText, outFree, outSize);
}

}  // namespace tarn::enc
