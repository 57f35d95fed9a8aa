#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/BirdWriter.h"
#include "store/UpdaterStore.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/test_support.h"

using testsupport::LogCapture;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {
bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

TEST(BuildPath, JoinsWithSeparators) {
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("a", nullptr), "a");
  EXPECT_EQ(BuildPath("/r", "updater", "0000ABCD", ".settings", nullptr),
            "/r/updater/0000ABCD/.settings");
}

TEST(UpdaterStore, CreatesItsBaseDirectory) {
  TempDir dir;
  std::string base = dir.join("root/updater");
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(base);
  EXPECT_TRUE(IsDir(base));
  EXPECT_EQ(store.BasePath(), base);
  EXPECT_TRUE(log.Contains("UpdaterStore: Created directory [" + base + "].\n"));
  UpdaterStore again(base);
  EXPECT_TRUE(log.Contains("UpdaterStore: [" + base + "] already exists.\n"));
}

TEST(UpdaterStore, ThrowsWhenAFileIsInTheWay) {
  TempDir dir;
  std::string file = dir.join("updater");
  WriteFile(file, "x");
  try {
    UpdaterStore store(file);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "UpdaterStore: " + file + " exists and is a file");
  }
  try {
    UpdaterStore store(file + "/below");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("UpdaterStore: Could not create directory " + file +
                                              "/below error ",
                                          0),
              0u);
  }
  UpdaterStore store(dir.path());
  WriteFile(dir.join("0000ABCD"), "x");
  EXPECT_THROW(store.AddDevice(0xABCD), std::runtime_error);
  EXPECT_THROW(store.AddDevice(std::string("../escape")), std::runtime_error);
}

TEST(UpdaterStore, AddDeviceMakesDirectoryAndSettings) {
  TempDir dir;
  UpdaterStore store(dir.join("updater"));
  UpdaterStoreItem item = store.AddDevice(0xABCD);
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(item.base, dir.join("updater"));
  EXPECT_EQ(item.name, "0000ABCD");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(IsDir(dir.join("updater/0000ABCD")));
  std::string settings = ReadFile(dir.join("updater/0000ABCD/.settings"));
  EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u);
  EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
  EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);
  EXPECT_FALSE(UpdaterStoreItem().IsValid());
  EXPECT_EQ(UpdaterStoreItem().kind, STORE_ITEM_NONE);
}

TEST(UpdaterStore, FindDeviceMatchesTheEntryNameExactly) {
  TempDir dir;
  // The store's own path contains the serial text.
  std::string base = dir.join("0000ABCD/updater");
  UpdaterStore store(base);
  UpdaterStoreItem out;
  EXPECT_FALSE(store.FindDevice(0xABCD, &out));
  EXPECT_FALSE(out.IsValid());
  ASSERT_EQ(mkdir((base + "/0000ABCD.old").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((base + "/X0000ABCD").c_str(), 0755), 0);
  EXPECT_FALSE(store.FindDevice(0xABCD, nullptr));
  UpdaterStoreItem added = store.AddDevice(0xABCD);
  added.attributes.Add("LATEST_DOWNLOAD", "1234.bird");
  added.attributes.Save();
  LogCapture log(DEBUG_Updater);
  ASSERT_TRUE(store.FindDevice(0xABCD, &out));
  EXPECT_EQ(out.base, base);
  EXPECT_EQ(out.name, "0000ABCD");
  EXPECT_EQ(out.kind, STORE_ITEM_DIRECTORY);
  EXPECT_STREQ(out.attributes["LATEST_DOWNLOAD"], "1234.bird");
  EXPECT_TRUE(log.Contains("UpdaterStore: FindDevice Found 0000ABCD.\n"));
  EXPECT_TRUE(log.Contains("_find_item(["));
  EXPECT_FALSE(store.FindDevice(0xABC, nullptr));
  EXPECT_TRUE(log.Contains("UpdaterStore: FindDevice Not Found 00000ABC.\n"));
}

TEST(UpdaterStore, FindLocalBuildsListsVisibleEntries) {
  TempDir dir;
  UpdaterStore store(dir.path());
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x1234, items));  // unknown device
  EXPECT_TRUE(items.empty());
  UpdaterStoreItem device = store.AddDevice(0x1234);
  uint8_t bytes[3] = {1, 2, 3};
  ASSERT_EQ(device.WriteFile("1234.bird", bytes, 3), aErrNone);
  ASSERT_EQ(device.WriteFile("1300.bird", bytes, 3), aErrNone);
  ASSERT_EQ(device.WriteFile(".hidden", bytes, 3), aErrNone);
  EXPECT_TRUE(store.FindLocalBuilds(0x1234, items));
  ASSERT_EQ(items.size(), 2u);
  std::vector<std::string> names = {items[0].name, items[1].name};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1234.bird", "1300.bird"}));
  for (const UpdaterStoreItem& item : items) {
    EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    EXPECT_EQ(item.base, dir.join("00001234"));
  }
  // Listing creates no attribute files inside plain files' names.
  EXPECT_TRUE(device.FileExists("1234.bird"));
  EXPECT_FALSE(device.FileExists("1234.bir"));
  EXPECT_FALSE(device.FileExists("234.bird"));
}

TEST(UpdaterStore, WriteFileReplacesWholeFiles) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x42);
  uint8_t a[5] = {1, 2, 3, 4, 5};
  uint8_t b[2] = {9, 9};
  EXPECT_EQ(device.WriteFile("f", nullptr, 0), aErrNotFound);
  EXPECT_EQ(device.WriteFile("f", a, 5), aErrNone);
  EXPECT_EQ(device.WriteFile("f", b, 2), aErrNone);
  EXPECT_EQ(ReadFile(dir.join("00000042/f")), std::string("\x09\x09", 2));
  EXPECT_EQ(device.WriteFile("../f", a, 5), aErrParam);
  EXPECT_EQ(device.WriteFile("", a, 5), aErrParam);
  UpdaterStoreItem gone(dir.path(), "nodir", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("f", a, 5), aErrNotFound);
}

TEST(UpdaterStore, ReadBirdFileChecksAndLoads) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x42);
  BirdWriter w;
  uint8_t image[16] = {0};
  w.AddImage(BLOCK_FIRMWARE, 0, image, sizeof image);
  w.AddInfo(1300, "2.0.1", 0x42, "KX-1");
  std::vector<uint8_t> bytes = w.Build();
  ASSERT_EQ(device.WriteFile("1300.bird", bytes.data(), bytes.size()), aErrNone);
  BirdFile file = device.ReadBirdFile("1300.bird");
  EXPECT_EQ(file.GetBuild(), 1300u);
  EXPECT_EQ(file.GetVersion(), "2.0.1");

  uint8_t notBird[8] = {'n', 'o', 't', 'b', 'i', 'r', 'd', 0};
  ASSERT_EQ(device.WriteFile("bad.bird", notBird, sizeof notBird), aErrNone);
  try {
    device.ReadBirdFile("bad.bird");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid bird " + dir.join("00000042/bad.bird"));
  }
  uint8_t headerOnly[7] = {'b', 'i', 'r', 'd', 1, 1, 0};
  ASSERT_EQ(device.WriteFile("broken.bird", headerOnly, sizeof headerOnly), aErrNone);
  try {
    device.ReadBirdFile("broken.bird");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
  EXPECT_THROW(device.ReadBirdFile("missing.bird"), std::runtime_error);
}

TEST(UpdaterStore, ItemsCopyWithTheirAttributes) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem a = store.AddDevice(7);
  a.attributes.Add("k", "v");
  UpdaterStoreItem b(a);
  UpdaterStoreItem c;
  c = a;
  EXPECT_STREQ(b.attributes["k"], "v");
  EXPECT_TRUE(c.attributes.IsDirty());
  EXPECT_EQ(c.name, "00000007");
}

TEST(UpdaterStore, AddNewDeviceWritesItsHistoryOnlyWithTheFirstSave) {
  TempDir dir;
  UpdaterStore store(dir.join("updater"));
  UpdaterStoreItem item = store.AddNewDevice(0xABCD);
  EXPECT_TRUE(IsDir(dir.join("updater/0000ABCD")));
  struct stat st;
  EXPECT_NE(stat(dir.join("updater/0000ABCD/.settings").c_str(), &st), 0) << "nothing written yet";
  EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);
  item.attributes.Add("LATEST_DOWNLOAD", "1.bird");
  ASSERT_TRUE(item.attributes.Save(nullptr));
  const std::string settings = ReadFile(dir.join("updater/0000ABCD/.settings"));
  EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u);
  EXPECT_NE(settings.find("\nLATEST_DOWNLOAD=1.bird\n"), std::string::npos);
  EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);

  // A history already there is loaded, not replaced.
  UpdaterStoreItem again = store.AddNewDevice(0xABCD);
  EXPECT_STREQ(again.attributes["LATEST_DOWNLOAD"], "1.bird");
}

TEST(UpdaterStore, RemoveDeviceIfEmptyTakesOnlyAnEmptyDirectory) {
  TempDir dir;
  UpdaterStore store(dir.join("updater"));
  UpdaterStoreItem fresh = store.AddNewDevice(0x1);
  EXPECT_TRUE(store.RemoveDeviceIfEmpty(fresh));
  EXPECT_FALSE(IsDir(dir.join("updater/00000001")));
  EXPECT_FALSE(store.FindDevice(0x1, nullptr));

  UpdaterStoreItem kept = store.AddNewDevice(0x2);
  const uint8_t byte = 1;
  ASSERT_EQ(kept.WriteFile("1.bird", &byte, 1), aErrNone);
  EXPECT_FALSE(store.RemoveDeviceIfEmpty(kept));
  EXPECT_TRUE(IsDir(dir.join("updater/00000002")));
  EXPECT_FALSE(store.RemoveDeviceIfEmpty(UpdaterStoreItem()));
}

TEST(AtomicFileWriter, PreparedFileIsPutInPlaceOnlyByCommit) {
  TempDir dir;
  const std::string target = dir.join("f.bird");
  WriteFile(target, "old");
  const uint8_t bytes[3] = {'n', 'e', 'w'};
  {
    AtomicFileWriter writer;
    ASSERT_EQ(writer.Prepare(target.c_str(), bytes, sizeof bytes), aErrNone);
    EXPECT_EQ(ReadFile(target), "old") << "the target is untouched until Commit";
    EXPECT_EQ(writer.Commit(), aErrNone);
    EXPECT_EQ(writer.Commit(), aErrParam) << "nothing left to commit";
  }
  EXPECT_EQ(ReadFile(target), "new");
  {
    AtomicFileWriter abandoned;
    ASSERT_EQ(abandoned.Prepare(target.c_str(), bytes, 1), aErrNone);
  }
  EXPECT_EQ(ReadFile(target), "new") << "an uncommitted file is dropped";

  // A directory in the way: the rename fails and the temporary file goes.
  mkdir(dir.join("d.bird").c_str(), 0755);
  AtomicFileWriter blocked;
  ASSERT_EQ(blocked.Prepare(dir.join("d.bird").c_str(), bytes, sizeof bytes), aErrNone);
  int error = 0;
  EXPECT_EQ(blocked.Commit(&error), aErrWrite);
  EXPECT_NE(error, 0);
  EXPECT_EQ(blocked.Prepare(dir.join("missing/x").c_str(), bytes, 1), aErrNotFound);

  UpdaterStore store(dir.join("updater"));
  std::vector<UpdaterStoreItem> items;
  UpdaterStoreItem device = store.AddDevice(0x7);
  AtomicFileWriter viaItem;
  EXPECT_EQ(device.PrepareFile("../x", bytes, 1, viaItem), aErrParam);
  EXPECT_EQ(device.PrepareFile("1.bird", nullptr, 1, viaItem), aErrNotFound);
  ASSERT_EQ(device.PrepareFile("1.bird", bytes, sizeof bytes, viaItem), aErrNone);
  store.FindLocalBuilds(0x7, items);
  EXPECT_TRUE(items.empty()) << "a temporary file is never listed";
  EXPECT_FALSE(device.FileExists("1.bird"));
  EXPECT_EQ(viaItem.Commit(), aErrNone);
  EXPECT_EQ(ReadFile(dir.join("updater/00000007/1.bird")), "new");
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A file written as its bytes arrive: Begin, Append, Finish, then Commit;
// steps out of order are refused, and a failed or abandoned file leaves
// nothing behind.
TEST(AtomicFileWriter, FileWrittenInStepsIsPutInPlaceOnlyWhenFinishedAndCommitted) {
  TempDir dir;
  const std::string target = dir.join("s.bird");
  const uint8_t bytes[4] = {'a', 'b', 'c', 'd'};
  AtomicFileWriter writer;
  EXPECT_EQ(writer.Append(bytes, 1), aErrParam) << "nothing begun";
  EXPECT_EQ(writer.Finish(), aErrParam) << "nothing begun";
  ASSERT_EQ(writer.Begin(target.c_str()), aErrNone);
  const std::string temp = writer.TemporaryPath();
  EXPECT_FALSE(temp.empty());
  EXPECT_EQ(writer.Append(bytes, 2), aErrNone);
  EXPECT_EQ(writer.Append(bytes + 2, 0), aErrNone);
  EXPECT_EQ(writer.Append(nullptr, 1), aErrParam);
  EXPECT_EQ(writer.Append(bytes + 2, 2), aErrNone);
  EXPECT_EQ(writer.Commit(), aErrParam) << "not finished";
  EXPECT_FALSE(PathExists(target));
  EXPECT_EQ(writer.Finish(), aErrNone);
  EXPECT_EQ(writer.Append(bytes, 1), aErrParam) << "finished";
  EXPECT_EQ(writer.Commit(), aErrNone);
  EXPECT_EQ(ReadFile(target), "abcd");
  EXPECT_FALSE(PathExists(temp));

  {
    AtomicFileWriter abandoned;
    ASSERT_EQ(abandoned.Begin(target.c_str()), aErrNone);
    ASSERT_EQ(abandoned.Append(bytes, 1), aErrNone);
    const std::string left = abandoned.TemporaryPath();
    EXPECT_TRUE(PathExists(left));
    abandoned.Abandon();
    EXPECT_FALSE(PathExists(left));
    EXPECT_EQ(abandoned.Finish(), aErrParam);
  }
  EXPECT_EQ(ReadFile(target), "abcd") << "an abandoned file changes nothing";
  EXPECT_EQ(writer.Begin(dir.join("missing/x").c_str()), aErrNotFound);
  EXPECT_EQ(writer.Begin(nullptr), aErrParam);

  UpdaterStore store(dir.join("updater"));
  UpdaterStoreItem device = store.AddDevice(0x9);
  AtomicFileWriter viaItem;
  EXPECT_EQ(device.BeginFile("../x", viaItem), aErrParam);
  ASSERT_EQ(device.BeginFile("2.bird", viaItem), aErrNone);
  ASSERT_EQ(viaItem.Append(bytes, 3), aErrNone);
  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(0x9, items);
  EXPECT_TRUE(items.empty()) << "a file being written is never listed";
  ASSERT_EQ(viaItem.Finish(), aErrNone);
  ASSERT_EQ(viaItem.Commit(), aErrNone);
  EXPECT_EQ(ReadFile(dir.join("updater/00000009/2.bird")), "abc");
}

// Temporary files are dot names (never listed); those a killed writer left
// go with the next write into the directory, one a writer still holds stays.
TEST(UpdaterStore, LeftoverTemporariesGoWithTheNextWrite) {
  TempDir dir;
  UpdaterStore store(dir.join("updater"));
  UpdaterStoreItem device = store.AddDevice(0x7);
  const std::string path = device.Path() + "/";
  const std::vector<std::string> names = {".1.bird.tmpAb12Cd", "1.bird.tmpXy34Zw",
                                          "..settings.tmpQQ99qq", "notes.tmpAb12Cd", "2.bird"};
  for (const std::string& name : names) WriteFile(path + name, "x");
  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(0x7, items);
  EXPECT_EQ(items.size(), 2u) << "2.bird and notes.tmpAb12Cd";

  const uint8_t byte = 1;
  AtomicFileWriter held;
  ASSERT_EQ(held.Prepare((path + "3.bird").c_str(), &byte, 1), aErrNone);
  EXPECT_EQ(held.TemporaryPath().rfind(path + ".3.bird.tmp", 0), 0u);
  ASSERT_EQ(device.WriteFile("4.bird", &byte, 1), aErrNone);
  std::vector<std::string> left;
  struct stat st;
  for (const std::string& name : names)
    if (stat((path + name).c_str(), &st) == 0) left.push_back(name);
  EXPECT_EQ(left, (std::vector<std::string>{"notes.tmpAb12Cd", "2.bird"}));
  EXPECT_EQ(held.Commit(), aErrNone) << "a file still being written is left alone";
}

ino_t InodeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.' || std::string(entry->d_name).size() > 2) names.push_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// With IfChanged a target that already holds the bytes is kept (same file,
// nothing written); any difference, wherever it falls, puts the new bytes in
// place whole. Either way no temporary file stays.
TEST(AtomicFileWriter, SameBytesKeepTheTargetAndAnyDifferenceReplacesIt) {
  const std::string big(100 * 1024, 'q');  // beyond one comparison piece
  struct Case {
    const char* what;
    std::string old;
    std::vector<std::string> pieces;
    bool kept;
  } cases[] = {
      {"the same, in pieces", "abcdefgh", {"abc", "defgh"}, true},
      {"differs in the first piece", "abcdefgh", {"Xbc", "defgh"}, false},
      {"differs in a later piece", "abcdefgh", {"abc", "deXgh"}, false},
      {"longer", "abcdefgh", {"abcdefgh", "ij"}, false},
      {"a start of the target", "abcdefgh", {"abcd"}, false},
      {"a long matched start", big + big, {big, big.substr(1) + "r"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string target = dir.join("7.bird");
    WriteFile(target, c.old);
    const ino_t before = InodeOf(target);
    AtomicFileWriter writer;
    ASSERT_EQ(writer.Begin(target.c_str(), nullptr, AtomicReplace::IfChanged), aErrNone);
    std::string all;
    for (const std::string& piece : c.pieces) {
      ASSERT_EQ(writer.Append(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()),
                aErrNone);
      all += piece;
    }
    ASSERT_EQ(writer.Finish(), aErrNone);
    ASSERT_EQ(writer.Commit(), aErrNone);
    EXPECT_EQ(writer.KeptTarget(), c.kept);
    EXPECT_EQ(ReadFile(target) == all, true);
    EXPECT_EQ(InodeOf(target) == before, c.kept);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"7.bird"});
  }
}

// Between the comparison and Commit the target is left alone, replaced, or
// written in place (its size kept): only the first keeps it; otherwise the
// new bytes go in place all the same. An abandoned comparison leaves the
// target untouched.
TEST(AtomicFileWriter, KeepingTheTargetNeedsItUntouchedSinceItWasCompared) {
  const struct Case {
    const char* what;
    void (*touch)(const TempDir& dir, const std::string& target);
    bool kept;
  } cases[] = {
      {"left alone", [](const TempDir&, const std::string&) {}, true},
      {"replaced",
       [](const TempDir& dir, const std::string& target) {
         WriteFile(dir.join("other"), "zzzzzz");
         ASSERT_EQ(::rename(dir.join("other").c_str(), target.c_str()), 0);
       },
       false},
      {"written in place",
       [](const TempDir&, const std::string& target) {
         const struct timespec later[2] = {{0, UTIME_OMIT}, {1, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), later, 0), 0);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string target = dir.join("7.bird");
    WriteFile(target, "abcdef");
    AtomicFileWriter writer;
    ASSERT_EQ(writer.Begin(target.c_str(), nullptr, AtomicReplace::IfChanged), aErrNone);
    ASSERT_EQ(writer.Append(reinterpret_cast<const uint8_t*>("abcdef"), 6), aErrNone);
    ASSERT_EQ(writer.Finish(), aErrNone);
    c.touch(dir, target);
    ASSERT_EQ(writer.Commit(), aErrNone);
    EXPECT_EQ(writer.KeptTarget(), c.kept);
    EXPECT_EQ(ReadFile(target), "abcdef");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"7.bird"});
  }
  TempDir dir;
  const std::string target = dir.join("7.bird");
  WriteFile(target, "abcdef");
  {
    AtomicFileWriter abandoned;
    ASSERT_EQ(abandoned.Begin(target.c_str(), nullptr, AtomicReplace::IfChanged), aErrNone);
    ASSERT_EQ(abandoned.Append(reinterpret_cast<const uint8_t*>("abX"), 3), aErrNone);
  }
  EXPECT_EQ(ReadFile(target), "abcdef");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"7.bird"});
}
