// Recovery through the chip's boot ROM: the fingerprint read (-N) and the
// recovery update (-U -t RECOVER) with the LPC flow; the i.MX flow is in
// UpdaterRecoveryImx.cpp.
#include "app/UpdaterRecovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "app/Updater.h"
#include "log/Log.h"
#include "recovery/NXPSerial.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr uint32_t kFingerprintRate = 115200;
constexpr uint32_t kLastSector = NXPSerialClass::SECTOR_COUNT - 1;
constexpr uint32_t kSdpCommandBytes = 16;

// A chip that did not answer as an LPC ROM may be an i.MX ROM on a serial
// line, which reads its commands as 16-byte frames: the bytes the LPC
// attempt sent are completed to a whole frame of spaces (an unknown
// command, which it ignores), so the next command is read from its start.
void CompleteSdpFrame(NXPSerialClass& nxp) {
  const uint32_t partial = uint32_t(nxp.BytesSent() % kSdpCommandBytes);
  if (partial == 0) return;
  char pad[kSdpCommandBytes + 1] = {};
  for (uint32_t i = 0; i < kSdpCommandBytes - partial; ++i) pad[i] = ' ';
  nxp.Send(pad, false);
}

// Synchronises, or takes up a ROM that an earlier run left synchronised:
// such a ROM echoes "?" as part of a command line. Only then is the line
// closed, its answer dropped, and the ROM counts as ours when it answers a
// harmless command (echo on) with code 0. Nothing more is sent to a device
// that did not echo: another boot ROM on the line must not see stray bytes.
aErr SyncOrResume(NXPSerialClass& nxp) {
  const aErr err = nxp.Sync();
  if (err == aErrNone || !nxp.SyncEchoed()) return err;
  if (nxp.Send("\r\n", false) != aErrNone) return err;
  char line[NXPSerialClass::MAX_LINE];
  size_t length = 0;
  for (int i = 0; i < 4; ++i)
    if (nxp.GetLine(line, sizeof line, &length, 200) != aErrNone) break;
  if (nxp.SetEcho(true) != aErrNone) return err;
  Log::log(DEBUG_APP, "\tThe chip was synchronised before: taken up as it is\n");
  return aErrNone;
}

// Why a serial port that the stream could not open cannot be used: the
// system's reason when it cannot be opened, else what the stream said.
std::string PortProblem(const std::string& port, aErr streamError) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return strerror(errno);
  const bool terminal = isatty(fd) != 0;
  close(fd);
  return terminal ? aError_GetErrorText(streamError) : "not a serial port";
}

}  // namespace

bool Updater::_get_fingerprint_lpc(const std::string& port, uint32_t baud,
                                   Fingerprint& fingerprint) {
  NXPSerialClass nxp;
  aErr err = nxp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", int(err));
    // "USB" names the HID boot ROM, which the i.MX step opens.
    if (port != "USB") {
      display.message(Level::error, "Cannot open serial port %s: %s", port.c_str(),
                      PortProblem(port, err).c_str());
      fingerprintReported = true;
    }
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = SyncOrResume(nxp);
  if (err != aErrNone) {
    // Bytes that are neither "Synchronized" nor the echo of a ROM already
    // synchronised come from something else.
    if (nxp.SyncAnswered() && !nxp.SyncEchoed()) strangerHeard = true;
    CompleteSdpFrame(nxp);
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
             int(err));
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (nxp.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int i = 0; i < 4; ++i) fingerprint.words[i] = nxp.DeviceID()[i];
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& port,
                              uint32_t serialNumber, const std::string& birdPath, uint32_t baud,
                              bool reset) {
  // A rate that is not a number reads as 0: the ROM is spoken to at the
  // usual rate, not at the slowest of the table.
  if (baud == 0) baud = kFingerprintRate;
  fingerprintReported = false;
  strangerHeard = false;
  if (_get_fingerprint_lpc(port, baud, fingerprint)) {
    recoveryChip = 2;
    return true;
  }
  recoveryChip = 1;
  if (fingerprintReported) return false;
  if (_get_fingerprint_imx(port, serialNumber, birdPath, fingerprint, reset)) return true;
  if (strangerHeard) {
    display.message(Level::error, "The device on %s answered, but not as a boot ROM",
                    port.c_str());
    fingerprintReported = true;
  }
  return false;
}

bool Updater::Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud,
                               uint32_t serialNumber, const std::string& birdPath,
                               bool /*override*/) {
  const auto start = std::chrono::steady_clock::now();
  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serialNumber, birdPath, kFingerprintRate, false)) {
    display.message(Level::error, "Could not get Device Identifier");
    return false;
  }
  uint32_t serial = serialNumber;
  uint32_t chosenBuild = 0;
  if (birdPath.empty()) {
    uint32_t serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &serverBuild,
                                              serverURL.c_str())) {
      display.message(Level::error,
                      "Failed to retrieve recovery information from Velmaris server");
      return false;
    }
    chosenBuild = build != 0 ? build : serverBuild;
  }
  BirdFile file;
  try {
    file = load_bird("Recovering", birdPath, serial, chosenBuild, true);
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
  }
  if (!file.Usable()) {
    display.message(Level::error, "Failed to load bird file: %s",
                    _load_problem(birdPath, serial, chosenBuild).c_str());
    return false;
  }
  if (file.SerialOffsetsPresent() || !file.FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
    display.message(Level::error, "Updater does not support offline recovery");
    return false;
  }
  // From here on the module is written: no other updater may drive it
  // meanwhile. A file named with -f is bound to the module it recovers.
  ModuleLock lock;
  const uint32_t lockSerial = serial != 0 ? serial : file.GetSerialNumber();
  if (lockSerial != 0 && !_lock_module(lock, lockSerial, ModuleLock::Mode::Record)) return false;
  bool result = false;
  if (recoveryChip == 1) {
    result = _recover_firmware_imx(file, serial, fingerprint, ueiBytesLoad);
  } else if (recoveryChip == 2) {
    if (!file.DecodeFirmwareBlocks(fingerprint.words)) {
      display.message(Level::error, "Failed to load bird file");
      return false;
    }
    result = _recover_firmware_lpc(file, port, baud);
  } else {
    display.message(Level::error, "Unknown device");
    return false;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  display.message(Level::info, "Update time: %.4f sec", ms / 1000);
  return result;
}

bool Updater::_recover_firmware_lpc(BirdFile& file, const std::string& port, uint32_t baud) {
  // Every block is checked before the chip is touched: a file that cannot
  // be written whole leaves the flash as it was.
  std::vector<LpcBlockPlan> plan;
  std::string problem;
  if (!RecoveryPlanLpc(file, plan, problem)) {
    display.message(Level::error, "Recovery file cannot be written: %s", problem.c_str());
    return false;
  }
  // The ROM runs at the rate it was synchronised at; it is switched to the
  // -o rate only when it can take it.
  NXPSerialClass nxp;
  if (nxp.Connect(port.c_str(), kFingerprintRate) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  const uint32_t rate = RecoveryLpcRate(baud, kFingerprintRate);
  if (rate != kFingerprintRate) {
    const aErr err = nxp.SetBaudRate(rate);
    if (err != aErrNone)
      Log::log(DEBUG_Network, "Could not switch to %u bit/s: %s; staying at %u\n",
               unsigned(rate), aError_GetErrorText(err), unsigned(kFingerprintRate));
  }
  // A failure before the write stops here: the chip stays in ISP and the
  // recovery can be run again.
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (nxp.Unlock() != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    display.message(Level::error, "Recovery Error: could not unlock the chip");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (nxp.Prepare(0, kLastSector) != aErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    display.message(Level::error, "Recovery Error: could not prepare the flash");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (nxp.Erase(0, kLastSector) != aErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    display.message(Level::error, "Recovery Error: could not erase the flash");
    return false;
  }
  aErr err = nxp.SetEcho(false);
  if (err != aErrNone) {
    display.message(Level::error, "Recovery Error transfering data to device ==> [%d, %s]",
                    int(err), aError_GetErrorText(err));
    return false;
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.Path().c_str());
  const int announced = int(plan.size());
  uint32_t total = 0;
  int number = 0;
  std::vector<uint8_t> buffer;
  for (const LpcBlockPlan& block : plan) {
    ++number;
    display.message(Level::info, "Transferring firmware block %d of %d, %d bytes", number,
                    announced, int(block.imageLength));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
             int(block.imageLength), unsigned(block.address));
    uint32_t offset = 0;
    for (const LpcPiece& piece : block.pieces) {
      // The last piece is padded with erased bytes to the copy length, so
      // the copy takes nothing stale from RAM.
      buffer.assign(piece.copyLength, 0xFF);
      std::copy(piece.data, piece.data + piece.length, buffer.begin());
      Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n",
               int(piece.length), unsigned(piece.flash));
      Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(piece.copyLength),
               unsigned(NXPSerialClass::WRITE_ADDRESS));
      bool ok = nxp.Write(NXPSerialClass::WRITE_ADDRESS, piece.copyLength, buffer.data()) ==
                aErrNone;
      if (!ok) Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
      const uint32_t first = NXPSerialClass::SectorFromAddress(piece.flash);
      const uint32_t last = NXPSerialClass::SectorFromAddress(piece.flash + piece.copyLength - 1);
      if (ok) {
        Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", int(first),
                 int(last));
        ok = nxp.Prepare(first, last) == aErrNone;
        if (!ok) Log::log(DEBUG_Updater, "\t Prepare failed\n");
      }
      if (ok) {
        Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(piece.copyLength),
                 unsigned(NXPSerialClass::WRITE_ADDRESS), unsigned(piece.flash));
        ok = nxp.CopyToFlash(piece.flash, NXPSerialClass::WRITE_ADDRESS, piece.copyLength) ==
             aErrNone;
        if (!ok) Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
      }
      if (ok) {
        // The flash against the RAM copy it was programmed from: a copy the
        // ROM called done may still have left cells that did not take.
        const uint32_t skip = piece.flash < NXPSerialClass::REMAPPED_BYTES
                                  ? NXPSerialClass::REMAPPED_BYTES - piece.flash
                                  : 0;
        uint32_t at = 0;
        const aErr verdict = nxp.Compare(piece.flash + skip, NXPSerialClass::WRITE_ADDRESS + skip,
                                         piece.copyLength - skip, &at);
        if (verdict == aErrMedia) {
          display.display_progress(false);
          display.message(Level::error,
                          "Recovery Error: the flash at 0x%08X does not hold what was written "
                          "(firmware block %d)",
                          unsigned(piece.flash + skip + at), number);
          return false;
        }
        ok = verdict == aErrNone;
        if (!ok)
          Log::log(DEBUG_Updater, "\t Compare failed [%s]\n", aError_GetErrorText(verdict));
      }
      if (!ok) {
        display.display_progress(false);
        display.message(Level::error, "Recovery Error: writing firmware block %d failed", number);
        return false;
      }
      offset += piece.length;
      display.update_progress(double(offset) / block.imageLength, nullptr);
    }
    display.display_progress(false);
    total += block.imageLength;
  }
  display.message(Level::info, "Transferred %d blocks, %d total bytes", announced, int(total));
  // The flash is complete: a lost echo setting does not undo that, and the
  // chip is started either way.
  err = nxp.SetEcho(true);
  if (err != aErrNone)
    Log::log(DEBUG_Updater, "Recovery: echo not restored ==> [%d, %s]\n", int(err),
             aError_GetErrorText(err));
  // The ROM answers G before it jumps: without that answer nothing shows
  // that the chip left its boot ROM for the new firmware.
  if (nxp.ExecuteFrom(0) != aErrNone || nxp.AwaitStarted(nxp.AnswerTimeoutMs(16)) != aErrNone) {
    display.message(Level::error,
                    "Recovery Error: the firmware was written, but the chip did not confirm "
                    "that it starts it");
    return false;
  }
  display.message(Level::info, "Rebooting Device");
  return true;
}
