#include "store/KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log/Log.h"
#include "store/AtomicWrite.h"
#include "store/RegularFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {
bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// atoi's reading of a leading decimal number, saturated at the int range so
// that an out-of-range value reads the same on 32- and 64-bit hosts.
int LeadingInt(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return int(value);
}

// A hexadecimal value with or without "0x", saturated at 32 bits.
uint32_t LeadingHex(const char* text) {
  unsigned long long value = std::strtoull(text, nullptr, 16);
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(value);
}
}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path) Load(path);
}

std::string KeyValueStore::TimeStamp() {
  time_t now = std::time(nullptr);
  char text[64];
  if (!ctime_r(&now, text)) return std::string();
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  return std::string(text, n);
}

aErr KeyValueStore::Read(const char* path) {
  // No path means no file: never a ".settings" in the current directory.
  if (!path || !*path) return aErrParam;
  path_ = path;
  int error = 0;
  FILE* file = OpenRegularFile(path, &error);
  if (!file) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path,
             error);
    lastError_ = error;
    // Only a file that is not there counts as absent. One that exists but
    // cannot be opened right now (no permission, out of descriptors, not a
    // regular file) keeps its history.
    if (error == ENOENT || error == ENOTDIR) {
      absent_ = true;
      return aErrNotFound;
    }
    absent_ = false;
    unreadable_ = path;
    return aErrIO;
  }
  absent_ = false;
  unreadable_.clear();
  lastError_ = 0;
  dirty_ = false;
  // Lines of any length are read whole, so a long line never cuts the
  // rest of the file off.
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = ::getline(&line, &capacity, file)) >= 0) ParseLine(line, size_t(length));
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::free(line);
  std::fclose(file);
  if (failed) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d)\n", path,
             readError);
    lastError_ = readError;
    unreadable_ = path;
    return aErrIO;
  }
  return aErrNone;
}

aErr KeyValueStore::Load(const char* path) {
  const aErr err = Read(path);
  // Only a file that is not there is created; one that could not be read
  // keeps its history.
  if (err == aErrNotFound) {
    Add(KEY_CREATED_TIME, TimeStamp());
    Save(nullptr);
  }
  return err;
}

void KeyValueStore::ParseText(const char* text, size_t length) {
  if (!text) return;
  size_t start = 0;
  while (start < length) {
    const char* newline = static_cast<const char*>(std::memchr(text + start, '\n', length - start));
    size_t end = newline ? size_t(newline - text) + 1 : length;
    ParseLine(text + start, end - start);
    start = end;
  }
}

void KeyValueStore::ParseLine(const char* line, size_t length) {
  if (length < 3 || line[0] == '#') return;
  const char* end = line + length;
  const char* p = line;
  while (p < end && IsBlank(*p)) ++p;
  const char* keyStart = p;
  while (p < end && *p != '=') ++p;
  const char* keyEnd = p;
  while (keyEnd > keyStart && IsBlank(keyEnd[-1])) --keyEnd;
  std::string key(keyStart, keyEnd);
  std::string value;
  if (p < end) {  // after the '='
    ++p;
    while (p < end && IsBlank(*p)) ++p;
    const char* valueEnd = end;
    while (valueEnd > p && IsBlank(valueEnd[-1])) --valueEnd;
    value.assign(p, valueEnd);
  }
  // A line without a key cannot be asked for; it is dropped.
  if (key.empty()) return;
  entries_[key] = value;
}

bool KeyValueStore::Save(const char* path) {
  AtomicFileWriter writer;
  return PrepareSave(writer, path) && CommitSave(writer);
}

bool KeyValueStore::PrepareSave(AtomicFileWriter& writer, const char* path) {
  if (path && path_ != path) {
    path_ = path;
    absent_ = false;  // known only of the file that was read
  }
  if (path_.empty()) {
    // Never a file in whatever the current directory happens to be.
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, nothing saved\n");
    lastError_ = EINVAL;
    dirty_ = true;
    return false;
  }
  if (Unreadable()) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - not replacing attributes file that could not be read: '%s'\n",
             path_.c_str());
    dirty_ = true;
    return false;
  }
  if (absent_ && entries_.find(KEY_CREATED_TIME) == entries_.end())
    Add(KEY_CREATED_TIME, TimeStamp());
  if (dirty_) entries_[KEY_UPDATED_TIME] = TimeStamp();
  std::string text;
  // One entry per line: a line break inside a key or value (a file name
  // from the command line may hold one) is written as a space, so that it
  // cannot split into a second, made-up entry on the next load.
  auto append = [&text](const std::string& part) {
    for (char c : part) text += (c == '\n' || c == '\r') ? ' ' : c;
  };
  for (const auto& entry : entries_) {
    append(entry.first);
    text += '=';
    append(entry.second);
    text += '\n';
  }
  int error = 0;
  const aErr err = writer.Prepare(path_.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                                  text.size(), &error);
  return !SaveFailed(err, error);
}

bool KeyValueStore::CommitSave(AtomicFileWriter& writer) {
  int error = 0;
  const aErr err = writer.Commit(&error);
  if (SaveFailed(err, error)) return false;
  dirty_ = false;
  absent_ = false;
  lastError_ = 0;
  return true;
}

// Notes a failed step of a save; false when there was none.
bool KeyValueStore::SaveFailed(aErr err, int error) {
  if (err != aErrNone) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path_.c_str(), error);
    lastError_ = error;
    dirty_ = true;
    return true;
  }
  return false;
}

const char* KeyValueStore::operator[](const std::string& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const {
  auto it = entries_.find(key);
  if (it != entries_.end()) return it->second;
  return defaultValue ? std::string(defaultValue) : std::string();
}

const char* KeyValueStore::NumericValue(const std::string& key) {
  std::string& value = entries_[key];  // inserts an absent key empty
  return value.empty() ? nullptr : value.c_str();
}

int KeyValueStore::GetInt(const std::string& key, int defaultValue) {
  const char* value = NumericValue(key);
  return value ? LeadingInt(value) : defaultValue;
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue) {
  const char* value = NumericValue(key);
  return value ? LeadingHex(value) : defaultValue;
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue) {
  const char* value = NumericValue(key);
  return value ? LeadingInt(value) != 0 : defaultValue;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue) {
  const char* value = NumericValue(key);
  return value ? std::atof(value) : defaultValue;
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
  std::string& current = entries_[key];
  if (current != value) {
    current = value;
    dirty_ = true;
  }
  return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
  return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, int value) {
  char text[32];
  std::snprintf(text, sizeof text, "%d", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const std::string& key, double value) {
  char text[512];
  std::snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) {
    if (!entries_.empty()) dirty_ = true;
    return true;
  }
  for (const auto& entry : other.entries_) {
    entries_[entry.first] = entry.second;
    dirty_ = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries_.clear();
  dirty_ = true;
  return true;
}
