// USB driver of the USB stream. In libusb mode a module is found by vendor,
// product and serial-number string, its vendor interface (class 0xFF,
// subclass 0x88, protocol 0x10) is claimed and its two bulk endpoints carry
// the bytes; in kernel mode the module's node "/dev/korvex.%08X" does.
//
// Reads are buffered: one bulk transfer of up to 1024 bytes serves many
// single-byte gets. Consecutive I/O errors are tolerated up to four times
// (reported as "not ready", so nothing is taken for data), the fifth fails
// the driver for good.
#include "common/kxusb_driver.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <fcntl.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/aFile.h"
#include "common/aKorvexDebug.h"
#include "common/aUSBDefs.h"

namespace {

constexpr size_t kInBufferSize = 1024;
constexpr unsigned kWriteTimeoutMs = 50;
constexpr unsigned kReadTimeoutMs = 1000;
// A get finds the bytes that are there: with the IN buffer empty it asks the
// device once, briefly. A get that waited for the full read time-out would
// hold the link's reader for a second: every sync would start that late and
// every stop would wait that long. Waiting is the wait operation's job.
constexpr unsigned kGetTimeoutMs = 2;
constexpr int kMaxWriteFailures = 10;
constexpr uint32_t kToleratedErrors = 4;
constexpr int kMaxNodeWrites = 1000;

std::mutex gContextLock;
libusb_context* gContext = nullptr;
// Handles and searches using gContext, and whether an exit waits for them.
size_t gContextUsers = 0;
bool gExitPending = false;
std::atomic<bool> gAccessDenied{false};

// Where serial-number strings were last read (Korvex_usb_note_serial).
struct SerialSeen {
  uint8_t bus;
  uint8_t address;
  char serial[16];
};
// More than any host has modules plugged in; the oldest note goes first.
constexpr size_t kMaxSerialNotes = 256;
std::mutex gSerialLock;
std::vector<SerialSeen> gSerialNotes;

// The bus number and device address last noted for serial.
bool sNotedLocation(const char* serial, uint8_t* bus, uint8_t* address) {
  std::lock_guard<std::mutex> guard(gSerialLock);
  for (const SerialSeen& seen : gSerialNotes) {
    if (strcmp(seen.serial, serial) != 0) continue;
    *bus = seen.bus;
    *address = seen.address;
    return true;
  }
  return false;
}

}  // namespace

void Korvex_usb_note_serial(uint8_t bus, uint8_t address, const char* serial) {
  if (serial == nullptr) return;
  SerialSeen note{bus, address, {}};
  snprintf(note.serial, sizeof(note.serial), "%s", serial);
  std::lock_guard<std::mutex> guard(gSerialLock);
  // One note per device and per serial number: the newest.
  for (size_t i = gSerialNotes.size(); i-- > 0;) {
    const SerialSeen& seen = gSerialNotes[i];
    if ((seen.bus == bus && seen.address == address) || strcmp(seen.serial, note.serial) == 0)
      gSerialNotes.erase(gSerialNotes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (gSerialNotes.size() >= kMaxSerialNotes) gSerialNotes.erase(gSerialNotes.begin());
  gSerialNotes.push_back(note);
}

struct kxusb {
  kxusbMode mode = kxusbModeLibusb;
  char serial[16] = {};
  libusb_device_handle* device = nullptr;
  int fd = -1;
  // Shared by the reading and the writing thread of a link.
  std::atomic<kxusbState> state{kxusbStateNone};
  std::atomic<uint32_t> errorCount{0};
  int interfaceNumber = -1;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  uint8_t inBuffer[kInBufferSize] = {};
  size_t inPos = 0;
  size_t inCount = 0;
  uint16_t inMaxPacket = 0;
  uint16_t outMaxPacket = 0;
  // The handle's own context (libusb mode): its events are handled apart
  // from every other link's, so links to several modules do not take turns.
  // And whether waits are cut (kxusb_cut_waits).
  libusb_context* context = nullptr;
  std::atomic<bool> waitsCut{false};
};

libusb_context* Korvex_libusb_context(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  if (gContext == nullptr) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS) gContext = context;
  }
  return gContext;
}

libusb_context* Korvex_libusb_init(void) { return Korvex_libusb_context(); }

libusb_context* Korvex_libusb_acquire(void) {
  libusb_context* context = Korvex_libusb_context();
  std::lock_guard<std::mutex> guard(gContextLock);
  if (context == nullptr || context != gContext) return nullptr;
  ++gContextUsers;
  return context;
}

void Korvex_libusb_release(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  if (gContextUsers == 0) return;
  if (--gContextUsers == 0 && gExitPending && gContext != nullptr) {
    libusb_exit(gContext);
    gContext = nullptr;
    gExitPending = false;
  }
}

void Korvex_libusb_exit(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  if (gContext == nullptr) return;
  // Open devices and running searches still use the context: the last of
  // them ends it.
  if (gContextUsers != 0) {
    gExitPending = true;
    return;
  }
  libusb_exit(gContext);
  gContext = nullptr;
}

bool Korvex_libusb_exit_pending(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  return gExitPending;
}

bool Korvex_usb_access_denied(void) { return gAccessDenied.load(); }
void Korvex_usb_set_access_denied(bool denied) { gAccessDenied = denied; }

namespace {

// The tolerance rule, for libusb mode.
aErr sHandleErrorTolerance(kxusb* h, aErr result) {
  if (result != aErrIO) {
    h->errorCount = 0;
    return result;
  }
  const uint32_t before = h->errorCount++;
  if (before < kToleratedErrors) return aErrNotReady;
  h->state = kxusbStateFailed;
  return aErrIO;
}

// State gate shared by reads and writes in libusb mode.
aErr sCheckState(const kxusb* h, const char* what) {
  const kxusbState state = h->state;
  switch (state) {
    case kxusbStateReady:
      return aErrNone;
    case kxusbStateClosed:
      return aErrConnection;
    case kxusbStateCreated:
    case kxusbStateOpened:
      return aErrNotReady;
    default:
      aKorvexDebug_Trace(aDEBUG_USB, "libusb %s error dev state: %d\n", what,
                         static_cast<int>(state));
      return aErrIO;
  }
}

bool sIsKorvexDevice(libusb_device* device, libusb_device_descriptor* desc) {
  if (libusb_get_device_descriptor(device, desc) != LIBUSB_SUCCESS) return false;
  return aKorvexUSB_IsModule(desc->idVendor, desc->idProduct);
}

bool sFindUSBEndpoints(kxusb* h) {
  libusb_device* device = libusb_get_device(h->device);
  libusb_config_descriptor* config = nullptr;
  if (device == nullptr ||
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS)
    return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting && !found; ++a) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      if (alt.bInterfaceClass != aKORVEX_USB_INTERFACE_CLASS ||
          alt.bInterfaceSubClass != aKORVEX_USB_INTERFACE_SUBCLASS ||
          alt.bInterfaceProtocol != aKORVEX_USB_INTERFACE_PROTOCOL)
        continue;
      found = true;
      h->interfaceNumber = alt.bInterfaceNumber;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & 0x02) == 0) continue;  // bulk or interrupt only
        const int max = libusb_get_max_packet_size(device, ep.bEndpointAddress);
        const uint16_t size = max > 0 ? static_cast<uint16_t>(max) : 0;
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          h->inEndpoint = ep.bEndpointAddress;
          h->inMaxPacket = size;
          aKorvexDebug_Trace(aDEBUG_USB, "In Endpoint Max packet: %d\n", max);
        } else {
          h->outEndpoint = ep.bEndpointAddress;
          h->outMaxPacket = size;
          aKorvexDebug_Trace(aDEBUG_USB, "Out Endpoint Max packet: %d\n", max);
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found && h->inEndpoint != 0 && h->outEndpoint != 0 && h->outMaxPacket > 0;
}

aErr sClaimError(int r) {
  switch (r) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

enum class Candidate { Other, Opened, Failed };

// Opens device when it is the module h wants and claims its interface:
// Opened, or Failed with *err when it is that module but cannot be used;
// Other for any other device (closed again).
Candidate sOpenCandidate(kxusb* h, libusb_device* device, bool* accessDenied, aErr* err) {
  libusb_device_descriptor desc;
  if (!sIsKorvexDevice(device, &desc)) return Candidate::Other;
  libusb_device_handle* handle = nullptr;
  const int opened = libusb_open(device, &handle);
  if (opened != LIBUSB_SUCCESS) {
    if (opened == LIBUSB_ERROR_ACCESS) *accessDenied = true;
    return Candidate::Other;
  }
  unsigned char text[256] = {};
  const int n = (desc.iSerialNumber == 0)
                    ? -1
                    : libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text,
                                                         sizeof(text) - 1);
  if (n > 0)
    Korvex_usb_note_serial(libusb_get_bus_number(device), libusb_get_device_address(device),
                           reinterpret_cast<char*>(text));
  if (n <= 0 || strcmp(reinterpret_cast<char*>(text), h->serial) != 0) {
    libusb_close(handle);
    return Candidate::Other;
  }

  h->device = handle;
  h->state = kxusbStateOpened;
  *err = aErrNone;
  if (!sFindUSBEndpoints(h)) {
    *err = aErrConfiguration;
  } else {
    const int claimed = libusb_claim_interface(handle, h->interfaceNumber);
    if (claimed != LIBUSB_SUCCESS) *err = sClaimError(claimed);
  }
  if (*err != aErrNone) {
    libusb_close(handle);
    h->device = nullptr;
    h->state = kxusbStateClosed;
    h->interfaceNumber = -1;
    h->inEndpoint = h->outEndpoint = 0;
    return Candidate::Failed;
  }
  h->state = kxusbStateReady;
  h->errorCount = 0;
  h->inPos = h->inCount = 0;
  return Candidate::Opened;
}

// Opens the matching device; the caller owns the device list. The device
// where its serial number was last seen is tried first, then the others.
aErr sOpenLibusb(kxusb* h, libusb_device** list, ssize_t count) {
  bool accessDenied = false;
  ssize_t noted = -1;
  uint8_t bus = 0;
  uint8_t address = 0;
  if (sNotedLocation(h->serial, &bus, &address)) {
    for (ssize_t i = 0; i < count && noted < 0; ++i) {
      if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address)
        noted = i;
    }
  }
  for (ssize_t step = 0; step <= count; ++step) {
    // Step 0 is the noted device; step k the list's (k-1)-th, unless noted.
    const ssize_t i = step == 0 ? noted : step - 1;
    if (i < 0 || (step > 0 && i == noted)) continue;
    aErr err = aErrNone;
    const Candidate candidate = sOpenCandidate(h, list[i], &accessDenied, &err);
    if (candidate == Candidate::Failed) return err;
    if (candidate == Candidate::Opened) {
      Korvex_usb_set_access_denied(accessDenied);
      return aErrNone;
    }
  }
  // A device we may not open may or may not be the one wanted: the answer
  // stays "not found" (callers fall back on it), the refusal is kept for a
  // hint of its own.
  Korvex_usb_set_access_denied(accessDenied);
  return aErrNotFound;
}

void LIBUSB_CALL sTransferDone(libusb_transfer* transfer) {
  *static_cast<int*>(transfer->user_data) = 1;
}

// One bulk IN transfer into the IN buffer, as libusb_bulk_transfer does it,
// except that it is cancelled as soon as waits are cut (when cuttable).
// Returns a libusb result; a transfer cut short answers LIBUSB_ERROR_TIMEOUT.
int sBulkIn(kxusb* h, unsigned timeoutMs, bool cuttable, int* transferred) {
  *transferred = 0;
  if (cuttable && h->waitsCut) return LIBUSB_ERROR_TIMEOUT;
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) return LIBUSB_ERROR_NO_MEM;
  int done = 0;
  libusb_fill_bulk_transfer(transfer, h->device, h->inEndpoint, h->inBuffer,
                            static_cast<int>(kInBufferSize), sTransferDone, &done, timeoutMs);
  int r = libusb_submit_transfer(transfer);
  if (r != LIBUSB_SUCCESS) {
    libusb_free_transfer(transfer);
    return r;
  }
  bool cancelled = false;
  bool cut = false;
  while (!done) {
    if (cuttable && !cancelled && h->waitsCut) {
      cancelled = cut = true;
      libusb_cancel_transfer(transfer);
    }
    // Ends when this transfer or another completes, when the event handler
    // is interrupted (kxusb_cut_waits) or at the latest with the transfer's
    // own time-out.
    timeval slice = {static_cast<time_t>(timeoutMs / 1000),
                     static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    r = libusb_handle_events_timeout_completed(h->context, &slice, &done);
    if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED && !cancelled) {
      // The transfer must end before its buffer is let go.
      cancelled = true;
      libusb_cancel_transfer(transfer);
    }
  }
  *transferred = transfer->actual_length;
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      r = LIBUSB_SUCCESS;
      break;
    case LIBUSB_TRANSFER_TIMED_OUT:
      r = LIBUSB_ERROR_TIMEOUT;
      break;
    case LIBUSB_TRANSFER_CANCELLED:
      r = cut ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_IO;
      break;
    case LIBUSB_TRANSFER_STALL:
      r = LIBUSB_ERROR_PIPE;
      break;
    case LIBUSB_TRANSFER_NO_DEVICE:
      r = LIBUSB_ERROR_NO_DEVICE;
      break;
    case LIBUSB_TRANSFER_OVERFLOW:
      r = LIBUSB_ERROR_OVERFLOW;
      break;
    default:
      r = LIBUSB_ERROR_IO;
      break;
  }
  libusb_free_transfer(transfer);
  return r;
}

// One bulk read into the IN buffer (libusb mode), before the tolerance rule.
aErr sFillLibusb(kxusb* h, unsigned timeoutMs, bool cuttable) {
  aErr err = sCheckState(h, "READ");
  if (err != aErrNone) return err;
  int transferred = 0;
  const int r = sBulkIn(h, timeoutMs, cuttable, &transferred);
  if (r == LIBUSB_ERROR_PIPE) {
    libusb_clear_halt(h->device, h->inEndpoint);
    return aErrNotReady;
  }
  if (r == LIBUSB_ERROR_TIMEOUT && transferred <= 0) return aErrNotReady;
  if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_TIMEOUT) {
    aKorvexDebug_Trace(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", r);
    return aErrIO;
  }
  if (transferred <= 0) return aErrNotReady;
  h->inPos = 0;
  h->inCount = static_cast<size_t>(transferred);
  return aErrNone;
}

// Waits up to timeoutMs for the node to become readable, then one read into
// the IN buffer (kernel mode).
aErr sFillKernel(kxusb* h, unsigned timeoutMs) {
  if (h->fd < 0) return aErrConnection;
  struct pollfd p = {h->fd, POLLIN, 0};
  const int ready = poll(&p, 1, static_cast<int>(timeoutMs));
  if (ready == 0) return aErrNotReady;
  if (ready < 0) return errno == EINTR ? aErrNotReady : aErrIO;
  const ssize_t n = read(h->fd, h->inBuffer, kInBufferSize);
  if (n == 0) return aErrNotReady;
  if (n < 0) return (errno == EFAULT || errno == EAGAIN || errno == EINTR) ? aErrNotReady : aErrIO;
  h->inPos = 0;
  h->inCount = static_cast<size_t>(n);
  return aErrNone;
}

aErr sFill(kxusb* h, unsigned timeoutMs, bool cuttable) {
  if (h->mode == kxusbModeKernel) return sFillKernel(h, timeoutMs);
  return sHandleErrorTolerance(h, sFillLibusb(h, timeoutMs, cuttable));
}

aErr sWriteLibusb(kxusb* h, const uint8_t* data, size_t length) {
  aErr err = sCheckState(h, "WRITE");
  if (err != aErrNone) return err;
  size_t position = 0;
  int failures = 0;
  while (position < length && failures < kMaxWriteFailures) {
    size_t chunk = length - position;
    if (chunk > h->outMaxPacket) chunk = h->outMaxPacket;
    // A transfer of exactly 512 bytes is cut short by one byte.
    if (chunk == 512) chunk = 511;
    int transferred = 0;
    const int r = libusb_bulk_transfer(
        h->device, h->outEndpoint, const_cast<uint8_t*>(data + position),
        static_cast<int>(chunk), &transferred, kWriteTimeoutMs);
    aKorvexDebug_Trace(aDEBUG_USB, "libusb lenSent: %d - nSize: %d\n",
                       transferred, static_cast<int>(chunk));
    // Whatever the device took is not sent again, even when the transfer
    // ended in an error.
    if (transferred > 0) position += static_cast<size_t>(transferred);
    if (r == LIBUSB_SUCCESS && transferred > 0) continue;
    ++failures;
    aKorvexDebug_Trace(aDEBUG_USB, "libusb error: %d\n", r);
    if (r == LIBUSB_ERROR_PIPE) {
      const int cleared = libusb_clear_halt(h->device, h->outEndpoint);
      if (cleared != LIBUSB_SUCCESS) {
        aKorvexDebug_Trace(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n",
                           cleared);
        return aErrIO;
      }
    }
  }
  return position < length ? aErrWrite : aErrNone;
}

aErr sWriteKernel(kxusb* h, const uint8_t* data, size_t length) {
  if (h->fd < 0) return aErrConnection;
  size_t position = 0;
  for (int calls = 0; position < length && calls < kMaxNodeWrites; ++calls) {
    const ssize_t n = write(h->fd, data + position, length - position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return aErrIO;
    }
    position += static_cast<size_t>(n);
  }
  return position < length ? aErrIO : aErrNone;
}

}  // namespace

kxusbRef kxusb_create_usb(void) {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != LIBUSB_SUCCESS) return nullptr;
  kxusb* h = new (std::nothrow) kxusb();
  if (h == nullptr) {
    libusb_exit(context);
    return nullptr;
  }
  h->context = context;
  h->mode = kxusbModeLibusb;
  h->state = kxusbStateCreated;
  return h;
}

kxusbRef kxusb_create_kernel(void) {
  kxusb* h = new (std::nothrow) kxusb();
  if (h == nullptr) return nullptr;
  h->mode = kxusbModeKernel;
  h->state = kxusbStateCreated;
  return h;
}

aErr kxusb_open_korvex_device(kxusbRef h, const char* serial) {
  if (h == nullptr || serial == nullptr || strlen(serial) >= sizeof(h->serial))
    return aErrParam;
  if (h->state == kxusbStateNone) return aErrResource;
  snprintf(h->serial, sizeof(h->serial), "%s", serial);

  if (h->mode == kxusbModeKernel) {
    char path[64];
    snprintf(path, sizeof(path), "/dev/korvex.%s", h->serial);
    h->fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (h->fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    h->state = kxusbStateReady;
    h->inPos = h->inCount = 0;
    return aErrNone;
  }
  if (h->mode != kxusbModeLibusb) return aErrMode;

  if (h->context == nullptr) return aErrResource;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(h->context, &list);
  if (count < 0) return aErrIO;
  aErr err = sOpenLibusb(h, list, count);
  libusb_free_device_list(list, 1);
  return err;
}

aErr kxusb_get_from_device(kxusbRef h, uint8_t* byte) {
  if (h == nullptr || byte == nullptr) return aErrParam;
  if (h->inCount == 0) {
    aErr err = sFill(h, kGetTimeoutMs, false);
    if (err != aErrNone) return err;
  }
  *byte = h->inBuffer[h->inPos++];
  --h->inCount;
  return aErrNone;
}

aErr kxusb_wait_for_data(kxusbRef h, uint32_t timeoutMs) {
  if (h == nullptr) return aErrParam;
  if (h->inCount > 0) return aErrNone;
  unsigned timeout = timeoutMs < kReadTimeoutMs ? timeoutMs : kReadTimeoutMs;
  // libusb takes a time-out of 0 as "wait for ever".
  if (timeout == 0) timeout = 1;
  aErr err = sFill(h, timeout, true);
  return err == aErrNotReady ? aErrTimeout : err;
}

void kxusb_cut_waits(kxusbRef h, bool cut) {
  if (h == nullptr) return;
  h->waitsCut = cut;
  // Wakes whichever thread handles the context's events, so that the
  // waiting one looks at the flag.
  if (cut && h->mode == kxusbModeLibusb && h->context != nullptr)
    libusb_interrupt_event_handler(h->context);
}

aErr kxusb_write_to_device(kxusbRef h, const uint8_t* data, size_t length) {
  if (h == nullptr || data == nullptr) return aErrParam;
  if (length == 0) return aErrNone;
  if (h->mode == kxusbModeKernel) return sWriteKernel(h, data, length);
  return sHandleErrorTolerance(h, sWriteLibusb(h, data, length));
}

aErr kxusb_close_korvex_device(kxusbRef h) {
  if (h == nullptr) return aErrParam;
  if (h->mode == kxusbModeKernel) {
    if (h->fd < 0) return aErrMode;
    const int r = close(h->fd);
    h->fd = -1;
    h->state = kxusbStateClosed;
    return r == 0 ? aErrNone : aErrCancel;
  }
  if (h->mode != kxusbModeLibusb || h->device == nullptr) return aErrMode;
  if (h->interfaceNumber >= 0) libusb_release_interface(h->device, h->interfaceNumber);
  libusb_close(h->device);
  h->device = nullptr;
  h->state = kxusbStateClosed;
  h->interfaceNumber = -1;
  h->inEndpoint = h->outEndpoint = 0;
  h->inPos = h->inCount = 0;
  return aErrNone;
}

aErr kxusb_destroy(kxusbRef* handle) {
  if (handle == nullptr || *handle == nullptr) return aErrParam;
  kxusb* h = *handle;
  if (h->device != nullptr) {
    if (h->interfaceNumber >= 0) libusb_release_interface(h->device, h->interfaceNumber);
    libusb_close(h->device);
  }
  if (h->fd >= 0) close(h->fd);
  libusb_context* context = h->context;
  delete h;
  *handle = nullptr;
  if (context != nullptr) libusb_exit(context);
  return aErrNone;
}

bool kxusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[64];
  snprintf(path, sizeof(path), aKORVEX_USB_NODE_FORMAT, serialNumber);
  return aFile_Exists(path);
}

kxusbState kxusb_state(kxusbRef h) { return h ? h->state.load() : kxusbStateNone; }
uint8_t kxusb_in_endpoint(kxusbRef h) { return h ? h->inEndpoint : 0; }
uint8_t kxusb_out_endpoint(kxusbRef h) { return h ? h->outEndpoint : 0; }
uint16_t kxusb_in_max_packet(kxusbRef h) { return h ? h->inMaxPacket : 0; }
uint16_t kxusb_out_max_packet(kxusbRef h) { return h ? h->outMaxPacket : 0; }
int kxusb_interface_number(kxusbRef h) { return h ? h->interfaceNumber : -1; }
