// Component runtime: initialisation, class identifier text, class objects
// registered in-process and plugins found on TAVELO_COMPONENT_PATH.
#include "test_modules.h"

#include "tavelo/tavelort.h"
#include "tavelo/transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr CLSID kPluginClsid = TEST_PLUGIN_CLSID_INIT;
constexpr CLSID kFakeClsid = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr DWORD kContext = 0x15; // CLSCTX_INPROC_SERVER | LOCAL_SERVER | REMOTE_SERVER

class ComScope {
public:
  explicit ComScope(DWORD mode = COINIT_MULTITHREADED) : hr_(CoInitializeEx(nullptr, mode)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) {
      CoUninitialize();
    }
  }
  ComScope(const ComScope &) = delete;
  ComScope &operator=(const ComScope &) = delete;
  HRESULT result() const { return hr_; }

private:
  HRESULT hr_;
};

// A class object whose instances are plain IUnknowns it counts.
class FakeObject final : public IUnknown {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (IsEqualGUID(riid, IID_IUnknown)) {
      AddRef();
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  std::atomic<ULONG> references{0};
};

class FakeFactory final : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
      AddRef();
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    ++created;
    if (outer != nullptr) {
      *object = nullptr;
      return CLASS_E_NOAGGREGATION;
    }
    return instance.QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  std::atomic<ULONG> references{1};
  std::atomic<int> created{0};
  FakeObject instance;
};

std::u16string guid_text(REFGUID guid) {
  std::array<OLECHAR, 39> buffer{};
  EXPECT_EQ(StringFromGUID2(guid, buffer.data(), static_cast<int>(buffer.size())), 39);
  return std::u16string(buffer.data());
}

TEST(CoInitialize, CountsRepeatsAndRefusesAModeChange) {
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  CoUninitialize();
  // Still initialised once: the mode is still fixed.
  EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
  CoUninitialize();
  // Balanced: a new mode may be chosen.
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
  CoUninitialize(); // one too many is harmless
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

TEST(CoInitialize, IsPerThread) {
  const ComScope scope(COINIT_APARTMENTTHREADED);
  HRESULT other = E_FAIL;
  std::thread([&] {
    other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(other, S_OK);
}

TEST(ClassIdText, RoundTripsInUpperCaseRegistryForm) {
  const std::u16string text = guid_text(IID_ITaveloTransport);
  EXPECT_EQ(text, u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4}");
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(text.c_str(), &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, IID_ITaveloTransport));
}

TEST(ClassIdText, AcceptsLowerCaseHex) {
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(u"{e58c1b90-bf37-4b17-9ae8-00a0c93e71b4}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, CLSID_TaveloVirtualTransport));
}

TEST(ClassIdText, FormattingNeedsRoomForTheTerminator) {
  std::array<OLECHAR, 39> buffer{};
  buffer.fill(u'x');
  EXPECT_EQ(StringFromGUID2(kFakeClsid, buffer.data(), 38), 0);
  EXPECT_EQ(buffer[0], u'x');
  EXPECT_EQ(StringFromGUID2(kFakeClsid, nullptr, 39), 0);
}

class MalformedClassId : public testing::TestWithParam<const char16_t *> {};

TEST_P(MalformedClassId, IsRefused) {
  CLSID parsed = kFakeClsid;
  EXPECT_EQ(CLSIDFromString(GetParam(), &parsed), CO_E_CLASSSTRING);
}

INSTANTIATE_TEST_SUITE_P(ClassIdText, MalformedClassId,
                         testing::Values(nullptr, u"", u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B}",
                                         u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B44}",
                                         u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4}x",
                                         u"7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4",
                                         u"(7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4)",
                                         u"{7D41A0E2052C9-4B17-9A3B-00A0C93E71B4}",
                                         u"{7D41A0E2-52C9-4B17-9A3B000A0C93E71B4}",
                                         u"{7D41A0G2-52C9-4B17-9A3B-00A0C93E71B4}",
                                         u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71 4}",
                                         u"{+D41A0E2-52C9-4B17-9A3B-00A0C93E71B4}"),
                         [](const testing::TestParamInfo<const char16_t *> &info) {
                           return "Case" + std::to_string(info.index);
                         });

TEST(ClassObjects, AreFoundBeforePluginsAndGoneAfterRevoke) {
  const ComScope scope;
  FakeFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kPluginClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &cookie),
            S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(factory.references, 2u); // the registry holds one reference

  IUnknown *object = nullptr;
  ASSERT_EQ(CoCreateInstance(kPluginClsid, nullptr, kContext, IID_IUnknown,
                             reinterpret_cast<void **>(&object)),
            S_OK);
  EXPECT_EQ(object, &factory.instance);
  object->Release();
  EXPECT_EQ(factory.created, 1);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.references, 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);

  // Now the plugin serves the class again.
  ASSERT_EQ(CoCreateInstance(kPluginClsid, nullptr, kContext, IID_IUnknown,
                             reinterpret_cast<void **>(&object)),
            S_OK);
  EXPECT_NE(object, &factory.instance);
  object->Release();
  EXPECT_EQ(factory.created, 1);
}

TEST(ClassObjects, SingleUseServesOneCreation) {
  const ComScope scope;
  FakeFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(
      CoRegisterClassObject(kFakeClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_SINGLEUSE, &cookie),
      S_OK);
  void *object = nullptr;
  EXPECT_EQ(CoCreateInstance(kFakeClsid, nullptr, kContext, IID_IUnknown, &object), S_OK);
  static_cast<IUnknown *>(object)->Release();
  EXPECT_EQ(CoCreateInstance(kFakeClsid, nullptr, kContext, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.references, 1u);
}

TEST(ClassObjects, FactoryFailuresReachTheCaller) {
  const ComScope scope;
  FakeFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kFakeClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &cookie),
            S_OK);
  void *object = &factory;
  EXPECT_EQ(CoCreateInstance(kFakeClsid, &factory, kContext, IID_IUnknown, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoCreateInstance(kFakeClsid, nullptr, kContext, IID_ITaveloTransport, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.references, 1u);
}

TEST(ClassObjects, RegistrationChecksItsArguments) {
  const ComScope scope;
  FakeFactory factory;
  DWORD cookie = 5;
  EXPECT_EQ(
      CoRegisterClassObject(kFakeClsid, nullptr, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
      E_INVALIDARG);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(CoRegisterClassObject(kFakeClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  nullptr),
            E_INVALIDARG);
  EXPECT_EQ(factory.references, 1u);
}

TEST(ClassObjects, RegistryIsSafeAcrossThreads) {
  const ComScope scope;
  FakeFactory factory;
  constexpr int kRounds = 200;
  auto worker = [&](const CLSID &clsid) {
    for (int i = 0; i < kRounds; ++i) {
      DWORD cookie = 0;
      ASSERT_EQ(
          CoRegisterClassObject(clsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
          S_OK);
      void *object = nullptr;
      ASSERT_EQ(CoCreateInstance(clsid, nullptr, kContext, IID_IUnknown, &object), S_OK);
      static_cast<IUnknown *>(object)->Release();
      ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    }
  };
  constexpr CLSID kOther = {0x76543210, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
  std::thread first(worker, kFakeClsid);
  std::thread second(worker, kOther);
  first.join();
  second.join();
  EXPECT_EQ(factory.created, 2 * kRounds);
  EXPECT_EQ(factory.references, 1u);
  EXPECT_EQ(factory.instance.references, 0u);
}

TEST(Plugins, ServeTheirClassThroughTheTransportInterface) {
  const ComScope scope;
  ITaveloTransport *transport = nullptr;
  ASSERT_EQ(CoCreateInstance(kPluginClsid, nullptr, kContext, IID_ITaveloTransport,
                             reinterpret_cast<void **>(&transport)),
            S_OK);
  ASSERT_NE(transport, nullptr);
  const std::array<BYTE, 4> request = {1, 2, 3, 4};
  std::array<BYTE, 4> response{};
  ULONG length = 0;
  EXPECT_EQ(transport->Exchange(1, request.data(), 4, response.data(), &length), S_OK);
  EXPECT_EQ(response, request);
  EXPECT_EQ(transport->Release(), 0u);
}

TEST(Plugins, UnknownClassIsNotRegistered) {
  const ComScope scope;
  void *object = &object;
  EXPECT_EQ(CoCreateInstance(kFakeClsid, nullptr, kContext, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
}

TEST(Plugins, AreOnlyInProcessServers) {
  const ComScope scope;
  void *object = nullptr;
  EXPECT_EQ(CoCreateInstance(kPluginClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
}

TEST(Plugins, ComeOnlyFromTheListedDirectories) {
  const ComScope scope;
  const char *path = std::getenv("TAVELO_COMPONENT_PATH");
  const std::optional<std::string> saved =
      path != nullptr ? std::optional<std::string>(path) : std::nullopt;
  ASSERT_EQ(setenv("TAVELO_COMPONENT_PATH", "/nonexistent", 1), 0);
  void *object = nullptr;
  EXPECT_EQ(CoCreateInstance(kPluginClsid, nullptr, kContext, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(setenv("TAVELO_COMPONENT_PATH", TEST_COMPONENT_DIR, 1), 0);
  EXPECT_EQ(CoCreateInstance(kPluginClsid, nullptr, kContext, IID_IUnknown, &object), S_OK);
  static_cast<IUnknown *>(object)->Release();
  if (saved) {
    ASSERT_EQ(setenv("TAVELO_COMPONENT_PATH", saved->c_str(), 1), 0);
  } else {
    ASSERT_EQ(unsetenv("TAVELO_COMPONENT_PATH"), 0);
  }
}

TEST(Plugins, NeedAnInitialisedRuntime) {
  // No thread of this process holds the multithreaded mode here.
  void *object = &object;
  HRESULT hr = S_OK;
  std::thread([&] {
    hr = CoCreateInstance(kPluginClsid, nullptr, kContext, IID_IUnknown, &object);
  }).join();
  EXPECT_EQ(hr, CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);

  // While one thread is in the multithreaded mode, every thread may create.
  const ComScope scope(COINIT_MULTITHREADED);
  std::thread([&] {
    hr = CoCreateInstance(kPluginClsid, nullptr, kContext, IID_IUnknown, &object);
  }).join();
  ASSERT_EQ(hr, S_OK);
  static_cast<IUnknown *>(object)->Release();
}

TEST(TaskMemory, ReallocatesAndFrees) {
  auto *block = static_cast<unsigned char *>(CoTaskMemAlloc(4));
  ASSERT_NE(block, nullptr);
  block[3] = 0x5A;
  block = static_cast<unsigned char *>(CoTaskMemRealloc(block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[3], 0x5A);
  EXPECT_EQ(CoTaskMemRealloc(block, 0), nullptr); // frees
  void *empty = CoTaskMemAlloc(0);
  EXPECT_NE(empty, nullptr);
  CoTaskMemFree(empty);
  CoTaskMemFree(nullptr);
}

} // namespace
