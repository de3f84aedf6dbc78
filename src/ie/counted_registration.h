// ie/counted_registration.h
//
// One registration in the process's URL-moniker session, shared by every
// caller in the process: the first Register obtains the class object (kept
// until the registration is withdrawn) and the session and registers the class
// for each of its names (schemes, or a MIME type); later calls only count.
// Unregister undoes one Register; the last one withdraws every name and
// releases the class object. The MIME filter and the namespace handler each
// keep one.
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

  CountedRegistration(std::vector<std::wstring> names, ClassObjectSource source,
                      NameStep register_name, NameStep unregister_name,
                      bool quiet_without_session = false);
  ~CountedRegistration();  // releases the class object if still held
  CountedRegistration(const CountedRegistration&) = delete;
  CountedRegistration& operator=(const CountedRegistration&) = delete;

  // Count above 0: adds 1 and returns S_OK. Otherwise obtains the class object
  // (its failure is returned, nothing counted) and the session (its failure is
  // returned, or S_OK when quiet, nothing counted) and registers every name in
  // order. A refused name does not stop the others, and the registration
  // counts anyway: the result is that of the last name. The count becomes 1.
  // A missing session returns S_OK when `quiet_without_session` (nothing
  // counted).
  HRESULT Register();
  // Count above 1: subtracts 1 and returns S_OK. Otherwise withdraws every
  // name (when the class object and the session can be had), releases the
  // class object and sets the count to 0; the result of the last step that
  // ran (a missing session counts as a step unless quiet). At count 0 it
  // still withdraws every name.
  HRESULT Unregister();
  // Register calls not yet undone.
  int count();

 private:
  // The cached class object, obtained on first need (lock held).
  HRESULT ClassObjectLocked(IClassFactory** out);

  const std::vector<std::wstring> names_;
  const ClassObjectSource source_;
  const NameStep register_name_;
  const NameStep unregister_name_;
  const bool quiet_without_session_;
  std::mutex mutex_;
  int count_ = 0;                       // guarded by mutex_
  ComPtr<IClassFactory> class_object_;  // guarded by mutex_
};

}  // namespace cvie
