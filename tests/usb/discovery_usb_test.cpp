// The USB search and the USB open through the real libusb against
// simulated devices. Runs under umockdev-wrapper; skipped elsewhere.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "common/aStream.h"
#include "common/aUSBDefs.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"
#include "tests/usb/usb_module_model.h"

namespace {

struct Seen {
  std::vector<linkSpec> records;
  size_t stopAfter = 0;  // 0: never stop
};

bool Collect(const linkSpec* record, bool* counted, void* context) {
  Seen* seen = static_cast<Seen*>(context);
  seen->records.push_back(*record);
  *counted = true;
  return seen->stopAfter == 0 || seen->records.size() < seen->stopAfter;
}

class UsbDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbSimulationAvailable()) GTEST_SKIP() << "needs umockdev-wrapper";
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
  }
  void TearDown() override {
    Korvex_libusb_exit();
    if (testbed_ != nullptr) g_object_unref(testbed_);
    models_.clear();
  }
  UsbModuleModel& Add(const std::string& serial, uint16_t product = 0x0015,
                      uint16_t vendor = aVELMARIS_USB_VENDOR_ID) {
    UsbModuleDescription d;
    d.vendor = vendor;
    d.product = product;
    d.serial = serial;
    models_.emplace_back(
        new UsbModuleModel(testbed_, static_cast<int>(models_.size()) + 1, d));
    return *models_.back();
  }
  // The search's count; the records in order of serial number.
  uint32_t Search(Seen& seen) {
    const uint32_t count = aDiscovery_EnumerateModules(USB, Collect, &seen, 0);
    std::sort(seen.records.begin(), seen.records.end(),
              [](const linkSpec& a, const linkSpec& b) { return a.serialNumber < b.serialNumber; });
    return count;
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::vector<std::unique_ptr<UsbModuleModel>> models_;
};

TEST_F(UsbDiscoveryTest, ListsOnlyModulesWithEightHexDigitSerials) {
  // Devices the search must pass over, each with why.
  Add("1234ABCD", 0x8001);              // maker's product outside the module range
  Add("1234ABCD", 0x8000);
  Add("1234ABCD", 0x0015, 0x1234);      // another maker
  Add("1234ABC");                       // seven characters
  Add("1234ABCDE");                     // nine
  Add("1234ABCG");                      // not hexadecimal
  Add("+234ABCD");
  Add(" 234ABCD");
  Add("0x34ABCD");
  Add("");
  Add("00c0ffee", 0x7F21);              // lower case counts; model = low byte
  Add("0BADF00D", 0x0000);

  Seen seen;
  EXPECT_EQ(Search(seen), 2u);
  ASSERT_EQ(seen.records.size(), 2u);
  const linkSpec& a = seen.records[0];
  EXPECT_EQ(a.type, USB);
  EXPECT_EQ(a.serialNumber, 0x00C0FFEEu);
  EXPECT_EQ(a.model, 0x21u);
  EXPECT_EQ(a.moduleAddress | a.routerAddress | a.routerSerialNumber | a.port, 0u);
  uint32_t address = 0;
  memcpy(&address, a.address, 4);
  EXPECT_EQ(address, 0x00C0FFEEu);
  EXPECT_EQ(seen.records[1].serialNumber, 0x0BADF00Du);
  EXPECT_EQ(seen.records[1].model, 0u);
  const uint8_t zero[sizeof(a.reserved)] = {};
  EXPECT_EQ(memcmp(a.reserved, zero, sizeof(zero)), 0);
}

TEST_F(UsbDiscoveryTest, CallbackStopsTheSearchAndFindReturnsTheDeliveredRecord) {
  Add("00000001");
  Add("00000002");
  Add("00000003");
  Seen all;
  ASSERT_EQ(Search(all), 3u);
  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(Search(first), 1u);
  EXPECT_EQ(first.records.size(), 1u);

  linkSpec* found = aDiscovery_FindModule(USB, 2, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(memcmp(found, &all.records[1], sizeof(linkSpec)), 0);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x99, 0), nullptr);
  found = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found->serialNumber, 0u);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(SERIAL, 1, 0), nullptr);  // no search of that type
}

// A device of ours whose node we may not open is skipped: a wanted serial
// number elsewhere stays "not found", and the refusal is kept as a hint.
TEST_F(UsbDiscoveryTest, ADeviceWeMayNotOpenLeavesNotFoundAndAHint) {
  Add("00000001");
  Add("00000002");
  gchar* rootDir = umockdev_testbed_get_root_dir(testbed_);
  const std::string root = rootDir;
  g_free(rootDir);
  // Everything readable, the device sockets usable, the nodes as set below.
  ASSERT_EQ(std::system(("chmod -R a+rX " + root + " && chmod -R a+rwX " + root + "/ioctl").c_str()), 0);
  ASSERT_EQ(chmod((root + "/dev/bus/usb/001/001").c_str(), 0666), 0);
  ASSERT_EQ(chmod((root + "/dev/bus/usb/001/002").c_str(), 0600), 0);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take another user's rights";

  ASSERT_NE(Korvex_libusb_context(), nullptr);  // as root: it watches the bus
  ASSERT_EQ(seteuid(65534), 0);  // nobody: the 0600 node refuses it
  Seen seen;
  const uint32_t count = Search(seen);
  const bool searchDenied = Korvex_usb_access_denied();
  aStreamRef stream = nullptr;
  const aErr missing = aStream_CreateUSB(0x99, &stream);
  const bool openDenied = Korvex_usb_access_denied();
  Korvex_libusb_exit();
  ASSERT_EQ(seteuid(0), 0);

  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(searchDenied);
  EXPECT_EQ(missing, aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(openDenied);

  seen.records.clear();
  ASSERT_EQ(Search(seen), 2u);  // root may open both
  EXPECT_FALSE(Korvex_usb_access_denied());
}

}  // namespace
