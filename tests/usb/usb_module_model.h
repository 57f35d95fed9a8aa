// A simulated Korvex module on USB for tests: a umockdev testbed device that
// answers the usbfs ioctls the real libusb issues (descriptors, string
// descriptors, claim, bulk URBs, halt clearing). Runs only in a process
// started under umockdev-wrapper. Never linked into the updater.
#ifndef TESTS_USB_USB_MODULE_MODEL_H
#define TESTS_USB_USB_MODULE_MODEL_H

#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// True when this process runs under umockdev's preload library.
bool UsbSimulationAvailable();

struct UsbModuleDescription {
  uint16_t vendor = 0;
  uint16_t product = 0x0010;
  std::string serial = "0000ABCD";
  // Interfaces before the module's own (they carry other classes).
  int leadingInterfaces = 0;
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubclass = 0x88;
  uint8_t interfaceProtocol = 0x10;
  bool hasInEndpoint = true;
  bool hasOutEndpoint = true;
  uint8_t inEndpoint = 0x81;
  uint8_t outEndpoint = 0x02;
  uint16_t inMaxPacket = 512;
  uint16_t outMaxPacket = 512;
};

// One scripted answer to a bulk IN transfer.
struct UsbInReply {
  std::vector<uint8_t> data;
  int status = 0;             // URB status: 0, -EPIPE (stall), -EPROTO (I/O)
  bool holdUntilCancel = false;  // deliver data only when the host gives up
};

class UsbModuleModel {
 public:
  // Adds the device as bus 1, device `address` to the testbed.
  UsbModuleModel(UMockdevTestbed* testbed, int address,
                 const UsbModuleDescription& description);
  ~UsbModuleModel();
  UsbModuleModel(const UsbModuleModel&) = delete;
  UsbModuleModel& operator=(const UsbModuleModel&) = delete;

  // Scripting (from the test thread).
  void QueueIn(const UsbInReply& reply);
  void QueueIn(const std::string& bytes);
  void FailNextOut(int count, int status);  // next OUT URBs end with status
  void SetClaimErrno(int error);            // 0: claims succeed

  // Observations.
  std::vector<size_t> OutTransferSizes();
  std::vector<uint8_t> OutBytes();
  int HaltsCleared(uint8_t endpoint);
  int Claims();
  int Releases();

 private:
  struct Urb {
    UMockdevIoctlData* urb;     // resolved struct usbdevfs_urb (ref held)
    UMockdevIoctlData* buffer;  // resolved data buffer (ref held)
    unsigned long clientAddress;
    int heldLength = 0;         // bytes filled while holding for a cancel
  };

  static int OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                     void* self);
  bool HandleIoctl(UMockdevIoctlClient* client);
  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void AnswerControl(Urb& urb);
  // Fills pending IN URBs from the reply queue.
  void ServeInLocked();
  static void Release(Urb& urb);
  std::vector<uint8_t> Descriptors() const;
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;

  UsbModuleDescription desc_;
  UMockdevIoctlBase* handler_ = nullptr;
  std::string node_;

  std::mutex lock_;
  std::deque<UsbInReply> inReplies_;
  std::list<Urb> pendingIn_;
  std::deque<Urb> completed_;
  std::deque<Urb> discarded_;
  int outFailures_ = 0;
  int outFailureStatus_ = 0;
  int claimErrno_ = 0;
  int claims_ = 0;
  int releases_ = 0;
  std::vector<size_t> outSizes_;
  std::vector<uint8_t> outBytes_;
  std::vector<uint8_t> haltsCleared_;
};

#endif
