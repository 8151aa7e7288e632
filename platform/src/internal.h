// Helpers shared by the runtime's source files. Nothing here is exported.
#ifndef TAVELORT_INTERNAL_H
#define TAVELORT_INTERNAL_H

#include "tavelo/tavelort.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tavelort {

// True when the test seam (tavelort_fail_nth_allocation) fails this
// allocation. Called first by every function that allocates for a caller.
bool injected_failure();

// Sets the calling thread's last error and returns `result`, so a failing
// function can report both in one statement.
template <typename T>
T fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// UTF-8 -> UTF-16 and back. Invalid input becomes U+FFFD; `replaced` (when
// given) tells whether that happened.
std::u16string utf8_to_utf16(std::string_view text, bool *replaced = nullptr);
std::string utf16_to_utf8(std::u16string_view text, bool *replaced = nullptr);

// 8-bit text of Windows code page 936 to UTF-8; undecodable bytes become U+FFFD.
std::string cp936_to_utf8(std::string_view text);

// Kernel objects behind HANDLE values.
class KernelObject {
public:
  virtual ~KernelObject() = default;
  KernelObject() = default;
  KernelObject(const KernelObject &) = delete;
  KernelObject &operator=(const KernelObject &) = delete;

  // Waits until the object is signalled or `milliseconds` pass (INFINITE:
  // no limit). Returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
  virtual DWORD wait(DWORD milliseconds) = 0;
};

HANDLE insert_handle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> find_handle(HANDLE handle);
bool remove_handle(HANDLE handle);

// True when `handle` was returned by LoadLibraryA or GetModuleHandleA and is
// still loaded.
bool is_known_module(HMODULE handle);

// The directory this runtime library was loaded from; empty when unknown.
std::string runtime_directory();

// Asks the component plugins on TAVELO_COMPONENT_PATH, in order, for the
// class factory of `clsid`. Returns S_OK with an AddRef'ed factory, or
// REGDB_E_CLASSNOTREG when no plugin serves the class.
HRESULT plugin_class_factory(REFCLSID clsid, IClassFactory **factory);

// Allocation behind LocalFree (FormatMessageA hands out such blocks).
void *local_alloc(std::size_t size);

} // namespace tavelort

#endif
