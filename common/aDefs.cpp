#include "common/aDefs.h"

namespace {

struct ModelName {
  uint32_t model;
  const char* name;
};

// Display names fit the 12-character model column of the device list.
const ModelName kModels[] = {
    {4, "KX-Link"},     {5, "KX-Router"},   {13, "KX-DAQ8"},    {14, "KX-DAQ16"},
    {15, "KX-Relay4"},  {16, "KX-Relay8"},  {17, "KX-Servo"},   {18, "KX-Motor"},
    {19, "KX-Power"},   {20, "KX-Thermo"},  {21, "KX-GPIO32"},  {22, "KX-Serial4"},
    {23, "KX-Hub"},     {24, "KX-Meter"},   {25, "KX-Scope"},   {26, "KX-Signal"},
    {27, "KX-Ethernet"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelName& row : kModels) {
    if (row.model == model) return row.name;
  }
  return "Unknown";
}
