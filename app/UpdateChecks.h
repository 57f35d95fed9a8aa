// Checks the update flow makes on a loaded BIRD file before it touches a
// module; plain functions so that they can be tried on files alone.
#ifndef UPDATER_UPDATE_CHECKS_H
#define UPDATER_UPDATE_CHECKS_H

#include <cstdint>
#include <string>

#include "store/BirdFile.h"

// Why the file cannot be sent to a module; empty when it can. Every loader
// and firmware block must hold its 4-byte address word, and there must be
// a firmware block.
std::string UpdateFileProblem(const BirdFile& file);

// True when the file's serial-number offsets name at least one place and
// each place they name (the 4-byte serial word, the 16-byte descriptor
// text) lies wholly inside one firmware image, so that personalising
// really changes the image that is sent.
bool SerialWordsInImage(const BirdFile& file);

// The build number a history value or a server reply names: its leading
// decimal digits; 0 for none or a number beyond 32 bits.
uint32_t BuildFromText(const std::string& text);

#endif
