#include "app/ModuleLock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "log/Log.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;
// Bounds on what is read from the kernel's tables and from a lock file.
constexpr int kMaxLockLines = 4096;
constexpr size_t kMaxLockFile = 256;

std::string ErrnoText(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// The start of this process in seconds since the epoch: its start in clock
// ticks after boot (/proc/self/stat, field 22) plus the boot time
// (/proc/stat, btime). 0 when either cannot be read.
long long ProcessStartTime() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  // The command name (field 2) may hold spaces; the fields after it follow
  // its closing parenthesis.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long ticks = 0;
  for (int number = 3; number <= 22 && fields >> field; ++number)
    if (number == 22) ticks = std::strtoull(field.c_str(), nullptr, 10);
  std::ifstream system("/proc/stat");
  long long boot = 0;
  for (int n = 0; n < kMaxLockLines && std::getline(system, line); ++n) {
    if (line.compare(0, 6, "btime ") == 0) {
      boot = std::strtoll(line.c_str() + 6, nullptr, 10);
      break;
    }
  }
  const long hertz = sysconf(_SC_CLK_TCK);
  if (boot == 0 || hertz <= 0) return 0;
  return boot + static_cast<long long>(ticks / static_cast<unsigned long long>(hertz));
}

// The PID that holds an flock on the file open as fd, as the kernel lists
// it in /proc/locks; 0 when it is not listed (or lies outside this PID
// namespace).
int KernelHolder(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return 0;
  std::ifstream locks("/proc/locks");
  std::string line;
  for (int n = 0; n < kMaxLockLines && std::getline(locks, line); ++n) {
    std::istringstream fields(line);
    std::string id, kind, advisory, access, where;
    long pid = 0;
    if (!(fields >> id >> kind)) continue;
    if (kind == "->") continue;  // a waiter, not a holder
    if (kind != "FLOCK" || !(fields >> advisory >> access >> pid >> where)) continue;
    unsigned int major_ = 0, minor_ = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_, &minor_, &inode) != 3) continue;
    if (major_ == major(st.st_dev) && minor_ == minor(st.st_dev) &&
        inode == static_cast<unsigned long long>(st.st_ino) && pid > 0)
      return static_cast<int>(pid);
  }
  return 0;
}

// The PID a holder wrote into the lock file; 0 when there is none.
int RecordedHolder(int fd) {
  char text[kMaxLockFile + 1];
  const ssize_t count = ::pread(fd, text, kMaxLockFile, 0);
  if (count <= 0) return 0;
  text[count] = '\0';
  const char* at = std::strstr(text, "PID=");
  if (at == nullptr) return 0;
  const long pid = std::strtol(at + 4, nullptr, 10);
  return pid > 0 && pid <= 0x7FFFFFFF ? static_cast<int>(pid) : 0;
}

void Record(int fd, const std::string& path) {
  char text[kMaxLockFile];
  const int length = std::snprintf(text, sizeof text, "PID=%d\nSTART_TIME=%lld\n",
                                   static_cast<int>(::getpid()), ProcessStartTime());
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text, size_t(length), 0) != length)
    Log::log(DEBUG_Updater, "ModuleLock: could not record the holder in %s: %s\n", path.c_str(),
             std::strerror(errno));
}

}  // namespace

std::string ModuleLock::Directory(const std::string& storeDirectory) {
  return storeDirectory + "/locks";
}

std::string ModuleLock::Path(const std::string& storeDirectory, uint32_t serialNumber) {
  char name[24];
  std::snprintf(name, sizeof name, "/%08X.lock", unsigned(serialNumber));
  return Directory(storeDirectory) + name;
}

aErr ModuleLock::Acquire(const std::string& storeDirectory, uint32_t serialNumber, Mode mode,
                         int* holder, std::string* detail) {
  Release();
  if (holder) *holder = 0;
  std::string unused;
  if (!detail) detail = &unused;
  const std::string directory = Directory(storeDirectory);
  const std::string path = Path(storeDirectory, serialNumber);

  if (mode == Mode::Record && ::mkdir(directory.c_str(), kDirectoryMode) != 0 &&
      errno != EEXIST) {
    *detail = ErrnoText("cannot make", directory, errno);
    return aErrIO;
  }
  const int flags = mode == Mode::Record ? O_RDWR | O_CREAT : O_RDONLY;
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // Nobody can hold a lock on a file that is not there.
    if (mode == Mode::Observe && errno == ENOENT) return aErrNone;
    *detail = ErrnoText("cannot open", path, errno);
    return errno == EACCES ? aErrPermission : aErrIO;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *detail = path + " is not a regular file";
    return aErrMode;
  }
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      // The file names the last holder that wrote it; the kernel names the
      // one holding it now, which may be a holder that writes nothing.
      int pid = KernelHolder(fd);
      if (pid == 0) pid = RecordedHolder(fd);
      if (holder) *holder = pid;
      ::close(fd);
      return aErrBusy;
    }
    ::close(fd);
    *detail = ErrnoText("cannot lock", path, error);
    return aErrIO;
  }
  if (mode == Mode::Record) Record(fd, path);
  fd_ = fd;
  Log::log(DEBUG_Updater, "ModuleLock: holding %s\n", path.c_str());
  return aErrNone;
}

void ModuleLock::Release() {
  if (fd_ < 0) return;
  // Closing the only descriptor of the open file releases its flock.
  ::close(fd_);
  fd_ = -1;
}
