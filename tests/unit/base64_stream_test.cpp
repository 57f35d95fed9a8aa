// The table-driven and the streaming base64 decoders against the plain
// decoder they replaced, on random and broken texts.
#include "server/base64.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The earlier decoder, one character at a time: the behaviour to keep.
bool ReferenceDecode(const std::string& text, std::string& out) {
  out.clear();
  const size_t length = text.size();
  if (length % 4 != 0) return false;
  int value[256];
  for (int& v : value) v = 255;
  for (int i = 0; i < 64; ++i) value[static_cast<uint8_t>(kAlphabet[i])] = i;
  value[static_cast<uint8_t>('=')] = 64;
  size_t padding = 0;
  if (length >= 4) {
    if (text[length - 1] == '=') ++padding;
    if (text[length - 2] == '=') ++padding;
    if (padding == 1 && text[length - 2] == '=') return false;
    if (text[length - 2] == '=' && text[length - 1] != '=') return false;
  }
  for (size_t i = 0; i < length; i += 4) {
    const bool last = i + 4 == length;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int d = value[static_cast<uint8_t>(text[i + k])];
      if (d == 255) return false;
      if (d == 64) {
        if (!last || k < 2) return false;
        v <<= 6;
        continue;
      }
      v = (v << 6) | uint32_t(d);
    }
    const size_t n = last ? 3 - padding : 3;
    if (n >= 1) out += char(v >> 16);
    if (n >= 2) out += char(v >> 8);
    if (n >= 3) out += char(v);
  }
  return true;
}

bool WholeDecode(const std::string& text, std::string& out) {
  size_t n = 0;
  auto bytes = base64_decode(text.data(), text.size(), &n);
  out.assign(bytes ? reinterpret_cast<const char*>(bytes.get()) : "", bytes ? n : 0);
  return bytes != nullptr;
}

// Feeds text in pieces cut at the given sizes (cycled), through buffers
// of exactly MaxOutput bytes so that an overrun shows under the sanitizer.
bool StreamDecode(const std::string& text, const std::vector<size_t>& cuts, std::string& out) {
  out.clear();
  Base64StreamDecoder decoder;
  size_t pos = 0;
  for (size_t i = 0; pos < text.size(); ++i) {
    size_t n = cuts.empty() ? text.size() : cuts[i % cuts.size()];
    if (n > text.size() - pos) n = text.size() - pos;
    std::vector<uint8_t> room(Base64StreamDecoder::MaxOutput(n));
    const size_t got = decoder.Feed(text.data() + pos, n, room.data());
    EXPECT_LE(got, room.size());
    out.append(reinterpret_cast<const char*>(room.data()), got);
    pos += n;
  }
  if (!decoder.Complete()) out.clear();
  return decoder.Complete();
}

std::string RandomText(std::mt19937& rng, size_t bytes) {
  std::string raw(bytes, '\0');
  for (char& c : raw) c = char(rng());
  size_t n = 0;
  auto text = base64_encode(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), &n);
  return std::string(text.get(), n);
}

// Every decoder gives the same verdict and bytes as the reference.
void ExpectSameAsReference(const std::string& text, const std::vector<size_t>& cuts) {
  std::string want, whole, streamed;
  const bool ok = ReferenceDecode(text, want);
  EXPECT_EQ(WholeDecode(text, whole), ok) << "[" << text << "]";
  EXPECT_EQ(StreamDecode(text, cuts, streamed), ok) << "[" << text << "]";
  if (ok) {
    EXPECT_EQ(whole, want) << "[" << text << "]";
    EXPECT_EQ(streamed, want) << "[" << text << "]";
  }
}

TEST(Base64Fast, MatchesTheReferenceOnRandomValidTexts) {
  std::mt19937 rng(1);
  for (int round = 0; round < 300; ++round) {
    const std::string text = RandomText(rng, rng() % 200);
    std::string want;
    ASSERT_TRUE(ReferenceDecode(text, want));
    ExpectSameAsReference(text, {});
    ExpectSameAsReference(text, {1});
    ExpectSameAsReference(text, {size_t(1 + rng() % 9), size_t(1 + rng() % 5), 7});
  }
}

TEST(Base64Fast, MatchesTheReferenceOnBrokenTexts) {
  std::mt19937 rng(2);
  static const char kOdd[] = "=\r\n -_.*\0\x80\xff!";
  const std::string odd(kOdd, sizeof kOdd - 1);
  for (int round = 0; round < 2000; ++round) {
    std::string text = RandomText(rng, rng() % 40);
    switch (rng() % 5) {
      case 0:  // a character outside the alphabet anywhere
        if (!text.empty()) text[rng() % text.size()] = odd[rng() % odd.size()];
        break;
      case 1:  // fill somewhere
        if (!text.empty()) text[rng() % text.size()] = '=';
        break;
      case 2:  // cut short
        text.resize(rng() % (text.size() + 1));
        break;
      case 3:  // something after the end
        text += std::string(1 + rng() % 4, kAlphabet[rng() % 64]);
        break;
      default:  // any characters at all
        text.assign(rng() % 13, '\0');
        for (char& c : text) c = rng() % 3 ? kAlphabet[rng() % 64] : odd[rng() % odd.size()];
        break;
    }
    ExpectSameAsReference(text, {size_t(1 + rng() % 6), size_t(1 + rng() % 3)});
  }
}

// Long texts are decoded several groups at a time: any byte in any place
// of a step, and at the step's edges, is found as it is one by one.
TEST(Base64Fast, EveryByteInEveryPlaceOfALongText) {
  std::mt19937 rng(3);
  const std::string text = RandomText(rng, 96);  // 128 characters
  for (size_t place = 0; place < text.size(); ++place) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string changed = text;
      changed[place] = char(byte);
      ExpectSameAsReference(changed, {place % 2 ? size_t(37) : text.size()});
    }
  }
}

TEST(Base64Fast, FillOnlyClosesTheText) {
  for (const char* text : {"YQ==", "YWI=", "YWJj", "", "YQ==YQ==", "Y===", "====", "YQ=A", "Y=Q=",
                           "YQ==\n", "YWJ=YWJj", "YW=j", "=WJj", "YWJj\r"}) {
    ExpectSameAsReference(text, {});
    ExpectSameAsReference(text, {1});
    ExpectSameAsReference(text, {3});
  }
}

TEST(Base64Fast, StreamRefusesTextAfterTheFillAndKeepsRefusing) {
  Base64StreamDecoder d;
  uint8_t out[16];
  EXPECT_EQ(d.Feed("YQ==", 4, out), 1u);
  EXPECT_EQ(out[0], 'a');
  EXPECT_TRUE(d.Complete());
  EXPECT_EQ(d.Feed("YQ==", 4, out), 0u);
  EXPECT_TRUE(d.Failed());
  EXPECT_FALSE(d.Complete());
  EXPECT_EQ(d.Feed("YWJj", 4, out), 0u) << "nothing more after a failure";

  Base64StreamDecoder e;
  EXPECT_EQ(e.Feed("YW", 2, out), 0u);
  EXPECT_FALSE(e.Complete()) << "half a group is not a text";
  EXPECT_EQ(e.Feed("Jj", 2, out), 3u);
  EXPECT_TRUE(e.Complete());
  EXPECT_EQ(e.Feed(nullptr, 0, out), 0u);
  EXPECT_TRUE(e.Complete()) << "an empty piece changes nothing";
}

}  // namespace
