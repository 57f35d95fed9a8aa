// Pieces of the recovery flows that can be checked without a chip: the plan
// of an LPC flash write, the rate it runs at, and the words of an i.MX
// loader block.
#ifndef UPDATER_UPDATERRECOVERY_H
#define UPDATER_UPDATERRECOVERY_H

#include <cstdint>
#include <string>
#include <vector>

#include "store/BirdFile.h"

// One copy of at most 4096 bytes from RAM into flash: `length` image bytes
// from `data`, padded with 0xFF to `copyLength` (256, 512, 1024 or 4096).
struct LpcPiece {
  uint32_t flash = 0;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  uint32_t copyLength = 0;
};

struct LpcBlockPlan {
  uint32_t address = 0;
  uint32_t imageLength = 0;
  std::vector<LpcPiece> pieces;
};

// Splits the firmware blocks of file into the pieces the programmer copies.
// A last block whose image is exactly 4 bytes closes the list and is not
// written. False, with problem set, when any block cannot be written
// whole: shorter than its address word, empty, a 4-byte image before the
// last block, a destination not on a 256-byte boundary, a padded end
// outside flash, or two blocks whose padded ranges overlap. Nothing is sent
// to the chip before this check passes.
bool RecoveryPlanLpc(const BirdFile& file, std::vector<LpcBlockPlan>& plan, std::string& problem);

// The rate to program at: the -o rate when the ROM can be switched to it
// (a rate of the programmer's table), else the rate the ROM was
// synchronised at.
uint32_t RecoveryLpcRate(uint32_t requested, uint32_t synchronisedAt);

// A loader or loader-start block: its big-endian address word. False for a
// block too short to hold one.
bool RecoveryBlockAddress(const BirdBlock& block, uint32_t& address);

// Loader pieces and start address of an i.MX recovery file. False with
// problem set when a loader block has no address word or no image, or there
// is no loader block at all.
struct ImxLoaderPiece {
  uint32_t address = 0;
  std::vector<uint8_t> image;
};
bool RecoveryPlanImx(const BirdFile& file, std::vector<ImxLoaderPiece>& pieces, uint32_t& start,
                     std::string& problem);

#endif
