// The handle table. Handle values are never reused, so a stale or doubly
// closed handle is reported instead of reaching another object.
#include "internal.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

class HandleTable {
public:
  HANDLE insert(std::shared_ptr<tavelort::KernelObject> object) {
    const std::lock_guard lock(mutex_);
    next_ += 4; // multiples of four, as Windows hands them out
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<HANDLE>(next_);
  }

  std::shared_ptr<tavelort::KernelObject> find(HANDLE handle) {
    const std::lock_guard lock(mutex_);
    const auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  std::shared_ptr<tavelort::KernelObject> remove(HANDLE handle) {
    const std::lock_guard lock(mutex_);
    const auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end()) {
      return nullptr;
    }
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

private:
  std::mutex mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<tavelort::KernelObject>> objects_;
  std::uintptr_t next_ = 0x1000;
};

// Built once and never destroyed: a thread of the process may still close
// its handles while the exit handlers run (a notification thread that ends
// a camera's teardown), as threads can on Windows until the process ends.
HandleTable &table() {
  alignas(HandleTable) static std::byte storage[sizeof(HandleTable)];
  static HandleTable *const instance = std::construct_at(reinterpret_cast<HandleTable *>(storage));
  return *instance;
}

} // namespace

namespace tavelort {

HANDLE insert_handle(std::shared_ptr<KernelObject> object) {
  return table().insert(std::move(object));
}

std::shared_ptr<KernelObject> find_handle(HANDLE handle) {
  return table().find(handle);
}

bool remove_handle(HANDLE handle) {
  // The object dies outside the table lock, once no waiter holds it.
  return table().remove(handle) != nullptr;
}

} // namespace tavelort

extern "C" BOOL WINAPI CloseHandle(HANDLE object) {
  if (!tavelort::remove_handle(object)) {
    return tavelort::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  }
  return TRUE;
}
