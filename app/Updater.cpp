#include "app/Updater.h"

#include <stdexcept>

Updater::Updater(const std::string& serverURL, const std::string& storeDirectory,
                 UpdaterDisplayInterface& display)
    : serverURL(serverURL), storeDirectory(storeDirectory), display(display) {}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory,
                                                  const char* operation, StoreAccess access) {
  try {
    return std::unique_ptr<UpdaterStore>(new UpdaterStore(directory, access));
  } catch (const std::runtime_error& e) {
    display.message(UpdaterDisplayInterface::error,
                    "Failed to Create UpdaterStore in: %s - Exception: %s", operation, e.what());
    return nullptr;
  }
}
