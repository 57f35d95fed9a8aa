// The USB forwarders built against a library name that does not exist:
// every call fails as libusb reports failure, and one line says why.
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <string>

TEST(UsbLoader, WithoutTheLibraryEveryCallFailsAsLibusbWould) {
  testing::internal::CaptureStderr();
  libusb_context* context = nullptr;
  EXPECT_EQ(libusb_init(&context), LIBUSB_ERROR_NOT_SUPPORTED);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("USB is unavailable: cannot load libkorvex-absent.so.0", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);

  testing::internal::CaptureStderr();
  libusb_device** list = nullptr;
  EXPECT_LT(libusb_get_device_list(context, &list), 0);
  libusb_device_handle* handle = nullptr;
  EXPECT_EQ(libusb_open(nullptr, &handle), LIBUSB_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(libusb_get_device(handle), nullptr);
  int moved = 0;
  unsigned char byte = 0;
  EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, &byte, 1, &moved, 10), LIBUSB_ERROR_NOT_SUPPORTED);
  EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NOT_SUPPORTED), "LIBUSB_ERROR_NOT_SUPPORTED");
  libusb_free_device_list(list, 1);
  libusb_close(handle);
  libusb_exit(context);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "said once";
}
