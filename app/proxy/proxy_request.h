// app/proxy/proxy_request.h
//
// One request as the proxy hands it to a handler: read completely (header and
// body) before the handler runs, with the hop-by-hop headers already removed.

#pragma once

#include <string>

#include "proxy/http_headers.h"

namespace cvie::proxy {

struct ProxyRequest {
  std::string method;          // as sent, e.g. "GET", "POST"
  std::string target;          // the request line's target exactly as sent
  std::string url;             // absolute URL: the target itself for a proxy request;
                               // "http://" + Host + target for a direct request
  std::string path;            // path and query ("/", "/x?y")
  int version = 11;            // 10 for HTTP/1.0, 11 for HTTP/1.1
  HeaderList headers;          // end-to-end headers in the order received
  std::string body;            // the whole request body (chunked uploads decoded)
  std::string client_address;  // "127.0.0.1:50312"

  bool IsHead() const { return method == "HEAD"; }
};

}  // namespace cvie::proxy
