// Component plugins: shared objects in the directories of
// TAVELO_COMPONENT_PATH that export DllGetClassObject.
#include "internal.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Without TAVELO_COMPONENT_PATH: tavelo/components beside this runtime
// library, where the build tree and every installation keep the components,
// so a relocated installation still finds them; else the configured
// installation directory.
std::string default_component_path() {
  std::error_code error;
  const std::string directory = tavelort::runtime_directory();
  const fs::path beside = fs::absolute(directory, error) / "tavelo" / "components";
  if (!directory.empty() && !error && fs::is_directory(beside, error)) {
    return beside.string();
  }
  return TAVELORT_DEFAULT_COMPONENT_PATH;
}

std::vector<fs::path> component_directories() {
  const char *value = std::getenv("TAVELO_COMPONENT_PATH");
  const std::string path = value != nullptr ? value : default_component_path();
  std::vector<fs::path> directories;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    if (end > start) {
      directories.emplace_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return directories;
}

// The plugins of one directory, in name order so the search is repeatable.
std::vector<fs::path> plugin_files(const fs::path &directory) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    const fs::path &file = it->path();
    std::error_code status_error;
    if (file.extension() == ".so" && it->is_regular_file(status_error)) {
      files.push_back(file);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Loaded plugins stay loaded for the life of the process: objects they made
// may live anywhere. Files without the entry point are unloaded at once and
// remembered so they are not opened again.
class PluginCache {
public:
  tavelort_dll_get_class_object_fn entry_point(const fs::path &file) {
    std::error_code error;
    fs::path key = fs::canonical(file, error);
    if (error) {
      return nullptr;
    }
    const std::lock_guard lock(mutex_);
    if (auto it = entries_.find(key); it != entries_.end()) {
      return it->second;
    }
    tavelort_dll_get_class_object_fn entry = nullptr;
    if (void *handle = dlopen(key.c_str(), RTLD_NOW | RTLD_LOCAL); handle != nullptr) {
      void *symbol = dlsym(handle, "DllGetClassObject");
      if (symbol != nullptr) {
        entry = reinterpret_cast<tavelort_dll_get_class_object_fn>(symbol);
      } else {
        dlclose(handle);
      }
    }
    entries_.emplace(std::move(key), entry);
    return entry;
  }

private:
  std::mutex mutex_;
  std::map<fs::path, tavelort_dll_get_class_object_fn> entries_;
};

PluginCache &plugins() {
  static PluginCache instance;
  return instance;
}

} // namespace

namespace tavelort {

HRESULT plugin_class_factory(REFCLSID clsid, IClassFactory **factory) {
  *factory = nullptr;
  for (const auto &directory : component_directories()) {
    for (const auto &file : plugin_files(directory)) {
      const auto entry = plugins().entry_point(file);
      if (entry == nullptr) {
        continue;
      }
      void *object = nullptr;
      if (SUCCEEDED(entry(clsid, IID_IClassFactory, &object)) && object != nullptr) {
        *factory = static_cast<IClassFactory *>(object);
        return S_OK;
      }
    }
  }
  return REGDB_E_CLASSNOTREG;
}

} // namespace tavelort
