// Component runtime: per-thread initialisation, class identifiers, the
// in-process class object registry and object creation.
#include "internal.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

extern "C" {
const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumVARIANT = {
    0x00020404, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}

namespace {

constexpr DWORD kNoMode = 0xFFFFFFFFu;

struct ThreadApartment {
  std::uint32_t count = 0;
  DWORD mode = kNoMode; // COINIT_MULTITHREADED or COINIT_APARTMENTTHREADED
};
thread_local ThreadApartment apartment;

// Threads that have not initialised themselves may still create objects while
// some thread of the process holds the multithreaded mode (the implicit
// multithreaded apartment of Windows).
std::atomic<std::int64_t> multithreaded_threads{0};

bool thread_may_use_components() {
  return apartment.count > 0 || multithreaded_threads.load(std::memory_order_acquire) > 0;
}

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown *factory;
  DWORD context;
  bool single_use;
  bool used;
};

class ClassRegistry {
public:
  DWORD add(REFCLSID clsid, IUnknown *factory, DWORD context, bool single_use) {
    factory->AddRef();
    const std::lock_guard lock(mutex_);
    const DWORD cookie = next_cookie_++;
    entries_.push_back({cookie, clsid, factory, context, single_use, false});
    return cookie;
  }

  // Returns the factory (AddRef'ed) of the oldest live registration that
  // matches, or null.
  IUnknown *find(REFCLSID clsid, DWORD context) {
    const std::lock_guard lock(mutex_);
    for (auto &entry : entries_) {
      if (entry.used || !IsEqualGUID(entry.clsid, clsid) || (entry.context & context) == 0) {
        continue;
      }
      entry.used = entry.single_use;
      entry.factory->AddRef();
      return entry.factory;
    }
    return nullptr;
  }

  // Removes a registration; returns its factory for the caller to release
  // outside the lock, or null for an unknown cookie.
  IUnknown *remove(DWORD cookie) {
    const std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->cookie == cookie) {
        IUnknown *factory = it->factory;
        entries_.erase(it);
        return factory;
      }
    }
    return nullptr;
  }

private:
  std::mutex mutex_;
  std::vector<Registration> entries_;
  DWORD next_cookie_ = 1;
};

ClassRegistry &registry() {
  static ClassRegistry instance;
  return instance;
}

int hex_value(OLECHAR c) {
  if (c >= u'0' && c <= u'9') {
    return c - u'0';
  }
  if (c >= u'a' && c <= u'f') {
    return c - u'a' + 10;
  }
  if (c >= u'A' && c <= u'F') {
    return c - u'A' + 10;
  }
  return -1;
}

// Reads `digits` hex digits at `text`; false when one is not a hex digit.
bool read_hex(const OLECHAR *text, int digits, std::uint64_t &value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = hex_value(text[i]);
    if (digit < 0) {
      return false;
    }
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  return true;
}

constexpr int kGuidTextLength = 38; // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}

} // namespace

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coinit) {
  if (reserved != nullptr) {
    return E_INVALIDARG;
  }
  const DWORD mode = coinit & COINIT_APARTMENTTHREADED;
  if (apartment.count > 0) {
    if (apartment.mode != mode) {
      return RPC_E_CHANGED_MODE;
    }
    ++apartment.count;
    return S_FALSE;
  }
  apartment.count = 1;
  apartment.mode = mode;
  if (mode == COINIT_MULTITHREADED) {
    multithreaded_threads.fetch_add(1, std::memory_order_acq_rel);
  }
  return S_OK;
}

HRESULT WINAPI CoInitialize(LPVOID reserved) {
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void WINAPI CoUninitialize(void) {
  if (apartment.count == 0) {
    return; // unbalanced call: nothing to undo
  }
  if (--apartment.count == 0) {
    if (apartment.mode == COINIT_MULTITHREADED) {
      multithreaded_threads.fetch_sub(1, std::memory_order_acq_rel);
    }
    apartment.mode = kNoMode;
  }
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (clsid == nullptr) {
    return E_INVALIDARG;
  }
  *clsid = CLSID{};
  if (text == nullptr) {
    return CO_E_CLASSSTRING;
  }
  // Check the length without reading past the terminator of a short string.
  for (int i = 0; i < kGuidTextLength; ++i) {
    if (text[i] == 0) {
      return CO_E_CLASSSTRING;
    }
  }
  if (text[kGuidTextLength] != 0 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' ||
      text[14] != u'-' || text[19] != u'-' || text[24] != u'-') {
    return CO_E_CLASSSTRING;
  }
  std::uint64_t value = 0;
  CLSID result{};
  if (!read_hex(text + 1, 8, value)) {
    return CO_E_CLASSSTRING;
  }
  result.Data1 = static_cast<std::uint32_t>(value);
  if (!read_hex(text + 10, 4, value)) {
    return CO_E_CLASSSTRING;
  }
  result.Data2 = static_cast<std::uint16_t>(value);
  if (!read_hex(text + 15, 4, value)) {
    return CO_E_CLASSSTRING;
  }
  result.Data3 = static_cast<std::uint16_t>(value);
  // Data4: two bytes before the last dash, six after it.
  constexpr std::array<int, 8> offsets = {20, 22, 25, 27, 29, 31, 33, 35};
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (!read_hex(text + offsets[i], 2, value)) {
      return CO_E_CLASSSTRING;
    }
    result.Data4[i] = static_cast<std::uint8_t>(value);
  }
  *clsid = result;
  return S_OK;
}

int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity) {
  if (buffer == nullptr || capacity < kGuidTextLength + 1) {
    return 0;
  }
  std::array<char, kGuidTextLength + 1> text{};
  std::snprintf(text.data(), text.size(), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  for (std::size_t i = 0; i < text.size(); ++i) {
    buffer[i] = static_cast<OLECHAR>(text[i]);
  }
  return kGuidTextLength + 1;
}

HRESULT WINAPI CoRegisterClassObject(REFCLSID clsid, IUnknown *factory, DWORD context, DWORD flags,
                                     LPDWORD cookie) {
  if (cookie != nullptr) {
    *cookie = 0;
  }
  if (factory == nullptr || cookie == nullptr || context == 0) {
    return E_INVALIDARG;
  }
  if (!thread_may_use_components()) {
    return CO_E_NOTINITIALIZED;
  }
  *cookie = registry().add(clsid, factory, context, flags == REGCLS_SINGLEUSE);
  return S_OK;
}

HRESULT WINAPI CoRevokeClassObject(DWORD cookie) {
  IUnknown *factory = registry().remove(cookie);
  if (factory == nullptr) {
    return CO_E_OBJNOTREG;
  }
  factory->Release();
  return S_OK;
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID iid,
                                LPVOID *object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (!thread_may_use_components()) {
    return CO_E_NOTINITIALIZED;
  }
  IClassFactory *factory = nullptr;
  if (IUnknown *registered = registry().find(clsid, context); registered != nullptr) {
    const HRESULT hr =
        registered->QueryInterface(IID_IClassFactory, reinterpret_cast<void **>(&factory));
    registered->Release();
    if (FAILED(hr) || factory == nullptr) {
      return FAILED(hr) ? hr : E_NOINTERFACE;
    }
  } else {
    if ((context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) {
      return REGDB_E_CLASSNOTREG;
    }
    const HRESULT hr = tavelort::plugin_class_factory(clsid, &factory);
    if (FAILED(hr)) {
      return hr;
    }
  }
  const HRESULT hr = factory->CreateInstance(outer, iid, object);
  factory->Release();
  if (FAILED(hr)) {
    *object = nullptr;
  }
  return hr;
}

} // extern "C"
