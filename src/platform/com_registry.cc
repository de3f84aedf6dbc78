#include "platform/com_registry.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>

namespace cvie {

const IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// --- BSTR -------------------------------------------------------------------

// A BSTR points at the characters; the 32-bit length in bytes stands just
// before them and a terminating zero after them.
BSTR SysAllocStringLen(const wchar_t* text, UINT length) {
  size_t bytes = sizeof(uint64_t) + (static_cast<size_t>(length) + 1) * sizeof(wchar_t);
  char* block = static_cast<char*>(malloc(bytes));
  if (!block) return nullptr;
  uint32_t byte_length = static_cast<uint32_t>(length * sizeof(wchar_t));
  memcpy(block + sizeof(uint64_t) - sizeof(uint32_t), &byte_length, sizeof byte_length);
  BSTR chars = reinterpret_cast<BSTR>(block + sizeof(uint64_t));
  if (text) {
    memcpy(chars, text, length * sizeof(wchar_t));
  } else {
    memset(chars, 0, length * sizeof(wchar_t));
  }
  chars[length] = L'\0';
  return chars;
}

BSTR SysAllocString(const wchar_t* text) {
  if (!text) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(wcslen(text)));
}

void SysFreeString(BSTR text) {
  if (!text) return;
  free(reinterpret_cast<char*>(text) - sizeof(uint64_t));
}

UINT SysStringLen(BSTR text) {
  if (!text) return 0;
  uint32_t byte_length;
  memcpy(&byte_length, reinterpret_cast<char*>(text) - sizeof(uint32_t),
         sizeof byte_length);
  return byte_length / sizeof(wchar_t);
}

HRESULT VariantClear(VARIANT* value) {
  if (!value) return E_POINTER;
  if (!(value->vt & VT_BYREF)) {
    switch (value->vt) {
      case VT_BSTR:
        SysFreeString(value->bstrVal);
        break;
      case VT_UNKNOWN:
        if (value->punkVal) value->punkVal->Release();
        break;
      case VT_DISPATCH:
        if (value->pdispVal) value->pdispVal->Release();
        break;
      default:
        break;
    }
  }
  value->vt = VT_EMPTY;
  value->llVal = 0;
  return S_OK;
}

// --- Class objects ------------------------------------------------------------

namespace {

// The class object of one class: makes instances with its creator; it does
// not count in the module's lock count itself (LockServer does).
class ClassFactory : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(ComCreator create) : ComObject(false), create_(create) {}

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(iid, object);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ComModule::Instance().Lock();
    } else {
      ComModule::Instance().Unlock();
    }
    return S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IClassFactory) return static_cast<IClassFactory*>(this);
    return nullptr;
  }

 private:
  ComCreator create_;
};

struct TableEntry {
  ComClassEntry entry;
  IClassFactory* factory = nullptr;  // made on first request, one reference held
};

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;
};

std::mutex& RegistrationMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<Registration>& Registrations() {
  static std::vector<Registration> registrations;
  return registrations;
}

}  // namespace

struct ComModule::State {
  mutable std::mutex mutex;
  std::vector<TableEntry> table;
};

ComModule::ComModule() : state_(new State) {}

ComModule& ComModule::Instance() {
  static ComModule* module = new ComModule();
  return *module;
}

void ComModule::AddClass(const CLSID& clsid, ComCreator create,
                         const std::wstring& description) {
  IClassFactory* stale = nullptr;  // would still make objects with the old creator
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    bool replaced = false;
    for (TableEntry& e : state_->table) {
      if (e.entry.clsid != clsid) continue;
      e.entry.create = create;
      e.entry.description = description;
      stale = e.factory;
      e.factory = nullptr;
      replaced = true;
      break;
    }
    if (!replaced)
      state_->table.push_back(TableEntry{{clsid, create, description}, nullptr});
  }
  if (stale) stale->Release();
}

bool ComModule::RemoveClass(const CLSID& clsid) {
  IClassFactory* factory = nullptr;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto it = state_->table.begin(); it != state_->table.end(); ++it) {
      if (it->entry.clsid == clsid) {
        factory = it->factory;
        state_->table.erase(it);
        found = true;
        break;
      }
    }
  }
  if (factory) factory->Release();
  return found;
}

std::vector<ComClassEntry> ComModule::Classes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<ComClassEntry> result;
  for (const TableEntry& e : state_->table) result.push_back(e.entry);
  return result;
}

HRESULT ComModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (TableEntry& e : state_->table) {
      if (e.entry.clsid != clsid) continue;
      if (!e.factory) {
        ClassFactory* made = new ClassFactory(e.entry.create);
        made->AddRef();
        e.factory = made;
      }
      factory = e.factory;
      break;
    }
  }
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(iid, object);
}

HRESULT ComModule::CanUnloadNow() const { return LockCount() == 0 ? S_OK : S_FALSE; }

LONG ComModule::Lock() { return locks_.fetch_add(1) + 1; }
LONG ComModule::Unlock() { return locks_.fetch_sub(1) - 1; }
LONG ComModule::LockCount() const { return locks_.load(); }

HRESULT CreateClassFactory(ComCreator create, IClassFactory** factory) {
  if (!factory) return E_POINTER;
  *factory = nullptr;
  if (!create) return E_INVALIDARG;
  ClassFactory* made = new ClassFactory(create);
  made->AddRef();
  *factory = made;
  return S_OK;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD /*context*/,
                              DWORD /*flags*/, DWORD* cookie) {
  if (!object || !cookie) return E_INVALIDARG;
  static DWORD next_cookie = 0;
  object->AddRef();
  std::lock_guard<std::mutex> lock(RegistrationMutex());
  *cookie = ++next_cookie;
  Registrations().push_back(Registration{*cookie, clsid, object});
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(RegistrationMutex());
    auto& registrations = Registrations();
    for (auto it = registrations.begin(); it != registrations.end(); ++it) {
      if (it->cookie == cookie) {
        object = it->object;
        registrations.erase(it);
        break;
      }
    }
  }
  if (!object) return E_INVALIDARG;
  object->Release();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info, REFIID iid,
                         void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (server_info) return E_INVALIDARG;
  if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)))
    return REGDB_E_CLASSNOTREG;
  ComPtr<IUnknown> registered;
  {
    std::lock_guard<std::mutex> lock(RegistrationMutex());
    // The latest registration of a CLSID wins.
    auto& registrations = Registrations();
    for (auto it = registrations.rbegin(); it != registrations.rend(); ++it) {
      if (it->clsid == clsid) {
        registered = it->object;
        break;
      }
    }
  }
  if (registered) return registered->QueryInterface(iid, object);
  HRESULT hr = ComModule::Instance().GetClassObject(clsid, iid, object);
  return hr == CLASS_E_CLASSNOTAVAILABLE ? REGDB_E_CLASSNOTREG : hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr =
      CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.OutVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, object);
}

}  // namespace cvie
