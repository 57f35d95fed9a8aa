// The firmware repository the update server answers from: a directory
// holding BIRD files and a configuration file ("repo.conf") that says which
// devices exist and which builds each may have.
//
// Configuration, one record per line, "#" starts a comment line:
//   device SERIAL model=NAME fw=IDENT [features=A,B,...]
//   build NUMBER version=X.Y.Z file=NAME.bird (model=NAME | serial=SERIAL)
//   fingerprint W1 W2 W3 W4 serial=SERIAL build=NUMBER
// SERIAL and Wn are 8 hexadecimal digits, NUMBER decimal digits. A build
// with model= is offered to every device of that model, one with serial= to
// that device only. File names are plain names inside the repository
// directory; nothing the clients send is ever used as a path.
#ifndef KORVEX_UPDATE_SERVER_REPOSITORY_H
#define KORVEX_UPDATE_SERVER_REPOSITORY_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kus {

struct Device {
  uint32_t serial = 0;
  std::string model;
  std::string firmwareId;
  std::vector<std::string> features;
};

struct Build {
  uint32_t number = 0;
  std::string version;
  std::string file;     // plain file name inside the repository
  std::string model;    // offered to every device of this model, or
  uint32_t serial = 0;  // to this device only (non-zero)
};

struct Fingerprint {
  std::array<uint32_t, 4> words{};
  uint32_t serial = 0;
  uint32_t build = 0;
};

class Repository {
 public:
  // Reads dir/repo.conf. Throws std::runtime_error naming the line of the
  // first error.
  explicit Repository(const std::string& dir);

  const Device* FindDevice(uint32_t serial) const;
  // The builds the device may have, ascending by build number.
  std::vector<const Build*> BuildsFor(const Device& device) const;
  // The newest by version, then by build number; null when there is none.
  const Build* LatestFor(const Device& device) const;
  const Fingerprint* FindFingerprint(const std::array<uint32_t, 4>& words) const;
  // Full path of a build's file.
  std::string PathOf(const Build& build) const { return dir_ + "/" + build.file; }

 private:
  void ParseLine(const std::string& line);

  std::string dir_;
  std::map<uint32_t, Device> devices_;
  std::map<uint32_t, Build> builds_;
  std::vector<Fingerprint> fingerprints_;
};

// Strict readers for request and configuration fields: exactly 8
// hexadecimal digits; 1-9 decimal digits.
bool ParseSerial(const std::string& text, uint32_t& value);
bool ParseBuildNumber(const std::string& text, uint32_t& value);

}  // namespace kus

#endif
