#include "store/UpdaterStore.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "common/aDirectory.h"
#include "log/Log.h"
#include "store/AtomicWrite.h"

std::string BuildPath(const char* first, ...) {
  std::string path(first ? first : "");
  va_list args;
  va_start(args, first);
  while (const char* part = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(args);
  return path;
}

namespace {

std::string LastComponent(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? std::string(slash + 1) : std::string(path);
}

// A single file or directory name: no separator, not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

void _ensure_directory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone || !aDirectory_Exists(path.c_str())) {
      if (err == aErrNone) err = aErrPermission;
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                               std::to_string(unsigned(err)));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
}

struct result_t {
  bool found = false;
  std::string name;
  UpdaterStoreItem* item = nullptr;
};

// Matches an entry by its own name only: the store's path or a longer name
// holding the serial text ("0000ABCD.old") must not match.
bool _find_item(const aDirectoryListData* entry, void* ref) {
  result_t* result = static_cast<result_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           int(entry->isDirectory), int(entry->size), result->name.c_str());
  std::string name = LastComponent(entry->path);
  if (name == "." || name == ".." || name != result->name) return true;
  result->found = true;
  if (result->item) {
    const char* slash = std::strrchr(entry->path, '/');
    std::string base = slash ? std::string(entry->path, size_t(slash - entry->path)) : std::string();
    *result->item = UpdaterStoreItem(base, name,
                                     entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

struct items_t {
  std::string base;
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* ref) {
  items_t* list = static_cast<items_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, int(entry->isDirectory),
           int(entry->size));
  std::string name = LastComponent(entry->path);
  // Hidden names (the attribute file, temporary files) and the temporary
  // files earlier versions named "NNNN.bird.tmpXXXXXX" are never builds.
  if (name.empty() || name[0] == '.' || IsTemporaryFileName(name)) return true;
  list->items->push_back(UpdaterStoreItem(
      list->base, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
  return true;
}

bool FindByName(const std::string& directory, const std::string& name, UpdaterStoreItem* item) {
  result_t result;
  result.name = name;
  result.item = item;
  if (!name.empty()) aDirectory_List(directory.c_str(), _find_item, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           name.c_str());
  return result.found;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string& base_, const std::string& name_,
                                   store_item_t kind_)
    : base(base_), name(name_), kind(kind_) {
  // Only a directory carries an attribute file. Finding or listing items
  // writes nothing; the file is made by AddDevice or by the first Save,
  // which always goes to this path.
  const std::string settings = SettingsPath();
  if (kind == STORE_ITEM_DIRECTORY) {
    attributes.Read(settings.c_str());
  } else {
    attributes.SetPath(settings);
  }
}

std::string UpdaterStoreItem::SettingsPath() const {
  return BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
  return FindByName(Path(), fileName, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes,
                                 size_t count, int* errnoOut) const {
  AtomicFileWriter writer;
  aErr err = PrepareFile(fileName, bytes, count, writer, errnoOut);
  if (err != aErrNone) return err;
  int error = 0;
  err = writer.Commit(&error);
  if (errnoOut) *errnoOut = error;
  if (err != aErrNone)
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s].\n", error, fileName.c_str());
  return err;
}

aErr UpdaterStoreItem::PrepareFile(const std::string& fileName, const uint8_t* bytes,
                                   size_t count, AtomicFileWriter& writer, int* errnoOut) const {
  if (errnoOut) *errnoOut = EINVAL;
  if (!bytes) return aErrNotFound;
  aErr err = BeginFile(fileName, writer, errnoOut);
  if (err != aErrNone) return err;
  int error = 0;
  err = writer.Append(bytes, count, &error);
  if (err == aErrNone) err = writer.Finish(&error);
  if (errnoOut) *errnoOut = error;
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s].\n", error,
             BuildPath(Path().c_str(), fileName.c_str(), nullptr).c_str());
  }
  return err;
}

aErr UpdaterStoreItem::BeginFile(const std::string& fileName, AtomicFileWriter& writer,
                                 int* errnoOut) const {
  if (errnoOut) *errnoOut = EINVAL;
  if (!IsPlainName(fileName)) return aErrParam;
  const std::string directory = Path();
  const unsigned removed = RemoveLeftoverTemporaries(directory);
  if (removed > 0)
    Log::log(DEBUG_Updater, "UpdaterStore: Removed %u leftover temporary file(s) in [%s].\n",
             removed, directory.c_str());
  std::string path = BuildPath(directory.c_str(), fileName.c_str(), nullptr);
  int error = 0;
  aErr err = writer.Begin(path.c_str(), &error, AtomicReplace::IfChanged);
  if (errnoOut) *errnoOut = error;
  if (err != aErrNone)
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s].\n", error, path.c_str());
  return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  std::string path = BuildPath(base.c_str(), name.c_str(), fileName.c_str(), nullptr);
  if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
  BirdFile file(path.c_str());
  if (!file.Usable()) throw std::runtime_error("Unusable bird " + path + ": " + file.Problem());
  return file;
}

UpdaterStore::UpdaterStore(const std::string& basePath, StoreAccess access) : base_(basePath) {
  if (access == StoreAccess::ReadWrite) {
    _ensure_directory(base_);
    return;
  }
  // Read only: a store that is not there yet is an empty one.
  struct stat st;
  if (::stat(base_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
    throw std::runtime_error("UpdaterStore: " + base_ + " exists and is a file");
}

std::string UpdaterStore::DeviceName(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(DeviceName(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
  if (!IsPlainName(name)) throw std::runtime_error("UpdaterStore: invalid device name [" + name + "]");
  _ensure_directory(BuildPath(base_.c_str(), name.c_str(), nullptr));
  UpdaterStoreItem item(base_, name, STORE_ITEM_DIRECTORY);
  RemoveLeftoverTemporaries(item.Path());
  // Its first Save writes CREATED_TIME and UPDATED_TIME.
  if (item.attributes.Absent() && !item.attributes.Save(nullptr))
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) creating [%s].\n",
             item.attributes.LastError(), item.attributes.Path().c_str());
  return item;
}

UpdaterStoreItem UpdaterStore::AddNewDevice(uint32_t serial) {
  const std::string name = DeviceName(serial);
  _ensure_directory(BuildPath(base_.c_str(), name.c_str(), nullptr));
  UpdaterStoreItem item(base_, name, STORE_ITEM_DIRECTORY);
  if (item.attributes.Absent())
    item.attributes.Add(KeyValueStore::KEY_CREATED_TIME, KeyValueStore::TimeStamp());
  return item;
}

bool UpdaterStore::RemoveDeviceIfEmpty(const UpdaterStoreItem& device) const {
  if (!device.IsValid() || device.base != base_ || !IsPlainName(device.name)) return false;
  return ::rmdir(device.Path().c_str()) == 0;
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
  return FindDevice(DeviceName(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
  return FindByName(base_, name, item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  items_t list;
  list.base = device.Path();
  list.items = &items;
  aDirectory_List(list.base.c_str(), _find_items, &list);
  return true;
}
