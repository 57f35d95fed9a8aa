// Helpers shared by the unit tests.
#ifndef UPDATER_TEST_SUPPORT_H
#define UPDATER_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

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

// Bytes of BIRD bodies written by hand: a joined with b, a big-endian
// word, and a raw block (type byte, the length word it claims, its data).
inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline std::vector<uint8_t> Word(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline std::vector<uint8_t> Block(uint8_t typeFlags, const std::vector<uint8_t>& data,
                                  uint32_t claimed) {
  return Cat(Cat({typeFlags}, Word(claimed)), data);
}

}  // namespace testsupport

#endif
