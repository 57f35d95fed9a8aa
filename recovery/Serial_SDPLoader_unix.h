// The boot ROM on a serial line (115200 bit/s, 8N1, raw): commands and data
// go without their report identifier, answers are raw 4-byte words.
#ifndef UPDATER_RECOVERY_SERIAL_SDPLOADER_UNIX_H
#define UPDATER_RECOVERY_SERIAL_SDPLOADER_UNIX_H

#include <memory>
#include <string>

#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // The path is copied. `settleMs`: the pause after the line settings are
  // applied, before stale input is discarded.
  explicit Serial_SDPLoader(const std::string& devicePath, int settleMs = kSettleMs);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  bool init() override;
  // Writes the bytes after the report identifier; returns the count written.
  // Retries only a full output queue or an interrupted call, within a
  // deadline fitted to the byte count at the line rate; returns once the
  // bytes have left the output queue (or the deadline passed).
  ssize_t writeData(const std::vector<uint8_t>& data) override;
  // Waits at most timeoutMs for the first byte, then takes what is waiting
  // (at most kMaxReadBytes). -1 when the line has hung up or failed.
  ssize_t readData(std::vector<uint8_t>& data, int timeoutMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                         uint32_t& value) override;
  bool getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) override;
  size_t payloadStart() const override { return 4; }
  size_t payloadLimit() const override { return MAX_WRITE_BYTES; }
  uint32_t transferMs(size_t bytes) const override { return TransferMs(bytes); }

  static constexpr int kSettleMs = 1000;
  static constexpr unsigned kBaud = 115200;
  static constexpr size_t kMaxReadBytes = MAX_READ_BYTES * 4;
  static constexpr int kWriteSlackMs = 500;

  // The time `bytes` take at kBaud, 10 bits a byte, rounded up.
  static uint32_t TransferMs(size_t bytes);
  // The longest a write of `bytes` may take: TransferMs plus kWriteSlackMs.
  static int WriteDeadlineMs(size_t bytes);

 private:
  std::unique_ptr<PrivateSerial_SDPLoader> d_;
};

#endif
