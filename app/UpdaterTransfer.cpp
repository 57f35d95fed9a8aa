// The steps of an update that talk to a connected module: checking that a
// file fits it, sending the loader and starting it, sending the firmware
// block by block and rebooting it.
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "app/Updater.h"
#include "app/UpdaterEntity.h"
#include "common/aDefs.h"
#include "log/Log.h"

using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr int kFirmwareAttempts = 5;
constexpr uint8_t kEntityIndex = 0;

}  // namespace

bool Updater::_validate_birdfile(UpdaterDisplayInterface& out, BirdFile& file, Module& module,
                                 uint32_t serialNumber, bool override) {
  if (file.BlockCount() == 0) return false;
  // A file without serial-number offsets was made for one device only;
  // override does not lift that.
  if (!file.SerialOffsetsPresent() && !file.ValidateSerialNumber(serialNumber)) {
    Log::log(DEBUG_Updater, "Bird file is bound to serial number [%08X], not [%08X]\n",
             file.GetSerialNumber(), serialNumber);
    return false;
  }

  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, kEntityIndex);
  uint32_t connected = 0;
  const aErr serialErr = system.getSerialNumber(&connected);
  if (serialErr != aErrNone || connected != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
             int(serialErr));
    return false;
  }

  if (override) {
    Log::log(DEBUG_Updater, "Model check skipped (override)\n");
    return true;
  }
  uint8_t model = 0;
  const aErr modelErr = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (modelErr != aErrNone || !file.ValidateModel(name)) {
    out.message(Level::error, "Connected device model and Bird file model do not match [%s] (%d)",
                name ? name : "", int(modelErr));
    return false;
  }
  return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& out, Module& module, BirdFile& file) {
  UpdaterEntity entity;
  entity.init(&module, kEntityIndex, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err), aError_GetErrorText(err));
    return err;
  }

  out.message(Level::info, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_LOADER);
  out.display_progress(true);
  int sent = 0;
  uint64_t bytes = 0;
  for (const BirdBlock& block : blocks) {
    out.message(Level::info, "Transferring loader block %d of %d, %d bytes", sent + 1,
                int(blocks.size()), int(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err),
               aError_GetErrorText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(err),
               aError_GetErrorText(err));
      break;
    }
    bytes += block.length;
    ++sent;
  }
  out.message(Level::info, "Transferred %d blocks, %d total bytes", sent, int(bytes));
  out.display_progress(false);
  if (err != aErrNone) return err;

  out.message(Level::info, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater,
             "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    err = aErrNone;
  } else if (err != aErrNone) {
    out.message(Level::error, "Error starting loader [%d, %s]", int(err), aError_GetErrorText(err));
  }
  return err;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& out, Module& module, BirdFile& file,
                                 bool throughRouter, bool ueiData) {
  UpdaterEntity entity;
  entity.init(&module, kEntityIndex, true, throughRouter);
  // Either answer only chooses how the data goes.
  if (ueiData && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.Path().c_str());
  const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_FIRMWARE);
  aErr err = aErrNone;
  unsigned sent = 0;
  uint64_t bytes = 0;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < kFirmwareAttempts; ++attempt) {
      out.message(Level::info, "Transferring firmware block %u of %u, %d bytes", sent + 1,
                  unsigned(blocks.size()), int(block.length));
      if (attempt > 0) out.message(Level::info, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, blockSize, out);
      if (err == aErrNone) break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err),
               aError_GetErrorText(err));
    }
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    bytes += block.length;
    ++sent;
  }
  out.message(Level::info, "Transferred %d blocks, %d total bytes", int(sent), int(bytes));
  if (err != aErrNone) return err;
  return entity.LoaderReboot(out);
}
