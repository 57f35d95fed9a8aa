// Small helpers shared by the BIRD file sources: big- and little-endian
// words, bounded text formatting and the fields of an information block.
// Internal to store/.
#ifndef UPDATER_BIRDBYTES_H
#define UPDATER_BIRDBYTES_H

#include <cstdint>
#include <string>

#include "store/BirdFile.h"

namespace bird {

inline uint32_t GetInt(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline uint32_t GetShort(const uint8_t* p) { return (uint32_t(p[0]) << 8) | uint32_t(p[1]); }

inline uint32_t GetLittleInt(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void PutLittleInt(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

// printf into a string of at most 255 characters.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies field `index` (0-3) of an information block into out, terminated.
// A block shorter than 64 bytes reads as if padded with zero bytes.
void InfoField(const uint8_t* data, uint32_t length, int index,
               char out[BIRD_INFO_FIELD_SIZE + 1]);

// The model field without its trailing spaces.
std::string InfoModel(const uint8_t* data, uint32_t length);

}  // namespace bird

#endif
