// EntityClass: get, set and call operations of one entity as UEI exchanges.
#include "api/Entity.h"

#include <cstring>
#include <limits>
#include <new>

namespace Velmaris {
namespace Korvex {

namespace {

#define ENTITY_ANY 0xFF

}  // namespace

struct EntityClass::impl {
  EntityClass* owner = nullptr;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;
};

EntityClass::EntityClass() : impl_(new (std::nothrow) impl()) {
  if (impl_) impl_->owner = this;
}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  if (!impl_) return;
  impl_->module = module;
  impl_->command = command;
  impl_->index = index;
}

uint8_t EntityClass::getIndex() const { return impl_ ? impl_->index : 0; }
Module* EntityClass::module() const { return impl_ ? impl_->module : nullptr; }
uint8_t EntityClass::command() const { return impl_ ? impl_->command : 0; }

aErr EntityClass::link(Link*& link, uint8_t& address) const {
  if (!impl_ || impl_->module == nullptr || impl_->module->getLink() == nullptr)
    return aErrResource;
  link = impl_->module->getLink();
  address = impl_->module->getModuleAddress();
  return aErrNone;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  return err != aErrNone ? err : l->sendPacket(address, command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t& length, uint8_t* data) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  return err != aErrNone ? err : l->receivePacket(address, match, length, data);
}

aErr EntityClass::getUEI(uint8_t option, uei& value) {
  bool streamed = false;
  return getUEI(option, value, streamed);
}

aErr EntityClass::getUEI(uint8_t option, uei& value, bool& streamed) {
  streamed = false;
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  if (value.type == ueiTypeBytes) return aErrParam;  // getUEIBytes
  const uint8_t subindex = value.type == ueiTypeByte ? value.v.byteVal : 0;
  uint32_t sample = 0;
  err = l->getStreamValue(address, impl_->command, option, impl_->index, subindex, sample);
  if (err != aErrNotFound) {
    streamed = true;
    value.type = ueiTypeInt;
    value.v.intVal = sample;
    return err;
  }
  value.address = address;
  value.command = impl_->command;
  value.option = static_cast<uint8_t>(option | aUEI_GET);
  value.specifier = static_cast<uint8_t>(impl_->index | aUEI_REQUEST);
  err = l->sendUEI(value);
  if (err != aErrNone) return err;
  // The reply says its own width; one without a value must not leave the
  // request's subindex looking like an answer.
  value.type = ueiTypeNone;
  value.v.intVal = 0;
  return l->receiveUEI(address, impl_->command, option, impl_->index, value);
}

// Sends value (in the subindex form when withSubindex) and awaits the
// acknowledgement in a record of its own: a byte-array request keeps its
// buffer, and its acknowledgement carries no value.
static aErr SetValue(Link* l, uint8_t address, uint8_t command, uint8_t index, uint8_t option,
                     bool withSubindex, uint8_t subindex, uei& value) {
  value.address = address;
  value.command = command;
  value.option = static_cast<uint8_t>(option | aUEI_SET);
  value.specifier = static_cast<uint8_t>(index | aUEI_REQUEST);
  aErr err = withSubindex ? l->sendUEI(value, subindex) : l->sendUEI(value);
  if (err != aErrNone) return err;
  uei ack{};
  ack.type = ueiTypeNone;
  return l->receiveUEI(address, command, static_cast<uint8_t>(option | aUEI_ACK), index, ack);
}

aErr EntityClass::setUEI(uint8_t option, uei& value) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  return SetValue(l, address, impl_->command, impl_->index, option, false, 0, value);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei& value) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  if (value.type == ueiTypeBytes) return aErrParam;
  return SetValue(l, address, impl_->command, impl_->index, option, true, subindex, value);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei value{};
  value.type = ueiTypeNone;
  return setUEI(option, value);
}

namespace {

uei Scalar(uint32_t type, uint32_t number) {
  uei value{};
  value.type = type;
  if (type == ueiTypeByte) value.v.byteVal = static_cast<uint8_t>(number);
  else if (type == ueiTypeShort) value.v.shortVal = static_cast<uint16_t>(number);
  else value.v.intVal = number;
  return value;
}

}  // namespace

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei v = Scalar(ueiTypeByte, value);
  return setUEI(option, v);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei v = Scalar(ueiTypeByte, value);
  return setUEI(option, subindex, v);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei v = Scalar(ueiTypeShort, value);
  return setUEI(option, v);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei v = Scalar(ueiTypeShort, value);
  return setUEI(option, subindex, v);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei v = Scalar(ueiTypeInt, value);
  return setUEI(option, v);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei v = Scalar(ueiTypeInt, value);
  return setUEI(option, subindex, v);
}
aErr EntityClass::setUEI32(uint8_t option, int32_t value) {
  return setUEI32(option, static_cast<uint32_t>(value));
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  // One run numbers at most 128 packets; a longer array would wrap.
  if ((data == nullptr && length != 0) || length > aUEI_BYTES_RUN_MAX) return aErrParam;
  uei v{};
  v.type = ueiTypeBytes;
  v.v.bytes.buffer = const_cast<uint8_t*>(data);  // only read when sending
  v.v.bytes.length = static_cast<uint32_t>(length);
  return setUEI(option, v);
}

// A get in the expected width; the value is copied out also when stale. A
// reply in another width is aErrSize and copies nothing.
aErr EntityClass::getScalar(uint8_t option, bool withSubindex, uint8_t subindex, uint32_t type,
                            uei& value) {
  value = uei{};
  value.type = withSubindex ? ueiTypeByte : ueiTypeNone;
  value.v.byteVal = subindex;
  bool streamed = false;
  aErr err = getUEI(option, value, streamed);
  if (err != aErrNone && err != aErrStreamStale) return err;
  if (streamed) {
    // A stream sample carries the value in a 32-bit word whatever its width.
    value = Scalar(type, value.v.intVal);
    return err;
  }
  return value.type == type ? err : aErrSize;
}

namespace {

// The UEI type of each width and its member of the value union.
template <typename T> struct ScalarType;
template <> struct ScalarType<uint8_t> {
  static constexpr uint32_t type = ueiTypeByte;
  static uint8_t Of(const uei& v) { return v.v.byteVal; }
};
template <> struct ScalarType<uint16_t> {
  static constexpr uint32_t type = ueiTypeShort;
  static uint16_t Of(const uei& v) { return v.v.shortVal; }
};
template <> struct ScalarType<uint32_t> {
  static constexpr uint32_t type = ueiTypeInt;
  static uint32_t Of(const uei& v) { return v.v.intVal; }
};

}  // namespace

template <typename T>
aErr EntityClass::getTyped(uint8_t option, bool withSubindex, uint8_t subindex, T* value) {
  if (value == nullptr) return aErrParam;
  uei v;
  aErr err = getScalar(option, withSubindex, subindex, ScalarType<T>::type, v);
  if (err == aErrNone || err == aErrStreamStale) *value = ScalarType<T>::Of(v);
  return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  return getTyped(option, false, 0, value);
}
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return getTyped(option, true, subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  return getTyped(option, false, 0, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return getTyped(option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  return getTyped(option, false, 0, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return getTyped(option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, int32_t* value) {
  if (value == nullptr) return aErrParam;
  uint32_t raw = 0;
  aErr err = getUEI32(option, &raw);
  if (err == aErrNone || err == aErrStreamStale) *value = static_cast<int32_t>(raw);
  return err;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count) {
  if (buffer == nullptr || count == nullptr || length == 0) return aErrParam;
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  *count = 0;
  uei request{};
  request.type = ueiTypeNone;
  request.address = address;
  request.command = impl_->command;
  request.option = static_cast<uint8_t>(option | aUEI_GET);
  request.specifier = static_cast<uint8_t>(impl_->index | aUEI_REQUEST);
  err = l->sendUEI(request);
  if (err != aErrNone) return err;
  uint32_t received = 0;
  uei reply{};
  reply.type = ueiTypeBytes;
  reply.v.bytes.buffer = buffer;
  reply.v.bytes.length = length > std::numeric_limits<uint32_t>::max()
                             ? std::numeric_limits<uint32_t>::max()
                             : static_cast<uint32_t>(length);
  reply.v.bytes.count = &received;
  err = l->receiveUEI(address, impl_->command, option, impl_->index, reply);
  if (err == aErrNone) *count = received;
  return err;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
  if (count == nullptr || unit == 0) return aErrParam;
  if (*count % unit != 0) return static_cast<aErr>(1);
  *count /= unit;
  return aErrNone;
}

aErr EntityClass::setStreamEnabled(bool enable) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  return l->enableStream(address, impl_->command, ENTITY_ANY, impl_->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable,
                                         const Link::streamCallback& callback,
                                         void* reference) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  return l->registerStreamCallback(address, impl_->command, option, impl_->index, enable,
                                   callback, reference);
}

aErr EntityClass::getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  return l->getStreamStatus(address, impl_->command, ENTITY_ANY, impl_->index, ENTITY_ANY,
                            entries, capacity, count);
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t /*timeoutMs*/) {
  if (value == nullptr) return aErrParam;
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  uei reply{};
  reply.type = ueiTypeNone;
  err = l->receiveUEI(address, impl_->command, option, impl_->index, reply);
  if (err != aErrNone) return err;
  if (reply.type != ueiTypeInt) return aErrSize;
  *value = reply.v.intVal;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* l = nullptr;
  uint8_t address = 0;
  aErr err = link(l, address);
  if (err != aErrNone) return err;
  return l->dropMatchingUEIPackets(address, impl_->command, option, impl_->index);
}

}  // namespace Korvex
}  // namespace Velmaris
