// One simulated USB device on a umockdev testbed: described in the testbed's
// sysfs with its descriptors, it answers the usbdevfs ioctls that libusb
// issues on its node (descriptors, string descriptors, claim and release,
// bulk URB submit, reap and discard, halt clearing). Where the bulk bytes go
// and come from is left to a UsbDataPort. The handlers run on umockdev's
// worker thread; the device only works in a process run under umockdev's
// preload library.
#ifndef KORVEX_SIM_USB_DEVICE_H
#define KORVEX_SIM_USB_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/aUSBDefs.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace ksim {

// What the device tells the host about itself.
struct UsbDeviceDescription {
  uint16_t vendor = aVELMARIS_USB_VENDOR_ID;
  uint16_t product = 0x0010;
  std::string serial = "00000001";  // string descriptor 3
  // Interfaces before the module's own (they carry other classes).
  int leadingInterfaces = 0;
  uint8_t interfaceClass = aKORVEX_USB_INTERFACE_CLASS;
  uint8_t interfaceSubclass = aKORVEX_USB_INTERFACE_SUBCLASS;
  uint8_t interfaceProtocol = aKORVEX_USB_INTERFACE_PROTOCOL;
  bool hasInEndpoint = true;
  bool hasOutEndpoint = true;
  uint8_t inEndpoint = 0x81;
  uint8_t outEndpoint = 0x01;
  uint16_t inMaxPacket = 512;
  uint16_t outMaxPacket = 512;
};

// One answer to a bulk IN transfer.
struct UsbInReply {
  std::vector<uint8_t> data;
  int status = 0;                // URB status: 0, -EPIPE (stall), -EPROTO (I/O)
  bool holdUntilCancel = false;  // deliver data only when the host gives up
};

// The device's bulk data. Called on umockdev's worker thread while the
// device holds its lock; an implementation must not call back into it.
class UsbDataPort {
 public:
  virtual ~UsbDataPort() = default;
  // Host to device: the data of one bulk OUT transfer. Returns the URB's
  // status: 0 when taken, else a negative errno (the transfer fails).
  virtual int Out(const uint8_t* data, size_t length) = 0;
  // Device to host: the answer to a bulk IN transfer of at most `room`
  // bytes (a longer answer is cut). False while there is nothing to send.
  virtual bool In(size_t room, UsbInReply& reply) = 0;
};

class UsbDevice {
 public:
  // `number`: the device number on bus 1 (1..999), which names its node
  // /dev/bus/usb/001/NNN. `port` must outlive the device.
  UsbDevice(UMockdevTestbed* testbed, int number, const UsbDeviceDescription& description,
            UsbDataPort& port);
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // Adds the device to the testbed and answers its node from now on.
  bool Plug(std::string& error);
  // The device leaves the bus: enumeration no longer finds it, while a host
  // still holding it open is answered "no such device" (what was pending
  // can still be cancelled and reaped, so its waits end). The node keeps
  // its handler until the device is destroyed.
  void Unplug();

  const std::string& node() const { return node_; }  // "/dev/bus/usb/001/005"

  // Scripting: the errno claims fail with (0: they succeed). Without it an
  // interface is claimed by one open node at a time, as the kernel does: a
  // second claimer gets EBUSY until the first releases it or its node is
  // closed.
  void SetClaimErrno(int error);
  // Observations.
  int Claims();
  int Releases();
  int HaltsCleared(uint8_t endpoint);

 private:
  // URBs belong to the open node (client) that submitted them: only that
  // node reaps or cancels them. Another process holding the same device
  // open must never be handed them: their addresses mean nothing there.
  struct Urb {
    UMockdevIoctlClient* client = nullptr;  // the submitting node (ref held)
    UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb (ref held)
    UMockdevIoctlData* buffer = nullptr;  // its data buffer (ref held)
    unsigned long clientAddress = 0;
    bool held = false;   // answered, but kept until the host cancels it
    int heldLength = 0;  // bytes filled while holding
  };

  static int OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  int Claim(UMockdevIoctlClient* client, bool release);
  void Handle(UMockdevIoctlClient* client);
  // The answers to single requests; called with lock_ held.
  void Simple(unsigned long request, UMockdevIoctlClient* client);
  void Capabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void ClearHalt(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void SubmitOut(Urb& u);
  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void AnswerControl(Urb& u);
  void ServeIn();  // fills pending IN URBs from the port
  // Drops the URBs of nodes that were closed (their process ended).
  void DropClosed();
  // EBUSY when another open node holds the module's interface.
  int BulkAllowed(UMockdevIoctlClient* client);
  static void Release(Urb& u);
  std::vector<uint8_t> Descriptors() const;
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;
  void RemoveSysfsEntries();

  UMockdevTestbed* testbed_;  // ref held
  const int number_;
  const UsbDeviceDescription desc_;
  UsbDataPort& port_;
  std::string node_;
  std::string sysPath_;  // below /sys: "/devices/..."
  UMockdevIoctlBase* handler_ = nullptr;
  unsigned long signal_ = 0;
  bool attached_ = false;

  std::mutex lock_;
  bool gone_ = false;
  std::list<Urb> pendingIn_;
  std::deque<Urb> completed_;
  std::deque<Urb> discarded_;
  int claimErrno_ = 0;
  // Interface number and the open node (client, ref held) holding it.
  std::map<unsigned, UMockdevIoctlClient*> claimedBy_;
  int claims_ = 0;
  int releases_ = 0;
  std::vector<uint8_t> haltsCleared_;
};

// True when this process runs under umockdev's preload library (USB
// devices can only be simulated there).
bool UsbSimulationAvailable();

}  // namespace ksim

#endif
