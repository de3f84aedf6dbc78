// app/proxy/http_headers.h
//
// Header lists as the proxy passes them between the browser and a handler: names
// and values in the order received, duplicates kept (Set-Cookie may repeat).
// Helpers decide which headers belong to one connection only (hop-by-hop) and
// therefore never travel past the proxy. Pure functions, safe from any thread.

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cvie::proxy {

struct Header {
  std::string name;
  std::string value;
};

using HeaderList = std::vector<Header>;

// ASCII case-insensitive comparison of header names and tokens.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// The value of the first header called `name` (any case), or nullptr.
const std::string* FindHeader(const HeaderList& headers, std::string_view name);

// True when a comma-separated header value (e.g. Connection: "keep-alive, close")
// holds `token` (any case).
bool HeaderHasToken(std::string_view value, std::string_view token);

// True for the headers that describe one connection: Connection, Keep-Alive,
// Proxy-Connection, Proxy-Authenticate, Proxy-Authorization, TE, Trailer,
// Transfer-Encoding and Upgrade.
bool IsHopByHopHeader(std::string_view name);

// Removes the hop-by-hop headers and every header named by a Connection (or
// Proxy-Connection) header of the same list. The order of the rest is kept.
void RemoveHopByHopHeaders(HeaderList* headers);

// How a request's Transfer-Encoding lets its body be read: 0 when there is
// none or it is exactly "chunked"; 400 when chunked is not the one final
// coding (the body's end cannot be found, so nothing after it may be read as
// another request) or the request is older than HTTP/1.1 (`version` 11);
// 501 when other codings come before chunked (the proxy does not decode them).
int TransferCodingStatus(unsigned version, const HeaderList& headers);

// A header name is a token (letters, digits and !#$%&'*+-.^_`|~), never empty.
bool IsValidHeaderName(std::string_view name);
// A header value may hold any byte except CR, LF and NUL: such bytes would let a
// value start a new header or end the header block.
bool IsValidHeaderValue(std::string_view value);

}  // namespace cvie::proxy
