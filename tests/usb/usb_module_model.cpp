#include "tests/usb/usb_module_model.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include "sim/SimUsbRecord.h"

bool UsbSimulationAvailable() {
  const char* preload = getenv("LD_PRELOAD");
  return preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr;
}

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    snprintf(two, sizeof(two), "%02X", b);
    out += two;
  }
  return out;
}

void PutLE16(std::vector<uint8_t>& v, uint16_t value) {
  v.push_back(static_cast<uint8_t>(value & 0xFF));
  v.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

UsbModuleModel::UsbModuleModel(UMockdevTestbed* testbed, int address,
                               const UsbModuleDescription& description)
    : desc_(description) {
  char node[64];
  snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", address);
  node_ = node;
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect_after(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, node_.c_str(), handler_, &error)) {
    fprintf(stderr, "attach_ioctl %s: %s\n", node, error ? error->message : "?");
    g_clear_error(&error);
  }

  char sysPath[32];
  snprintf(sysPath, sizeof(sysPath), "/devices/usb%d", address);
  const std::string record = sim::UsbDeviceRecord(sysPath, address, Hex(Descriptors()));
  if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
    fprintf(stderr, "add_from_string: %s\n%s\n", error ? error->message : "?", record.c_str());
    g_clear_error(&error);
  }
}

UsbModuleModel::~UsbModuleModel() {
  std::lock_guard<std::mutex> guard(lock_);
  for (Urb& u : pendingIn_) Release(u);
  for (Urb& u : completed_) Release(u);
  for (Urb& u : discarded_) Release(u);
  g_object_unref(handler_);
}

void UsbModuleModel::Release(Urb& urb) {
  if (urb.buffer != nullptr) umockdev_ioctl_data_unref(urb.buffer);
  if (urb.urb != nullptr) umockdev_ioctl_data_unref(urb.urb);
  urb.buffer = urb.urb = nullptr;
}

std::vector<uint8_t> UsbModuleModel::Descriptors() const {
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
  body.insert(body.end(),
              {9, 4, static_cast<uint8_t>(desc_.leadingInterfaces), 0, endpoints,
               desc_.interfaceClass, desc_.interfaceSubclass,
               desc_.interfaceProtocol, 0});
  if (desc_.hasInEndpoint) {
    body.insert(body.end(), {7, 5, desc_.inEndpoint, 0x02});
    PutLE16(body, desc_.inMaxPacket);
    body.push_back(0);
  }
  if (desc_.hasOutEndpoint) {
    body.insert(body.end(), {7, 5, desc_.outEndpoint, 0x02});
    PutLE16(body, desc_.outMaxPacket);
    body.push_back(0);
  }
  const uint8_t interfaces = static_cast<uint8_t>(desc_.leadingInterfaces + 1);
  std::vector<uint8_t> config = {9, 2};
  PutLE16(config, static_cast<uint16_t>(9 + body.size()));
  config.insert(config.end(), {interfaces, 1, 0, 0x80, 50});
  d.insert(d.end(), config.begin(), config.end());
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

std::vector<uint8_t> UsbModuleModel::StringDescriptor(uint8_t index) const {
  if (index == 0) return {4, 3, 0x09, 0x04};  // US English
  std::string text = index == 3 ? desc_.serial : index == 2 ? "Korvex module" : "Velmaris";
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
  return d;
}

int UsbModuleModel::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                            void* self) {
  return static_cast<UsbModuleModel*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

bool UsbModuleModel::HandleIoctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      memcpy(caps->data, &value, sizeof(value));
      umockdev_ioctl_data_unref(caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_GETDRIVER:
      umockdev_ioctl_client_complete(client, -1, ENODATA);
      return true;
    case USBDEVFS_CLAIMINTERFACE: {
      std::lock_guard<std::mutex> guard(lock_);
      ++claims_;
      if (claimErrno_ != 0) umockdev_ioctl_client_complete(client, -1, claimErrno_);
      else umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      std::lock_guard<std::mutex> guard(lock_);
      ++releases_;
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_CLEAR_HALT: {
      UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      uint32_t endpoint = 0;
      memcpy(&endpoint, ep->data, sizeof(endpoint));
      umockdev_ioctl_data_unref(ep);
      {
        std::lock_guard<std::mutex> guard(lock_);
        haltsCleared_.push_back(static_cast<uint8_t>(endpoint));
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    case USBDEVFS_SUBMITURB:
      Submit(client, arg);
      return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(client, arg);
      return true;
    case USBDEVFS_DISCARDURB:
      Discard(client, arg);
      return true;
    default:
      fprintf(stderr, "usb model: unhandled ioctl 0x%lx\n", request);
      return false;
  }
}

void UsbModuleModel::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  Urb u;
  u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
  struct usbdevfs_urb* urb = reinterpret_cast<struct usbdevfs_urb*>(u.urb->data);
  u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(struct usbdevfs_urb, buffer),
                                         static_cast<gsize>(urb->buffer_length), nullptr);
  u.clientAddress = u.urb->client_addr;

  std::lock_guard<std::mutex> guard(lock_);
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    AnswerControl(u);
    completed_.push_back(u);
  } else if (urb->endpoint & 0x80) {
    pendingIn_.push_back(u);
    ServeInLocked();
  } else {
    if (outFailures_ > 0) {
      --outFailures_;
      urb->status = outFailureStatus_;
      urb->actual_length = 0;
    } else {
      urb->status = 0;
      urb->actual_length = urb->buffer_length;
      outSizes_.push_back(static_cast<size_t>(urb->buffer_length));
      outBytes_.insert(outBytes_.end(), u.buffer->data,
                       u.buffer->data + urb->buffer_length);
    }
    completed_.push_back(u);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbModuleModel::AnswerControl(Urb& u) {
  struct usbdevfs_urb* urb = reinterpret_cast<struct usbdevfs_urb*>(u.urb->data);
  const uint8_t* setup = u.buffer->data;
  const uint8_t request = setup[1];
  const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
  const uint16_t wLength = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
  std::vector<uint8_t> reply;
  if (request == 0x06) {  // GET_DESCRIPTOR
    const uint8_t type = static_cast<uint8_t>(value >> 8);
    const std::vector<uint8_t> all = Descriptors();
    if (type == 3) reply = StringDescriptor(static_cast<uint8_t>(value & 0xFF));
    else if (type == 1) reply.assign(all.begin(), all.begin() + 18);
    else if (type == 2) reply.assign(all.begin() + 18, all.end());
  }
  size_t n = reply.size();
  if (n > wLength) n = wLength;
  if (n + 8 > static_cast<size_t>(urb->buffer_length)) n = static_cast<size_t>(urb->buffer_length) - 8;
  if (n > 0) memcpy(u.buffer->data + 8, reply.data(), n);
  urb->actual_length = static_cast<int>(n);
  urb->status = 0;
}

void UsbModuleModel::ServeInLocked() {
  while (!pendingIn_.empty() && !inReplies_.empty()) {
    Urb& u = pendingIn_.front();
    if (u.heldLength > 0) return;  // waits for its cancel
    struct usbdevfs_urb* urb = reinterpret_cast<struct usbdevfs_urb*>(u.urb->data);
    UsbInReply reply = inReplies_.front();
    inReplies_.pop_front();
    size_t n = reply.data.size();
    if (n > static_cast<size_t>(urb->buffer_length)) n = static_cast<size_t>(urb->buffer_length);
    if (n > 0) memcpy(u.buffer->data, reply.data.data(), n);
    if (reply.holdUntilCancel) {
      u.heldLength = static_cast<int>(n);
      return;
    }
    urb->actual_length = reply.status == 0 ? static_cast<int>(n) : 0;
    urb->status = reply.status;
    completed_.push_back(u);
    pendingIn_.pop_front();
  }
}

void UsbModuleModel::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  std::lock_guard<std::mutex> guard(lock_);
  ServeInLocked();
  std::deque<Urb>* from = !discarded_.empty() ? &discarded_
                          : !completed_.empty() ? &completed_ : nullptr;
  if (from == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  Urb u = from->front();
  from->pop_front();
  UMockdevIoctlData* cell = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  umockdev_ioctl_data_set_ptr(cell, 0, u.urb);
  umockdev_ioctl_data_unref(cell);
  umockdev_ioctl_client_complete(client, 0, 0);
  Release(u);
}

void UsbModuleModel::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  unsigned long address = 0;
  memcpy(&address, arg->data, sizeof(address));
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
    if (it->clientAddress != address) continue;
    struct usbdevfs_urb* urb = reinterpret_cast<struct usbdevfs_urb*>(it->urb->data);
    urb->status = -ENOENT;
    urb->actual_length = it->heldLength;
    discarded_.push_back(*it);
    pendingIn_.erase(it);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void UsbModuleModel::QueueIn(const UsbInReply& reply) {
  std::lock_guard<std::mutex> guard(lock_);
  inReplies_.push_back(reply);
}

void UsbModuleModel::QueueIn(const std::string& bytes) {
  UsbInReply reply;
  reply.data.assign(bytes.begin(), bytes.end());
  QueueIn(reply);
}

void UsbModuleModel::FailNextOut(int count, int status) {
  std::lock_guard<std::mutex> guard(lock_);
  outFailures_ = count;
  outFailureStatus_ = status;
}

void UsbModuleModel::SetClaimErrno(int error) {
  std::lock_guard<std::mutex> guard(lock_);
  claimErrno_ = error;
}

std::vector<size_t> UsbModuleModel::OutTransferSizes() {
  std::lock_guard<std::mutex> guard(lock_);
  return outSizes_;
}

std::vector<uint8_t> UsbModuleModel::OutBytes() {
  std::lock_guard<std::mutex> guard(lock_);
  return outBytes_;
}

int UsbModuleModel::HaltsCleared(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  int n = 0;
  for (uint8_t e : haltsCleared_) n += (e == endpoint) ? 1 : 0;
  return n;
}

int UsbModuleModel::Claims() {
  std::lock_guard<std::mutex> guard(lock_);
  return claims_;
}

int UsbModuleModel::Releases() {
  std::lock_guard<std::mutex> guard(lock_);
  return releases_;
}
