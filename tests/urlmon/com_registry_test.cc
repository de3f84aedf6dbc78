// The class table, class objects, the lock count and the class-object
// look-up.

#include "platform/com_registry.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace cvie;

namespace {

const IID IID_ITestA = {0x1A2B3C01, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const IID IID_ITestB = {0x1A2B3C02, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID CLSID_First = {0x1A2B3C10, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID CLSID_Second = {0x1A2B3C11, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID CLSID_Unknown = {0x1A2B3C12, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

class ITestA : public IUnknown {
 public:
  virtual int Which() = 0;
};
class ITestB : public IUnknown {
 public:
  virtual int Twice(int x) = 0;
};

std::atomic<int> live_objects{0};

// A class of the module: counts in the module's lock count.
template <int kTag>
class Sample : public ComObject<ITestA, ITestB> {
 public:
  Sample() { ++live_objects; }
  ~Sample() override { --live_objects; }
  int Which() override { return kTag; }
  int Twice(int x) override { return 2 * x; }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_ITestA) return static_cast<ITestA*>(this);
    if (iid == IID_ITestB) return static_cast<ITestB*>(this);
    return nullptr;
  }
};

// Leaves the module's table as it found it.
struct TableGuard {
  TableGuard() {
    ComModule::Instance().AddClass(CLSID_First, &CreateComInstance<Sample<1>>,
                                   L"First Class");
    ComModule::Instance().AddClass(CLSID_Second, &CreateComInstance<Sample<2>>,
                                   L"Second Class");
  }
  ~TableGuard() {
    ComModule::Instance().RemoveClass(CLSID_First);
    ComModule::Instance().RemoveClass(CLSID_Second);
  }
};

}  // namespace

TEST(ComObject, AnswersItsInterfacesWithOneIdentity) {
  ITestA* a = nullptr;
  ASSERT_EQ(CreateComInstance<Sample<7>>(IID_ITestA, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Which(), 7);

  ComPtr<ITestB> b;
  ASSERT_EQ(a->QueryInterface(IID_ITestB, b.OutVoid()), S_OK);
  EXPECT_EQ(b->Twice(21), 42);

  // IUnknown from either interface is the same pointer.
  ComPtr<IUnknown> from_a, from_b;
  ASSERT_EQ(a->QueryInterface(IID_IUnknown, from_a.OutVoid()), S_OK);
  ASSERT_EQ(b->QueryInterface(IID_IUnknown, from_b.OutVoid()), S_OK);
  EXPECT_EQ(from_a.Get(), from_b.Get());

  void* none = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(a->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(a->QueryInterface(IID_ITestA, nullptr), E_POINTER);

  int before = live_objects.load();
  from_a.Reset();
  from_b.Reset();
  b.Reset();
  EXPECT_EQ(live_objects.load(), before) << "still referenced by a";
  EXPECT_EQ(a->Release(), 0u);
  EXPECT_EQ(live_objects.load(), before - 1);
}

TEST(ComModule, GetClassObjectServesTheTableInOrder) {
  TableGuard guard;
  std::vector<ComClassEntry> classes = ComModule::Instance().Classes();
  ASSERT_GE(classes.size(), 2u);
  size_t first = classes.size(), second = classes.size();
  for (size_t i = 0; i < classes.size(); ++i) {
    if (classes[i].clsid == CLSID_First) first = i;
    if (classes[i].clsid == CLSID_Second) second = i;
  }
  ASSERT_LT(first, classes.size());
  ASSERT_LT(second, classes.size());
  EXPECT_LT(first, second);
  EXPECT_EQ(classes[first].description, L"First Class");

  struct Case {
    const CLSID* clsid;
    int tag;
  };
  const Case cases[] = {{&CLSID_First, 1}, {&CLSID_Second, 2}};
  for (const Case& c : cases) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(ComModule::Instance().GetClassObject(*c.clsid, IID_IClassFactory,
                                                   factory.OutVoid()),
              S_OK)
        << c.clsid->Text();
    ComPtr<ITestA> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestA, object.OutVoid()), S_OK);
    EXPECT_EQ(object->Which(), c.tag) << c.clsid->Text();

    // One class object per class.
    ComPtr<IUnknown> again;
    ASSERT_EQ(
        ComModule::Instance().GetClassObject(*c.clsid, IID_IUnknown, again.OutVoid()),
        S_OK);
    ComPtr<IUnknown> identity;
    factory->QueryInterface(IID_IUnknown, identity.OutVoid());
    EXPECT_EQ(again.Get(), identity.Get()) << c.clsid->Text();
  }

  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(ComModule::Instance().GetClassObject(CLSID_Unknown, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ComModule::Instance().GetClassObject(CLSID_First, IID_ITestA, &out),
            E_NOINTERFACE);
  EXPECT_EQ(ComModule::Instance().GetClassObject(CLSID_First, IID_IClassFactory, nullptr),
            E_POINTER);
}

TEST(ComModule, ClassObjectRefusesAggregationAndUnknownInterfaces) {
  TableGuard guard;
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(ComModule::Instance().GetClassObject(CLSID_First, IID_IClassFactory,
                                                 factory.OutVoid()),
            S_OK);
  ComPtr<ITestA> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestA, outer.OutVoid()), S_OK);
  int before = live_objects.load();
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_ITestA, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(live_objects.load(), before) << "a refused instance must not stay alive";
}

TEST(ComModule, CanUnloadOnlyWithoutLiveObjectsAndLocks) {
  TableGuard guard;
  ComModule& module = ComModule::Instance();
  ASSERT_EQ(module.LockCount(), 0);
  EXPECT_EQ(module.CanUnloadNow(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(module.GetClassObject(CLSID_First, IID_IClassFactory, factory.OutVoid()),
            S_OK);
  EXPECT_EQ(module.CanUnloadNow(), S_OK)
      << "a class object alone does not lock the module";

  ComPtr<ITestA> one, two;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestA, one.OutVoid()), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestA, two.OutVoid()), S_OK);
  EXPECT_EQ(module.LockCount(), 2);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  one.Reset();
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  two.Reset();
  EXPECT_EQ(module.CanUnloadNow(), S_OK);

  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

TEST(ComModule, ReplacingAndRemovingAClass) {
  TableGuard guard;
  ComModule& module = ComModule::Instance();
  ComPtr<IClassFactory> old_factory;
  ASSERT_EQ(module.GetClassObject(CLSID_First, IID_IClassFactory, old_factory.OutVoid()),
            S_OK);

  size_t count = module.Classes().size();
  module.AddClass(CLSID_First, &CreateComInstance<Sample<9>>, L"Replaced");
  EXPECT_EQ(module.Classes().size(), count) << "replacing keeps one entry";
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(module.GetClassObject(CLSID_First, IID_IClassFactory, factory.OutVoid()),
            S_OK);
  ComPtr<ITestA> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestA, object.OutVoid()), S_OK);
  EXPECT_EQ(object->Which(), 9);

  // A class object handed out before keeps working.
  ComPtr<ITestA> old_object;
  ASSERT_EQ(old_factory->CreateInstance(nullptr, IID_ITestA, old_object.OutVoid()), S_OK);
  EXPECT_EQ(old_object->Which(), 1);

  EXPECT_TRUE(module.RemoveClass(CLSID_First));
  EXPECT_FALSE(module.RemoveClass(CLSID_First));
  void* out = nullptr;
  EXPECT_EQ(module.GetClassObject(CLSID_First, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
}

TEST(CoGetClassObject, FindsRegisteredObjectsBeforeTheTable) {
  TableGuard guard;
  struct Case {
    const char* name;
    const CLSID* clsid;
    DWORD context;
    HRESULT expected;
    int tag;  // which class answers; 0 none
  };
  const Case table_cases[] = {
      {"table class, in-process", &CLSID_First, CLSCTX_INPROC_SERVER, S_OK, 1},
      {"table class, all servers", &CLSID_Second, CLSCTX_SERVER, S_OK, 2},
      {"local server only", &CLSID_First, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG, 0},
      {"unknown class", &CLSID_Unknown, CLSCTX_SERVER, REGDB_E_CLASSNOTREG, 0},
  };
  for (const Case& c : table_cases) {
    ComPtr<ITestA> object;
    HRESULT hr =
        CoCreateInstance(*c.clsid, nullptr, c.context, IID_ITestA, object.OutVoid());
    EXPECT_EQ(hr, c.expected) << c.name;
    if (c.tag) {
      ASSERT_TRUE(object) << c.name;
      EXPECT_EQ(object->Which(), c.tag) << c.name;
    } else {
      EXPECT_FALSE(object) << c.name;
    }
  }

  // A registered class object for CLSID_First (making Sample<5>) wins until
  // it is revoked; one for an unknown CLSID makes it known.
  IClassFactory* raw = nullptr;
  ASSERT_EQ(CreateClassFactory(&CreateComInstance<Sample<5>>, &raw), S_OK);
  ComPtr<IClassFactory> registered = ComPtr<IClassFactory>::Adopt(raw);
  DWORD cookie_first = 0, cookie_unknown = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_First, registered.Get(), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie_first),
            S_OK);
  ASSERT_EQ(CoRegisterClassObject(CLSID_Unknown, registered.Get(), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie_unknown),
            S_OK);
  EXPECT_NE(cookie_first, cookie_unknown);
  for (const CLSID* clsid : {&CLSID_First, &CLSID_Unknown}) {
    ComPtr<ITestA> object;
    ASSERT_EQ(
        CoCreateInstance(*clsid, nullptr, CLSCTX_SERVER, IID_ITestA, object.OutVoid()),
        S_OK)
        << clsid->Text();
    EXPECT_EQ(object->Which(), 5) << clsid->Text();
  }
  EXPECT_EQ(CoRevokeClassObject(cookie_first), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie_unknown), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie_unknown), E_INVALIDARG);
  ComPtr<ITestA> object;
  ASSERT_EQ(
      CoCreateInstance(CLSID_First, nullptr, CLSCTX_SERVER, IID_ITestA, object.OutVoid()),
      S_OK);
  EXPECT_EQ(object->Which(), 1) << "after revoking, the table answers again";
  // The registrations held references; after revoking only ours is left.
  EXPECT_EQ(registered->AddRef(), 2u);
  registered->Release();
}

TEST(Bstr, KeepsLengthAndEmbeddedZeros) {
  struct Case {
    const wchar_t* text;
    UINT length;
  };
  const Case cases[] = {{L"", 0}, {L"abc", 3}, {L"a\0b", 3}, {L"http://x/\u00e9", 10}};
  for (const Case& c : cases) {
    BSTR s = SysAllocStringLen(c.text, c.length);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), c.length);
    EXPECT_EQ(std::wstring(s, SysStringLen(s)), std::wstring(c.text, c.length));
    EXPECT_EQ(s[c.length], L'\0');
    SysFreeString(s);
  }
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  BSTR copy = SysAllocString(L"DISPID_BEFORENAVIGATE2");
  EXPECT_EQ(SysStringLen(copy), 22u);
  SysFreeString(copy);
}

TEST(Variant, ClearFreesWhatItOwnsOnly) {
  ComPtr<ITestA> object;
  ASSERT_EQ(CreateComInstance<Sample<3>>(IID_ITestA, object.OutVoid()), S_OK);

  VARIANT owned_unknown;
  owned_unknown.vt = VT_UNKNOWN;
  owned_unknown.punkVal = object.Get();
  object->AddRef();
  EXPECT_EQ(VariantClear(&owned_unknown), S_OK);
  EXPECT_EQ(owned_unknown.vt, VT_EMPTY);
  EXPECT_EQ(object->AddRef(), 2u) << "the variant's reference was released";
  object->Release();

  BSTR text = SysAllocString(L"held by reference");
  VARIANT inner;
  inner.vt = VT_BSTR;
  inner.bstrVal = text;
  VARIANT by_reference;
  by_reference.vt = VT_BYREF | VT_VARIANT;
  by_reference.pvarVal = &inner;
  EXPECT_EQ(VariantClear(&by_reference), S_OK);
  EXPECT_EQ(inner.bstrVal, text) << "a value held by reference stays";
  EXPECT_EQ(VariantClear(&inner), S_OK);
  EXPECT_EQ(VariantClear(nullptr), E_POINTER);
}
