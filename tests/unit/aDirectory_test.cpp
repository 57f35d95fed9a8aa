#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "common/aDirectory.h"
#include "tests/unit/test_support.h"

using testsupport::TempDir;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : saved_(umask(mask)) {}
  ~UmaskGuard() { umask(saved_); }

 private:
  mode_t saved_;
};

}  // namespace

TEST(aDirectory, EnsureCreatesOneLevel) {
  TempDir dir;
  const std::string path = dir.join("one");
  EXPECT_EQ(aErrNone, aDirectory_Ensure(path.c_str(), 0755));
  EXPECT_TRUE(aDirectory_Exists(path.c_str()));
}

TEST(aDirectory, EnsureCreatesSeveralMissingLevelsWithMode) {
  UmaskGuard mask(022);
  TempDir dir;
  const std::string path = dir.join("a/b/c");
  EXPECT_EQ(aErrNone, aDirectory_Ensure(path.c_str(), 0755));
  for (const char* level : {"a", "a/b", "a/b/c"}) {
    EXPECT_EQ(0755u, ModeOf(dir.join(level))) << level;
  }
  // Doubled and trailing separators are harmless.
  EXPECT_EQ(aErrNone, aDirectory_Ensure(dir.join("x//y/").c_str(), 0700));
  EXPECT_EQ(0700u, ModeOf(dir.join("x/y")));
}

TEST(aDirectory, EnsureRelativePathAndExistingPath) {
  TempDir dir;
  char cwd[aDIRECTORY_PATH_MAX];
  ASSERT_EQ(aErrNone, aDirectory_CWD(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  EXPECT_EQ(aErrNone, aDirectory_Ensure("rel/one/two", 0755));
  EXPECT_TRUE(aDirectory_Exists("rel/one/two"));
  EXPECT_EQ(aErrNone, aDirectory_Ensure("rel/one/two", 0700));
  EXPECT_EQ(0755u, ModeOf("rel/one/two"));  // an existing path is left as it is
  ASSERT_EQ(0, chdir(cwd));
}

TEST(aDirectory, EnsureFailsWhereAFileBlocksThePath) {
  TempDir dir;
  testsupport::WriteFile(dir.join("file"), "x");
  EXPECT_EQ(aErrPermission, aDirectory_Ensure(dir.join("file").c_str(), 0755));
  EXPECT_EQ(aErrPermission, aDirectory_Ensure(dir.join("file/sub").c_str(), 0755));
  EXPECT_EQ(aErrParam, aDirectory_Ensure("", 0755));
}

TEST(aDirectory, JoinPathSeparators) {
  char out[64];
  EXPECT_EQ(aErrNone, aDirectory_JoinPath(out, sizeof(out), "a/", "b"));
  EXPECT_STREQ("a/b", out);
  EXPECT_EQ(aErrNone, aDirectory_JoinPath(out, sizeof(out), "a", "/b"));
  EXPECT_STREQ("a/b", out);
  EXPECT_EQ(aErrNone, aDirectory_JoinPath(out, sizeof(out), "a", "b"));
  EXPECT_STREQ("a/b", out);
  EXPECT_EQ(aErrNone, aDirectory_JoinPath(out, sizeof(out), "", "b"));
  EXPECT_STREQ("b", out);
}

TEST(aDirectory, BuildPathRejectsAliasesAndTooManyParts) {
  char out[64] = "a";
  EXPECT_EQ(aErrParam, aDirectory_JoinPath(out, sizeof(out), out, "b"));
  EXPECT_EQ(aErrParam, aDirectory_JoinPath(out, sizeof(out), "a", out));
  EXPECT_EQ(aErrParam, aDirectory_JoinPath(nullptr, 8, "a", "b"));

  char big[256];
  EXPECT_EQ(aErrNone, aDirectory_BuildPath(big, sizeof(big), "0", "1", "2", "3", "4", "5", "6",
                                           "7", "8", "9", static_cast<const char*>(nullptr)));
  EXPECT_STREQ("0/1/2/3/4/5/6/7/8/9", big);
  EXPECT_EQ(aErrParam, aDirectory_BuildPath(big, sizeof(big), "0", "1", "2", "3", "4", "5", "6",
                                            "7", "8", "9", "10", static_cast<const char*>(nullptr)));
}

TEST(aDirectory, BuildPathOverrun) {
  char out[8];
  EXPECT_EQ(aErrOverrun, aDirectory_JoinPath(out, sizeof(out), "1234567", "b"));
  EXPECT_EQ(aErrOverrun, aDirectory_JoinPath(out, sizeof(out), "123", "4567"));
  EXPECT_EQ(aErrNone, aDirectory_JoinPath(out, sizeof(out), "1/", "2"));
  EXPECT_STREQ("1/2", out);
}

namespace {
struct Listing {
  std::set<std::string> names;
  int calls = 0;
  int stopAfter = -1;
};
bool Collect(const aDirectoryListData* entry, void* ref) {
  Listing* listing = static_cast<Listing*>(ref);
  const char* slash = strrchr(entry->path, '/');
  std::string name = slash ? slash + 1 : entry->path;
  if (entry->isDirectory) name += "/";
  else name += ":" + std::to_string(entry->size);
  listing->names.insert(name);
  ++listing->calls;
  return listing->calls != listing->stopAfter;
}
}  // namespace

TEST(aDirectory, ListEntriesAndStop) {
  TempDir dir;
  testsupport::WriteFile(dir.join("f1"), "abc");
  ASSERT_EQ(aErrNone, aDirectory_Ensure(dir.join("sub").c_str(), 0755));

  Listing all;
  EXPECT_EQ(aErrNone, aDirectory_List(dir.path().c_str(), Collect, &all));
  EXPECT_EQ((std::set<std::string>{"./", "../", "f1:3", "sub/"}), all.names);

  Listing first;
  first.stopAfter = 1;
  EXPECT_EQ(aErrNone, aDirectory_List(dir.path().c_str(), Collect, &first));
  EXPECT_EQ(1, first.calls);

  Listing none;
  EXPECT_EQ(aErrNotFound, aDirectory_List(dir.join("missing").c_str(), Collect, &none));
  EXPECT_EQ(0, none.calls);
}

TEST(aDirectory, DeleteTreeRemovesEverythingButFollowsNoLink) {
  TempDir dir;
  TempDir outside;
  testsupport::WriteFile(outside.join("keep"), "precious");
  ASSERT_EQ(aErrNone, aDirectory_Ensure(dir.join("tree/a/b").c_str(), 0755));
  testsupport::WriteFile(dir.join("tree/a/b/f"), "x");
  testsupport::WriteFile(dir.join("tree/g"), "y");
  ASSERT_EQ(0, symlink(outside.path().c_str(), dir.join("tree/link").c_str()));

  EXPECT_EQ(aErrNone, aDirectory_DeleteTree(dir.join("tree").c_str()));
  EXPECT_FALSE(aDirectory_Exists(dir.join("tree").c_str()));
  EXPECT_EQ("precious", testsupport::ReadFile(outside.join("keep")));
  EXPECT_EQ(aErrNotFound, aDirectory_DeleteTree(dir.join("tree").c_str()));
  EXPECT_EQ(aErrUnknown, aDirectory_Delete(dir.join("tree").c_str()));
}

TEST(aDirectory, HomeAndExecutablePaths) {
  char home[aDIRECTORY_PATH_MAX];
  EXPECT_EQ(aErrNone, aDirectory_GetHomeDirectory(home, sizeof(home)));
  EXPECT_GT(strlen(home), 0u);
  char small[4];
  EXPECT_EQ(aErrNone, aDirectory_GetHomeDirectory(small, sizeof(small)));
  EXPECT_LT(strlen(small), sizeof(small));

  char exe[aDIRECTORY_PATH_MAX];
  EXPECT_EQ(aErrNone, aDirectory_ExecutableFilePath(exe, sizeof(exe)));
  EXPECT_NE(nullptr, strstr(exe, "unit_tests"));
  char cut[5];
  EXPECT_EQ(aErrNone, aDirectory_ExecutableFilePath(cut, sizeof(cut)));
  EXPECT_EQ(4u, strlen(cut));

  char cwd[2];
  EXPECT_EQ(aErrParam, aDirectory_CWD(cwd, sizeof(cwd)));
}
