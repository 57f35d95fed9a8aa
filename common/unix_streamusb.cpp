// USB streams: a module reached by its serial number through the USB driver
// (libusb, or the module's kernel node when one is installed).
#include <cstdio>
#include <new>

#include "common/aStream.h"
#include "common/aUSBDefs.h"
#include "common/kxusb_driver.h"

namespace {

constexpr uint16_t kUSBTag = 0xDEAD;

struct USBStream {
  uint32_t serialNumber = 0;
  kxusbRef driver = nullptr;
  uint16_t tag = kUSBTag;
};

USBStream* sUSB(void* context) {
  USBStream* s = static_cast<USBStream*>(context);
  return (s != nullptr && s->tag == kUSBTag) ? s : nullptr;
}

aErr sUSBGet(uint8_t* byte, void* context) {
  USBStream* s = sUSB(context);
  if (s == nullptr) return aErrParam;
  return kxusb_get_from_device(s->driver, byte);
}

aErr sUSBWrite(const uint8_t* data, size_t length, void* context) {
  USBStream* s = sUSB(context);
  if (s == nullptr) return aErrParam;
  return kxusb_write_to_device(s->driver, data, length);
}

aErr sUSBPut(uint8_t byte, void* context) { return sUSBWrite(&byte, 1, context); }

aErr sUSBWait(uint32_t timeoutMs, void* context) {
  USBStream* s = sUSB(context);
  if (s == nullptr) return aErrParam;
  return kxusb_wait_for_data(s->driver, timeoutMs);
}

void sUSBCutWaits(bool cut, void* context) {
  USBStream* s = sUSB(context);
  if (s != nullptr) kxusb_cut_waits(s->driver, cut);
}

aErr sUSBDelete(void* context) {
  USBStream* s = sUSB(context);
  if (s == nullptr) return aErrParam;
  if (kxusb_state(s->driver) == kxusbStateReady ||
      kxusb_state(s->driver) == kxusbStateFailed) {
    aErr err = kxusb_close_korvex_device(s->driver);
    if (err != aErrNone) return err;
  }
  kxusb_destroy(&s->driver);
  s->tag = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  const bool kernel = kxusb_is_kernel_driver_installed(serialNumber);
  char serial[16];
  snprintf(serial, sizeof(serial), "%08X", serialNumber);

  USBStream* s = new (std::nothrow) USBStream();
  if (s == nullptr) return aErrMemory;
  s->serialNumber = serialNumber;
  s->driver = kernel ? kxusb_create_kernel() : kxusb_create_usb();
  if (s->driver == nullptr) {
    delete s;
    return aErrResource;
  }
  aErr err = kxusb_open_korvex_device(s->driver, serial);
  if (err != aErrNone) {
    kxusb_destroy(&s->driver);
    delete s;
    return err;
  }
  const aStreamOps ops = {sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, sUSBWait};
  aStreamRef created = aStream_CreateWithOps(&ops, s);
  if (created == nullptr) {
    sUSBDelete(s);
    return aErrMemory;
  }
  aStream_SetCutWaits(created, sUSBCutWaits);
  *stream = created;
  return aErrNone;
}
