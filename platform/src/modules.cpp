// Modules: Windows module names mapped to shared objects, HMODULE = the
// dlopen handle. Handles given out are remembered so that functions taking an
// HMODULE can refuse anything else instead of handing it to dlsym.
#include "internal.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <mutex>
#include <string>

using tavelort::fail;

namespace {

std::string lower(std::string text) {
  for (char &c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool ends_with_ignoring_case(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() &&
         lower(text.substr(text.size() - suffix.size())) == lower(suffix);
}

// "TAVELOCAM" or "TaveloCam.dll" -> "libtavelocam.so"; a path or a name that
// already ends in ".so" is used as given.
std::string shared_object_name(const std::string &name) {
  if (name.find('/') != std::string::npos || ends_with_ignoring_case(name, ".so")) {
    return name;
  }
  std::string base = name;
  if (ends_with_ignoring_case(base, ".dll")) {
    base.resize(base.size() - 4);
  }
  return "lib" + lower(base) + ".so";
}

// libtavelocam.so and other modules loaded by bare name are installed beside
// the runtime. Searching there, rather than through the runtime's RUNPATH,
// also works when a sanitizer wraps dlopen and the loader no longer sees the
// runtime as the caller.
void *open_module(const std::string &name, int mode) {
  if (name.find('/') == std::string::npos) {
    static const std::string directory = tavelort::runtime_directory();
    if (!directory.empty()) {
      const std::string beside = directory + "/" + name;
      if (access(beside.c_str(), F_OK) == 0) {
        return dlopen(beside.c_str(), mode);
      }
    }
  }
  return dlopen(name.c_str(), mode);
}

class ModuleRegistry {
public:
  // Counts one load by LoadLibraryA (`owned`) or notes a handle that
  // GetModuleHandleA gave out.
  void note(void *handle, bool owned) {
    const std::lock_guard lock(mutex_);
    auto &loads = loads_[handle];
    if (owned) {
      ++loads;
    }
  }

  bool known(void *handle) {
    const std::lock_guard lock(mutex_);
    return loads_.contains(handle);
  }

  // Gives back one load of LoadLibraryA; false for a handle never loaded so.
  bool release(void *handle) {
    const std::lock_guard lock(mutex_);
    const auto it = loads_.find(handle);
    if (it == loads_.end() || it->second == 0) {
      return false;
    }
    if (--it->second == 0) {
      // The object may be unloaded now; forget the handle.
      loads_.erase(it);
    }
    dlclose(handle);
    return true;
  }

private:
  std::mutex mutex_;
  std::map<void *, std::uint32_t> loads_;
};

ModuleRegistry &modules() {
  static ModuleRegistry instance;
  return instance;
}

} // namespace

namespace tavelort {

bool is_known_module(HMODULE handle) {
  return handle != nullptr && modules().known(handle);
}

} // namespace tavelort

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  void *handle = nullptr;
  if (name == nullptr) {
    handle = dlopen(nullptr, RTLD_NOW); // the program itself
  } else {
    handle = open_module(shared_object_name(name), RTLD_NOW | RTLD_NOLOAD);
  }
  if (handle == nullptr) {
    return fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  }
  // GetModuleHandleA takes no reference: give back the one dlopen took. The
  // handle stays valid while the module stays loaded.
  modules().note(handle, false);
  dlclose(handle);
  return handle;
}

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  if (name == nullptr || *name == '\0') {
    return fail<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  void *handle = open_module(shared_object_name(name), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    return fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  }
  modules().note(handle, true);
  return handle;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  if (module == nullptr || !modules().release(module)) {
    return fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  }
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  if (!tavelort::is_known_module(module)) {
    return fail<FARPROC>(ERROR_INVALID_HANDLE, nullptr);
  }
  // Names below 0x10000 are ordinals, which shared objects do not have.
  if (reinterpret_cast<std::uintptr_t>(name) < 0x10000) {
    return fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  }
  void *symbol = dlsym(module, name);
  if (symbol == nullptr) {
    return fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  }
  return reinterpret_cast<FARPROC>(symbol);
}

} // extern "C"

std::string tavelort::runtime_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void *>(&tavelort::runtime_directory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
