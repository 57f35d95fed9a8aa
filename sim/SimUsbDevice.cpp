// The usbdevfs side of a simulated USB device. URBs the host submits are
// held (their client memory resolved) until a reap hands them back: control
// and OUT URBs complete at once, IN URBs when the data port has an answer,
// discarded ones with -ENOENT before anything else. Each open node (one per
// process that opened the device) reaps only its own URBs, and bulk URBs
// from a node that does not hold the claimed interface are refused with
// EBUSY, as the kernel does.
#include "sim/SimUsbDevice.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "sim/SimUsbRecord.h"

namespace ksim {

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    out += two;
  }
  return out;
}

void PutLE16(std::vector<uint8_t>& v, uint16_t value) {
  v.push_back(static_cast<uint8_t>(value & 0xFF));
  v.push_back(static_cast<uint8_t>(value >> 8));
}

void PutEndpoint(std::vector<uint8_t>& v, uint8_t address, uint16_t maxPacket) {
  v.insert(v.end(), {7, 5, address, 0x02});  // bulk
  PutLE16(v, maxPacket);
  v.push_back(0);
}

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

size_t LengthOf(UMockdevIoctlData* data) {
  return data != nullptr && data->data_len > 0 ? static_cast<size_t>(data->data_len) : 0;
}

void Complete(UMockdevIoctlClient* client, int result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

bool Fail(std::string& error, const char* what, GError* err) {
  error = std::string(what) + (err != nullptr ? err->message : "?");
  if (err != nullptr) g_error_free(err);
  return false;
}

// What an unplugged device still answers: what was pending can be
// cancelled and reaped, and the interface given back.
bool AnsweredWhenGone(unsigned long request) {
  return request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY ||
         request == USBDEVFS_DISCARDURB || request == USBDEVFS_RELEASEINTERFACE;
}

}  // namespace

bool UsbSimulationAvailable() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

UsbDevice::UsbDevice(UMockdevTestbed* testbed, int number, const UsbDeviceDescription& description,
                     UsbDataPort& port)
    : testbed_(static_cast<UMockdevTestbed*>(g_object_ref(testbed))),
      number_(number),
      desc_(description),
      port_(port) {
  char node[32], sys[96];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", number);
  std::snprintf(sys, sizeof sys, "/devices/pci0000:00/0000:00:14.0/usb1/1-%d", number);
  node_ = node;
  sysPath_ = sys;
}

UsbDevice::~UsbDevice() {
  if (attached_) umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
  if (handler_ != nullptr) {
    g_signal_handler_disconnect(handler_, signal_);
    g_object_unref(handler_);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (Urb& u : pendingIn_) Release(u);
    for (Urb& u : completed_) Release(u);
    for (Urb& u : discarded_) Release(u);
    for (auto& c : claimedBy_) g_object_unref(c.second);
    claimedBy_.clear();
  }
  g_object_unref(testbed_);
}

// The handler is attached before the device appears: a host enumerating
// at that moment must not find a node nobody answers.
bool UsbDevice::Plug(std::string& error) {
  GError* err = nullptr;
  handler_ = umockdev_ioctl_base_new();
  signal_ = g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbDevice::OnIoctl), this);
  if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &err))
    return Fail(error, "cannot attach the USB device's handler: ", err);
  attached_ = true;
  const std::string record = UsbDeviceRecord(sysPath_, number_, Hex(Descriptors()), desc_.vendor,
                                             desc_.product, desc_.serial);
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &err))
    return Fail(error, "cannot add a USB device: ", err);
  return true;
}

void UsbDevice::Unplug() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_) return;
    gone_ = true;
  }
  RemoveSysfsEntries();
}

// Only the device's sysfs entries go: enumeration no longer finds it, while
// its node and handler stay, so a host still holding it open is answered
// instead of waiting for ever.
void UsbDevice::RemoveSysfsEntries() {
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  const std::string base = std::string(root) + "/sys";
  g_free(root);
  const std::string name = sysPath_.substr(sysPath_.rfind('/') + 1);
  std::error_code ec;
  std::filesystem::remove(base + "/bus/usb/devices/" + name, ec);
  std::filesystem::remove(base + "/dev/char/189:" + std::to_string(number_), ec);
  std::filesystem::remove_all(base + sysPath_, ec);
}

void UsbDevice::SetClaimErrno(int error) {
  std::lock_guard<std::mutex> guard(lock_);
  claimErrno_ = error;
}

int UsbDevice::Claims() {
  std::lock_guard<std::mutex> guard(lock_);
  return claims_;
}

int UsbDevice::Releases() {
  std::lock_guard<std::mutex> guard(lock_);
  return releases_;
}

int UsbDevice::HaltsCleared(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(std::count(haltsCleared_.begin(), haltsCleared_.end(), endpoint));
}

void UsbDevice::Release(Urb& u) {
  if (u.buffer != nullptr) umockdev_ioctl_data_unref(u.buffer);
  if (u.urb != nullptr) umockdev_ioctl_data_unref(u.urb);
  if (u.client != nullptr) g_object_unref(u.client);
  u.buffer = u.urb = nullptr;
  u.client = nullptr;
}

void UsbDevice::DropClosed() {
  const auto closed = [](Urb& u) {
    if (umockdev_ioctl_client_get_connected(u.client)) return false;
    Release(u);
    return true;
  };
  pendingIn_.remove_if(closed);
  completed_.erase(std::remove_if(completed_.begin(), completed_.end(), closed), completed_.end());
  discarded_.erase(std::remove_if(discarded_.begin(), discarded_.end(), closed), discarded_.end());
}

int UsbDevice::BulkAllowed(UMockdevIoctlClient* client) {
  const auto it = claimedBy_.find(static_cast<unsigned>(desc_.leadingInterfaces));
  if (it == claimedBy_.end() || it->second == client) return 0;
  return umockdev_ioctl_client_get_connected(it->second) ? EBUSY : 0;
}

std::vector<uint8_t> UsbDevice::Descriptors() const {
  std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
  PutLE16(d, desc_.vendor);
  PutLE16(d, desc_.product);
  PutLE16(d, 0x0100);
  d.insert(d.end(), {1, 2, 3, 1});

  std::vector<uint8_t> body;
  for (int i = 0; i < desc_.leadingInterfaces; ++i) {
    // A communications-class interface without endpoints.
    body.insert(body.end(), {9, 4, static_cast<uint8_t>(i), 0, 0, 0x02, 0x02, 0x01, 0});
  }
  const uint8_t endpoints =
      static_cast<uint8_t>((desc_.hasInEndpoint ? 1 : 0) + (desc_.hasOutEndpoint ? 1 : 0));
  body.insert(body.end(), {9, 4, static_cast<uint8_t>(desc_.leadingInterfaces), 0, endpoints,
                           desc_.interfaceClass, desc_.interfaceSubclass, desc_.interfaceProtocol, 0});
  if (desc_.hasInEndpoint) PutEndpoint(body, desc_.inEndpoint, desc_.inMaxPacket);
  if (desc_.hasOutEndpoint) PutEndpoint(body, desc_.outEndpoint, desc_.outMaxPacket);

  std::vector<uint8_t> config = {9, 2};
  PutLE16(config, static_cast<uint16_t>(9 + body.size()));
  config.insert(config.end(), {static_cast<uint8_t>(desc_.leadingInterfaces + 1), 1, 0, 0x80, 50});
  d.insert(d.end(), config.begin(), config.end());
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

std::vector<uint8_t> UsbDevice::StringDescriptor(uint8_t index) const {
  if (index == 0) return {4, 3, 0x09, 0x04};  // US English
  if (index > 3) return {};
  const std::string texts[] = {"Velmaris", "Korvex module", desc_.serial};
  const std::string& text = texts[index - 1];
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
  return d;
}

int UsbDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<UsbDevice*>(self)->Handle(client);
  return TRUE;
}

// The argument points to the interface number (32 bits). Returns the errno.
// A claim ends when its holder releases it, or when its node is found closed
// (its process ended) at the next claim of another node.
int UsbDevice::Claim(UMockdevIoctlClient* client, bool release) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
  if (number == nullptr) return EFAULT;
  uint32_t interface = 0;
  std::memcpy(&interface, number->data, sizeof interface);
  umockdev_ioctl_data_unref(number);
  auto it = claimedBy_.find(interface);
  if (release) {
    ++releases_;
    if (it != claimedBy_.end() && it->second == client) {
      g_object_unref(it->second);
      claimedBy_.erase(it);
    }
    return 0;
  }
  ++claims_;
  if (claimErrno_ != 0) return claimErrno_;
  if (it != claimedBy_.end()) {
    if (it->second == client) return 0;
    if (umockdev_ioctl_client_get_connected(it->second)) return EBUSY;
    g_object_unref(it->second);
    claimedBy_.erase(it);
  }
  g_object_ref(client);
  claimedBy_[interface] = client;
  return 0;
}

void UsbDevice::Handle(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> guard(lock_);
  if (gone_ && !AnsweredWhenGone(request)) {
    Complete(client, -1, ENODEV);  // as on a vanished device
    return;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      Capabilities(client, arg);
      return;
    case USBDEVFS_CLEAR_HALT:
      ClearHalt(client, arg);
      return;
    case USBDEVFS_SUBMITURB:
      Submit(client, arg);
      return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(client, arg);
      return;
    case USBDEVFS_DISCARDURB:
      Discard(client, arg);
      return;
    default:
      Simple(request, client);
      return;
  }
}

// The requests answered by a result alone.
void UsbDevice::Simple(unsigned long request, UMockdevIoctlClient* client) {
  int error = 0;
  switch (request) {
    case USBDEVFS_GETDRIVER:
      error = ENODATA;  // no kernel driver is bound
      break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
      error = Claim(client, request == USBDEVFS_RELEASEINTERFACE);
      break;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
      break;
    default:
      error = ENOTTY;
      break;
  }
  Complete(client, error != 0 ? -1 : 0, error);
}

void UsbDevice::Capabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
  if (caps == nullptr) return Complete(client, -1, EFAULT);
  const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
  std::memcpy(caps->data, &value, sizeof value);
  umockdev_ioctl_data_unref(caps);
  Complete(client, 0, 0);
}

// The argument points to the endpoint number (32 bits).
void UsbDevice::ClearHalt(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
  if (ep == nullptr) return Complete(client, -1, EFAULT);
  uint32_t endpoint = 0;
  std::memcpy(&endpoint, ep->data, sizeof endpoint);
  umockdev_ioctl_data_unref(ep);
  haltsCleared_.push_back(static_cast<uint8_t>(endpoint));
  Complete(client, 0, 0);
}

// The argument points to a struct usbdevfs_urb, whose buffer points to the
// data: both are resolved and held until the URB is reaped.
void UsbDevice::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  DropClosed();
  Urb u;
  u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (u.urb == nullptr) return Complete(client, -1, EFAULT);
  usbdevfs_urb* urb = UrbOf(u.urb);
  const int busy = urb->type == USBDEVFS_URB_TYPE_CONTROL ? 0 : BulkAllowed(client);
  if (busy != 0) {
    Release(u);
    return Complete(client, -1, busy);
  }
  u.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
  if (urb->buffer_length > 0) {
    u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer),
                                           static_cast<gsize>(urb->buffer_length), nullptr);
    if (u.buffer == nullptr) {
      Release(u);
      return Complete(client, -1, EFAULT);
    }
  }
  u.clientAddress = u.urb->client_addr;
  urb->status = 0;
  urb->actual_length = 0;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    AnswerControl(u);
    completed_.push_back(u);
  } else if (urb->endpoint & 0x80) {
    pendingIn_.push_back(u);
    ServeIn();
  } else {
    SubmitOut(u);
    completed_.push_back(u);
  }
  Complete(client, 0, 0);
}

void UsbDevice::SubmitOut(Urb& u) {
  usbdevfs_urb* urb = UrbOf(u.urb);
  const size_t length = LengthOf(u.buffer);
  urb->status = port_.Out(length > 0 ? u.buffer->data : nullptr, length);
  urb->actual_length = urb->status == 0 ? static_cast<int>(length) : 0;
}

// Standard requests: GET_DESCRIPTOR of the device, configuration and string
// descriptors. The 8-byte setup packet starts the buffer, the answer follows.
void UsbDevice::AnswerControl(Urb& u) {
  const size_t length = LengthOf(u.buffer);
  if (length < 8) return;
  const uint8_t* setup = u.buffer->data;
  const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
  const uint16_t wLength = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
  std::vector<uint8_t> reply;
  if (setup[0] == 0x80 && setup[1] == 0x06) {
    const uint8_t type = static_cast<uint8_t>(value >> 8);
    const std::vector<uint8_t> all = Descriptors();
    if (type == 3) reply = StringDescriptor(static_cast<uint8_t>(value & 0xFF));
    else if (type == 1) reply.assign(all.begin(), all.begin() + 18);
    else if (type == 2) reply.assign(all.begin() + 18, all.end());
  }
  const size_t n = std::min({reply.size(), static_cast<size_t>(wLength), length - 8});
  if (n > 0) std::memcpy(u.buffer->data + 8, reply.data(), n);
  UrbOf(u.urb)->actual_length = static_cast<int>(n);
}

void UsbDevice::ServeIn() {
  while (!gone_ && !pendingIn_.empty()) {
    Urb& u = pendingIn_.front();
    if (u.held) return;  // waits for its cancel
    const size_t room = LengthOf(u.buffer);
    UsbInReply reply;
    if (!port_.In(room, reply)) return;
    const size_t n = std::min(reply.data.size(), room);
    if (n > 0) std::memcpy(u.buffer->data, reply.data.data(), n);
    if (reply.holdUntilCancel) {
      u.held = true;
      u.heldLength = static_cast<int>(n);
      return;
    }
    usbdevfs_urb* urb = UrbOf(u.urb);
    urb->actual_length = reply.status == 0 ? static_cast<int>(n) : 0;
    urb->status = reply.status;
    completed_.push_back(u);
    pendingIn_.pop_front();
  }
}

// Hands back one finished URB: the argument is resolved as a pointer-sized
// cell that receives the URB (as the client's address).
void UsbDevice::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  DropClosed();
  ServeIn();
  const auto mine = [client](const Urb& u) { return u.client == client; };
  std::deque<Urb>* from = &discarded_;
  auto it = std::find_if(discarded_.begin(), discarded_.end(), mine);
  if (it == discarded_.end()) {
    from = &completed_;
    it = std::find_if(completed_.begin(), completed_.end(), mine);
  }
  if (it == from->end()) return Complete(client, -1, EAGAIN);
  UMockdevIoctlData* cell = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (cell == nullptr) return Complete(client, -1, EFAULT);
  Urb u = *it;
  from->erase(it);
  umockdev_ioctl_data_set_ptr(cell, 0, u.urb);
  umockdev_ioctl_data_unref(cell);
  Complete(client, 0, 0);
  Release(u);
}

// The argument is the client's address of the URB to cancel.
void UsbDevice::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  unsigned long address = 0;
  if (LengthOf(arg) >= sizeof address) std::memcpy(&address, arg->data, sizeof address);
  for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
    if (it->client != client || it->clientAddress != address) continue;
    usbdevfs_urb* urb = UrbOf(it->urb);
    urb->status = -ENOENT;
    urb->actual_length = it->heldLength;
    discarded_.push_back(*it);
    pendingIn_.erase(it);
    return Complete(client, 0, 0);
  }
  Complete(client, -1, EINVAL);
}

}  // namespace ksim
