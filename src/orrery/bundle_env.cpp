#include "orrery/bundle_env.hpp"

#include <cstdlib>
#include <mutex>

namespace orrery {

namespace {

std::mutex frameworks_mutex;
std::optional<std::string> frameworks_folder;  // guarded by frameworks_mutex

}  // namespace

std::optional<std::string> frameworks() {
  std::lock_guard lock(frameworks_mutex);
  return frameworks_folder;
}

int unsetenv_star(const std::string& name) { return ::unsetenv(name.c_str()); }

void drop_bundle_dyld() {
  const char* folder = std::getenv("ORRERY_BUNDLE_FRAMEWORKS");
  if (folder == nullptr) return;
  {
    std::lock_guard lock(frameworks_mutex);
    if (!frameworks_folder) frameworks_folder = folder;
  }
  unsetenv_star("DYLD_LIBRARY_PATH");
  unsetenv_star("ORRERY_BUNDLE_FRAMEWORKS");
}

}  // namespace orrery
