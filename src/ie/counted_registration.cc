#include "ie/counted_registration.h"

#include <utility>

namespace cvie {

CountedRegistration::CountedRegistration(std::vector<std::wstring> names,
                                         ClassObjectSource source, NameStep register_name,
                                         NameStep unregister_name,
                                         bool quiet_without_session)
    : names_(std::move(names)),
      source_(std::move(source)),
      register_name_(std::move(register_name)),
      unregister_name_(std::move(unregister_name)),
      quiet_without_session_(quiet_without_session) {}

CountedRegistration::~CountedRegistration() = default;

HRESULT CountedRegistration::ClassObjectLocked(IClassFactory** out) {
  if (!class_object_) {
    IClassFactory* factory = nullptr;
    HRESULT hr = source_(&factory);
    if (FAILED(hr)) return hr;
    if (!factory) return E_POINTER;
    class_object_ = ComPtr<IClassFactory>::Adopt(factory);
  }
  *out = class_object_.Get();
  return S_OK;
}

HRESULT CountedRegistration::Register() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ > 0) {
    ++count_;
    return S_OK;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = ClassObjectLocked(&factory);
  if (FAILED(hr)) return hr;
  ComPtr<IInternetSession> session;
  hr = CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0);
  if (FAILED(hr) || !session) {
    if (quiet_without_session_) return S_OK;
    return FAILED(hr) ? hr : E_POINTER;
  }
  for (const std::wstring& name : names_)
    hr = register_name_(session.Get(), factory, name.c_str());
  count_ = 1;
  return hr;
}

HRESULT CountedRegistration::Unregister() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ > 1) {
    --count_;
    return S_OK;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = ClassObjectLocked(&factory);
  if (SUCCEEDED(hr)) {
    ComPtr<IInternetSession> session;
    HRESULT got = CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0);
    if (SUCCEEDED(got) && session) {
      for (const std::wstring& name : names_) {
        hr = unregister_name_(session.Get(), factory, name.c_str());
      }
    } else if (!quiet_without_session_) {
      hr = got;
    }
  }
  class_object_.Reset();
  count_ = 0;
  return hr;
}

int CountedRegistration::count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace cvie
