// The steps of an update that talk to a connected module: checking that a
// file fits it, sending the loader and starting it, sending the firmware
// block by block and rebooting it.
#include <cstdio>
#include <string>
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

std::string Text(const char* format, uint32_t value) {
  char text[96];
  std::snprintf(text, sizeof text, format, unsigned(value));
  return text;
}

// Why asking the module for something failed; a time-out is called one.
std::string ModuleQueryFailed(const char* what, aErr err) {
  const std::string code = std::string(" (") + aError_GetErrorText(err) + ": " +
                           aError_GetErrorDescription(err) + ")";
  if (err == aErrTimeout) return std::string("the module did not answer in time when asked for ") +
                                 what + code;
  return std::string("asking the module for ") + what + " failed" + code;
}

}  // namespace

bool Updater::_validate_birdfile(UpdaterDisplayInterface& out, BirdFile& file, Module& module,
                                 uint32_t serialNumber, bool override, std::string* why) {
  std::string unused;
  if (!why) why = &unused;
  if (file.BlockCount() == 0) {
    *why = "the file holds no blocks";
    return false;
  }
  // A file without serial-number offsets was made for one device only;
  // override does not lift that.
  if (!file.SerialOffsetsPresent() && !file.ValidateSerialNumber(serialNumber)) {
    Log::log(DEBUG_Updater, "Bird file is bound to serial number [%08X], not [%08X]\n",
             file.GetSerialNumber(), serialNumber);
    *why = Text("the file is bound to serial number %08X", file.GetSerialNumber());
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
    if (serialErr != aErrNone)
      *why = ModuleQueryFailed("its serial number", serialErr);
    else
      *why = Text("the connected module answers as %08X", connected);
    return false;
  }

  if (override) {
    Log::log(DEBUG_Updater, "Model check skipped (override)\n");
    return true;
  }
  uint8_t model = 0;
  const aErr modelErr = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (modelErr == aErrTimeout) {
    // No answer says nothing about the model.
    *why = ModuleQueryFailed("its model", modelErr);
    return false;
  }
  if (modelErr != aErrNone || !file.ValidateModel(name)) {
    out.message(Level::error, "Connected device model and Bird file model do not match [%s] (%d)",
                name ? name : "", int(modelErr));
    *why = modelErr != aErrNone ? ModuleQueryFailed("its model", modelErr)
                                : "the module is a " + std::string(name ? name : "") +
                                      ", the file is for " + file.GetModel();
    return false;
  }
  return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& out, Module& module, BirdFile& file,
                               std::string* step) {
  std::string unused;
  if (!step) step = &unused;
  UpdaterEntity entity;
  entity.init(&module, kEntityIndex, true, false);
  *step = "starting the upgrade";
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
    const std::string which =
        "loader block " + std::to_string(sent + 1) + " of " + std::to_string(blocks.size());
    uint16_t blockSize = 0;
    *step = "preparing " + which;
    err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err),
               aError_GetErrorText(err));
      break;
    }
    *step = "sending " + which;
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
  *step = "starting the loader";
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
                                 bool throughRouter, bool ueiData, std::string* step) {
  std::string unused;
  if (!step) step = &unused;
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
    const std::string which =
        "firmware block " + std::to_string(sent + 1) + " of " + std::to_string(blocks.size());
    for (int attempt = 0; attempt < kFirmwareAttempts; ++attempt) {
      out.message(Level::info, "Transferring firmware block %u of %u, %d bytes", sent + 1,
                  unsigned(blocks.size()), int(block.length));
      if (attempt > 0) out.message(Level::info, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      *step = "preparing " + which;
      err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
        break;
      }
      *step = "sending " + which + " (attempt " + std::to_string(attempt + 1) + " of " +
              std::to_string(kFirmwareAttempts) + ")";
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
  *step = "rebooting the module";
  return entity.LoaderReboot(out);
}
