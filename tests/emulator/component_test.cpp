// The virtual transport component through its plugin entry point.
#include "support.h"
#include "tavelo/transport.h"

#include <dlfcn.h>

namespace emutest {
namespace {

using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void **);

const IID iid_unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID iid_class_factory = {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID iid_enum_variant = {0x00020404, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A device identifier variant that frees its BSTR.
class TestBstr {
public:
  explicit TestBstr(const std::u16string &text) : text_(SysAllocString(text.c_str())) {}
  ~TestBstr() { SysFreeString(text_); }
  TestBstr(const TestBstr &) = delete;
  TestBstr &operator=(const TestBstr &) = delete;
  VARIANT variant() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text_;
    return v;
  }

private:
  BSTR text_;
};

std::u16string to_u16(const std::string &s) {
  return std::u16string(s.begin(), s.end());
}

class ComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    module_ = dlopen(VIRTUAL_COMPONENT, RTLD_LAZY | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    get_ = reinterpret_cast<GetClassObject>(dlsym(module_, "DllGetClassObject"));
    ASSERT_NE(get_, nullptr);
    ASSERT_EQ(
        get_(CLSID_TaveloVirtualTransport, iid_class_factory, reinterpret_cast<void **>(&factory_)),
        S_OK);
  }
  void TearDown() override {
    if (factory_ != nullptr) {
      factory_->Release();
    }
    // The module stays loaded: the engines it keeps live for the process.
  }

  ITaveloTransport2 *create() {
    ITaveloTransport2 *t = nullptr;
    EXPECT_EQ(
        factory_->CreateInstance(nullptr, IID_ITaveloTransport2, reinterpret_cast<void **>(&t)),
        S_OK);
    return t;
  }
  ITaveloTransport2 *opened(const fs::path &store) {
    auto *t = create();
    TestBstr id(to_u16("virtual:" + store.string()));
    EXPECT_EQ(t->Configure(id.variant()), S_OK);
    EXPECT_EQ(t->Open(), S_OK);
    return t;
  }

  void *module_ = nullptr;
  GetClassObject get_ = nullptr;
  IClassFactory *factory_ = nullptr;
};

TEST_F(ComponentTest, ClassObjectOnlyForTheVirtualClass) {
  void *object = reinterpret_cast<void *>(1);
  EXPECT_EQ(get_(CLSID_TaveloNetTransport, iid_class_factory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  IUnknown *outer = factory_;
  void *inner = nullptr;
  EXPECT_EQ(factory_->CreateInstance(outer, IID_ITaveloTransport, &inner), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory_->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory_->LockServer(FALSE), S_OK);
}

struct QiCase {
  const char *name;
  const IID *iid;
  HRESULT result;
};

class QiTest : public ComponentTest, public ::testing::WithParamInterface<QiCase> {};

TEST_P(QiTest, GrantsExactlyItsInterfaces) {
  auto *t = create();
  void *object = nullptr;
  EXPECT_EQ(t->QueryInterface(*GetParam().iid, &object), GetParam().result) << GetParam().name;
  if (object != nullptr) {
    EXPECT_EQ(static_cast<IUnknown *>(object)->Release(), 1u);
  }
  EXPECT_EQ(t->Release(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, QiTest,
    ::testing::Values(QiCase{"IUnknown", &iid_unknown, S_OK},
                      QiCase{"ITaveloTransport", &IID_ITaveloTransport, S_OK},
                      QiCase{"ITaveloTransport2", &IID_ITaveloTransport2, S_OK},
                      QiCase{"IEnumVARIANT", &iid_enum_variant, E_NOINTERFACE},
                      QiCase{"IClassFactory", &iid_class_factory, E_NOINTERFACE}));

TEST_F(ComponentTest, OpenFailsWithoutAStore) {
  auto *t = create();
  EXPECT_LT(t->Open(), 0) << "nothing configured";
  VARIANT number{};
  number.vt = VT_I4;
  EXPECT_EQ(t->Configure(number), E_INVALIDARG);
  TestBstr other(u"net:host:1");
  EXPECT_EQ(t->Configure(other.variant()), E_INVALIDARG);
  TestBstr missing(to_u16("virtual:" + std::string(EMULATOR_TEST_TMP) + "/missing-store"));
  EXPECT_EQ(t->Configure(missing.variant()), S_OK);
  EXPECT_LT(t->Open(), 0);
  BYTE response[64];
  ULONG hint = 0;
  EXPECT_LT(t->Exchange(0x03, nullptr, 0, response, &hint), 0) << "no link, no exchange";
  t->Release();
}

TEST_F(ComponentTest, ExchangesBareHeadersAndFullRequests) {
  TempStore store;
  auto *t = opened(store.root());
  BYTE response[24] = {};
  ULONG length = 0;
  ASSERT_EQ(t->ExchangeBounded(wire::cmd::status, nullptr, 0, response, sizeof response, &length),
            S_OK);
  EXPECT_EQ(length, 24u);
  EXPECT_EQ(wire::get_u32(std::span<const std::uint8_t>(response, 24), 0), 20u);

  const Bytes one = Req(wire::cmd::product_info, 16).tag(12, "sern");
  Bytes answer(56);
  ASSERT_EQ(t->ExchangeBounded(0, one.data(), 16, answer.data(), 56, &length), S_OK);
  EXPECT_EQ(u32(answer, 24), 1001u);
  EXPECT_EQ(t->ExchangeBounded(0, one.data(), 16, answer.data(), 55, &length),
            static_cast<HRESULT>(0x8007007A))
      << "a packet that does not fit fails";

  Bytes big(65536 + 16, 0xAB);
  ULONG hint = 0;
  ASSERT_EQ(t->Exchange(wire::cmd::product_info, nullptr, 0, big.data(), &hint), S_OK);
  EXPECT_EQ(hint, u32(big, 0) + 4);
  EXPECT_EQ(big[65536], 0xAB) << "plain exchange writes at most 65,536 bytes";
  t->Release();
}

TEST_F(ComponentTest, PowerOffUntilTheLinkIsOpenedAgain) {
  TempStore store;
  auto *t = opened(store.root());
  BYTE response[64];
  ULONG length = 0;
  ASSERT_EQ(t->ExchangeBounded(wire::cmd::power_off, nullptr, 0, response, 64, &length), S_OK);
  EXPECT_LT(t->ExchangeBounded(wire::cmd::status, nullptr, 0, response, 64, &length), 0);
  ASSERT_EQ(t->Open(), S_OK);
  EXPECT_EQ(t->ExchangeBounded(wire::cmd::status, nullptr, 0, response, 64, &length), S_OK);
  t->Release();
}

TEST_F(ComponentTest, InstancesOnOneStoreShareTheCamera) {
  TempStore store;
  auto *first = opened(store.root());
  auto *second = opened(store.root());
  const Bytes name = Req(wire::cmd::set_parameter, 48).tag(12, "cnam").text(16, 32, "Shared");
  Bytes response(64);
  ULONG length = 0;
  ASSERT_EQ(first->ExchangeBounded(0, name.data(), 48, response.data(), 64, &length), S_OK);
  first->Release();
  const Bytes ask = Req(wire::cmd::product_info, 16).tag(12, "cacn");
  ASSERT_EQ(second->ExchangeBounded(0, ask.data(), 16, response.data(), 64, &length), S_OK);
  EXPECT_EQ(wire::get_text(response, 24, 32), "Shared");
  second->Release();
}

std::string text_of(const VARIANT &v) {
  std::string s;
  for (const char16_t *p = v.bstrVal; *p; ++p) {
    s.push_back(static_cast<char>(*p));
  }
  return s;
}

TEST_F(ComponentTest, DeviceEnumeratorListsTheConfiguredStores) {
  setenv("TAVELO_VIRTUAL_CAMERAS", "/a;;/b/c;", 1);
  auto *t = create();
  IEnumVARIANT *e = nullptr;
  ASSERT_EQ(t->GetDeviceEnumerator(&e), S_OK);
  VARIANT v[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, v, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(v[0].vt, VT_BSTR);
  EXPECT_EQ(text_of(v[0]), "virtual:/a");
  EXPECT_EQ(text_of(v[1]), "virtual:/b/c");
  VariantClear(&v[0]);
  VariantClear(&v[1]);
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  IEnumVARIANT *copy = nullptr;
  ASSERT_EQ(e->Clone(&copy), S_OK);
  ASSERT_EQ(copy->Next(1, v, &fetched), S_OK);
  EXPECT_EQ(text_of(v[0]), "virtual:/b/c");
  VariantClear(&v[0]);
  EXPECT_EQ(copy->Next(1, v, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Skip(5), S_FALSE);
  copy->Release();
  e->Release();
  t->Release();
  unsetenv("TAVELO_VIRTUAL_CAMERAS");
}

} // namespace
} // namespace emutest
