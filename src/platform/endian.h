// Byte-order helpers for every wire and file format of the project.
// All access goes through memcpy-free byte arithmetic, so unaligned
// buffers and any host byte order are safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt::platform {

inline uint16_t get_u16le(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint16_t get_u16be(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t get_u32le(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint32_t get_u32be(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline int32_t sign_extend24(uint32_t v) {
    v &= 0xFFFFFFu;
    return (v & 0x800000u) ? int32_t(v | 0xFF000000u) : int32_t(v);
}
inline int32_t get_i24be(const uint8_t* p) {
    return sign_extend24((uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]));
}
inline int32_t get_i24le(const uint8_t* p) {
    return sign_extend24(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16));
}

inline void put_u16le(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void put_u16be(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void put_u32le(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline void put_u32be(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline void put_i24be(uint8_t* p, int32_t v) {
    const uint32_t u = uint32_t(v);
    p[0] = uint8_t(u >> 16); p[1] = uint8_t(u >> 8); p[2] = uint8_t(u);
}
inline void put_i24le(uint8_t* p, int32_t v) {
    const uint32_t u = uint32_t(v);
    p[0] = uint8_t(u); p[1] = uint8_t(u >> 8); p[2] = uint8_t(u >> 16);
}

}  // namespace velt::platform
