#include "common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t kCurrentMarker = 0x2F000000u;

struct Feature {
  const char* name;
  const char* description;
};
const Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t kFeatureCount = sizeof(kFeatures) / sizeof(kFeatures[0]);
constexpr const char* kFeatureSeparator = " - ";

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return kCurrentMarker | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
  }
  return (uint32_t(major & 0x0F) << 28) | (uint32_t(minor & 0x0F) << 24) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed) {
  // Legacy exactly when major.minor (patch 255) is not above 2.15.0.
  const uint32_t major = packed >> 28;
  const uint32_t minor = (packed >> 24) & 0x0F;
  return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? uint8_t(packed >> 28) : uint8_t(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? uint8_t((packed >> 24) & 0x0F)
                                         : uint8_t(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? (packed & 0x00FFFFFFu) : (packed & 0xFFu);
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
  return snprintf(buffer, size, "%d.%d.%d", int(aVersion_ParseMajor(packed)),
                  int(aVersion_ParseMinor(packed)), int(aVersion_ParsePatch(packed)));
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  static char text[15];
  static std::once_flag built;
  std::call_once(built, [] {
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
             aVERSION_PATCH);
  });
  return text;
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t b1, uint8_t c1, uint8_t a2, uint8_t b2,
                               uint8_t c2) {
  if (a1 != a2) return a1 > a2;
  if (b1 != b2) return b1 > b2;
  return c1 >= c2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                   patch);
}

bool aVersion_HasFeature(const char* name) {
  if (!name) return false;
  for (const Feature& feature : kFeatures) {
    if (strcmp(feature.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  size_t length = 1;
  for (size_t i = 0; i < kFeatureCount; ++i) {
    length += strlen(kFeatures[i].name) + strlen(kFeatureSeparator) +
              strlen(kFeatures[i].description) + 1;
  }
  char* list = static_cast<char*>(malloc(length));
  if (!list) return nullptr;
  list[0] = '\0';
  for (size_t i = 0; i < kFeatureCount; ++i) {
    if (i > 0) strncat(list, "\n", length - strlen(list) - 1);
    strncat(list, kFeatures[i].name, length - strlen(list) - 1);
    strncat(list, kFeatureSeparator, length - strlen(list) - 1);
    strncat(list, kFeatures[i].description, length - strlen(list) - 1);
  }
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (!list) return;
  free(*list);
  *list = nullptr;
}
