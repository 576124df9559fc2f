// Big-endian reads and writes at any alignment.
#ifndef BASE_BYTE_IO_H_
#define BASE_BYTE_IO_H_

#include <cstdint>
#include <cstring>

namespace rtc {

inline uint8_t Get8(const void* memory, size_t offset) {
  return static_cast<const uint8_t*>(memory)[offset];
}

inline uint16_t GetBE16(const void* memory) {
  uint16_t v;
  std::memcpy(&v, memory, sizeof(v));
  return __builtin_bswap16(v);
}
inline uint32_t GetBE32(const void* memory) {
  uint32_t v;
  std::memcpy(&v, memory, sizeof(v));
  return __builtin_bswap32(v);
}
inline uint64_t GetBE64(const void* memory) {
  uint64_t v;
  std::memcpy(&v, memory, sizeof(v));
  return __builtin_bswap64(v);
}

inline void SetBE16(void* memory, uint16_t v) {
  v = __builtin_bswap16(v);
  std::memcpy(memory, &v, sizeof(v));
}
inline void SetBE32(void* memory, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(memory, &v, sizeof(v));
}
inline void SetBE64(void* memory, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(memory, &v, sizeof(v));
}

}  // namespace rtc

#endif  // BASE_BYTE_IO_H_
