// The component-object plumbing every transport component of this tree
// shares: reference counting, the device enumerator, the class factory, the
// DllGetClassObject step, wide/narrow text and the device lists read from the
// environment. Each component module gets its own copy (header only), so its
// live-object count is its own.
#pragma once

#include "tavelo/win32.h"

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace tavelo::component {

// Objects of this module still referenced; DllCanUnloadNow answers from it.
inline std::atomic<long> &LiveObjects() {
  static std::atomic<long> count{0};
  return count;
}

// Device identifiers travel as UTF-16 (WCHAR: char16_t, or wchar_t on
// Windows); host text is UTF-8, or the ANSI code page on Windows.
using WideString = std::basic_string<WCHAR>;

inline WideString Wide(std::string_view text) {
  const std::string s(text);
  const int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
  WideString out(n > 0 ? static_cast<std::size_t>(n) : 1, WCHAR{});
  MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, out.data(), n);
  out.pop_back(); // the terminator
  return out;
}

inline std::string Narrow(const WCHAR *text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

// The text after `prefix` of a VT_BSTR device identifier, or nothing when the
// variant is not such an identifier.
inline bool DeviceAddress(const VARIANT &device, std::string_view prefix, std::string *address) {
  if (device.vt != VT_BSTR || device.bstrVal == nullptr) {
    return false;
  }
  const std::string id = Narrow(device.bstrVal);
  if (id.size() <= prefix.size() || id.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  *address = id.substr(prefix.size());
  return true;
}

// The device identifiers of a semicolon-separated list in `variable`, each
// given `prefix` unless it already starts with it. Unset means none.
inline std::vector<WideString> DevicesFromEnvironment(const char *variable,
                                                      std::string_view prefix) {
  std::vector<WideString> out;
  const char *list = std::getenv(variable);
  std::string_view rest = list != nullptr ? list : "";
  while (!rest.empty()) {
    const auto semi = rest.find(';');
    const std::string_view item = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1);
    if (!item.empty()) {
      out.push_back(Wide(item.starts_with(prefix) ? std::string(item)
                                                  : std::string(prefix) + std::string(item)));
    }
  }
  return out;
}

// Reference counting for one interface (and the interfaces it derives from).
template <typename Interface>
class Object : public Interface {
public:
  Object() { ++LiveObjects(); }
  virtual ~Object() { --LiveObjects(); }
  Object(const Object &) = delete;
  Object &operator=(const Object &) = delete;

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --references_;
    if (left == 0) {
      std::unique_ptr<Object>{this}; // the last reference owns the object
    }
    return static_cast<ULONG>(left);
  }

protected:
  // Grants IUnknown and each of `granted` as this object.
  HRESULT Grant(REFIID riid, void **object, std::initializer_list<IID> granted) {
    if (object == nullptr) {
      return E_POINTER;
    }
    bool known = riid == IID_IUnknown;
    for (const IID &iid : granted) {
      known = known || riid == iid;
    }
    if (!known) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<Interface *>(this);
    AddRef();
    return S_OK;
  }

private:
  std::atomic<long> references_{1};
};

// An enumerator over a fixed list of device identifiers (VT_BSTR). Reset
// starts over with the same devices in the same order.
class DeviceEnumerator final : public Object<IEnumVARIANT> {
public:
  using Devices = std::shared_ptr<const std::vector<WideString>>;
  DeviceEnumerator(Devices devices, std::size_t at) : devices_(std::move(devices)), at_(at) {}

  static IEnumVARIANT *Make(std::vector<WideString> devices) {
    return std::make_unique<DeviceEnumerator>(
               std::make_shared<const std::vector<WideString>>(std::move(devices)), 0)
        .release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return Grant(riid, object, {IID_IEnumVARIANT});
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT *items, ULONG *fetched) override {
    if (items == nullptr && count > 0) {
      return E_POINTER;
    }
    ULONG n = 0;
    for (; n < count && at_ < devices_->size(); ++n, ++at_) {
      VariantInit(&items[n]);
      BSTR text = SysAllocString((*devices_)[at_].c_str());
      if (text == nullptr) {
        return E_OUTOFMEMORY;
      }
      items[n].vt = VT_BSTR;
      items[n].bstrVal = text;
    }
    if (fetched != nullptr) {
      *fetched = n;
    }
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = devices_->size() - at_;
    at_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    at_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **copy) override {
    if (copy == nullptr) {
      return E_POINTER;
    }
    *copy = std::make_unique<DeviceEnumerator>(devices_, at_).release();
    return S_OK;
  }

private:
  Devices devices_;
  std::size_t at_;
};

// Makes `Transport` objects (default-constructed, or from `Arguments`).
template <typename Transport, typename... Arguments>
class Factory final : public Object<IClassFactory> {
public:
  explicit Factory(Arguments... arguments) : arguments_(std::move(arguments)...) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return Grant(riid, object, {IID_IClassFactory});
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    auto *transport = std::apply(
        [](const Arguments &...a) { return std::make_unique<Transport>(a...).release(); },
        arguments_);
    const HRESULT hr = transport->QueryInterface(riid, object);
    transport->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
  std::tuple<Arguments...> arguments_;
};

// The DllGetClassObject step for one class: a factory for `riid`.
template <typename Transport, typename... Arguments>
HRESULT GrantFactory(REFIID riid, void **object, Arguments... arguments) {
  auto *factory =
      std::make_unique<Factory<Transport, Arguments...>>(std::move(arguments)...).release();
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

} // namespace tavelo::component
