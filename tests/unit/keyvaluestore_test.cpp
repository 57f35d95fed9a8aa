#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "store/AtomicWrite.h"
#include "store/KeyValueStore.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/test_support.h"

using testsupport::LogCapture;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {
size_t Lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}
}  // namespace

TEST(KeyValueStore, LoadingAMissingFileCreatesItWithTwoStamps) {
  TempDir dir;
  std::string path = dir.join(".settings");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store;
  EXPECT_EQ(store.Load(path.c_str()), aErrNotFound);
  EXPECT_TRUE(log.Contains("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
  std::string text = ReadFile(path);
  ASSERT_EQ(Lines(text), 2u);
  EXPECT_EQ(text.rfind("CREATED_TIME=", 0), 0u);
  EXPECT_NE(text.find("\nUPDATED_TIME="), std::string::npos);
  // ctime text: "Mon Dec  7 20:01:02 2026"
  std::string stamp = store.GetString("CREATED_TIME");
  EXPECT_EQ(stamp.size(), 24u);
  EXPECT_EQ(stamp[3], ' ');
  EXPECT_EQ(stamp[13], ':');
  EXPECT_FALSE(store.IsDirty());
  EXPECT_EQ(store.Path(), path);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(KeyValueStore, LineRules) {
  TempDir dir;
  std::string path = dir.join("a");
  WriteFile(path,
            "  Key Name  =  some value  \n"
            "a=b=c\n"
            "e=\n"
            "x\n"
            "#comment=1\n"
            "  #notcomment=2\n"
            "dup=1\n"
            "dup=2\n"
            "nokey\n"
            "= value without key\n"
            "crlf = v \r\n"
            "tab\t=\tv2\t\n"
            "last=no newline");
  KeyValueStore store(path.c_str());
  EXPECT_STREQ(store["Key Name"], "some value");
  EXPECT_STREQ(store["a"], "b=c");
  EXPECT_STREQ(store["e"], "");
  EXPECT_EQ(store["x"], nullptr);
  EXPECT_EQ(store["#comment"], nullptr);
  EXPECT_STREQ(store["#notcomment"], "2");
  EXPECT_STREQ(store["dup"], "2");
  EXPECT_STREQ(store["nokey"], "");
  EXPECT_EQ(store[""], nullptr);
  EXPECT_STREQ(store["crlf"], "v");
  EXPECT_STREQ(store["tab"], "v2");
  EXPECT_STREQ(store["last"], "no newline");
  EXPECT_FALSE(store.IsDirty());
  EXPECT_EQ(store.Size(), 9u);
}

TEST(KeyValueStore, LongLinesDoNotCutTheFileOff) {
  TempDir dir;
  std::string path = dir.join("a");
  std::string longValue(5000, 'v');
  WriteFile(path, "first=1\nlong=" + longValue + "\nafter=2\n");
  KeyValueStore store(path.c_str());
  EXPECT_STREQ(store["first"], "1");
  EXPECT_EQ(store.GetString("long"), longValue);
  EXPECT_STREQ(store["after"], "2");
  store.Add("new", 3);
  ASSERT_TRUE(store.Save());
  KeyValueStore again(path.c_str());
  EXPECT_STREQ(again["after"], "2");
  EXPECT_EQ(again.GetString("long"), longValue);
}

TEST(KeyValueStore, LoadMergesIntoExistingEntries) {
  TempDir dir;
  std::string path = dir.join("a");
  WriteFile(path, "b=2\n");
  KeyValueStore store;
  store.Add("a", "1");
  EXPECT_EQ(store.Load(path.c_str()), aErrNone);
  EXPECT_STREQ(store["a"], "1");
  EXPECT_STREQ(store["b"], "2");
  EXPECT_FALSE(store.IsDirty());
}

TEST(KeyValueStore, SaveWritesSortedKeysAndStampsOnlyWhenChanged) {
  TempDir dir;
  std::string path = dir.join("s");
  WriteFile(path, "LATEST_DOWNLOAD=1234.bird\nLAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026\n");
  KeyValueStore store(path.c_str());
  store.Add("LATEST_DOWNLOAD", "1234.bird");  // same value: still clean
  EXPECT_FALSE(store.IsDirty());
  ASSERT_TRUE(store.Save());
  EXPECT_EQ(ReadFile(path),
            "LAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026\nLATEST_DOWNLOAD=1234.bird\n");
  store.Add("LATEST_DOWNLOAD", "1300.bird");
  EXPECT_TRUE(store.IsDirty());
  ASSERT_TRUE(store.Save());
  std::string text = ReadFile(path);
  EXPECT_NE(text.find("LATEST_DOWNLOAD=1300.bird\nUPDATED_TIME="), std::string::npos);
  EXPECT_FALSE(store.IsDirty());
}

TEST(KeyValueStore, NumericGettersInsertAbsentKeysEmpty) {
  TempDir dir;
  std::string path = dir.join("s");
  WriteFile(path, "n=42abc\nz=abc\nempty=\nd=2.5\nb=0\nb2=7\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.GetInt("n", 9), 42);
  EXPECT_EQ(store.GetInt("z", 9), 0);
  EXPECT_EQ(store.GetInt("empty", 9), 9);
  EXPECT_EQ(store.GetInt("absent", 9), 9);
  EXPECT_DOUBLE_EQ(store.GetDouble("d", 1.0), 2.5);
  EXPECT_FALSE(store.GetBOOL("b", true));
  EXPECT_TRUE(store.GetBOOL("b2", false));
  EXPECT_TRUE(store.GetBOOL("absentbool", true));
  EXPECT_EQ(store.GetString("absentstring", "dflt"), "dflt");
  EXPECT_EQ(store.GetString("empty", "dflt"), "");
  EXPECT_FALSE(store.IsDirty());
  ASSERT_TRUE(store.Save());
  std::string text = ReadFile(path);
  EXPECT_EQ(text.rfind("absent=\nabsentbool=\n", 0), 0u);
    EXPECT_EQ(text.find("absentstring"), std::string::npos);
  EXPECT_EQ(text.find("UPDATED_TIME"), std::string::npos);
}

TEST(KeyValueStore, TypedSettersRoundTrip) {
  KeyValueStore store;
  for (uint32_t v : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    store.AddHex("h", v);
    EXPECT_EQ(store.GetHex("h"), v);
  }
  EXPECT_STREQ(store["h"], "0xFFFFFFFF");
  store.Add("i", -17);
  EXPECT_STREQ(store["i"], "-17");
  EXPECT_EQ(store.GetInt("i"), -17);
  store.Add("d", 1.5);
  EXPECT_STREQ(store["d"], "1.500000");
  store.Add("s", std::string("text with = sign"));
  store.Add("n", static_cast<const char*>(nullptr));
  EXPECT_STREQ(store["n"], "");
  KeyValueStore plain;
  plain.Add("ff", "ff");
  EXPECT_EQ(plain.GetHex("ff"), 0xFFu);
}

TEST(KeyValueStore, MergeAndClearMarkDirty) {
  KeyValueStore a, b;
  b.Add("k", "v");
  EXPECT_TRUE(a.Add(b));
  EXPECT_TRUE(a.IsDirty());
  EXPECT_STREQ(a["k"], "v");
  KeyValueStore c;
  c.Add(KeyValueStore());
  EXPECT_FALSE(c.IsDirty());
  c.Clear();
  EXPECT_TRUE(c.IsDirty());
  EXPECT_EQ(c.Size(), 0u);
  KeyValueStore copy(a);
  EXPECT_TRUE(copy.IsDirty());
  EXPECT_STREQ(copy["k"], "v");
}

TEST(KeyValueStore, FailedSaveKeepsTheOldFileAndStaysDirty) {
  TempDir dir;
  std::string path = dir.join("missingdir/.settings");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store;
  store.Add("k", "v");
  EXPECT_FALSE(store.Save(path.c_str()));
  EXPECT_TRUE(store.IsDirty());
  EXPECT_TRUE(log.Contains("Attibutes: Error - cannot open attributes file for writting: '" + path +
                           "' (2)\n"));
  // A directory standing where the file should be: nothing replaced.
  std::string blocked = dir.join("blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  EXPECT_FALSE(store.Save(blocked.c_str()));
  struct stat st;
  ASSERT_EQ(stat(blocked.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  // No temporary files are left behind.
  EXPECT_EQ(system(("test -z \"$(ls -A " + dir.path() + " | grep -v blocked)\"").c_str()), 0);
}

TEST(KeyValueStore, SaveReplacesAtomicallyAndKeepsMode) {
  TempDir dir;
  std::string path = dir.join("s");
  WriteFile(path, "old=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  KeyValueStore store(path.c_str());
  store.Add("new", 2);
  ASSERT_TRUE(store.Save());
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file was renamed in
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(path).rfind("UPDATED_TIME=", 0), 0u);
  EXPECT_NE(ReadFile(path).find("\nnew=2\nold=1\n"), std::string::npos);
}

TEST(KeyValueStore, PreparedSaveReachesTheFileOnlyWhenCommitted) {
  TempDir dir;
  const std::string path = dir.join("s");
  WriteFile(path, "old=1\n");
  KeyValueStore store(path.c_str());
  store.Add("new", 2);
  {
    AtomicFileWriter dropped;
    ASSERT_TRUE(store.PrepareSave(dropped));
    EXPECT_EQ(ReadFile(path), "old=1\n");
    EXPECT_TRUE(store.IsDirty());
  }
  // The dropped writer took its temporary file with it.
  EXPECT_EQ(system(("test \"$(ls -A " + dir.path() + ")\" = s").c_str()), 0);
  AtomicFileWriter writer;
  ASSERT_TRUE(store.PrepareSave(writer));
  ASSERT_TRUE(store.CommitSave(writer));
  EXPECT_FALSE(store.IsDirty());
  EXPECT_NE(ReadFile(path).find("\nnew=2\nold=1\n"), std::string::npos);
  // Committing twice: nothing prepared, the store stays dirty.
  store.Add("more", 3);
  EXPECT_FALSE(store.CommitSave(writer));
  EXPECT_TRUE(store.IsDirty());
}

TEST(KeyValueStore, ParseTextFollowsTheLineRules) {
  KeyValueStore store;
  const char text[] = "a=1\nb\n c = 3 \n#d=4";
  store.ParseText(text, sizeof text - 1);
  EXPECT_STREQ(store["a"], "1");
  EXPECT_EQ(store["b"], nullptr);
  EXPECT_STREQ(store["c"], "3");
  EXPECT_EQ(store["#d"], nullptr);
}

TEST(KeyValueStore, LineBreaksInValuesCannotForgeEntries) {
  TempDir dir;
  std::string path = dir.join("s");
  KeyValueStore store;
  store.Add("LATEST_TRANSFER", "/tmp/a\nLATEST_DOWNLOAD=9999.bird\r");
  ASSERT_TRUE(store.Save(path.c_str()));
  KeyValueStore again(path.c_str());
  EXPECT_EQ(again["LATEST_DOWNLOAD"], nullptr);
  EXPECT_STREQ(again["LATEST_TRANSFER"], "/tmp/a LATEST_DOWNLOAD=9999.bird");
}

TEST(KeyValueStore, AnExistingFileThatCannotBeOpenedIsNotReplaced) {
  TempDir dir;
  std::string path = dir.join("s");
  WriteFile(path, "LATEST_DOWNLOAD=1234.bird\n");
  // Exhaust a lowered descriptor limit so that opening fails with EMFILE.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<FILE*> held;
  while (held.size() < 64) {
    FILE* f = std::fopen("/dev/null", "r");
    if (!f) break;
    held.push_back(f);
  }
  KeyValueStore store;
  aErr err = store.Load(path.c_str());
  for (FILE* f : held) std::fclose(f);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(err, aErrIO);
  EXPECT_EQ(ReadFile(path), "LATEST_DOWNLOAD=1234.bird\n");
  EXPECT_EQ(store.Size(), 0u);
}

TEST(KeyValueStore, OutOfRangeNumbersSaturate) {
  KeyValueStore store;
  store.Add("big", "99999999999");
  store.Add("small", "-99999999999");
  store.Add("hex", "0x100000000");
  EXPECT_EQ(store.GetInt("big"), 2147483647);
  EXPECT_EQ(store.GetInt("small"), -2147483647 - 1);
  EXPECT_TRUE(store.GetBOOL("big"));
  EXPECT_EQ(store.GetHex("hex"), 0xFFFFFFFFu);
}

// A store saves to the file it was read from or told, never to a
// ".settings" in the current directory, and never over a history it could
// not read.
TEST(KeyValueStore, SavesOnlyToItsOwnFile) {
  TempDir dir;
  const std::string loop = dir.join("loop"), fifo = dir.join("fifo");
  ASSERT_EQ(symlink("loop", loop.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  KeyValueStore unnamed;
  unnamed.Add("k", "v");
  EXPECT_FALSE(unnamed.Save());
  for (const std::string& path : {loop, fifo, dir.path()}) {
    KeyValueStore store;
    EXPECT_EQ(store.Load(path.c_str()), aErrIO) << path;
    EXPECT_TRUE(store.Unreadable() && store.LastError() != 0) << path;
    store.Add("LATEST_DOWNLOAD", "1.bird");
    EXPECT_FALSE(store.Save()) << path;
  }
  ASSERT_EQ(chdir(saved), 0);
  struct stat st;
  EXPECT_NE(lstat(dir.join(".settings").c_str(), &st), 0) << "nothing in the current directory";
  EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(lstat(loop.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}
