#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

#include "common/aDirectory.h"
#include "common/aFile.h"
#include "tests/unit/test_support.h"

using testsupport::TempDir;

namespace {
const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }
}  // namespace

TEST(aFile, OpenRefusesBadArguments) {
  TempDir dir;
  EXPECT_EQ(nullptr, aFile_Open(nullptr, aFileModeReadOnly));
  EXPECT_EQ(nullptr, aFile_Open("", aFileModeReadOnly));
  EXPECT_EQ(nullptr, aFile_Open(dir.join("f").c_str(), aFileModeUnknown));
  EXPECT_EQ(nullptr, aFile_Open(std::string(4097, 'a').c_str(), aFileModeWriteOnly));
  EXPECT_EQ(nullptr, aFile_Open(dir.join("missing").c_str(), aFileModeReadOnly));
  aFileRef none = nullptr;
  EXPECT_EQ(aErrParam, aFile_Close(&none));
  EXPECT_EQ(aErrParam, aFile_Read(nullptr, nullptr, 0, nullptr));
}

TEST(aFile, WriteReadAndModes) {
  TempDir dir;
  const std::string path = dir.join("data");
  aFileRef out = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(nullptr, out);
  size_t count = 0;
  EXPECT_EQ(aErrNone, aFile_Write(out, Bytes("hello"), 5, &count));
  EXPECT_EQ(5u, count);
  uint8_t buffer[16];
  EXPECT_EQ(aErrMode, aFile_Read(out, buffer, sizeof(buffer), &count));
  EXPECT_EQ(aErrNone, aFile_Printf(out, " %d", 42));
  EXPECT_EQ(aErrNone, aFile_Close(&out));
  EXPECT_EQ(nullptr, out);

  aFileRef in = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(nullptr, in);
  EXPECT_EQ(aErrMode, aFile_Write(in, Bytes("x"), 1, &count));
  EXPECT_EQ(aErrMode, aFile_Printf(in, "x"));
  EXPECT_EQ(aErrMode, aFile_SetUnbuffered(in));
  EXPECT_EQ(aErrNone, aFile_Read(in, buffer, sizeof(buffer), &count));
  EXPECT_EQ("hello 42", std::string(reinterpret_cast<char*>(buffer), count));
  EXPECT_EQ(aErrEOF, aFile_Read(in, buffer, sizeof(buffer), &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(aErrNone, aFile_Read(in, buffer, 0, &count));
  aFile_Close(&in);
}

TEST(aFile, AppendModeAddsAtTheEndAndReads) {
  TempDir dir;
  const std::string path = dir.join("log");
  testsupport::WriteFile(path, "abc");
  aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(nullptr, file);
  uint64_t position = 0;
  EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
  EXPECT_EQ(3u, position);
  EXPECT_EQ(aErrNone, aFile_Write(file, Bytes("def"), 3, nullptr));
  EXPECT_EQ(aErrNone, aFile_Seek(file, 0, aSeekStart));
  uint8_t buffer[8];
  size_t count = 0;
  EXPECT_EQ(aErrNone, aFile_Read(file, buffer, sizeof(buffer), &count));
  EXPECT_EQ("abcdef", std::string(reinterpret_cast<char*>(buffer), count));
  aFile_Close(&file);
}

TEST(aFile, ReadLineOverrunAndFit) {
  TempDir dir;
  const std::string path = dir.join("lines");
  testsupport::WriteFile(path, std::string(20, 'x') + "\n" + "abcdef\n");
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(nullptr, file);
  char line[8];
  size_t length = 0;
  EXPECT_EQ(aErrOverrun, aFile_ReadLine(file, line, sizeof(line), &length));
  EXPECT_EQ(7u, length);
  EXPECT_STREQ("xxxxxxx", line);
  // Skip the rest of the long line.
  while (aFile_ReadLine(file, line, sizeof(line), &length) == aErrOverrun) {
  }
  EXPECT_EQ(aErrNone, aFile_ReadLine(file, line, sizeof(line), &length));
  EXPECT_EQ(7u, length);
  EXPECT_STREQ("abcdef\n", line);
  EXPECT_EQ(aErrEOF, aFile_ReadLine(file, line, sizeof(line), &length));
  aFile_Close(&file);
}

TEST(aFile, SeekBoundsAndSize) {
  TempDir dir;
  const std::string path = dir.join("ten");
  testsupport::WriteFile(path, "0123456789");
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(nullptr, file);
  uint64_t size = 0;
  EXPECT_EQ(aErrNone, aFile_GetSize(file, &size));
  EXPECT_EQ(10u, size);
  EXPECT_EQ(aErrParam, aFile_GetSize(file, nullptr));
  EXPECT_EQ(aErrRange, aFile_Seek(file, 11, aSeekStart));
  EXPECT_EQ(aErrRange, aFile_Seek(file, 1, aSeekEnd));
  EXPECT_EQ(aErrRange, aFile_Seek(file, -1, aSeekStart));
  EXPECT_EQ(aErrNone, aFile_Seek(file, 10, aSeekStart));
  EXPECT_EQ(aErrNone, aFile_Seek(file, -4, aSeekEnd));
  EXPECT_EQ(aErrNone, aFile_Seek(file, 2, aSeekCurrent));
  uint64_t position = 0;
  EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
  EXPECT_EQ(8u, position);
  // Getting the size leaves the position where it was.
  EXPECT_EQ(aErrNone, aFile_GetSize(file, &size));
  EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
  EXPECT_EQ(8u, position);
  aFile_Close(&file);
}

TEST(aFile, ExistsAndDelete) {
  TempDir dir;
  const std::string path = dir.join("victim");
  testsupport::WriteFile(path, "x");
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_EQ(aErrNone, aFile_Delete(path.c_str()));
  EXPECT_FALSE(aFile_Exists(path.c_str()));
  EXPECT_EQ(aErrNotFound, aFile_Delete(path.c_str()));
  EXPECT_EQ(aErrParam, aFile_Delete(nullptr));
  EXPECT_EQ(aErrFileNameLength, aFile_Delete(std::string(4097, 'a').c_str()));
  EXPECT_EQ(aErrIO, aFile_Delete(dir.path().c_str()));  // a directory is no file
}
