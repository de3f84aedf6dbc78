// platform/urlmon_internal.h
//
// Pieces shared by the files of the URL-moniker layer; not for callers
// outside src/platform/url*.cc and urlmon*.cc.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/com_registry.h"
#include "platform/urlmon.h"
#include "platform/urlmon_binding.h"

namespace cvie {

namespace platform {
// UTF-8 <-> wide strings; malformed bytes become U+FFFD (url.cc).
std::string NarrowUtf8(const std::wstring& wide);
std::wstring WideUtf8(const std::string& narrow);
}  // namespace platform

// curl_global_init, once per process, before the first libcurl use
// (urlmon_http.cc).
void EnsureCurlInitialized();

// Snapshots of the session's registrations, taken under its lock, with a
// reference to each class object: latest registration first (urlmon.cc).
std::vector<ComPtr<IClassFactory>> NameSpaceHandlersFor(const std::wstring& scheme);
std::vector<ComPtr<IClassFactory>> MimeFiltersFor(const std::wstring& type);

// ASCII lower case.
std::string LowerAscii(std::string text);
std::wstring LowerAscii(std::wstring text);

// A default protocol: a source that the binding engine drives on the
// binding thread. It never blocks in Read and never reports on its own:
// WaitForHead and Pump are where the transfer advances, and notifications go
// to the sink given to Start from inside Pump (and the MIME type from inside
// WaitForHead). A subclass opens the transfer, fetches more of it, and
// describes the response head.
class DefaultProtocol : public ComObject<IInternetProtocol> {
 public:
  explicit DefaultProtocol(const BindRequest& request);

  // IInternetProtocolRoot. Start keeps the sink and opens the transfer;
  // Abort stops it (reads then give `reason`); Terminate stops it and lets
  // go of the sink. Suspend and Resume are not supported (E_NOTIMPL), as with
  // the system's own protocols.
  HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo* bind_info,
                DWORD flags, HANDLE_PTR reserved) override;
  HRESULT Continue(PROTOCOLDATA* data) override;
  HRESULT Abort(HRESULT reason, DWORD options) override;
  HRESULT Terminate(DWORD options) override;
  HRESULT Suspend() override;
  HRESULT Resume() override;
  // IInternetProtocol. Read hands out what Pump made visible.
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override;
  HRESULT LockRequest(DWORD options) override;
  HRESULT UnlockRequest() override;

  // Fetches until the response head is known, the transfer ended,
  // `idle_timeout_ms` passed without anything from the source, or `*abort`
  // (may be null) turned true (look after Wakeup). S_OK with the head known
  // (then reports BINDSTATUS_MIMETYPEAVAILABLE when there is a type);
  // otherwise the failure (E_ABORT when aborted), also kept in result().
  HRESULT WaitForHead(const std::atomic<bool>* abort);
  // One step of the transfer: makes the next piece visible and announces it
  // with ReportData, or announces the end (ReportData with
  // BSCF_LASTDATANOTIFICATION, then ReportResult), fetching first when
  // nothing is buffered. S_OK when something was announced; S_FALSE when
  // everything had been announced already; INET_E_CONNECTION_TIMEOUT when
  // nothing came within the idle timeout (the transfer is then stopped and
  // the failure announced).
  HRESULT Pump();

  // Makes a fetch that is waiting return early (as if something came), so
  // that the binding thread can look at an abort; safe from any thread.
  virtual void Wakeup() {}

  // The head, valid after WaitForHead succeeded.
  int status_code() const { return status_code_; }
  const std::string& reason() const { return reason_; }
  const std::vector<HttpHeader>& headers() const { return headers_; }
  const std::string& mime_type() const { return mime_type_; }
  HRESULT result() const { return result_; }
  const std::string& error_text() const { return error_text_; }

 protected:
  ~DefaultProtocol() override;
  void* FindInterface(REFIID iid) override;

  // Starts the transfer; a failure code with `*error` set when it cannot.
  virtual HRESULT Open(const std::wstring& url, std::string* error) = 0;
  // Waits up to `timeout_ms` for the source: calls Append, SetHead and
  // Finish as things arrive. True when anything came (or the transfer
  // ended), false when the time passed without news.
  virtual bool Fetch(int timeout_ms) = 0;
  // Stops the transfer and frees what it holds; may be called twice.
  virtual void Close() = 0;

  void Append(const char* data, size_t size);
  void SetHead(int status, const std::string& reason, std::vector<HttpHeader> headers,
               const std::string& mime_type, int64_t expected_length);
  // The transfer ended: S_OK at its natural end, else the failure.
  void Finish(HRESULT result, const std::string& error_text);
  // Bytes buffered and not yet read.
  size_t Buffered() const { return data_.size() - read_pos_; }
  bool head_known() const { return head_known_; }
  bool finished() const { return finished_; }

  const BindRequest request_;

 private:
  void Announce(bool piece);
  void Stop(HRESULT reason, const std::string& text);

  ComPtr<IInternetProtocolSink> sink_;
  std::string data_;  // [read_pos_, visible_) readable, [visible_, end) not yet announced
  size_t read_pos_ = 0;
  size_t visible_ = 0;
  uint64_t announced_total_ = 0;  // bytes made visible since the start
  bool head_known_ = false;
  bool finished_ = false;
  bool first_announced_ = false;
  bool last_announced_ = false;
  bool result_reported_ = false;
  HRESULT result_ = S_OK;
  std::string error_text_;
  int status_code_ = 0;
  std::string reason_;
  std::vector<HttpHeader> headers_;
  std::string mime_type_;
  int64_t expected_length_ = -1;
};

// The default protocols of the engine (urlmon_http.cc, urlmon_file.cc).
// Each is returned with one reference.
DefaultProtocol* NewHttpProtocol(const BindRequest& request);
DefaultProtocol* NewFileProtocol(const BindRequest& request);

// The standard reason phrase of an HTTP status, "" when unknown.
const char* StandardReason(int status);

}  // namespace cvie
