// tests/urlmon/urlmon_fakes.h
//
// COM classes that stand where the system's namespace handler and MIME
// filter stand, recording what the binding engine does with them:
//  - RecordingHandler: a namespace handler that records each Start (address,
//    thread) and declines with INET_E_USE_DEFAULT_PROTOCOLHANDLER.
//  - ServingHandler: a namespace handler that serves "cvtest:" addresses
//    itself, reporting from a worker thread of its own through Switch.
//  - CollectingFilter: a MIME filter in the manner of the page filter: it
//    collects the whole page from the source, then serves "[filtered]"
//    followed by the page in upper case; it passes every notification on to
//    the browser sink and records them.
// Records go to one process-wide log (Fakes()), cleared by each test.

#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com_registry.h"
#include "platform/urlmon.h"

namespace cvie::testing {

struct FilterNote {
  std::string kind;  // "progress", "data", "result"
  DWORD flags = 0;
  ULONG status = 0;
  HRESULT result = S_OK;
  std::thread::id thread;
};

struct FakeLog {
  std::mutex mutex;
  // RecordingHandler
  std::vector<std::wstring> handler_urls;
  std::vector<std::string> handler_names;  // which handler instance kind answered
  std::vector<std::thread::id> handler_threads;
  // CollectingFilter
  int filters_started = 0;
  std::wstring filter_type;
  DWORD filter_flags = 0;
  std::thread::id filter_start_thread;
  std::vector<std::string> filter_inputs;  // each page the filters collected
  std::vector<FilterNote> filter_notes;
  int filter_pending_reads = 0;  // source reads that answered E_PENDING
  // ServingHandler
  std::vector<std::thread::id> continue_threads;

  void Clear();
};
FakeLog& Fakes();

// The filter's output for a page.
std::string FilteredForm(const std::string& page);

// Class objects of the fakes (one reference each).
ComPtr<IClassFactory> RecordingHandlerFactory();        // records as "first"
ComPtr<IClassFactory> SecondRecordingHandlerFactory();  // records as "second"
ComPtr<IClassFactory> ServingHandlerFactory();
ComPtr<IClassFactory> CollectingFilterFactory();
// A MIME filter that drains its source but never has anything to give:
// every Read answers E_PENDING (a broken filter).
ComPtr<IClassFactory> StallingFilterFactory();
// A class object whose CreateInstance always fails with E_OUTOFMEMORY.
ComPtr<IClassFactory> BrokenFactory();
// A namespace handler whose Start answers E_ACCESSDENIED-like E_FAIL.
ComPtr<IClassFactory> RefusingHandlerFactory();

// The body ServingHandler serves: its pieces joined.
std::string ServingHandlerBody();

extern const CLSID CLSID_FakeHandler;
extern const CLSID CLSID_FakeFilter;

// Registers class objects in the session for the life of the object.
class ScopedRegistration {
 public:
  // `mime` false: namespace handler for `name`; true: MIME filter for `name`.
  ScopedRegistration(ComPtr<IClassFactory> factory, const std::wstring& name, bool mime);
  ~ScopedRegistration();
  ScopedRegistration(const ScopedRegistration&) = delete;
  ScopedRegistration& operator=(const ScopedRegistration&) = delete;

 private:
  ComPtr<IClassFactory> factory_;
  std::wstring name_;
  bool mime_;
};

}  // namespace cvie::testing
