// Stand-ins for the upgrade steps while app/UpdaterEntity.cpp does not
// define them yet: every step answers aErrUnimplemented, so an update stops
// before it sends anything. app/CMakeLists.txt builds this file only then.
#include "app/UpdaterEntity.h"

void UpdaterEntity::init(Velmaris::Korvex::Module* module, uint8_t, bool validate, bool router) {
  module_ = module;
  validateSums = validate;
  throughRouter = router;
  ueiData = false;
}

aErr UpdaterEntity::LoaderInit() { return aErrUnimplemented; }
aErr UpdaterEntity::TransferPrepare(const uint8_t*, size_t, uint8_t, uint16_t&) {
  return aErrUnimplemented;
}
aErr UpdaterEntity::LoaderTransfer(const uint8_t*, size_t) { return aErrUnimplemented; }
aErr UpdaterEntity::LoaderStart() { return aErrUnimplemented; }
aErr UpdaterEntity::CheckUEIDataSupport() { return aErrUnimplemented; }
aErr UpdaterEntity::CheckPooledPacketsSupport() { return aErrUnimplemented; }
aErr UpdaterEntity::FirmwareTransfer(const uint8_t*, size_t, uint16_t, UpdaterDisplayInterface&) {
  return aErrUnimplemented;
}
aErr UpdaterEntity::FirmwareWrite(uint16_t) { return aErrUnimplemented; }
aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface&) { return aErrUnimplemented; }
aErr UpdaterEntity::_block_transfer(const uint8_t*, size_t, uint32_t&) { return aErrUnimplemented; }
aErr UpdaterEntity::_reconnect(uint32_t) { return aErrUnimplemented; }
