// Store slots, factory data and the packet log of the Link object, against
// the module simulator and against scripted modules with malformed answers.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/aLink.h"
#include "tests/threaded/link_object_support.h"

using Velmaris::Korvex::Link;
using namespace linkobject;

namespace {

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + 1);
  return b;
}

TEST(LinkSlots, StoreSlotRoundTrip) {
  World w({"serial=1,tcp,store_slots=2,slot_capacity=512"});
  Link link(w.spec(), "store");
  ASSERT_EQ(link.connect(), aErrNone);
  const Bytes data = Pattern(100);
  ASSERT_EQ(link.loadStoreSlot(2, 0, 1, data.data(), data.size()), aErrNone);
  size_t size = 0, capacity = 0;
  ASSERT_EQ(link.storeSlotSize(2, 0, 1, size), aErrNone);
  EXPECT_EQ(size, 100u);
  ASSERT_EQ(link.storeSlotCapacity(2, 0, 1, capacity), aErrNone);
  EXPECT_EQ(capacity, 512u);

  Bytes out(128);
  size_t count = 0;
  ASSERT_EQ(link.unloadStoreSlot(2, 0, 1, out.data(), out.size(), &count), aErrNone);
  ASSERT_EQ(count, 100u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  // A smaller buffer gets what fits and learns that there was more.
  Bytes small(40);
  EXPECT_EQ(link.unloadStoreSlot(2, 0, 1, small.data(), small.size(), &count), aErrOverrun);
  EXPECT_EQ(count, 40u);
  EXPECT_TRUE(std::equal(small.begin(), small.end(), data.begin()));

  EXPECT_EQ(link.storeSlotSize(2, 0, 5, size), aErrIndexRange);
  EXPECT_EQ(link.storeSlotSize(2, 1, 0, size), aErrNotFound);
  EXPECT_EQ(link.loadStoreSlot(2, 0, 5, data.data(), data.size()), aErrMedia);
  const Bytes big = Pattern(600);
  EXPECT_EQ(link.loadStoreSlot(2, 0, 0, big.data(), big.size()), aErrOverrun);
}

TEST(LinkSlots, FactoryDataRoundTrip) {
  World w({"serial=1,tcp"});
  Link link(w.spec(), "factory");
  ASSERT_EQ(link.connect(), aErrNone);
  for (size_t n : {size_t(0), size_t(26), size_t(60), size_t(256)}) {
    const Bytes data = Pattern(n);
    ASSERT_EQ(link.setFactoryData(2, 2, data.data(), data.size()), aErrNone) << n;
    Bytes out(300);
    size_t count = 99;
    ASSERT_EQ(link.getFactoryData(2, 2, out.data(), out.size(), &count), aErrNone) << n;
    ASSERT_EQ(count, n);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  }
  Bytes out(30);
  size_t count = 0;
  EXPECT_EQ(link.getFactoryData(2, 2, out.data(), out.size(), &count), aErrOverrun);
  EXPECT_EQ(link.getFactoryData(2, 5, out.data(), out.size(), &count), aErrNotFound);
  EXPECT_EQ(link.getFactoryData(2, 0x10, out.data(), out.size(), &count), aErrParam);
  EXPECT_EQ(link.setFactoryData(2, 0x10, out.data(), out.size()), aErrParam);
  Bytes huge(65536);
  EXPECT_EQ(link.setFactoryData(2, 1, huge.data(), huge.size()), aErrParam);
}

// Store answers: size 60 (or as the case says), handle 0 for an open, the
// case's answer to a read, a proper close.
struct StoreScript {
  Bytes sizeReply;
  Bytes openReply;
  Bytes readReply;
  Bytes closeReply;
};

std::vector<Bytes> AnswerStore(const StoreScript& s, const Bytes& d) {
  if (d.size() < 2 || d[0] != 4) return {};
  switch (d[1]) {
    case 2: return {s.sizeReply};
    case 3: return {s.openReply};
    case 6: return {s.readReply};
    case 8: return {s.closeReply};
    default: return {};
  }
}

TEST(LinkSlots, MalformedStoreAnswers) {
  const Bytes size60 = {4, 2, 0, 0, 0, 60}, size10 = {4, 2, 0, 0, 0, 10};
  const Bytes open = {4, 3, 0, 0, 0}, close = {4, 8, 0, 0};
  Bytes chunk25 = {4, 6, 0};
  chunk25.resize(28, 0xEE);
  struct Case {
    const char* what;
    StoreScript script;
    size_t buffer;
    aErr expected;
    size_t count;
  } cases[] = {
      {"empty chunk before the end", {size60, open, {4, 6, 0}, close}, 60, aErrIO, 0},
      {"chunk above the space left", {size10, open, chunk25, close}, 10, aErrNone, 10},
      {"short size answer", {{4, 2, 0, 0}, open, chunk25, close}, 60, aErrIO, 0},
      {"short open answer", {size60, {4, 3, 0, 0}, chunk25, close}, 60, aErrMedia, 0},
      {"short close answer", {size10, open, chunk25, {4, 8, 0}}, 10, aErrIO, 10},
      {"error without its code", {size60, open, {4, 0x86, 0}, close}, 60, aErrIO, 0},
  };
  for (const Case& c : cases) {
    ScriptedModule module([&](const Bytes& d) { return AnswerStore(c.script, d); });
    Link link(module.spec(), c.what);
    ASSERT_EQ(link.connect(), aErrNone) << c.what;
    Bytes buffer(c.buffer);
    size_t count = 99;
    EXPECT_EQ(link.unloadStoreSlot(2, 0, 0, buffer.data(), buffer.size(), &count), c.expected)
        << c.what;
    EXPECT_EQ(count, c.count) << c.what;
  }
}

TEST(LinkSlots, MalformedFactoryAnswers) {
  struct Case {
    Bytes reply;
    aErr expected;
  } cases[] = {
      {{0x5E}, aErrUnknown},
      {{0x5E, 0x83}, aErrUnknown},  // error bit without a code
      {{0x5E, 0x83, aErrPermission}, aErrPermission},
  };
  for (const Case& c : cases) {
    ScriptedModule module([&](const Bytes& d) {
      return d.size() >= 2 && d[0] == 0x5E ? std::vector<Bytes>{c.reply} : std::vector<Bytes>{};
    });
    Link link(module.spec(), "factory");
    ASSERT_EQ(link.connect(), aErrNone);
    Bytes out(64);
    size_t count = 0;
    EXPECT_EQ(link.getFactoryData(2, 3, out.data(), out.size(), &count), c.expected);
  }
}

TEST(LinkSlots, PacketLog) {
  World w({"serial=1,tcp"});
  Link link(w.spec(), "log");
  EXPECT_EQ(link.enablePacketLog("/nonexistent/x"), aErrConfiguration);
  ASSERT_EQ(link.connect(), aErrNone);
  char dir[] = "/tmp/linklogXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/packets.log";
  ASSERT_EQ(link.enablePacketLog(path), aErrNone);
  uint8_t address = 0;
  ASSERT_EQ(link.getModuleAddress(address), aErrNone);
  std::string text;
  ASSERT_TRUE(WaitFor([&] {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    text = s.str();
    return text.find("2 < 0x2 0x0 \r\n") != std::string::npos;
  }));
  EXPECT_NE(text.find("6 < START\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("2 > 0xAD 0x0 \r\n"), std::string::npos) << text;
  EXPECT_EQ(link.disablePacketLog(), aErrNone);
  link.disconnect();
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
  std::remove(path.c_str());
  rmdir(dir);
}

}  // namespace
