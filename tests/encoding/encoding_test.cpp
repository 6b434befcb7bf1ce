#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encoding/converter.h"
#include "encoding/encoding.h"

namespace tarn::enc {
namespace {

using Bytes = std::vector<uint8_t>;
using Chars = std::vector<uint32_t>;

// Converts and checks the invariants every success must keep; the output
// comes back as bytes, terminator included.
struct Outcome {
    int32_t rc = 0;
    Bytes out;
};

Outcome Convert(uint32_t from, uint32_t to, const Bytes& in) {
    const void* text = nullptr;
    void* toFree = nullptr;
    uint32_t size = 0;
    Outcome r;
    r.rc = EncodingConvert(from, to, in.data(), &text, &toFree, &size);
    if (r.rc != 0) {
        EXPECT_EQ(text, nullptr) << "outputs written on failure";
        return r;
    }
    EXPECT_EQ(size, EncodingTextSize(to, text));
    EXPECT_TRUE(toFree == nullptr ? text == in.data() : text == toFree);
    r.out.assign(static_cast<const uint8_t*>(text), static_cast<const uint8_t*>(text) + size);
    std::free(toFree);
    return r;
}

Bytes Ucs4(const Chars& cs) {
    Bytes b;
    for (uint32_t c : cs) b.insert(b.end(), {uint8_t(c >> 24), uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
    b.insert(b.end(), 4, 0);
    return b;
}

Bytes Utf8(const Chars& cs) {
    Bytes b;
    for (uint32_t c : cs) {
        int n = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : c < 0x200000 ? 3 : c < 0x4000000 ? 4 : 5;
        if (n == 0) {
            b.push_back(uint8_t(c));
            continue;
        }
        static const uint8_t kLead[] = {0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
        b.push_back(uint8_t(kLead[n] | (c >> (6 * n))));
        for (int i = n - 1; i >= 0; --i) b.push_back(uint8_t(0x80 | ((c >> (6 * i)) & 0x3F)));
    }
    b.push_back(0);
    return b;
}

// UTF-16 of characters up to 0x10FFFF; with `ucs2`, the low 16 bits instead,
// U+FFFD where those are zero.
Bytes Utf16(const Chars& cs, bool le, bool ucs2 = false) {
    Chars units;
    for (uint32_t c : cs) {
        if (c < 0x10000 || ucs2) {
            units.push_back((c & 0xFFFF) != 0 ? c & 0xFFFF : 0xFFFD);
        } else {
            units.push_back(0xD800 + ((c - 0x10000) >> 10));
            units.push_back(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    units.push_back(0);
    Bytes b;
    for (uint32_t u : units) b.insert(b.end(), {uint8_t(le ? u : u >> 8), uint8_t(le ? u >> 8 : u)});
    return b;
}

Bytes Prefixed(Bytes prefix, const Bytes& b) {
    prefix.insert(prefix.end(), b.begin(), b.end());
    return prefix;
}

TEST(TextSize, CountsWholeUnitsUpToTheFirstZeroUnit) {
    EXPECT_EQ(EncodingTextSize(kUtf8, "ab"), 3u);
    EXPECT_EQ(EncodingTextSize(kAscii, ""), 1u);
    const Bytes straddle = {0x41, 0x00, 0x00, 0x42, 0x00, 0x00};  // zero bytes across units
    EXPECT_EQ(EncodingTextSize(kUtf16Le, straddle.data()), 6u);
    EXPECT_EQ(EncodingTextSize(kUcs2Be, straddle.data()), 6u);
    const Bytes wide = {0, 0, 0, 0x41, 0, 0, 0x42, 0, 0, 0, 0, 0};
    EXPECT_EQ(EncodingTextSize(kUcs4Be, wide.data()), 12u);
    EXPECT_EQ(EncodingTextSize(8, "ab"), 0u);
    EXPECT_EQ(EncodingTextSize(kUtf8, nullptr), 0u);
}

TEST(ConversionTable, EveryPairIsNoneConverterOrMissing) {
    // n: the input is the answer; c: a converter; -: missing.
    const char* kExpected[8] = {"nnn----c", "-nc----c", "ccnccccc", "--cn---c",
                                "--c-n--c", "--c--ncc", "--c--cnc", "c-ccc--n"};
    const Chars a = {'A'};
    const Bytes inputs[8] = {Utf8(a), Utf8(a), Utf8(a), Utf16(a, true),
                             Utf16(a, false), Utf16(a, true), Utf16(a, false), Ucs4(a)};
    for (uint32_t from = 0; from < 8; ++from) {
        for (uint32_t to = 0; to < 8; ++to) {
            SCOPED_TRACE(testing::Message() << from << " -> " << to);
            const void* text = &kExpected;
            void* toFree = &text;
            uint32_t size = 99;
            const int32_t rc = EncodingConvert(from, to, inputs[from].data(), &text, &toFree, &size);
            switch (kExpected[from][to]) {
                case 'n':
                    EXPECT_EQ(rc, 0);
                    EXPECT_EQ(text, inputs[from].data());
                    EXPECT_EQ(toFree, nullptr);
                    EXPECT_EQ(size, inputs[from].size());
                    break;
                case 'c':
                    EXPECT_EQ(rc, 0);
                    EXPECT_NE(toFree, nullptr);
                    EXPECT_EQ(size, EncodingTextSize(to, text));
                    std::free(toFree);
                    break;
                default:
                    EXPECT_EQ(rc, 1);
                    EXPECT_EQ(text, &kExpected);
                    EXPECT_EQ(size, 99u);
            }
        }
    }
}

TEST(ConversionTable, RefusesUnknownCodesAndNullArguments) {
    const void* text = nullptr;
    void* toFree = nullptr;
    EXPECT_EQ(EncodingConvert(8, kUtf8, "a", &text, &toFree, nullptr), 1);
    EXPECT_EQ(EncodingConvert(kUtf8, 0xFFFFFFFF, "a", &text, &toFree, nullptr), 1);
    EXPECT_EQ(EncodingConvert(8, kUtf8, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(EncodingConvert(kUtf8, kUcs4Be, nullptr, &text, &toFree, nullptr), -1);
    EXPECT_EQ(EncodingConvert(kUtf8, kUcs4Be, "a", nullptr, &toFree, nullptr), -1);
    EXPECT_EQ(EncodingConvert(kUtf8, kUcs4Be, "a", &text, nullptr, nullptr), -1);
    ASSERT_EQ(EncodingConvert(kUtf8, kUcs4Be, "a", &text, &toFree, nullptr), 0);  // size optional
    std::free(toFree);
}

TEST(Conversions, ReplaceOrCopyCharactersTheTargetLacks) {
    EXPECT_EQ(Convert(kLatin1, kUtf8, {0xE9, 0}).out, Bytes({0xC3, 0xA9, 0}));
    EXPECT_EQ(Convert(kUtf8, kLatin1, {0xC3, 0xA9, 0}).out, Bytes({0xE9, 0}));
    EXPECT_EQ(Convert(kUcs4Be, kAscii, Ucs4({0xE9})).out, Bytes({' ', 0}));
    EXPECT_EQ(Convert(kUtf8, kAscii, {0xC3, 0xA9, 0}).out, Bytes({' ', ' ', 0}));
    EXPECT_EQ(Convert(kUtf8, kLatin1, Utf8({0x20AC, 'x'})).out, Bytes({' ', 'x', 0}));
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xC3, 0xA9, 0}).out, Ucs4({0xE9}));
    EXPECT_EQ(Convert(kUcs4Be, kUtf16Le, Ucs4({0x1F600})).out, Bytes({0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
    EXPECT_EQ(Convert(kUcs4Be, kUtf16Be, Ucs4({0x1F600})).out, Bytes({0xD8, 0x3D, 0xDE, 0x00, 0, 0}));
    EXPECT_EQ(Convert(kUcs4Be, kUtf16Be, Ucs4({0x110000, 0xDC00})).out, Bytes({0xFF, 0xFD, 0xDC, 0x00, 0, 0}));
    EXPECT_EQ(Convert(kUtf8, kUcs2Le, Utf8({0x1F600})).out, Bytes({0x00, 0xF6, 0, 0}));
    // A character whose low 16 bits are zero must not end the text early.
    EXPECT_EQ(Convert(kUtf8, kUcs2Le, Utf8({0x20000, 'A'})).out, Bytes({0xFD, 0xFF, 'A', 0, 0, 0}));
    EXPECT_EQ(Convert(kUtf8, kUtf16Le, {0xE2, 0x82, 0}).out, Bytes({0xFD, 0xFF, 0, 0}));
    EXPECT_EQ(Convert(kUcs4Be, kAscii, Ucs4({0xFFFFFFFF, 'a'})).out, Bytes({' ', 'a', 0}));
    // US-ASCII into UTF-8 is no conversion at all; into UCS-4 it is checked.
    EXPECT_EQ(Convert(kAscii, kUtf8, {0x80, 0}).out, Bytes({0x80, 0}));
    EXPECT_EQ(Convert(kAscii, kUcs4Be, {0x80, 0}).rc, -1);
    EXPECT_EQ(Convert(kUcs4Be, kLatin1, Ucs4({'a'})).rc, 1);
    EXPECT_EQ(Convert(kUcs2Le, kUcs2Be, {0xFF, 0xFE, 0x41, 0x00, 0, 0}).out,
              Bytes({0xFE, 0xFF, 0x00, 0x41, 0, 0}));
    EXPECT_EQ(Convert(kUcs2Be, kUcs2Le, {0x00, 0x41, 0x12, 0x34, 0, 0}).out,
              Bytes({0x41, 0x00, 0x34, 0x12, 0, 0}));
}

TEST(Conversions, SixteenBitInputFollowsItsByteOrderState) {
    const Bytes leMarkA = {0xFF, 0xFE, 0x41, 0x00, 0, 0};
    const Bytes beMarkA = {0xFE, 0xFF, 0x00, 0x41, 0, 0};
    const Bytes a = Utf8({'A'});
    // Pairs that start unknown follow the mark, or read big-endian.
    EXPECT_EQ(Convert(kUtf16Le, kUcs4Be, leMarkA).out, Ucs4({'A'}));
    EXPECT_EQ(Convert(kUtf16Le, kUcs4Be, {0x41, 0x00, 0, 0}).out, Ucs4({0x4100}));
    EXPECT_EQ(Convert(kUtf16Be, kUcs4Be, beMarkA).out, Ucs4({'A'}));
    EXPECT_EQ(Convert(kUcs2Be, kUtf8, leMarkA).out, a);
    EXPECT_EQ(Convert(kUcs2Be, kUtf8, {0x00, 0x41, 0, 0}).out, a);
    // Preset orders: a mark of the other order switches, its own is U+FEFF.
    EXPECT_EQ(Convert(kUtf16Be, kUtf8, leMarkA).out, a);
    EXPECT_EQ(Convert(kUtf16Be, kUtf8, beMarkA).out, Utf8({0xFEFF, 'A'}));
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, {0x41, 0x00, 0xFE, 0xFF, 0x00, 0x42, 0, 0}).out, Utf8({'A', 'B'}));
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, leMarkA).out, Utf8({0xFEFF, 'A'}));
    EXPECT_EQ(Convert(kUcs2Le, kUcs4Be, {0x41, 0x00, 0, 0}).out, Ucs4({'A'}));
    EXPECT_EQ(Convert(kUcs2Be, kUcs4Be, leMarkA).out, Ucs4({'A'}));
    EXPECT_EQ(Convert(kUcs2Le, kUtf8, {0x00, 0xD8, 0, 0}).out, Utf8({0xD800}));  // no pairs in UCS-2
}

TEST(Conversions, MalformedUtf8BecomesOneBadValuePerSequence) {
    const uint32_t kBad = 0xFFFFFFFF;
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xC3, 0x41, 0}).out, Ucs4({kBad}));  // the A is consumed
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xC3, 0}).out, Ucs4({kBad}));
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xE2, 0x82, 0}).out, Ucs4({kBad}));
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xF0, 0x9F, 0x41, 0x42, 0}).out, Ucs4({kBad, 0x42}));
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xFE, 0x41, 0xFF, 0}).out, Ucs4({kBad, 0x41, kBad}));
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0xC1, 0x81, 0xED, 0xA0, 0x80, 0}).out, Ucs4({0x41, 0xD800}));
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0x80, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf8, kUcs4Be, {0x41, 0xC3, 0xA9, 0xBF, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf8, kUtf16Be, {0x80, 0}).rc, -1);
    EXPECT_EQ(Convert(kUcs4Be, kUtf8, Ucs4({'a', 0x80000000})).rc, -1);
    EXPECT_EQ(Convert(kUcs4Be, kUtf8, Ucs4({0x7FFFFFFF})).out, Bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF, 0}));
}

TEST(Conversions, Utf16SurrogatesMustComeInPairs) {
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, {0x00, 0xDC, 0, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, {0x3D, 0xD8, 0, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, {0x3D, 0xD8, 0x41, 0x00, 0, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, {0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf16Le, kUtf8, {0x3D, 0xD8, 0xFE, 0xFF, 0xDE, 0x00, 0, 0}).rc, -1);
    EXPECT_EQ(Convert(kUtf16Be, kUcs4Be, {0xD8, 0x3D, 0xDE, 0x00, 0, 0}).out, Ucs4({0x1F600}));
}

// Random texts against the reference encoders above, through every converter.
TEST(Conversions, RandomTextsMatchReferenceEncodings) {
    const uint32_t kSeed = 20240611;
    std::mt19937 rng(kSeed);
    const uint32_t kLimits[] = {0x80, 0x100, 0x800, 0x10000, 0x110000, 0x200000, 0x4000000, 0x80000000};
    for (int iter = 0; iter < 3000; ++iter) {
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << " iteration " << iter);
        const uint32_t limit = kLimits[iter % 8];
        Chars cs(rng() % 40);
        for (uint32_t& c : cs) {
            do c = 1 + rng() % (limit - 1);
            while ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFEFF || c == 0xFFFE);
        }
        const Bytes ucs4 = Ucs4(cs), utf8 = Utf8(cs);
        ASSERT_EQ(Convert(kUcs4Be, kUtf8, ucs4).out, utf8);
        ASSERT_EQ(Convert(kUtf8, kUcs4Be, utf8).out, ucs4);
        if (limit <= 0x80) {
            Bytes ascii(utf8);
            ASSERT_EQ(Convert(kAscii, kUcs4Be, ascii).out, ucs4);
            ASSERT_EQ(Convert(kUcs4Be, kAscii, ucs4).out, ascii);
            ASSERT_EQ(Convert(kUtf8, kAscii, utf8).out, ascii);
        }
        if (limit <= 0x100) {
            Bytes latin1(cs.begin(), cs.end());
            latin1.push_back(0);
            ASSERT_EQ(Convert(kLatin1, kUtf8, latin1).out, utf8);
            ASSERT_EQ(Convert(kLatin1, kUcs4Be, latin1).out, ucs4);
            ASSERT_EQ(Convert(kUtf8, kLatin1, utf8).out, latin1);
        }
        if (limit <= 0x110000) {
            const Bytes le = Utf16(cs, true), be = Utf16(cs, false);
            ASSERT_EQ(Convert(kUtf8, kUtf16Le, utf8).out, le);
            ASSERT_EQ(Convert(kUtf8, kUtf16Be, utf8).out, be);
            ASSERT_EQ(Convert(kUcs4Be, kUtf16Le, ucs4).out, le);
            ASSERT_EQ(Convert(kUcs4Be, kUtf16Be, ucs4).out, be);
            ASSERT_EQ(Convert(kUtf16Le, kUtf8, le).out, utf8);
            ASSERT_EQ(Convert(kUtf16Be, kUtf8, be).out, utf8);
            ASSERT_EQ(Convert(kUtf16Be, kUcs4Be, be).out, ucs4);
            ASSERT_EQ(Convert(kUtf16Le, kUcs4Be, Prefixed({0xFF, 0xFE}, le)).out, ucs4);
        }
        const Bytes ucs2le = Utf16(cs, true, true), ucs2be = Utf16(cs, false, true);
        ASSERT_EQ(Convert(kUtf8, kUcs2Le, utf8).out, ucs2le);
        ASSERT_EQ(Convert(kUtf8, kUcs2Be, utf8).out, ucs2be);
        ASSERT_EQ(Convert(kUcs2Le, kUcs2Be, ucs2le).out, ucs2be);
        ASSERT_EQ(Convert(kUcs2Be, kUcs2Le, ucs2be).out, ucs2le);
        if (limit <= 0x10000) {
            ASSERT_EQ(Convert(kUcs2Le, kUcs4Be, ucs2le).out, ucs4);
            ASSERT_EQ(Convert(kUcs2Be, kUcs4Be, ucs2be).out, ucs4);
            ASSERT_EQ(Convert(kUcs2Le, kUtf8, ucs2le).out, utf8);
            ASSERT_EQ(Convert(kUcs2Be, kUtf8, ucs2be).out, utf8);
        }
    }
}

TEST(Conversions, LengthBoundariesOfUtf8) {
    for (uint32_t c : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x1FFFFFu, 0x200000u,
                       0x3FFFFFFu, 0x4000000u, 0x7FFFFFFFu}) {
        SCOPED_TRACE(c);
        const Bytes utf8 = Utf8({c, 'z'});
        ASSERT_EQ(Convert(kUcs4Be, kUtf8, Ucs4({c, 'z'})).out, utf8);
        ASSERT_EQ(Convert(kUtf8, kUcs4Be, utf8).out, Ucs4({c, 'z'}));
    }
}

// Allocations made by a conversion fail from the n-th on.
int gAllocationsLeft = 0;
void* FailingAlloc(size_t n) { return gAllocationsLeft-- > 0 ? std::malloc(n) : nullptr; }

TEST(Conversions, AllocationFailureLeavesNothingBehind) {
    const Bytes in = Utf8({'a', 0xE9, 0x1F600});
    for (uint32_t to : {uint32_t(kUcs4Be), uint32_t(kUtf16Le)}) {  // direct, then through UCS-4
        const int allocations = to == kUcs4Be ? 1 : 2;
        for (int ok = 0; ok <= allocations; ++ok) {
            SCOPED_TRACE(testing::Message() << "to " << to << ", allocations allowed " << ok);
            gAllocationsLeft = ok;
            const void* text = nullptr;
            void* toFree = nullptr;
            const int32_t rc = detail::ConvertWith(FailingAlloc, kUtf8, to, in.data(), &text, &toFree, nullptr);
            EXPECT_EQ(rc, ok < allocations ? 0x1000 : 0);
            EXPECT_EQ(toFree == nullptr, ok < allocations);
            std::free(toFree);
        }
    }
}

TEST(Converters, NeverWritePastCapacityOrBeyondTheInput) {
    const Bytes ucs4 = Ucs4({'A', 0x10000});
    uint8_t out[16];
    std::memset(out, 0xAA, sizeof out);
    detail::Converter c{ucs4.data(), ucs4.size(), 0, out, 4, 0, detail::ByteOrder::kUnknown};
    EXPECT_FALSE(detail::Ucs4ToUtf8(c));  // 'A' fits, the 4-byte form does not
    EXPECT_EQ(c.outPos, 1u);
    EXPECT_EQ(out[1], 0xAA);

    const Bytes utf8 = Utf8({'A', 'B'});
    detail::Converter d{utf8.data(), utf8.size(), 0, out, 7, 0, detail::ByteOrder::kUnknown};
    EXPECT_FALSE(detail::Utf8ToUcs4(d));
    EXPECT_EQ(d.outPos, 4u);
    // Input used up before a terminator is a failure, not a text without one.
    detail::Converter e{utf8.data(), 2, 0, out, 16, 0, detail::ByteOrder::kUnknown};
    EXPECT_FALSE(detail::Utf8ToUcs4(e));
    detail::Converter f{ucs4.data(), 6, 0, out, 16, 0, detail::ByteOrder::kUnknown};
    EXPECT_FALSE(detail::Ucs4ToUtf16Le(f));
}

}  // namespace
}  // namespace tarn::enc
