// Built when umockdev's library is not available: no simulated USB.
#include "sim/SimUsb.h"

namespace ksim {

std::unique_ptr<UsbBus> UsbBus::create(std::function<void()>, std::string& error) {
  error = "USB modules need umockdev; this korvex-sim was built without it";
  return nullptr;
}

}  // namespace ksim
