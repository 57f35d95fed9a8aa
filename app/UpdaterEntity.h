// The host side of the firmware-upgrade command set (command 95): each
// operation performs one step of putting a loader or a firmware image on a
// module (announce, prepare a block, send data, check the running sum,
// commit a chunk, start the loader, reboot) and returns an aErr. The update
// flow strings the steps together; this entity keeps no protocol state
// beyond its flags.
#ifndef UPDATER_UPDATER_ENTITY_H
#define UPDATER_UPDATER_ENTITY_H

#include <cstddef>
#include <cstdint>

#include "api/Entity.h"
#include "api/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aError.h"

#define cmdUPGRADE 95
#define val_UPGRADE_INIT 0
#define val_UPGRADE_DATA 1
#define val_UPGRADE_LOAD 2
#define val_UPGRADE_PREPARE 3
#define val_UPGRADE_SUM 4
#define val_UPGRADE_WRITE 5
#define val_UPGRADE_REBOOT 6
#define val_UPGRADE_STATUS 7
#define val_UPGRADE_DATA_UEI 10

// Largest number of data bytes in one DATA packet.
#define UPGRADE_DATA_MAX 26

class UpdaterEntity : public Velmaris::Korvex::EntityClass {
 public:
  UpdaterEntity() = default;

  // Binds the entity (command 95, index) to a connected module, stores the
  // flags and clears the UEI data mode. The module is not owned.
  void init(Velmaris::Korvex::Module* module, uint8_t index, bool validateSums,
            bool throughRouter);

  aErr LoaderInit();
  // block: the whole block data, address word first; length includes it.
  aErr TransferPrepare(const uint8_t* block, size_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* block, size_t length);
  aErr LoaderStart();
  aErr CheckUEIDataSupport();
  aErr CheckPooledPacketsSupport();
  aErr FirmwareTransfer(const uint8_t* block, size_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  aErr FirmwareWrite(uint16_t chunkLength);
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  bool usesUEIData() const { return ueiData; }

  // One data transfer (DATA packets or one UEI byte array) followed by the
  // sum check when sums are validated. packets counts the packets sent.
  aErr _block_transfer(const uint8_t* data, size_t length, uint32_t& packets);
  // Re-establishes the module's link: its own serial number five times,
  // then the loader's default serial number five times.
  aErr _reconnect(uint32_t delayMs);

 private:
  // Sends one upgrade request (the bytes after the command byte), first
  // dropping upgrade replies of this module that came too late for
  // earlier exchanges.
  aErr sendRequest(const uint8_t* bytes, uint8_t length);
  // The first reply from this module that starts with 95 and option and
  // has replyLength data bytes (0: any); a DATA acknowledgement must count
  // at most countMost bytes. data receives its data bytes
  // (aPACKET_MAX_DATA), length their count.
  aErr awaitReply(uint8_t option, uint8_t replyLength, uint8_t* data, uint8_t& length,
                  uint8_t countMost = 0xFF);
  aErr transferUEI(const uint8_t* data, size_t length, uint32_t& sum, uint32_t& packets);
  // sendFailed: the error is a send's, to be returned at once.
  aErr transferPackets(const uint8_t* data, size_t length, uint32_t& sum, uint32_t& packets,
                       size_t& sent, bool& sendFailed);
  aErr connectDefaultSerial(linkType transport);

  Velmaris::Korvex::Module* module_ = nullptr;
  bool validateSums = false;
  bool throughRouter = false;
  bool ueiData = false;
};

#endif
