#include "log/TerminalText.h"

#include <cstdint>

namespace {

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence of two to four bytes starting at
// text[at], or 0 when the bytes there do not form one. The C1 controls,
// U+0080-U+009F, count as not well formed: terminals act on them.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const size_t left = text.size() - at;
  const uint8_t lead = uint8_t(text[at]);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    if (lead == 0xC2) low = 0xA0;  // U+0080-U+009F
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (left < length) return 0;
  const uint8_t second = uint8_t(text[at + 1]);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!IsContinuation(uint8_t(text[at + i]))) return 0;
  }
  return length;
}

}  // namespace

std::string EscapeForTerminal(const std::string& text, LineBreaks lineBreaks) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const uint8_t byte = uint8_t(text[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += char(byte);
      ++at;
      continue;
    }
    if (lineBreaks == LineBreaks::Keep && (byte == '\n' || byte == '\t')) {
      shown += char(byte);
      ++at;
      continue;
    }
    if (byte >= 0x80) {
      const size_t length = Utf8SequenceLength(text, at);
      if (length != 0) {
        shown.append(text, at, length);
        at += length;
        continue;
      }
    }
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0x0F];
    ++at;
  }
  return shown;
}
