// Describing a simulated world: modules, their transports, the modules on
// routers' buses, faults. Read from a JSON world file or from the
// command line's "--module key=value,..." descriptions (same keys).
#ifndef KORVEX_SIM_CONFIG_H
#define KORVEX_SIM_CONFIG_H

#include <string>
#include <vector>

#include "sim/SimLpcIsp.h"
#include "sim/SimImxSdp.h"
#include "sim/SimModule.h"

namespace ksim {

struct TransportConfig {
  bool tcp = false;
  uint16_t port = 0;        // 0: any free port
  bool pty = false;
  std::string ptyLink;      // optional symbolic link to the terminal's path
  bool usb = false;
};

struct ModuleSpec {
  ModuleConfig module;
  TransportConfig transport;
  std::vector<ModuleConfig> bus;  // modules on this module's I2C bus
};

// --- i.MX boot ROMs -------------------------------------------------------
// A chip in serial-download mode: its ROM over HID and/or a pseudo-terminal,
// and the module its loader becomes on USB after a jump into it.
struct ImxSpec {
  ImxConfig rom;
  bool hid = false;
  bool pty = false;
  std::string ptyLink;
  ModuleConfig loader;  // starts in its loader (DEADDEAD unless loader_serial=own)
};
// Reads one "--imx key=value,..." description.
bool AddImxSpec(const std::string& text, struct WorldConfig& world, std::string& error);
// --- end of i.MX boot ROMs -------------------------------------------------

struct WorldConfig {
  std::string bind = "127.0.0.1";  // address of the TCP listeners
  bool bindGiven = false;
  bool discovery = false;          // answer TCP/IP discovery requests
  std::vector<ModuleSpec> modules;
  std::vector<LpcConfig> lpcs;     // simulated LPC boot ROMs (SimLpcIsp.h)
  std::vector<ImxSpec> imx;        // i.MX boot ROMs
};

// Reads a world file; false with a message naming the file and the fault.
bool LoadWorldFile(const std::string& path, WorldConfig& world, std::string& error);
// Parses a JSON text (the world file's contents).
bool ParseWorldJson(const std::string& text, WorldConfig& world, std::string& error);
// Adds one module from "key=value,key,..." (keys as in a world file; a
// module with "on=SERIAL" goes onto that router's bus; "fault=WORD" repeats).
bool AddModuleSpec(const std::string& text, WorldConfig& world, std::string& error);
// Checks the whole world (unique serial numbers, addresses, transports).
bool ValidateWorld(const WorldConfig& world, std::string& error);

std::string VersionText(uint32_t packed);
std::string SerialText(uint32_t serial);

}  // namespace ksim

#endif
