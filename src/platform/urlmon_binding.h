// platform/urlmon_binding.h
//
// The binding engine: fetches one URL the way the browser's URL-moniker
// library does, for a proxy worker or a command-line tool.
//
// Bind(request) runs on the calling thread, which becomes the binding
// thread:
//  1. The namespace handlers registered in the session for the URL's scheme
//     are asked first, latest registration first (see urlmon.h). A handler
//     answering INET_E_USE_DEFAULT_PROTOCOLHANDLER is passed over.
//  2. Otherwise the default protocol runs: "http" and "https" through
//     libcurl, "file" from the disk. Other schemes fail with
//     INET_E_UNKNOWN_PROTOCOL.
//  3. Bind returns once the response status and headers are known (or the
//     binding failed). The MIME type is the Content-Type without parameters,
//     in lower case; for a file it comes from the extension (".html" and
//     ".htm" give "text/html").
//  4. When a MIME filter is registered for that type, it is created and
//     started in PI_FILTER_MODE on the source protocol, and the body is read
//     through the filter (latest registration first; a filter whose class
//     object fails or whose Start fails is passed over). Otherwise the body streams: the
//     reader gets bytes as they arrive, nothing is held back.
//
// HTTP: the request's method, headers and body are passed upstream, except
// the headers that belong to one connection or that libcurl sets itself
// (Host, Content-Length, Transfer-Encoding, Connection and the headers it
// names, Proxy-Connection, Keep-Alive, Proxy-Authorization, TE, Trailer,
// Upgrade, Expect, Accept-Encoding). Redirects are not followed: a 3xx
// response is handed to the caller as it is. Every content encoding libcurl
// knows (gzip, deflate, br, zstd) is asked for and decoded before the data
// reaches a filter or the reader; the headers of a decoded response drop
// Content-Encoding and Content-Length. Transfer-Encoding is always dropped
// (the body handed out is not chunked). No proxy from the environment is
// used. Connections, resolved names and TLS sessions are shared by all
// bindings of the process: a finished binding leaves its connection open
// for the next request to the same server; one that is destroyed or
// aborted before its body was read closes it.
//
// Reading: the caller drives the binding from the binding thread. Read never
// blocks: S_OK with bytes, E_PENDING when the source has nothing more yet,
// S_FALSE at the end of the body, or the failure of the download. After
// E_PENDING, Wait blocks until the next data notification has been
// delivered, then Read again. ReadSome does both. All notifications are
// delivered on the binding thread.
//
// Thread safety: a Binding belongs to the thread that made it; only Abort
// may be called from another thread. Any number of bindings run at once on
// different threads.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/urlmon.h"

namespace cvie {

class BindCancel;

struct HttpHeader {
  std::string name;
  std::string value;
};

struct BindRequest {
  std::string method = "GET";
  std::wstring url;
  std::vector<HttpHeader> headers;  // as the client sent them, in order
  std::string body;                 // sent upstream when not empty, or for POST
  int connect_timeout_ms = 15000;   // connecting to the server
  int idle_timeout_ms = 60000;      // waiting with no byte from the server
  // Test hook: when not 0, the source hands the body out in pieces of at
  // most this many bytes, each announced by its own data notification, as
  // a slow network does. 0 hands out what has arrived at once.
  size_t piece_size = 0;
  // The most a MIME filter may collect of the page before it passes the
  // page on unedited (IPageBindOptions, platform/page_bind_options.h), in
  // bytes; 0: no limit.
  size_t page_limit = 0;
  // When set, another thread can stop the binding through it at any time,
  // also while Bind still waits for the response head.
  std::shared_ptr<BindCancel> cancel;
};

// Makes the calling thread's libcurl multi handle (with its wakeup socket
// pair) now rather than at the thread's first transfer: a worker that will
// fetch for many requests calls it as it starts. The handle goes when the
// thread ends.
void PrepareThreadForTransfers();

class Binding {
 public:
  // Binds `request` on the calling thread (see above). Never null: a failed
  // binding has FAILED(result()) and error_text() says why.
  static std::unique_ptr<Binding> Bind(const BindRequest& request);

  // Terminates the protocols and releases them.
  ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  // S_OK while the binding is sound; the failure once it failed:
  // INET_E_INVALID_URL, INET_E_UNKNOWN_PROTOCOL, INET_E_RESOURCE_NOT_FOUND
  // (unknown host, missing file), INET_E_CANNOT_CONNECT (nothing listens, or
  // no connection within the connect timeout), INET_E_CONNECTION_TIMEOUT
  // (nothing from the server within the idle timeout),
  // INET_E_SECURITY_PROBLEM (TLS), INET_E_DOWNLOAD_FAILURE (other transfer
  // errors), E_ABORT after Abort, or the code of a namespace handler.
  HRESULT result() const;
  // One line saying what failed; empty while result() is S_OK.
  std::string error_text() const;

  // The response. The status is 0 when the binding failed before it was
  // known; a file or a namespace handler's answer is "200 OK".
  int status_code() const { return status_code_; }
  const std::string& reason() const { return reason_; }
  // The response headers, known before the body is read. They describe the
  // server's body: when filtered(), the body read differs from it (a
  // Content-Length then no longer fits).
  const std::vector<HttpHeader>& headers() const { return headers_; }
  // The first value of a header (name compared without regard to case), or
  // "" when absent.
  std::string Header(const std::string& name) const;
  // Lower-case MIME type without parameters; "" when the response has none.
  const std::string& mime_type() const { return mime_type_; }
  // True when a MIME filter reads the source and the reader reads the filter.
  bool filtered() const { return filtered_; }
  // Sets the MIME filter aside: the body is read straight from the source,
  // in the same transfer (nothing is requested again). Only before the first
  // Read: true when the body is now read unfiltered (also when there was no
  // filter), false once reading has started.
  bool BypassFilter();
  // True when a namespace handler serves the request instead of the
  // default protocol.
  bool served_by_namespace_handler() const { return served_by_handler_; }

  // Reads what is there now (never blocks). S_OK with *read > 0; E_PENDING
  // with *read 0 when more is to come; S_FALSE at the end; a failure code
  // when the download failed (bytes that arrived before it were handed out
  // first) or after Abort (E_ABORT).
  HRESULT Read(void* buffer, ULONG count, ULONG* read);
  // Blocks until the next notification of the source has been delivered.
  // S_OK: something arrived, Read again. S_FALSE: the source has nothing
  // more to deliver (a Read that still answers E_PENDING never will).
  // INET_E_CONNECTION_TIMEOUT when nothing came within the idle timeout (the
  // transfer is then stopped).
  HRESULT Wait();
  // Read, waiting as long as it answers E_PENDING. The answer is Read's; a
  // source that stops delivering while its reader still waits gives
  // INET_E_DATA_NOT_AVAILABLE.
  HRESULT ReadSome(void* buffer, ULONG count, ULONG* read);
  // When the reader's side (a MIME filter) holds the rest of the body complete
  // in memory: points `*data` at it without copying, S_OK with *size > 0
  // (valid until the next call on the binding; SkipRead marks bytes read), or
  // S_FALSE at the end. Waits as ReadSome does while the body is being
  // collected, and fails as it does. E_NOTIMPL when the body must be read
  // with Read instead; nothing has been consumed then.
  HRESULT PeekRest(const char** data, ULONG* size);
  // Marks `count` bytes of what PeekRest pointed at as read.
  HRESULT SkipRead(ULONG count);
  // Reads the whole body into `body` (test and tool helper). Returns S_OK at
  // the end of the body, else the failure (what arrived is kept).
  HRESULT ReadAll(std::string* body);

  // How many data notifications (ReportData) reached the reader's side:
  // from the source directly, or passed on by the MIME filter.
  uint64_t data_notifications() const;

  // Stops the transfer; later reads give E_ABORT. Safe from any thread.
  void Abort();

  struct Core;  // state shared with the sink objects (urlmon_binding.cc)

 private:
  Binding();
  HRESULT StartNamespaceHandlers(const BindRequest& request, const std::wstring& scheme);
  HRESULT StartDefaultProtocol(const BindRequest& request, const std::wstring& scheme);
  HRESULT WaitForResponse();
  void StartMimeFilter();
  void Fail(HRESULT hr, const std::string& text);

  friend class BindCancel;

  std::shared_ptr<Core> core_;
  int status_code_ = 0;
  std::string reason_;
  std::vector<HttpHeader> headers_;
  std::string mime_type_;
  bool filtered_ = false;
  bool served_by_handler_ = false;
};

// Stops a binding from another thread: the browser that asked for the page
// has gone, so a server that does not answer must not hold the binding thread
// until its timeout. Cancel may come before, during or after Bind: a binding
// made with a cancelled BindCancel fails at once with E_ABORT; one being made
// or read stops at its next step (Bind returns E_ABORT, reads give E_ABORT).
// Thread safety: every method is safe from any thread.
class BindCancel {
 public:
  void Cancel();
  bool cancelled() const;

 private:
  friend class Binding;
  // Ties the binding being made to this object; false when Cancel came first.
  bool Attach(const std::shared_ptr<Binding::Core>& core);

  mutable std::mutex mutex_;
  bool cancelled_ = false;             // guarded by mutex_
  std::weak_ptr<Binding::Core> core_;  // guarded by mutex_
};

}  // namespace cvie
