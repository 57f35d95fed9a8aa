// The message sockets' wire protocol (ZMTP 3.1, NULL security), spoken
// directly on a TCP socket: a shared link's client and its server's TCP
// frontend read and write their own descriptors, with no I/O thread of the
// messaging library between them and the wire. Peers that use the library
// (a DEALER client, a ROUTER server) speak the same bytes.
//
// A connection starts with each side's 64-byte greeting and READY command;
// then frames follow: a flags byte (more, long, command), a size (one byte,
// or eight for a long frame, most significant first) and the body.
#ifndef KORVEX_AZMTP_H
#define KORVEX_AZMTP_H

#include <cstddef>
#include <cstdint>
#include <string>

#define aZMTP_GREETING_SIZE 64u
// The largest frame either side takes: stream batches and packets are far
// smaller; a peer that announces more is not one of ours and is dropped.
#define aZMTP_MAX_FRAME 65536u

// Our greeting: version 3.1, the NULL mechanism, as given.
void aZmtp_Greeting(uint8_t out[aZMTP_GREETING_SIZE], bool asServer);
// Whether a peer's greeting is one we can speak with: the signature,
// version 3 or later, the NULL mechanism.
bool aZmtp_GreetingOk(const uint8_t in[aZMTP_GREETING_SIZE]);

// Appends one frame to out.
void aZmtp_AppendFrame(std::string* out, const void* data, size_t size,
                       bool more = false);
// Appends a command frame: name and body.
void aZmtp_AppendCommand(std::string* out, const char* name,
                         const std::string& body);
// Appends READY with the socket type (and nothing else).
void aZmtp_AppendReady(std::string* out, const char* socketType);
// What a side sends first: its greeting and READY with its socket type.
std::string aZmtp_Hello(const char* socketType);

// One frame as the reader hands it out.
struct aZmtpFrame {
  bool more = false;
  bool command = false;
  std::string body;
};

// Splits a byte stream into the greeting and frames. Bytes are added as
// they arrive; a frame is handed out once whole.
class aZmtpReader {
 public:
  enum Result { kNeedMore, kFrame, kBad };

  // Adds received bytes.
  void add(const uint8_t* data, size_t size) {
    buffer_.append(reinterpret_cast<const char*>(data), size);
  }
  // The peer's greeting, once 64 bytes came: kFrame when it is good.
  Result greeting();
  // The next frame: kBad for one larger than aZMTP_MAX_FRAME.
  Result next(aZmtpFrame* frame);
  size_t pending() const { return buffer_.size() - at_; }

 private:
  void compact();
  std::string buffer_;
  size_t at_ = 0;
};

// A command frame's name and body; false when it is malformed.
bool aZmtp_ParseCommand(const std::string& frame, std::string* name,
                        std::string* body);
// READY's Socket-Type property ("" when absent); false when the property
// list is malformed.
bool aZmtp_ReadySocketType(const std::string& body, std::string* type);
// Whether the frame is a well-formed READY command; *type is its socket type.
bool aZmtp_IsReady(const aZmtpFrame& frame, std::string* type);
// Appends a PING (no time-to-live, no context).
void aZmtp_AppendPing(std::string* out);
// PING's body (TTL and context) turned into PONG's (the context).
std::string aZmtp_PongFor(const std::string& pingBody);

#endif
