// platform/com_registry.h
//
// The in-process side of COM for this platform:
//
//  - ComObject<Interfaces...>: the reference-counting base of a COM class.
//    Every live object made with it raises the module's lock count.
//  - ComModule: the module object. It keeps the lock count and the class
//    table (CLSID -> creator, in the order classes were added) and answers
//    the questions of the module exports: GetClassObject is what
//    DllGetClassObject returns, CanUnloadNow what DllCanUnloadNow returns.
//  - CoGetClassObject / CoCreateInstance: stand-ins for COM's look-up. There
//    is no system registry of servers: a class object is found among those
//    registered with CoRegisterClassObject, then in the module's class table.
//
// Creation is aggregation-free: asking a class object for an instance with
// an outer object gives CLASS_E_NOAGGREGATION.
//
// Thread safety: every function here may be called from any thread. Objects
// count references atomically; the class table and the registered class
// objects are guarded by locks.

#pragma once

#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "platform/com.h"

namespace cvie {

// Makes one new object of a class and returns its interface `iid` in
// `*object` (with one reference), or a failure code with `*object` null.
typedef HRESULT (*ComCreator)(REFIID iid, void** object);

struct ComClassEntry {
  CLSID clsid;
  ComCreator create;
  std::wstring description;  // e.g. "HTMLMimeFilterPP Class"
};

class ComModule {
 public:
  // The module of this process. Never destroyed.
  static ComModule& Instance();

  // Appends a class to the table. Adding a CLSID that is already there
  // replaces its creator and description in place (the order is kept).
  void AddClass(const CLSID& clsid, ComCreator create, const std::wstring& description);
  // Removes a class; false when it was not in the table. A class object
  // already handed out keeps working.
  bool RemoveClass(const CLSID& clsid);
  // A copy of the table, in order.
  std::vector<ComClassEntry> Classes() const;

  // The class object of `clsid` (one per class, made on first request and
  // kept), asked for `iid` (IID_IClassFactory or IID_IUnknown).
  // CLASS_E_CLASSNOTAVAILABLE for a CLSID outside the table, E_POINTER for a
  // null out pointer, E_NOINTERFACE for another iid.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object);

  // S_OK when the lock count is 0 (no live object, no LockServer lock),
  // else S_FALSE.
  HRESULT CanUnloadNow() const;

  // The lock count: raised by every live ComObject that counts in the module
  // and by IClassFactory::LockServer(TRUE). Lock and Unlock return the new
  // count.
  LONG Lock();
  LONG Unlock();
  LONG LockCount() const;

 private:
  ComModule();
  struct State;
  State* state_;
  std::atomic<LONG> locks_{0};
};

// Returns a class object that makes objects with `create` (a class object
// outside the module's table, e.g. for a test or a platform service). The
// class object itself does not count in the module's lock count.
HRESULT CreateClassFactory(ComCreator create, IClassFactory** factory);

// Registers a class object for `clsid` in this process; CoGetClassObject
// finds it before the module's class table. `*cookie` identifies the
// registration for CoRevokeClassObject. Adds a reference to `object`.
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context,
                              DWORD flags, DWORD* cookie);
// Withdraws a registration and releases its class object. E_INVALIDARG for
// an unknown cookie.
HRESULT CoRevokeClassObject(DWORD cookie);

// The class object of `clsid` asked for `iid`. `context` must include an
// in-process context (CLSCTX_INPROC_SERVER or CLSCTX_INPROC_HANDLER), else
// REGDB_E_CLASSNOTREG; `server_info` must be null. REGDB_E_CLASSNOTREG when
// no class object is registered and the module's table lacks the class.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info, REFIID iid,
                         void** object);
// CoGetClassObject, then IClassFactory::CreateInstance.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object);

// Reference-counting base of a COM class implementing `Interfaces` (each an
// interface derived from IUnknown). It implements AddRef, Release (which
// deletes the object at 0) and QueryInterface; the class answers its own
// interfaces in FindInterface, IUnknown is answered here through the first
// interface. Objects start with no reference: the creator asks for the
// interface it hands out (QueryInterface adds the first reference).
template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    void* found = FindInterface(iid);
    if (!found && iid == IID_IUnknown)
      found = static_cast<IUnknown*>(static_cast<First*>(this));
    *object = found;
    if (!found) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  // With `counts_in_module` the object raises the module's lock count while
  // it lives (the objects of the system's own classes); platform helpers
  // pass false.
  explicit ComObject(bool counts_in_module = true) : counts_(counts_in_module) {
    if (counts_) ComModule::Instance().Lock();
  }
  // Virtual here, not in IUnknown: Release deletes the concrete class
  // through this base without adding a slot to the interfaces' vtables.
  virtual ~ComObject() {
    if (counts_) ComModule::Instance().Unlock();
  }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // The pointer for interface `iid` (cast to that interface), or null.
  virtual void* FindInterface(REFIID iid) = 0;

 private:
  typedef std::tuple_element_t<0, std::tuple<Interfaces...>> First;
  std::atomic<ULONG> refs_{0};
  const bool counts_;
};

// Creator for a class T that is default-constructible and derives from
// ComObject: makes one T and asks it for `iid` (deleting it on failure).
template <class T>
HRESULT CreateComInstance(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  T* instance = new T();
  instance->AddRef();
  HRESULT hr = instance->QueryInterface(iid, object);
  instance->Release();
  return hr;
}

}  // namespace cvie
