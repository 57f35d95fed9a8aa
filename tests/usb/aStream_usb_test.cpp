// USB streams through the real libusb against simulated modules. Runs under
// umockdev-wrapper (see tests/CMakeLists.txt); skipped elsewhere.
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "common/aKorvexDebug.h"
#include "common/aStream.h"
#include "common/aUSBDefs.h"
#include "common/kxusb_driver.h"
#include "tests/usb/usb_module_model.h"

namespace {

class UsbStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbSimulationAvailable()) GTEST_SKIP() << "needs umockdev-wrapper";
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
  }
  void TearDown() override {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
    if (driver_ != nullptr) kxusb_destroy(&driver_);
    Korvex_libusb_exit();
    // Each model holds the testbed until it goes.
    if (testbed_ != nullptr) g_object_unref(testbed_);
    models_.clear();
    aKorvexDebuggingEnable = false;
    aKorvexDebuggingLevel = 0;
  }

  UsbModuleModel& Add(const UsbModuleDescription& d) {
    models_.emplace_back(new UsbModuleModel(testbed_, static_cast<int>(models_.size()) + 1, d));
    return *models_.back();
  }
  static UsbModuleDescription Module(const std::string& serial = "0000ABCD") {
    UsbModuleDescription d;
    d.vendor = aVELMARIS_USB_VENDOR_ID;
    d.serial = serial;
    d.outEndpoint = 0x02;  // not the IN endpoint's number
    return d;
  }
  UsbModuleModel& AddModule() { return Add(Module()); }
  void Open(uint32_t serial = 0xABCD) {
    ASSERT_EQ(aStream_CreateUSB(serial, &stream_), aErrNone);
    ASSERT_NE(stream_, nullptr);
  }
  aErr Get(uint8_t* b) { return aStream_Read(stream_, b, 1); }

  UMockdevTestbed* testbed_ = nullptr;
  std::vector<std::unique_ptr<UsbModuleModel>> models_;
  aStreamRef stream_ = nullptr;
  kxusbRef driver_ = nullptr;
};

TEST_F(UsbStreamTest, FindsTheModuleBySerialAndItsVendorInterface) {
  UsbModuleDescription stranger = Module();
  stranger.vendor = 0x1234;  // same serial, other maker
  Add(stranger);
  UsbModuleDescription other = Module();
  other.product = 0x8001;  // maker's product outside the module range
  Add(other);
  Add(Module("00001111"));
  UsbModuleDescription d = Module();
  d.leadingInterfaces = 1;
  d.inEndpoint = 0x83;
  d.outEndpoint = 0x04;
  d.inMaxPacket = 64;
  d.outMaxPacket = 64;
  UsbModuleModel& module = Add(d);

  aKorvexDebuggingEnable = true;
  aKorvexDebuggingLevel = aDEBUG_USB;
  driver_ = kxusb_create_usb();
  ASSERT_NE(driver_, nullptr);
  EXPECT_EQ(kxusb_state(driver_), kxusbStateCreated);
  testing::internal::CaptureStdout();
  ASSERT_EQ(kxusb_open_korvex_device(driver_, "0000ABCD"), aErrNone);
  const std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("In Endpoint Max packet: 64\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Out Endpoint Max packet: 64\n"), std::string::npos) << trace;

  EXPECT_EQ(kxusb_state(driver_), kxusbStateReady);
  EXPECT_EQ(kxusb_interface_number(driver_), 1);
  EXPECT_EQ(kxusb_in_endpoint(driver_), 0x83);
  EXPECT_EQ(kxusb_out_endpoint(driver_), 0x04);
  EXPECT_EQ(kxusb_in_max_packet(driver_), 64);
  EXPECT_EQ(kxusb_out_max_packet(driver_), 64);
  EXPECT_EQ(module.Claims(), 1);
  for (size_t i = 0; i + 1 < models_.size(); ++i) EXPECT_EQ(models_[i]->Claims(), 0);

  EXPECT_EQ(kxusb_close_korvex_device(driver_), aErrNone);
  EXPECT_EQ(kxusb_state(driver_), kxusbStateClosed);
  EXPECT_EQ(module.Releases(), 1);
  EXPECT_EQ(kxusb_close_korvex_device(driver_), aErrMode);  // not open
  uint8_t b = 0;
  EXPECT_EQ(kxusb_get_from_device(driver_, &b), aErrConnection);
  EXPECT_EQ(kxusb_write_to_device(driver_, &b, 1), aErrConnection);
}

TEST_F(UsbStreamTest, OpenFailuresAreMapped) {
  UsbModuleDescription noOut = Module("00000001");
  noOut.hasOutEndpoint = false;
  Add(noOut);
  UsbModuleDescription wrongClass = Module("00000002");
  wrongClass.interfaceSubclass = 0x77;
  Add(wrongClass);
  Add(Module("00000003")).SetClaimErrno(EBUSY);
  Add(Module("00000004")).SetClaimErrno(ENODEV);
  Add(Module("00000005")).SetClaimErrno(EINVAL);

  EXPECT_EQ(aStream_CreateUSB(0x99, &stream_), aErrNotFound);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(aStream_CreateUSB(1, &stream_), aErrConfiguration);
  EXPECT_EQ(aStream_CreateUSB(2, &stream_), aErrConfiguration);
  EXPECT_EQ(aStream_CreateUSB(3, &stream_), aErrBusy);
  EXPECT_EQ(aStream_CreateUSB(4, &stream_), aErrBusy);
  EXPECT_EQ(aStream_CreateUSB(5, &stream_), aErrUnknown);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(aStream_CreateUSB(5, nullptr), aErrParam);
}

TEST_F(UsbStreamTest, WritesGoOutInPacketSizedChunksNeverOf512) {
  UsbModuleModel& module = AddModule();
  Open();
  std::vector<uint8_t> data(600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
  ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
  EXPECT_EQ(module.OutTransferSizes(), (std::vector<size_t>{511, 89}));
  EXPECT_EQ(module.OutBytes(), data);

  const uint8_t ident[] = {0xAD, 0x00};
  ASSERT_EQ(aStream_Write(stream_, ident, 2), aErrNone);
  ASSERT_EQ(aStream_Write(stream_, ident, 1), aErrNone);  // put
  EXPECT_EQ(module.OutTransferSizes(), (std::vector<size_t>{511, 89, 2, 1}));
}

TEST_F(UsbStreamTest, SmallPacketSizeWriteIsOneTransfer) {
  UsbModuleDescription d = Module();
  d.outMaxPacket = 64;
  UsbModuleModel& module = Add(d);
  Open();
  std::vector<uint8_t> data(64, 0x5A);
  ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
  EXPECT_EQ(module.OutTransferSizes(), std::vector<size_t>{64});
  std::vector<uint8_t> more(130, 0x11);
  ASSERT_EQ(aStream_Write(stream_, more.data(), more.size()), aErrNone);
  EXPECT_EQ(module.OutTransferSizes(), (std::vector<size_t>{64, 64, 64, 2}));
}

TEST_F(UsbStreamTest, StalledOutEndpointIsClearedAndTheChunkResent) {
  UsbModuleModel& module = AddModule();
  Open();
  module.FailNextOut(2, -EPIPE);
  const uint8_t data[] = {0x04, 0x01, 0x07};
  ASSERT_EQ(aStream_Write(stream_, data, sizeof(data)), aErrNone);
  EXPECT_EQ(module.HaltsCleared(0x02), 2);
  EXPECT_EQ(module.OutTransferSizes(), std::vector<size_t>{3});

  // A link that never takes the bytes: ten failed transfers, then an error.
  module.FailNextOut(100, -EPROTO);
  EXPECT_EQ(aStream_Write(stream_, data, sizeof(data)), aErrWrite);
}

TEST_F(UsbStreamTest, OneBulkReadServesManyByteReads) {
  UsbModuleModel& module = AddModule();
  Open();
  module.QueueIn(std::string("\x06\x00\x06\x00", 4));
  uint8_t got[4] = {};
  ASSERT_EQ(aStream_Read(stream_, got, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 4), std::string("\x06\x00\x06\x00", 4));
  // Nothing more: the bounded wait ends in a time-out.
  EXPECT_EQ(aStream_WaitReadable(stream_, 50), aErrTimeout);
  EXPECT_EQ(aStream_WaitReadable(stream_, 0), aErrTimeout);  // not "for ever"
  module.QueueIn("Z");
  EXPECT_EQ(aStream_WaitReadable(stream_, 500), aErrNone);
  uint8_t b = 0;
  EXPECT_EQ(Get(&b), aErrNone);
  EXPECT_EQ(b, 'Z');
}

TEST_F(UsbStreamTest, TimeOutAfterThreeBytesDeliversThemOnePerCall) {
  UsbModuleModel& module = AddModule();
  Open();
  UsbInReply partial;
  partial.data = {0x11, 0x22, 0x33};
  partial.holdUntilCancel = true;
  module.QueueIn(partial);
  uint8_t b = 0;
  ASSERT_EQ(Get(&b), aErrNone);  // after the get's short transfer time-out
  EXPECT_EQ(b, 0x11);
  ASSERT_EQ(Get(&b), aErrNone);
  EXPECT_EQ(b, 0x22);
  ASSERT_EQ(Get(&b), aErrNone);
  EXPECT_EQ(b, 0x33);
  EXPECT_EQ(aStream_WaitReadable(stream_, 50), aErrTimeout);
}

TEST_F(UsbStreamTest, StalledInEndpointIsClearedAndReadsNotReady) {
  UsbModuleModel& module = AddModule();
  Open();
  UsbInReply stall;
  stall.status = -EPIPE;
  module.QueueIn(stall);
  uint8_t b = 0;
  EXPECT_EQ(Get(&b), aErrNotReady);
  EXPECT_EQ(module.HaltsCleared(0x81), 1);
}

TEST_F(UsbStreamTest, FourIOErrorsAreToleratedTheFifthFailsTheDriver) {
  UsbModuleModel& module = AddModule();
  Open();
  UsbInReply ioError;
  ioError.status = -EPROTO;
  // A success in between starts the count again.
  for (int i = 0; i < 3; ++i) module.QueueIn(ioError);
  module.QueueIn("k");
  for (int i = 0; i < 5; ++i) module.QueueIn(ioError);

  uint8_t b = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(&b), aErrNotReady) << i;
  ASSERT_EQ(Get(&b), aErrNone);
  EXPECT_EQ(b, 'k');
  // Tolerated errors deliver no byte: "not ready", never a byte of nothing.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(&b), aErrNotReady) << i;
  EXPECT_EQ(Get(&b), aErrIO);
  // Failed for good, whatever the module does now.
  module.QueueIn("x");
  EXPECT_EQ(Get(&b), aErrIO);
  EXPECT_EQ(aStream_Write(stream_, &b, 1), aErrIO);
  EXPECT_EQ(aStream_WaitReadable(stream_, 10), aErrIO);
  // The stream still comes apart cleanly.
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(module.Releases(), 1);
}

TEST_F(UsbStreamTest, DestroyReleasesTheInterfaceAndAllowsReopening) {
  UsbModuleModel& module = AddModule();
  Open();
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(module.Releases(), 1);
  Open();
  EXPECT_EQ(module.Claims(), 2);
}

// The kernel node is a character device the module's driver provides; here
// a pseudo-terminal in raw mode stands in for it, linked into the testbed's
// /dev under the node's name.
TEST_F(UsbStreamTest, KernelNodeCarriesTheStreamWhenInstalled) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  struct termios raw = {};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  char* root = umockdev_testbed_get_root_dir(testbed_);
  const std::string devDir = std::string(root) + "/dev";
  g_free(root);
  mkdir(devDir.c_str(), 0755);
  const std::string node = devDir + "/korvex.0000ABCD";
  ASSERT_EQ(symlink(ptsname(master), node.c_str()), 0);

  EXPECT_TRUE(kxusb_is_kernel_driver_installed(0xABCD));
  EXPECT_FALSE(kxusb_is_kernel_driver_installed(0xABCE));
  Open(0xABCD);  // no USB device exists: only the node can carry it

  ASSERT_EQ(write(master, "\x06\x00", 2), 2);
  EXPECT_EQ(aStream_WaitReadable(stream_, 1000), aErrNone);
  uint8_t got[2] = {0xFF, 0xFF};
  ASSERT_EQ(aStream_Read(stream_, got, 2), aErrNone);
  EXPECT_EQ(got[0], 0x06);
  EXPECT_EQ(got[1], 0x00);
  EXPECT_EQ(aStream_WaitReadable(stream_, 50), aErrTimeout);

  std::vector<uint8_t> data(600, 0x42);
  ASSERT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
  size_t received = 0;
  for (int i = 0; i < 100 && received < data.size(); ++i) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    char buf[1024];
    const ssize_t n = read(master, buf, sizeof(buf));
    if (n > 0) received += static_cast<size_t>(n);
  }
  EXPECT_EQ(received, data.size());
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  unlink(node.c_str());
  close(master);
}

// The updater's exit of the shared context must not pull a context from
// under a stream that is still open: each stream has a context of its own,
// so the stream keeps working, and nothing waits for it.
TEST_F(UsbStreamTest, ContextExitWaitsForOpenStreams) {
  UsbModuleModel& module = AddModule();
  Open();
  Korvex_libusb_exit();
  EXPECT_FALSE(Korvex_libusb_exit_pending());
  const uint8_t out[2] = {0x06, 0x00};
  EXPECT_EQ(aStream_Write(stream_, out, sizeof(out)), aErrNone);
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(module.Releases(), 1);
  EXPECT_FALSE(Korvex_libusb_exit_pending());
  Open();  // a fresh context finds the module again
  EXPECT_EQ(module.Claims(), 2);
}

}  // namespace
