// Reading the i.MX boot ROMs of a world (the "imx" list of a world file and
// --imx descriptions); used by SimConfig.cpp.
#ifndef KORVEX_SIM_IMX_CONFIG_H
#define KORVEX_SIM_IMX_CONFIG_H

#include <cstdint>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/SimConfig.h"

namespace ksim {

// A module's keys, as in a world file's module (no transports).
bool ParseModuleJson(const nlohmann::json& j, ModuleConfig& m, std::string& error);
// The "imx" list of a world file.
bool ParseImxList(const nlohmann::json& list, WorldConfig& world, std::string& error);
// Every ROM has a transport; serial numbers are unique (collected in `serials`).
bool ValidateImx(const WorldConfig& world, std::set<uint32_t>& serials, std::string& error);

}  // namespace ksim

#endif
