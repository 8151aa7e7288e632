// Registration of the network and serial components on Windows: regsvr32
// calls DllRegisterServer, which writes each class's InprocServer32 key
// (this module's path, threading model Both: the objects lock for
// themselves), and DllUnregisterServer, which removes the class keys again.
#include "tavelo/transport.h"
#include "tavelo/win32.h"

#include <array>
#include <string>

namespace {

struct Class {
  const CLSID *clsid;
  const wchar_t *name;
};
const std::array kClasses = {
    Class{&CLSID_TaveloNetTransport, L"Tavelo network camera transport"},
    Class{&CLSID_TaveloSerialTransport, L"Tavelo serial camera transport"},
};

std::wstring ClassKey(const CLSID &clsid) {
  std::array<wchar_t, 40> text{};
  StringFromGUID2(clsid, text.data(), static_cast<int>(text.size()));
  return std::wstring(L"CLSID\\") + text.data();
}

HRESULT SetText(HKEY root, const std::wstring &key, const wchar_t *name,
                const std::wstring &value) {
  HKEY opened = nullptr;
  LONG error = RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE, nullptr, &opened, nullptr);
  if (error == ERROR_SUCCESS) {
    error = RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
  }
  return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

// The full path of this module, wherever the application keeps it.
std::wstring ModulePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ModulePath), &module)) {
    return {};
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) {
      return {};
    }
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

} // namespace

STDAPI DllUnregisterServer() {
  HRESULT result = S_OK;
  for (const Class &c : kClasses) {
    const LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(*c.clsid).c_str());
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
      result = HRESULT_FROM_WIN32(static_cast<DWORD>(error));
    }
  }
  return result;
}

STDAPI DllRegisterServer() {
  const std::wstring path = ModulePath();
  if (path.empty()) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  for (const Class &c : kClasses) {
    const std::wstring key = ClassKey(*c.clsid);
    const std::wstring server = key + L"\\InprocServer32";
    HRESULT hr = SetText(HKEY_CLASSES_ROOT, key, nullptr, c.name);
    if (SUCCEEDED(hr)) {
      hr = SetText(HKEY_CLASSES_ROOT, server, nullptr, path);
    }
    if (SUCCEEDED(hr)) {
      hr = SetText(HKEY_CLASSES_ROOT, server, L"ThreadingModel", L"Both");
    }
    if (FAILED(hr)) {
      DllUnregisterServer(); // nothing half-registered
      return hr;
    }
  }
  return S_OK;
}
