#include "tests/usb/usb_module_model.h"

#include <cstdio>

UsbModuleModel::UsbModuleModel(UMockdevTestbed* testbed, int address,
                               const UsbModuleDescription& description)
    : device_(testbed, address, description, *this) {
  std::string error;
  if (!device_.Plug(error)) std::fprintf(stderr, "usb model: %s\n", error.c_str());
}

int UsbModuleModel::Out(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> guard(lock_);
  if (outFailures_ > 0) {
    --outFailures_;
    return outFailureStatus_;
  }
  outSizes_.push_back(length);
  if (length > 0) outBytes_.insert(outBytes_.end(), data, data + length);
  return 0;
}

// A reply longer than the transfer is cut; the rest is lost.
bool UsbModuleModel::In(size_t, UsbInReply& reply) {
  std::lock_guard<std::mutex> guard(lock_);
  if (inReplies_.empty()) return false;
  reply = inReplies_.front();
  inReplies_.pop_front();
  return true;
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

std::vector<size_t> UsbModuleModel::OutTransferSizes() {
  std::lock_guard<std::mutex> guard(lock_);
  return outSizes_;
}

std::vector<uint8_t> UsbModuleModel::OutBytes() {
  std::lock_guard<std::mutex> guard(lock_);
  return outBytes_;
}
