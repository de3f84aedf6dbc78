// app/proxy/response_writer.h
//
// How a handler answers the browser: the status and headers once, then the body
// in as many pieces as it likes, then Finish. The connection decides the framing:
// a "Content-Length" given by the handler is used as is; without one the body is
// sent chunked to an HTTP/1.1 client and delimited by closing the connection for
// an HTTP/1.0 client. Hop-by-hop headers given by the handler are dropped, so are
// headers with an invalid name or a value holding CR, LF or NUL. A HEAD request
// and 1xx/204/304 statuses carry no body: pieces written then are discarded.
//
// A writer belongs to the worker thread running one request: its methods are
// called from that thread only. Write blocks until the bytes were handed to the
// connection (or the client was found gone), so a slow browser slows the handler
// instead of filling memory.

#pragma once

#include <functional>
#include <string_view>

#include "proxy/http_headers.h"

namespace cvie::proxy {

class ResponseWriter {
 public:
  virtual ~ResponseWriter() = default;

  // Sets the status (200..999; informational statuses are refused), its reason
  // phrase (empty: the usual one for the status) and the end-to-end headers.
  // Returns false, sending nothing, when called twice, for a refused status, or
  // when the client is gone.
  virtual bool Start(int status, std::string_view reason, const HeaderList& headers) = 0;

  // Sends body bytes. Returns false when the client is gone or the response is
  // broken (not started, already finished); the handler should stop then. Bytes
  // beyond a declared Content-Length are dropped (and false returned).
  virtual bool Write(std::string_view data) = 0;

  // Ends the response. Returns false when it could not be delivered complete
  // (client gone, fewer bytes than the declared Content-Length). The connection
  // is closed after an incomplete response.
  virtual bool Finish() = 0;

  // Ends a started response as broken, e.g. when the upstream transfer failed
  // half way: the connection closes without completing the body, so the browser
  // sees it cut short instead of taking it for the whole page.
  virtual void Abandon() = 0;

  // True once Start succeeded.
  virtual bool started() const = 0;
  // True when the client has disconnected or the server is aborting this request;
  // a handler doing long work without writing may poll it to give up early.
  virtual bool cancelled() const = 0;

  // Asks for `callback` to be called once when the request is cancelled (the
  // client disconnected or the server aborts it): from another thread, or at
  // once on this one when it is cancelled already. A handler blocked on
  // something other than Write, such as an origin that does not answer, uses it
  // to give up. The callback must be quick and safe from any thread; a later
  // call replaces it, an empty function withdraws it. A writer that cannot tell
  // never calls it.
  virtual void SetCancelCallback(std::function<void()> callback) { (void)callback; }
};

}  // namespace cvie::proxy
