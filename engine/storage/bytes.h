// Little-endian, unaligned integer access. The only place that turns bytes of
// the database file into integers and back.
#ifndef TARN_STORAGE_BYTES_H
#define TARN_STORAGE_BYTES_H

#include <cstdint>
#include <cstring>

namespace tarn {

inline uint8_t getU8(const uint8_t* p) { return p[0]; }
inline uint16_t getU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void putU8(uint8_t* p, uint8_t v) { p[0] = v; }
inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint64_t getU64(const uint8_t* p) { return uint64_t(getU32(p)) | uint64_t(getU32(p + 4)) << 32; }
inline void putU64(uint8_t* p, uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(p, &v, sizeof v);  // one store, where byte stores are not always merged
#else
    putU32(p, uint32_t(v));
    putU32(p + 4, uint32_t(v >> 32));
#endif
}

// Bytes read as a big-endian number, so that numbers order as the byte
// strings do (unsigned, first byte first): key starts compare a word at a time.
inline uint64_t getBE64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);  // one instruction; the compiler keeps a byte loop as it is
#endif
    return v;
}
inline uint16_t getBE16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
// Eight bytes as a little-endian number (the first byte lowest), for scans
// that look at a word's bytes in order.
inline uint64_t getLE64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Host-order values a caller hands in (the API takes integers as they lie in
// the caller's memory, which on our targets is little-endian).
inline uint16_t loadU16(const void* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline uint32_t loadU32(const void* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }

}  // namespace tarn

#endif
