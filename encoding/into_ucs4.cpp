// Converters from the seven other encodings into big-endian UCS-4.
#include "encoding/converter.h"
#include "encoding/units.h"

namespace tarn::enc::detail {
namespace {

constexpr uint32_t kBadSequence = 0xFFFFFFFF;

inline Step EmitUcs4(Cursor& k, uint32_t value) {
    if (!k.Room(4)) return Step::kFail;
    StoreBe32(k.out, value);
    k.out += 4;
    return value == 0 ? Step::kDone : Step::kMore;
}

// Continuation bytes after a UTF-8 lead byte of 0xC0 to 0xFD.
inline unsigned TrailCount(uint32_t lead) {
    if (lead < 0xE0) return 1;
    if (lead < 0xF0) return 2;
    if (lead < 0xF8) return 3;
    if (lead < 0xFC) return 4;
    return 5;
}

// Decodes the sequence whose lead byte has just been consumed. A malformed
// sequence is one bad value: its bytes up to and including the first that is
// not a continuation are consumed, except the terminator, which must remain
// to end the text.
inline uint32_t DecodeUtf8Tail(Cursor& k, uint32_t lead) {
    if (lead >= 0xFE) return kBadSequence;
    const unsigned trail = TrailCount(lead);
    uint32_t value = lead & (0x3Fu >> trail);
    for (unsigned i = 0; i < trail; ++i) {
        if (k.InLeft() < 2) return kBadSequence;
        const uint32_t b = *k.in++;
        if ((b & 0xC0) != 0x80) return kBadSequence;
        value = (value << 6) | (b & 0x3F);
    }
    return value;
}

// Reads the next 16-bit character unit, skipping byte-order marks.
// Returns false when the input ends first.
inline bool NextUnit16(Cursor& k, ByteOrder& order, uint32_t& unit) {
    while (k.InLeft() >= 2) {
        const uint8_t b0 = k.in[0];
        const uint8_t b1 = k.in[1];
        k.in += 2;
        if (DecodeUnit16(b0, b1, order, unit)) return true;
    }
    return false;
}

}  // namespace

bool AsciiToUcs4(Converter& c) {
    return Drive(c, [](Cursor& k) {
        const uint8_t b = *k.in++;
        return b < 0x80 ? EmitUcs4(k, b) : Step::kFail;
    });
}

bool Latin1ToUcs4(Converter& c) {
    return Drive(c, [](Cursor& k) { return EmitUcs4(k, *k.in++); });
}

bool Utf8ToUcs4(Converter& c) {
    return Drive(c, [](Cursor& k) {
        const uint32_t lead = *k.in++;
        if (lead < 0x80) return EmitUcs4(k, lead);
        if (lead < 0xC0) return Step::kFail;
        return EmitUcs4(k, DecodeUtf8Tail(k, lead));
    });
}

bool Utf16ToUcs4(Converter& c) {
    ByteOrder order = c.order;
    const bool ok = Drive(c, [&order](Cursor& k) {
        uint32_t first = 0;
        if (!NextUnit16(k, order, first)) return Step::kFail;
        if (first < 0xD800 || first > 0xDFFF) return EmitUcs4(k, first);
        if (first >= 0xDC00 || k.InLeft() < 2) return Step::kFail;
        // The low half must be the very next unit; a mark there is not one.
        uint32_t second = 0;
        const bool isUnit = DecodeUnit16(k.in[0], k.in[1], order, second);
        k.in += 2;
        if (!isUnit || second < 0xDC00 || second > 0xDFFF) return Step::kFail;
        return EmitUcs4(k, ((first - 0xD800) << 10) + 0x10000 + (second - 0xDC00));
    });
    c.order = order;
    return ok;
}

bool Ucs2ToUcs4(Converter& c) {
    ByteOrder order = c.order;
    const bool ok = Drive(c, [&order](Cursor& k) {
        uint32_t unit = 0;
        return NextUnit16(k, order, unit) ? EmitUcs4(k, unit) : Step::kFail;
    });
    c.order = order;
    return ok;
}

}  // namespace tarn::enc::detail
