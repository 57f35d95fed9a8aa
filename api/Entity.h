// An entity of a module (command byte and index): get, set and call
// operations as UEI exchanges with the module. The module is not owned and
// must outlive the entity.
#ifndef KORVEX_ENTITY_H
#define KORVEX_ENTITY_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/Link.h"
#include "api/Module.h"

namespace Velmaris {
namespace Korvex {

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* match, uint8_t& length, uint8_t* data);

  aErr getUEI(uint8_t option, uei& value);
  aErr setUEI(uint8_t option, uei& value);
  aErr setUEI(uint8_t option, uint8_t subindex, uei& value);
  aErr callUEI(uint8_t option);

  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEI32(uint8_t option, int32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
  aErr getUEI32(uint8_t option, int32_t* value);
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count);
  // Divides *count by unit when it is a multiple of it (aErrNone); else
  // leaves it and returns 1.
  static aErr getUEIBytesCheck(size_t* count, size_t unit);

  aErr setStreamEnabled(bool enable);
  aErr registerOptionCallback(uint8_t option, bool enable, const Link::streamCallback& callback,
                              void* reference);
  aErr getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* count);
  aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMs);
  aErr drainUEI(uint8_t option);

 protected:
  Module* module() const;
  uint8_t command() const;

 private:
  struct impl;
  aErr link(Link*& link, uint8_t& address) const;
  aErr getUEI(uint8_t option, uei& value, bool& streamed);
  aErr getScalar(uint8_t option, bool withSubindex, uint8_t subindex, uint32_t type,
                 uei& value);
  // getScalar's value copied to *value, also when the streamed value is stale.
  template <typename T>
  aErr getTyped(uint8_t option, bool withSubindex, uint8_t subindex, T* value);
  std::unique_ptr<impl> impl_;
};

}  // namespace Korvex
}  // namespace Velmaris

#endif
