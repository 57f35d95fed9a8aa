// Packed 32-bit firmware versions and the library's own version.
//
// Two layouts share one word:
//   legacy : major(31-28) minor(27-24) patch(23-0)
//   current: 0x2F in bits 31-24, major(23-16) minor(15-8) patch(7-0)
// Compare versions byte by byte with aVersion_IsAtLeastCompare, never the
// packed words themselves.
#ifndef KORVEX_AVERSION_H
#define KORVEX_AVERSION_H

#include <cstddef>
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 11
#define aVERSION_PATCH 5
#define aVERSION_PHASE "."

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);

// Writes "major.minor.patch" bounded by size; returns what snprintf returns.
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);

// The library's version text ("2.11.5"); built once, then cached.
const char* aVersion_GetString(void);

// True when a1.b1.c1 >= a2.b2.c2.
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t b1, uint8_t c1,
                               uint8_t a2, uint8_t b2, uint8_t c2);
// True when the library is at least major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_HasFeature(const char* name);
// A newly allocated "name - description" list, entries separated by "\n";
// release with aVersion_DestroyFeatureList. Null when allocation fails.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#endif
