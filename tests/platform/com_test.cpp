// Component runtime: initialisation, class identifier text, class objects
// registered in-process and plugins found on TAVELO_COMPONENT_PATH.
#include "test_modules.h"

#include "tavelo/tavelort.h"
#include "tavelo/transport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr CLSID kFakeClsid = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr DWORD kContext = 0x15; // CLSCTX_INPROC_SERVER | LOCAL_SERVER | REMOTE_SERVER

struct ComScope {
  ComScope() { EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  ~ComScope() { CoUninitialize(); }
};

// A class object that is also the one instance it hands out, counting both.
class FakeFactory final : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    const bool known = IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory);
    *object = known ? this : nullptr;
    references += known ? 1 : 0;
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
    ++created;
    return QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  ULONG references = 1;
  int created = 0;
};

HRESULT create(const CLSID &clsid, void **object, DWORD context = kContext) {
  return CoCreateInstance(clsid, nullptr, context, IID_IUnknown, object);
}

TEST(CoInitialize, CountsPerThreadAndFixesTheModeUntilBalanced) {
  auto sequence = [] {
    std::array<HRESULT, 3> seen = {CoInitializeEx(nullptr, COINIT_MULTITHREADED),
                                   CoInitializeEx(nullptr, COINIT_MULTITHREADED),
                                   CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)};
    CoUninitialize();
    CoUninitialize();
    return seen;
  };
  const std::array<HRESULT, 3> expected = {S_OK, S_FALSE, RPC_E_CHANGED_MODE};
  EXPECT_EQ(sequence(), expected);
  ASSERT_EQ(CoInitialize(nullptr), S_OK); // balanced: a new mode may be chosen
  std::array<HRESULT, 3> other{};
  std::thread([&] { other = sequence(); }).join();
  EXPECT_EQ(other, expected); // this thread's apartment does not reach it
  CoUninitialize();
  CoUninitialize(); // one too many is harmless
}

TEST(CoInitialize, CreationNeedsSomeThreadInTheMultithreadedMode) {
  HRESULT hr = S_OK;
  void *object = &object;
  auto elsewhere = [&] { std::thread([&] { hr = create(kTestPluginClsid, &object); }).join(); };
  elsewhere();
  EXPECT_EQ(hr, CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);
  const ComScope scope;
  elsewhere();
  ASSERT_EQ(hr, S_OK);
  static_cast<IUnknown *>(object)->Release();
}

TEST(ClassIdText, RoundTripsInUpperCaseAndReadsLowerCase) {
  std::array<OLECHAR, 39> buffer{};
  ASSERT_EQ(StringFromGUID2(IID_ITaveloTransport, buffer.data(), 39), 39);
  EXPECT_EQ(std::u16string(buffer.data()), u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4}");
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(buffer.data(), &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, IID_ITaveloTransport));
  ASSERT_EQ(CLSIDFromString(u"{e58c1b90-bf37-4b17-9ae8-00a0c93e71b4}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, CLSID_TaveloVirtualTransport));

  buffer.fill(u'x'); // no room for the terminator: nothing written
  EXPECT_EQ(StringFromGUID2(kFakeClsid, buffer.data(), 38), 0);
  EXPECT_EQ(buffer[0], u'x');
  const char16_t *const malformed[] = {nullptr,
                                       u"",
                                       u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B}",
                                       u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B44}",
                                       u"(7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4}",
                                       u"{7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4)",
                                       u"{7D41A0E2052C9-4B17-9A3B-00A0C93E71B4}",
                                       u"{7D41A0G2-52C9-4B17-9A3B-00A0C93E71B4}",
                                       u"{+D41A0E2-52C9-4B17-9A3B-00A0C93E71B4}"};
  for (const char16_t *text : malformed) {
    EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING) << testing::PrintToString(text);
  }
}

TEST(ClassObjects, AreFoundBeforePluginsAndGoneAfterRevokeOrTheirSingleUse) {
  const ComScope scope;
  FakeFactory factory, single;
  DWORD cookie = 0, singleCookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kTestPluginClsid, &factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  EXPECT_EQ(factory.references, 2u); // the registry holds one reference
  void *object = nullptr;
  ASSERT_EQ(create(kTestPluginClsid, &object), S_OK);
  EXPECT_EQ(object, &factory);
  factory.Release();
  EXPECT_EQ(CoCreateInstance(kTestPluginClsid, nullptr, kContext, IID_ITaveloTransport, &object),
            E_NOINTERFACE); // the factory's failure, not the plugin's success
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.references, 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  ASSERT_EQ(create(kTestPluginClsid, &object), S_OK); // the plugin serves the class again
  EXPECT_NE(object, &factory);
  static_cast<IUnknown *>(object)->Release();
  EXPECT_EQ(factory.created, 2);

  ASSERT_EQ(CoRegisterClassObject(kFakeClsid, &single, CLSCTX_INPROC_SERVER, REGCLS_SINGLEUSE,
                                  &singleCookie),
            S_OK);
  ASSERT_EQ(create(kFakeClsid, &object), S_OK);
  single.Release();
  EXPECT_EQ(create(kFakeClsid, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoRevokeClassObject(singleCookie), S_OK);
  EXPECT_EQ(single.references, 1u);
}

TEST(Plugins, ServeTheTransportInProcessFromTheListedDirectoriesOnly) {
  const ComScope scope;
  ITaveloTransport *transport = nullptr;
  ASSERT_EQ(CoCreateInstance(kTestPluginClsid, nullptr, kContext, IID_ITaveloTransport,
                             reinterpret_cast<void **>(&transport)),
            S_OK);
  const std::array<BYTE, 4> request = {1, 2, 3, 4};
  std::array<BYTE, 4> response{};
  ULONG length = 0;
  EXPECT_EQ(transport->Exchange(1, request.data(), 4, response.data(), &length), S_OK);
  EXPECT_EQ(response, request);
  EXPECT_EQ(transport->Release(), 0u);
  void *object = nullptr;
  EXPECT_EQ(create(kTestPluginClsid, &object, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);

  const char *listed = std::getenv("TAVELO_COMPONENT_PATH"); // set where the test is registered
  ASSERT_NE(listed, nullptr);
  const std::string saved = listed;
  ASSERT_EQ(setenv("TAVELO_COMPONENT_PATH", "/nonexistent", 1), 0);
  EXPECT_EQ(create(kTestPluginClsid, &object), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(setenv("TAVELO_COMPONENT_PATH", saved.c_str(), 1), 0);
}

} // namespace
