#include "common/aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const char* aDIR_PATH_SEP = "/";

namespace {

constexpr char kSep = '/';
constexpr int kMaxPathParts = 10;

bool IsDirectory(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir that treats an existing directory as success.
bool MakeDirectory(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && IsDirectory(path);
}

}  // namespace

bool aDirectory_Exists(const char* path) { return path && IsDirectory(path); }

aErr aDirectory_Ensure(const char* path, mode_t mode) {
  if (!path || !*path) return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;

  const std::string copy(path);

  // Find the deepest existing ancestor; creation starts just after it. The
  // empty prefix before a leading separator never counts as existing.
  size_t start = 0;
  size_t cut = copy.rfind(kSep);
  while (cut != std::string::npos && cut > 0) {
    if (IsDirectory(copy.substr(0, cut))) {
      start = cut + 1;
      break;
    }
    cut = copy.rfind(kSep, cut - 1);
  }

  // Create each missing level, skipping the empty prefixes of leading or
  // doubled separators.
  for (size_t sep = copy.find(kSep, start); sep != std::string::npos;
       sep = copy.find(kSep, sep + 1)) {
    if (sep == 0 || copy[sep - 1] == kSep) continue;
    const std::string prefix = copy.substr(0, sep);
    if (IsDirectory(prefix)) continue;
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return aErrPermission;
  }

  return MakeDirectory(copy, mode) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
  if (!path || !proc) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;

  aDirectoryListData entry;
  while (struct dirent* item = readdir(dir)) {
    if (aDirectory_JoinPath(entry.path, sizeof(entry.path), path, item->d_name) != aErrNone) {
      continue;
    }
    struct stat info;
    if (stat(entry.path, &info) != 0) continue;
    entry.size = static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
    entry.isDirectory = S_ISDIR(info.st_mode);
    if (!proc(&entry, ref)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (!path) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (!path) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;

  while (struct dirent* item = readdir(dir)) {
    if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) continue;
    char child[aDIRECTORY_PATH_MAX];
    if (aDirectory_JoinPath(child, sizeof(child), path, item->d_name) != aErrNone) continue;
    // lstat: a link to a directory is removed as a link, never followed.
    struct stat info;
    if (lstat(child, &info) == 0 && S_ISDIR(info.st_mode)) {
      aDirectory_DeleteTree(child);
    } else if (unlink(child) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", child);
      break;
    }
  }
  closedir(dir);
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (!buffer || size == 0 || !getcwd(buffer, size)) return aErrParam;
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  const ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length < 0) return aErrRead;
  buffer[length] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  const char* home = nullptr;
  if (const struct passwd* entry = getpwuid(getuid())) {
    home = entry->pw_dir;
  } else {
    home = getenv("HOME");
  }
  snprintf(buffer, size, "%s", home ? home : "");
  return aErrNone;
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
  if (!destination || !first || size == 0) return aErrParam;

  const char* parts[kMaxPathParts];
  int count = 0;
  parts[count++] = first;
  va_list args;
  va_start(args, first);
  bool tooMany = false;
  while (const char* part = va_arg(args, const char*)) {
    if (count == kMaxPathParts) {
      tooMany = true;
      break;
    }
    parts[count++] = part;
  }
  va_end(args);
  if (tooMany) return aErrParam;
  for (int i = 0; i < count; ++i) {
    if (parts[i] == destination) return aErrParam;
  }

  destination[0] = '\0';
  size_t length = strlen(first);
  if (length + 1 >= size) return aErrOverrun;
  memcpy(destination, first, length + 1);

  for (int i = 1; i < count; ++i) {
    const char* part = parts[i];
    int64_t left = int64_t(size) - int64_t(length) - 1;
    // An empty text so far gets no separator: "" joined with "b" stays the
    // relative "b" instead of becoming the absolute "/b".
    if (left > 1 && length > 0 && destination[length - 1] != kSep && part[0] != kSep) {
      destination[length++] = kSep;
      destination[length] = '\0';
      left -= 4;
    }
    const size_t partLength = strlen(part);
    if (int64_t(partLength) >= left) return aErrOverrun;
    memcpy(destination + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(destination, size, first, second, static_cast<const char*>(nullptr));
}
