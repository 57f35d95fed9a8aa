// The on-disk cache of firmware files and update history: one directory per
// device (named by its serial number in 8 hexadecimal digits) under the
// store's base path, each with its ".settings" attribute file and its
// NNNN.bird packages. A store object holds only its base path; every query
// goes to the file system.
#ifndef UPDATER_UPDATERSTORE_H
#define UPDATER_UPDATERSTORE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aError.h"
#include "store/AtomicWrite.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

// Joins the components (ending with a null pointer) with "/" between each
// pair; a separator is added even after a component ending in one.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

enum store_item_t : uint32_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem {
 public:
  UpdaterStoreItem();
  // A directory item reads its attributes from base/name/.settings; nothing
  // is written (a missing file is made by AddDevice or the first Save).
  // Every item's attributes save to that path and nowhere else.
  UpdaterStoreItem(const std::string& base, const std::string& name, store_item_t kind);

  bool IsValid() const { return !base.empty() && !name.empty(); }
  // Whether the item's directory holds an entry of exactly that name.
  bool FileExists(const std::string& fileName) const;
  // Writes the bytes to base/name/fileName, replacing any earlier file
  // atomically. aErrNotFound for null bytes or when the file cannot be
  // written, aErrParam for a name that is not a plain file name. errnoOut,
  // when given, receives the system error number of a failed write.
  aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t count,
                 int* errnoOut = nullptr) const;
  // The first half of WriteFile: the bytes flushed to a temporary file that
  // writer puts in place on Commit (and removes otherwise). Same results.
  // Temporary files that killed writers left in the directory go first.
  aErr PrepareFile(const std::string& fileName, const uint8_t* bytes, size_t count,
                   AtomicFileWriter& writer, int* errnoOut = nullptr) const;
  // The same for bytes that are still to come: starts writer's temporary
  // file (AtomicFileWriter::Begin) for fileName; the caller appends and
  // finishes it. A file that already holds the same bytes is kept as it is
  // rather than written again (AtomicReplace::IfChanged).
  aErr BeginFile(const std::string& fileName, AtomicFileWriter& writer,
                 int* errnoOut = nullptr) const;
  // Checks and loads base/name/fileName; throws std::runtime_error
  // ("Invalid bird <path>", "Failed to load bird data", or "Unusable bird
  // <path>: <reason>" for a package the update flows cannot use).
  BirdFile ReadBirdFile(const std::string& fileName) const;

  // base/name: the item's own path.
  std::string Path() const { return BuildPath(base.c_str(), name.c_str(), nullptr); }
  // base/name/.settings
  std::string SettingsPath() const;

  std::string base;
  std::string name;
  store_item_t kind;
  KeyValueStore attributes;
};

// How a store is opened: ReadWrite makes its base directory; ReadOnly, for
// the commands that only look, makes nothing and takes a missing base
// directory as an empty store.
enum class StoreAccess { ReadWrite, ReadOnly };

class UpdaterStore {
 public:
  // Ensures basePath as a directory (creating missing levels with mode
  // 0755); throws std::runtime_error when it cannot, or (both ways) when a
  // file stands at basePath.
  explicit UpdaterStore(const std::string& basePath,
                        StoreAccess access = StoreAccess::ReadWrite);

  const std::string& BasePath() const { return base_; }

  // Ensures the device directory and its attribute file, and returns its
  // item with its attributes loaded; throws std::runtime_error when the
  // directory cannot be made.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string& name);
  // For a device about to get its first file: ensures the directory but
  // writes no attribute file yet. The item's attributes hold CREATED_TIME
  // and know their path, so that its first Save writes the whole history
  // at once (and a failure before it leaves an empty directory, which
  // RemoveDeviceIfEmpty takes away). An attribute file already there is
  // loaded as AddDevice does.
  UpdaterStoreItem AddNewDevice(uint32_t serial);
  // Removes the device's directory when it holds nothing; true when it did.
  bool RemoveDeviceIfEmpty(const UpdaterStoreItem& device) const;

  // True when the base directory holds an entry named exactly like the
  // device; fills item (when given) with it. item is untouched otherwise.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item) const;
  bool FindDevice(const std::string& name, UpdaterStoreItem* item) const;

  // Appends one item per entry of the device's directory, skipping names
  // that begin with "." and temporary files; in the file system's order.
  // Always true.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;

  // "%08X" of serial.
  static std::string DeviceName(uint32_t serial);

 private:
  std::string base_;
};

#endif
