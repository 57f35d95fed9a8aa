#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/aDefs.h"
#include "common/aError.h"
#include "common/aVersion.h"

TEST(aError, TextsAndDescriptionsByValue) {
  EXPECT_STREQ("aErrNone", aError_GetErrorText(aErrNone));
  EXPECT_STREQ("Success, no error", aError_GetErrorDescription(aErrNone));
  EXPECT_STREQ("aErrTimeout", aError_GetErrorText(18));
  EXPECT_STREQ("Timeout occurred", aError_GetErrorDescription(18));
  EXPECT_STREQ("aErrShortCommand", aError_GetErrorText(27));
  EXPECT_STREQ("Korvex command to short", aError_GetErrorDescription(27));
  EXPECT_STREQ("aErrStreamStale", aError_GetErrorText(33));
}

TEST(aError, OutOfRangeValuesAreUnknown) {
  for (uint32_t value : {34u, 35u, 1000u, 0xFFFFFFFFu, uint32_t(-1)}) {
    EXPECT_STREQ("aErrUnknown", aError_GetErrorText(value)) << value;
    EXPECT_STREQ("Unknown error", aError_GetErrorDescription(value)) << value;
  }
}

TEST(aVersion, PackChoosesLayout) {
  EXPECT_EQ(0x2E000007u, aVersion_Pack(2, 14, 7));
  EXPECT_EQ(0x2F020F00u, aVersion_Pack(2, 15, 0));
  EXPECT_EQ(0x2F030001u, aVersion_Pack(3, 0, 1));
  EXPECT_EQ(0x10000005u, aVersion_Pack(1, 0, 5));
}

TEST(aVersion, ParseBothLayouts) {
  EXPECT_FALSE(aVersion_IsLegacyFormat(0x2F020F00u));
  EXPECT_EQ(2, aVersion_ParseMajor(0x2F020F00u));
  EXPECT_EQ(15, aVersion_ParseMinor(0x2F020F00u));
  EXPECT_EQ(0u, aVersion_ParsePatch(0x2F020F00u));

  EXPECT_TRUE(aVersion_IsLegacyFormat(0x1A000123u));
  EXPECT_EQ(1, aVersion_ParseMajor(0x1A000123u));
  EXPECT_EQ(10, aVersion_ParseMinor(0x1A000123u));
  EXPECT_EQ(291u, aVersion_ParsePatch(0x1A000123u));

  // The legacy parse reads 24 patch bits, while packing keeps only 8.
  EXPECT_EQ(0x00ABCDEFu, aVersion_ParsePatch(0x11ABCDEFu));
  EXPECT_EQ(0xEFu, aVersion_ParsePatch(aVersion_Pack(1, 1, 0xEF)));
}

TEST(aVersion, ParseStringPrintsAndBounds) {
  char text[32];
  EXPECT_EQ(6, aVersion_ParseString(0x2F020F00u, text, sizeof(text)));
  EXPECT_STREQ("2.15.0", text);
  aVersion_ParseString(0x1A000123u, text, sizeof(text));
  EXPECT_STREQ("1.10.291", text);
  char small[4];
  EXPECT_EQ(8, aVersion_ParseString(0x1A000123u, small, sizeof(small)));
  EXPECT_STREQ("1.1", small);
}

TEST(aVersion, CompareByteByByte) {
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 11, 5, 2, 11, 5));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 11, 5, 2, 12, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 11, 4, 2, 11, 5));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 5));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 6));
}

TEST(aVersion, LibraryVersionAndFeatures) {
  EXPECT_STREQ("2.11.5", aVersion_GetString());
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
  EXPECT_EQ(2, aVersion_GetMajor());
  EXPECT_EQ(11, aVersion_GetMinor());
  EXPECT_EQ(5, aVersion_GetPatch());
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));

  char* list = aVersion_GetFeatureList();
  ASSERT_NE(nullptr, list);
  EXPECT_STREQ("VERSION - Version Query API", list);
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(nullptr, list);
}

TEST(aDefs, ModelNames) {
  int named = 0;
  for (uint32_t model = 0; model < 64; ++model) {
    const char* name = aDefs_GetModelName(model);
    const bool known = model == 4 || model == 5 || (model >= 13 && model <= 27);
    EXPECT_EQ(known, std::string(name) != "Unknown") << model;
    // Names fit the 12-character column of the device list.
    EXPECT_LE(strlen(name), 12u);
    named += known;
  }
  EXPECT_EQ(17, named);
  EXPECT_STREQ("Unknown", aDefs_GetModelName(6));
  EXPECT_STREQ("Unknown", aDefs_GetModelName(28));
}
