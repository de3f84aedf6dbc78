// ie/counted_registration.h
//
// One registration in the process's URL-moniker session, shared by every
// caller in the process: the first Register obtains the class object (kept
// until the registration is withdrawn) and the session and registers the class
// for each of its names (schemes, or a MIME type); later calls only count.
// Unregister undoes one Register; the last one withdraws every name and
// releases the class object. The MIME filter, the namespace handler and the
// road's pass-over handler each keep one.
//
// Thread safety: Register, Unregister and count may be called from any thread.

#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/urlmon.h"

namespace cvie {

class CountedRegistration {
 public:
  // Gives a new reference to the class object to register.
  using ClassObjectSource = std::function<HRESULT(IClassFactory** out)>;
  // Registers or withdraws the class object for one name in the session.
  using NameStep = std::function<HRESULT(IInternetSession* session,
                                         IClassFactory* factory, const wchar_t* name)>;

  // What a first Register does when a name is refused.
  enum class OnRefusal {
    // Goes on with the other names and counts the registration anyway; the
    // result is that of the last name. A missing session returns S_OK when
    // `quiet_without_session` (nothing counted). Unregister at count 0 still
    // withdraws every name.
    kCountAnyway,
    // Withdraws the names already registered, releases the class object and
    // returns the refusal: nothing stays registered and nothing is counted.
    kAllOrNothing,
  };

  CountedRegistration(std::vector<std::wstring> names, ClassObjectSource source,
                      NameStep register_name, NameStep unregister_name,
                      OnRefusal on_refusal, bool quiet_without_session = false);
  ~CountedRegistration();  // releases the class object if still held
  CountedRegistration(const CountedRegistration&) = delete;
  CountedRegistration& operator=(const CountedRegistration&) = delete;

  // Count above 0: adds 1 and returns S_OK. Otherwise obtains the class object
  // (its failure is returned, nothing counted) and the session (its failure is
  // returned, or S_OK when quiet, nothing counted) and registers every name in
  // order, as `on_refusal` says; the count becomes 1.
  HRESULT Register();
  // Count above 1: subtracts 1 and returns S_OK. Otherwise withdraws every
  // name (when the class object and the session can be had), releases the
  // class object and sets the count to 0; the result of the last step that
  // ran (a missing session counts as a step unless quiet). With
  // kAllOrNothing, at count 0 there is nothing to withdraw: S_OK.
  HRESULT Unregister();
  // Register calls not yet undone (0 after a refused kAllOrNothing Register).
  int count();

 private:
  // The cached class object, obtained on first need (lock held).
  HRESULT ClassObjectLocked(IClassFactory** out);

  const std::vector<std::wstring> names_;
  const ClassObjectSource source_;
  const NameStep register_name_;
  const NameStep unregister_name_;
  const OnRefusal on_refusal_;
  const bool quiet_without_session_;
  std::mutex mutex_;
  int count_ = 0;                       // guarded by mutex_
  ComPtr<IClassFactory> class_object_;  // guarded by mutex_
};

}  // namespace cvie
