// Helpers shared by the unit tests.
#ifndef UPDATER_TEST_SUPPORT_H
#define UPDATER_TEST_SUPPORT_H

#include <string>

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

}  // namespace testsupport

#endif
