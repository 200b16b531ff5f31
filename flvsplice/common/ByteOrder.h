#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The one place where multi-byte numbers are taken apart and put together.
// FLV and MP4 fields are big-endian; AVI fields and Opus headers are
// little-endian.
namespace flvbytes {

inline uint32_t ReadBE16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
inline uint32_t ReadBE24(const uint8_t* p) {
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}
inline uint32_t ReadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint32_t ReadLE16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
inline uint32_t ReadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t ReadBE64(const uint8_t* p) {
    return (uint64_t(ReadBE32(p)) << 32) | ReadBE32(p + 4);
}

inline void WriteBE16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void WriteBE24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}
inline void WriteBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void WriteBE64(uint8_t* p, uint64_t v) {
    WriteBE32(p, uint32_t(v >> 32));
    WriteBE32(p + 4, uint32_t(v));
}
inline void WriteLE16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void WriteLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// IEEE-754 double as its 8 bytes, most significant first (AMF0 numbers).
inline void WriteBEDouble(uint8_t* p, double v) { WriteBE64(p, std::bit_cast<uint64_t>(v)); }
inline double ReadBEDouble(const uint8_t* p) { return std::bit_cast<double>(ReadBE64(p)); }

}  // namespace flvbytes
