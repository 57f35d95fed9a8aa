// Base64 with the standard alphabet and "=" padding (RFC 4648), as used for
// firmware files carried in update server replies.
#ifndef UPDATER_BASE64_H
#define UPDATER_BASE64_H

#include <cstddef>
#include <cstdint>
#include <memory>

// Encodes length bytes. The text is 4 * ceil(length / 3) characters followed
// by a terminating zero; *outLength (when given) receives the character
// count without the terminator. Null only when the size would overflow.
std::unique_ptr<char[]> base64_encode(const uint8_t* data, size_t length,
                                      size_t* outLength);

// Decodes length characters. Null when the length is not a multiple of 4,
// when a character lies outside the alphabet, or when "=" appears anywhere
// but in the last two positions (or "X=Y" style padding). The buffer holds
// the decoded bytes followed by one zero byte; *outLength (when given)
// receives the byte count. Empty text decodes to an empty, non-null buffer.
std::unique_ptr<uint8_t[]> base64_decode(const char* text, size_t length,
                                         size_t* outLength);

// The same strict decoding over text that arrives in pieces of any size.
// Accepts exactly the texts base64_decode accepts and yields the same bytes.
class Base64StreamDecoder {
 public:
  // Room Feed may need for length more characters.
  static size_t MaxOutput(size_t length) { return length / 4 * 3 + 3; }

  // Decodes the next piece into out (MaxOutput(length) bytes of room) and
  // returns the count of bytes written. Once the text is found invalid,
  // Failed() is true and nothing more is written.
  size_t Feed(const char* text, size_t length, uint8_t* out);
  bool Failed() const { return failed_; }
  // True when everything fed so far forms one complete, valid text.
  bool Complete() const { return !failed_ && pendingCount_ == 0; }

 private:
  uint8_t pending_[4] = {0, 0, 0, 0};
  size_t pendingCount_ = 0;
  bool padded_ = false;  // a group with fill was seen: the text has ended
  bool failed_ = false;
};

#endif
