// An attribute file in memory: an ordered map of key=value lines with typed
// getters and setters, a dirty flag and two time stamps kept by the store
// itself. Nothing reaches the disk except through Save (and the Save of a
// Load that found no file).
#ifndef UPDATER_KEYVALUESTORE_H
#define UPDATER_KEYVALUESTORE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "common/aError.h"

class AtomicFileWriter;

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

  // Empty and clean; with a path, loads it.
  explicit KeyValueStore(const char* path = nullptr);

  // Merges the file's lines into the map. A missing file is created with
  // CREATED_TIME and UPDATED_TIME and the result is aErrNotFound; a file
  // that exists but cannot be read (no permission, not a regular file) is
  // left alone (aErrIO). aErrNone after a successful read. The path is
  // remembered in every case.
  aErr Load(const char* path);
  // Load without ever writing: a missing file is only noted (Absent; the
  // first Save creates it with CREATED_TIME), aErrNotFound. aErrParam for
  // a null or empty path.
  aErr Read(const char* path);
  // Writes every entry as "key=value\n" in key order, replacing the file
  // atomically. With a null path the remembered one is used; without one
  // nothing is written. A dirty store gets a fresh UPDATED_TIME first. A
  // file that exists but could not be read is never replaced: its history
  // would be lost. False when nothing was written (see LastError); the
  // store then stays dirty.
  bool Save(const char* path = nullptr);
  // Save in two halves, for a caller that wants the file written and
  // flushed (PrepareSave, into writer) while other work runs, and put in
  // place later (CommitSave). Results and failures as for Save; a prepared
  // file that is not committed is removed with the writer.
  bool PrepareSave(AtomicFileWriter& writer, const char* path = nullptr);
  bool CommitSave(AtomicFileWriter& writer);
  // Sets the file a later Save(nullptr) writes, without reading it.
  void SetPath(const std::string& path) { path_ = path; }
  // The remembered file did not exist when it was read.
  bool Absent() const { return absent_; }
  // The remembered file exists but could not be read.
  bool Unreadable() const { return !unreadable_.empty() && unreadable_ == path_; }
  // The system error number (or kNotRegularFile) of the last failed read
  // or save; 0 when there was none.
  int LastError() const { return lastError_; }
  // The line rules of Load applied to text in memory.
  void ParseText(const char* text, size_t length);

  // The value, or null when the key is absent; never inserts.
  const char* operator[](const std::string& key) const;
  std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;
  // The numeric getters return the default for an absent or empty value
  // and insert an absent key with an empty value (not marking the store
  // dirty), so that a later save lists it.
  int GetInt(const std::string& key, int defaultValue = 0);
  uint32_t GetHex(const std::string& key, uint32_t defaultValue = 0);
  bool GetBOOL(const std::string& key, bool defaultValue = false);
  double GetDouble(const std::string& key, double defaultValue = 0.0);

  // Setters mark the store dirty only when the text changes.
  bool Add(const std::string& key, int value);
  bool Add(const std::string& key, double value);
  bool Add(const std::string& key, const char* value);
  bool Add(const std::string& key, const std::string& value);
  bool AddHex(const std::string& key, uint32_t value);
  // Copies every entry of other in, replacing equal keys.
  bool Add(const KeyValueStore& other);
  bool Clear();

  bool IsDirty() const { return dirty_; }
  const std::string& Path() const { return path_; }
  const std::map<std::string, std::string>& Entries() const { return entries_; }
  size_t Size() const { return entries_.size(); }

  // The current local time as ctime text without its newline.
  static std::string TimeStamp();

 private:
  void ParseLine(const char* line, size_t length);
  // The value of key, inserting it empty when absent; null when empty.
  const char* NumericValue(const std::string& key);
  bool SaveFailed(aErr err, int error);

  std::string path_;
  std::map<std::string, std::string> entries_;
  bool dirty_ = false;
  bool absent_ = false;
  std::string unreadable_;  // a file found but not readable
  int lastError_ = 0;
};

#endif
