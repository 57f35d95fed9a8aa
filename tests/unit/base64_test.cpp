#include "server/base64.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Encode(const std::string& bytes) {
  size_t n = 99;
  auto text = base64_encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &n);
  EXPECT_NE(text, nullptr);
  EXPECT_EQ(n, std::strlen(text.get()));
  return std::string(text.get(), n);
}

// Decoded bytes, or "<null>" when decoding refuses the text.
std::string Decode(const std::string& text) {
  size_t n = 99;
  auto bytes = base64_decode(text.data(), text.size(), &n);
  if (!bytes) {
    EXPECT_EQ(n, 0u);
    return "<null>";
  }
  EXPECT_EQ(bytes[n], 0) << "decoded bytes are followed by a zero byte";
  return std::string(reinterpret_cast<char*>(bytes.get()), n);
}

TEST(Base64, EncodesWithFillForEachRemainder) {
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode("a"), "YQ==");
  EXPECT_EQ(Encode("ab"), "YWI=");
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode("abcd"), "YWJjZA==");
  EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, DecodesWhatItEncodes) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t len = 0; len < 40; ++len) {
    const std::string part = all.substr(len * 5 % 200, len);
    EXPECT_EQ(Decode(Encode(part)), part) << len;
  }
  EXPECT_EQ(Decode(Encode(all)), all);
}

TEST(Base64, KnownDecodings) {
  EXPECT_EQ(Decode("YQ=="), "a");
  EXPECT_EQ(Decode("YWI="), "ab");
  EXPECT_EQ(Decode("YWJj"), "abc");
  EXPECT_EQ(Decode(""), "");
}

TEST(Base64, RefusesLengthsNotMultipleOfFour) {
  EXPECT_EQ(Decode("YWJjZ"), "<null>");
  EXPECT_EQ(Decode("YQ="), "<null>");
  EXPECT_EQ(Decode("Y"), "<null>");
}

TEST(Base64, RefusesCharactersOutsideTheAlphabet) {
  EXPECT_EQ(Decode("YW J"), "<null>");
  EXPECT_EQ(Decode("YWJ\n"), "<null>");
  EXPECT_EQ(Decode("YWJj\r\n=="), "<null>");
  EXPECT_EQ(Decode("YW-j"), "<null>") << "base64url letters are not ours";
  EXPECT_EQ(Decode("YW_j"), "<null>");
  EXPECT_EQ(Decode(std::string("YW\0j", 4)), "<null>");
  EXPECT_EQ(Decode("YWJ\xC3"), "<null>");
}

TEST(Base64, RefusesMisplacedFill) {
  EXPECT_EQ(Decode("Y=Jj"), "<null>");
  EXPECT_EQ(Decode("YQ==YWJj"), "<null>") << "fill inside the text";
  EXPECT_EQ(Decode("YW=j"), "<null>");
  EXPECT_EQ(Decode("Y==="), "<null>");
  EXPECT_EQ(Decode("===="), "<null>");
}

TEST(Base64, NullInput) {
  size_t n = 7;
  EXPECT_EQ(base64_decode(nullptr, 4, &n), nullptr);
  EXPECT_EQ(base64_encode(nullptr, 3, &n), nullptr);
  EXPECT_NE(base64_decode(nullptr, 0, &n), nullptr);
}

}  // namespace
