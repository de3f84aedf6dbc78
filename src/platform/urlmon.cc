// The process's URL-moniker session: namespace handler and MIME filter
// registrations under one lock.

#include "platform/urlmon.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/com_registry.h"
#include "platform/urlmon_internal.h"
#include "platform/urlmon_testing.h"

namespace cvie {

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

namespace {

struct Registration {
  std::wstring name;  // scheme or MIME type, lower case
  ComPtr<IClassFactory> factory;
  CLSID clsid;
  std::vector<std::wstring> patterns;
};

std::atomic<bool> session_available{true};

// A scheme whose namespace registrations are refused (tests only); empty: none.
std::mutex refused_mutex;
std::wstring refused_scheme;  // guarded by refused_mutex

bool SchemeRefused(const std::wstring& scheme) {
  std::lock_guard<std::mutex> lock(refused_mutex);
  return !refused_scheme.empty() && refused_scheme == scheme;
}

class Session : public ComObject<IInternetSession> {
 public:
  Session() : ComObject(false) {}

  HRESULT RegisterNameSpace(IClassFactory* factory, REFCLSID clsid, LPCWSTR scheme,
                            ULONG pattern_count, const LPCWSTR* patterns,
                            DWORD /*reserved*/) override {
    if (!factory || !scheme || !*scheme) return E_INVALIDARG;
    Registration r{LowerAscii(std::wstring(scheme)), factory, clsid, {}};
    if (SchemeRefused(r.name)) return E_FAIL;
    for (ULONG i = 0; patterns && i < pattern_count; ++i) {
      if (patterns[i]) r.patterns.push_back(patterns[i]);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    name_spaces_.push_back(std::move(r));
    return S_OK;
  }

  HRESULT UnregisterNameSpace(IClassFactory* factory, LPCWSTR scheme) override {
    if (!factory || !scheme) return E_INVALIDARG;
    return Remove(&name_spaces_, factory, scheme);
  }

  HRESULT RegisterMimeFilter(IClassFactory* factory, REFCLSID clsid,
                             LPCWSTR type) override {
    if (!factory || !type || !*type) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    mime_filters_.push_back(
        Registration{LowerAscii(std::wstring(type)), factory, clsid, {}});
    return S_OK;
  }

  HRESULT UnregisterMimeFilter(IClassFactory* factory, LPCWSTR type) override {
    if (!factory || !type) return E_INVALIDARG;
    return Remove(&mime_filters_, factory, type);
  }

  std::vector<ComPtr<IClassFactory>> Find(bool name_space, const std::wstring& name) {
    std::wstring lower = LowerAscii(name);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto& list = name_space ? name_spaces_ : mime_filters_;
    std::vector<ComPtr<IClassFactory>> found;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
      if (it->name == lower) found.push_back(it->factory);
    }
    return found;
  }

  void Clear() {
    std::vector<Registration> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dropped.swap(name_spaces_);
      for (auto& r : mime_filters_) dropped.push_back(std::move(r));
      mime_filters_.clear();
    }
    // The class objects are released here, outside the lock.
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetSession) return static_cast<IInternetSession*>(this);
    return nullptr;
  }

 private:
  HRESULT Remove(std::vector<Registration>* list, IClassFactory* factory, LPCWSTR name) {
    std::wstring lower = LowerAscii(std::wstring(name));
    ComPtr<IClassFactory> released;  // let go of outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = list->rbegin(); it != list->rend(); ++it) {
      if (it->name == lower && it->factory.Get() == factory) {
        released = std::move(it->factory);
        list->erase(std::next(it).base());
        break;
      }
    }
    return S_OK;
  }

  std::mutex mutex_;
  std::vector<Registration> name_spaces_;  // in registration order
  std::vector<Registration> mime_filters_;
};

Session& TheSession() {
  // Holds one reference for the life of the process.
  static Session* session = [] {
    Session* s = new Session();
    s->AddRef();
    return s;
  }();
  return *session;
}

}  // namespace

HRESULT CoInternetGetSession(DWORD mode, IInternetSession** session, DWORD reserved) {
  if (!session) return E_INVALIDARG;
  *session = nullptr;
  if (mode != 0 || reserved != 0) return E_INVALIDARG;
  if (!session_available.load()) return INET_E_NO_SESSION;
  Session& s = TheSession();
  s.AddRef();
  *session = &s;
  return S_OK;
}

size_t CountNameSpaceRegistrations(const std::wstring& scheme) {
  return TheSession().Find(true, scheme).size();
}

size_t CountMimeFilterRegistrations(const std::wstring& type) {
  return TheSession().Find(false, type).size();
}

std::vector<ComPtr<IClassFactory>> NameSpaceHandlersFor(const std::wstring& scheme) {
  return TheSession().Find(true, scheme);
}

std::vector<ComPtr<IClassFactory>> MimeFiltersFor(const std::wstring& type) {
  return TheSession().Find(false, type);
}

void SetInternetSessionAvailableForTesting(bool available) {
  session_available.store(available);
}

void ClearInternetSessionForTesting() { TheSession().Clear(); }

void RefuseNameSpaceRegistrationForTesting(const std::wstring& scheme) {
  std::lock_guard<std::mutex> lock(refused_mutex);
  refused_scheme = LowerAscii(scheme);
}

}  // namespace cvie
