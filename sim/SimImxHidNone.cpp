// Built when umockdev's library is not available: no hidraw nodes. The world
// refuses HID chips before it would make one.
#include "sim/SimImxHid.h"

namespace ksim {

HidNode::HidNode(UMockdevTestbed*, int index, uint16_t vendor, uint16_t product, const std::string& serial,
                 HidReportPort& port)
    : testbed_(nullptr), index_(index), vendor_(vendor), product_(product), serial_(serial), port_(port) {}
HidNode::~HidNode() = default;
bool HidNode::Plug(std::string& error) {
  error = "HID devices need umockdev; this korvex-sim was built without it";
  return false;
}
void HidNode::Unplug() {}

}  // namespace ksim
