// The virtual transport component through its plugin entry point.
#include "support.h"
#include "tavelo/transport.h"

#include <dlfcn.h>

namespace emutest {
namespace {

const IID iid_unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID iid_class_factory = {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID iid_enum_variant = {0x00020404, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A device identifier: a BSTR variant, freed at the end of the (temporary's) scope.
struct DeviceId {
  explicit DeviceId(const std::string &text) : v{} {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(std::u16string(text.begin(), text.end()).c_str());
  }
  ~DeviceId() { VariantClear(&v); }
  VARIANT v;
};

class ComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    void *module = dlopen(VIRTUAL_COMPONENT, RTLD_LAZY | RTLD_LOCAL); // stays loaded
    ASSERT_NE(module, nullptr) << dlerror();
    get = reinterpret_cast<decltype(get)>(dlsym(module, "DllGetClassObject"));
    ASSERT_NE(get, nullptr);
    ASSERT_EQ(get(CLSID_TaveloVirtualTransport, iid_class_factory, (void **)&factory), S_OK);
  }
  void TearDown() override {
    if (factory != nullptr) {
      factory->Release();
    }
  }
  ITaveloTransport2 *create(bool open = true) {
    ITaveloTransport2 *t = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITaveloTransport2, (void **)&t), S_OK);
    if (open) {
      EXPECT_EQ(t->Configure(DeviceId("virtual:" + store.root().string()).v), S_OK);
      EXPECT_EQ(t->Open(), S_OK);
    }
    return t;
  }
  // A whole request through the bounded exchange, into `answer` of its present size.
  static HRESULT send(ITaveloTransport2 *t, const Bytes &request, Bytes &answer) {
    ULONG length = 0;
    const auto n = static_cast<ULONG>(request.size());
    return t->ExchangeBounded(0, request.data(), n, answer.data(), answer.size(), &length);
  }

  TempStore store;
  HRESULT (*get)(REFCLSID, REFIID, void **) = nullptr;
  IClassFactory *factory = nullptr;
};

TEST_F(ComponentTest, ClassObjectOnlyForTheVirtualClassGrantingExactlyItsInterfaces) {
  void *object = reinterpret_cast<void *>(1);
  EXPECT_EQ(get(CLSID_TaveloNetTransport, iid_class_factory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->CreateInstance(factory, IID_ITaveloTransport, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  auto *t = create(false);
  for (const auto &[iid, result] : {std::pair{&iid_unknown, S_OK},
                                    {&IID_ITaveloTransport, S_OK},
                                    {&IID_ITaveloTransport2, S_OK},
                                    {&iid_enum_variant, E_NOINTERFACE},
                                    {&iid_class_factory, E_NOINTERFACE}}) {
    object = nullptr;
    EXPECT_EQ(t->QueryInterface(*iid, &object), result);
    EXPECT_EQ(object != nullptr ? static_cast<IUnknown *>(object)->Release() : 1u, 1u);
  }
  EXPECT_EQ(t->Release(), 0u);
}

TEST_F(ComponentTest, OpenFailsWithoutAStore) {
  auto *t = create(false);
  EXPECT_EQ(t->Configure(DeviceId("net:host:1").v), E_INVALIDARG);
  EXPECT_EQ(t->Configure(DeviceId("virtual:" + (store.root() / "missing").string()).v), S_OK);
  EXPECT_LT(t->Open(), 0);
  Bytes answer(64);
  EXPECT_LT(send(t, bare(cmd::status), answer), 0) << "no link, no exchange";
  t->Release();
}

TEST_F(ComponentTest, BothExchangesAndPowerOffUntilTheLinkIsOpenedAgain) {
  auto *t = create();
  BYTE response[24] = {};
  ULONG length = 0;
  ASSERT_EQ(t->ExchangeBounded(cmd::status, nullptr, 0, response, sizeof response, &length), S_OK);
  EXPECT_EQ(length, 24u) << "a bare header is sent as the whole request";
  Bytes answer(56);
  ASSERT_EQ(send(t, Req(cmd::product_info, 16).tag(12, "sern"), answer), S_OK);
  EXPECT_EQ(u32(answer, 24), 1001u);
  answer.resize(55);
  EXPECT_EQ(send(t, Req(cmd::product_info, 16).tag(12, "sern"), answer), (HRESULT)0x8007007A)
      << "a packet that does not fit fails";
  Bytes big(65536 + 16, 0xAB);
  ASSERT_EQ(t->Exchange(cmd::product_info, nullptr, 0, big.data(), &length), S_OK);
  EXPECT_EQ(length, u32(big, 0) + 4) << "the size hint";
  EXPECT_EQ(big[65536], 0xAB) << "plain exchange writes at most 65,536 bytes";

  ASSERT_EQ(send(t, bare(cmd::power_off), answer), S_OK);
  EXPECT_LT(send(t, bare(cmd::status), answer), 0);
  ASSERT_EQ(t->Open(), S_OK);
  EXPECT_EQ(send(t, bare(cmd::status), answer), S_OK);
  t->Release();
}

TEST_F(ComponentTest, InstancesOnOneStoreShareTheCamera) {
  auto *first = create();
  auto *second = create();
  Bytes answer(64);
  ASSERT_EQ(send(first, set_param("cnam", std::string("Shared")), answer), S_OK);
  first->Release();
  ASSERT_EQ(send(second, Req(cmd::product_info, 16).tag(12, "cacn"), answer), S_OK);
  EXPECT_EQ(wire::get_text(answer, 24, 32), "Shared");
  second->Release();
}

// The devices an enumerator hands out on one call of Next.
Names next(IEnumVARIANT *e, ULONG n, HRESULT expected) {
  VARIANT v[4] = {};
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(n, v, &fetched), expected);
  Names out;
  for (ULONG i = 0; i < fetched; ++i) {
    const auto *p = v[i].bstrVal;
    out.push_back(v[i].vt == VT_BSTR ? std::string(p, p + SysStringLen(v[i].bstrVal)) : "?");
    VariantClear(&v[i]);
  }
  return out;
}

TEST_F(ComponentTest, DeviceEnumeratorListsTheConfiguredStores) {
  setenv("TAVELO_VIRTUAL_CAMERAS", "/a;;/b/c;", 1);
  auto *t = create(false);
  IEnumVARIANT *e = nullptr, *copy = nullptr;
  ASSERT_EQ(t->GetDeviceEnumerator(&e), S_OK);
  EXPECT_EQ(next(e, 3, S_FALSE), (Names{"virtual:/a", "virtual:/b/c"}));
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  ASSERT_EQ(e->Clone(&copy), S_OK);
  EXPECT_EQ(next(copy, 1, S_OK), Names{"virtual:/b/c"});
  EXPECT_EQ(next(copy, 1, S_FALSE), Names{});
  EXPECT_EQ(e->Skip(5), S_FALSE);
  copy->Release();
  e->Release();
  t->Release();
  unsetenv("TAVELO_VIRTUAL_CAMERAS");
}

} // namespace
} // namespace emutest
