// app/proxy/response_framing.h
//
// Decides how a response travels to the browser: which headers go out, how the
// body is delimited (length, chunks, end of connection, or no body), and whether
// the connection stays open for the next request. Pure functions, safe from any
// thread; the connection applies the plan.

#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

#include "proxy/http_headers.h"

namespace cvie::proxy {

// What the framing needs to know about the request being answered.
struct RequestTraits {
  bool head = false;       // a HEAD request: the response never has a body
  int version = 11;        // 10 or 11
  bool keep_alive = true;  // the client asked to keep the connection
};

enum class BodyFraming {
  kNone,        // HEAD, 1xx, 204, 304: nothing follows the header
  kLength,      // exactly content_length bytes
  kChunked,     // chunked transfer coding (HTTP/1.1 clients only)
  kUntilClose,  // the body ends when the connection closes (HTTP/1.0 clients)
};

struct ResponsePlan {
  BodyFraming framing = BodyFraming::kNone;
  uint64_t content_length = 0;  // for kLength
  bool keep_alive = false;      // the connection reads another request afterwards
  std::string head;             // status line, headers and the empty line
};

// True when the client's request (its version and its Connection or
// Proxy-Connection headers, before they are removed) asks to keep the
// connection: HTTP/1.1 unless "close" is named, HTTP/1.0 only when "keep-alive"
// is named.
bool ClientWantsKeepAlive(int version, const HeaderList& request_headers);

// Builds the plan for a handler's status, reason and headers. `allow_keep_alive`
// false (the server is stopping) closes the connection after the response.
// Returns false for a status outside 200..999. Content-Length values that are
// not all the same decimal number are dropped and the body is framed as if none
// was given.
bool PlanResponse(const RequestTraits& request, int status, std::string_view reason,
                  const HeaderList& headers, bool allow_keep_alive, ResponsePlan* plan);

// A complete small response made by the server itself (errors, the tunnel's
// refusal): text/plain body, Content-Length, and "Connection: close" when
// `close` is set.
std::string SimpleResponse(int status, std::string_view body, bool close);

// The usual reason phrase of a status ("Not Found"), "Unknown" when none.
std::string_view DefaultReason(int status);

}  // namespace cvie::proxy
