// The I2C entity of a module (command 8): raw reads and writes on the
// module's bus and its pull-ups.
#ifndef KORVEX_I2CCLASS_H
#define KORVEX_I2CCLASS_H

#include <cstdint>

#include "api/Entity.h"

namespace Velmaris {
namespace Korvex {

#define I2C_MAX_TRANSFER 23u

class I2CClass : public EntityClass {
 public:
  void init(Module* module, uint8_t index);
  aErr setSpeed(uint8_t code);  // 0..3
  uint8_t getSpeed() const { return speed_; }
  // Reads up to length bytes; *count (when given) receives how many came.
  aErr read(uint8_t busAddress, uint8_t length, uint8_t* bytes, uint8_t* count = nullptr);
  aErr write(uint8_t busAddress, uint8_t length, const uint8_t* bytes);
  aErr setPullup(bool on);

 private:
  aErr exchange(const uint8_t* request, uint8_t requestLength, const uint8_t* match,
                uint8_t matchLength, uint8_t* reply, uint8_t& replyLength);
  uint8_t speed_ = 0;
};

}  // namespace Korvex
}  // namespace Velmaris

#endif
