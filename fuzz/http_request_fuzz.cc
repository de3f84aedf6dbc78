// http_request_fuzz: one HTTP request through what the proxy's server does with
// it: Beast's request parser with the server's header and body limits, fed in
// two pieces split at an input-chosen point; then the header count, the request
// target (ParseRequestTarget or ParseConnectTarget), keep-alive, the hop-by-hop
// header removal, and the response framing built from the request's headers.
//
// Nothing may crash or read past a buffer, and:
//  - an absolute target has scheme http or https, a host, a port and a path
//    starting with "/"; its host and port survive FormatHostPort and
//    ParseConnectTarget unchanged;
//  - a request whose transfer coding the server accepts is read as chunked;
//  - after RemoveHopByHopHeaders no hop-by-hop header is left;
//  - the response head planned from the request's headers parses back as one
//    whole response header with the same status (no header can split it).
//
// The proxy's request-handling files are compiled into this target directly:
// the fuzz targets link the cvie_* subsystem libraries only.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include <boost/beast/http.hpp>

#include "proxy/http_headers.cc"
#include "proxy/proxy_server.h"
#include "proxy/request_target.cc"
#include "proxy/response_framing.cc"

namespace {

namespace http = boost::beast::http;
using namespace cvie::proxy;

void Check(bool condition) {
  if (!condition) abort();
}

std::string_view View(boost::beast::string_view s) { return {s.data(), s.size()}; }

void CheckTarget(std::string_view target, bool connect) {
  RequestTarget parsed =
      connect ? ParseConnectTarget(target) : ParseRequestTarget(target);
  switch (parsed.form) {
    case TargetForm::kInvalid:
      return;
    case TargetForm::kOrigin:
      Check(!connect && !parsed.path.empty() && parsed.path[0] == '/');
      Check(parsed.host.empty() && parsed.port == 0);
      return;
    case TargetForm::kAbsolute: {
      Check(!connect && (parsed.scheme == "http" || parsed.scheme == "https"));
      Check(!parsed.path.empty() && parsed.path[0] == '/');
      Check(parsed.path.find('#') == std::string::npos);
      break;
    }
    case TargetForm::kAuthority:
      Check(connect);
      break;
  }
  Check(!parsed.host.empty() && parsed.port != 0);
  RequestTarget again = ParseConnectTarget(FormatHostPort(parsed.host, parsed.port));
  Check(again.form == TargetForm::kAuthority);
  Check(again.host == parsed.host && again.port == parsed.port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const ProxyServerOptions options;
  size_t split = data[0] % (size - 1);
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  http::request_parser<http::string_body> parser;
  parser.header_limit(options.max_header_bytes);
  parser.body_limit(options.max_body_bytes);
  parser.eager(true);
  boost::beast::error_code ec;
  size_t used = parser.put(boost::asio::buffer(input.data(), split), ec);
  if (ec == http::error::need_more) ec = {};
  if (!ec) {
    std::string_view rest = input.substr(used);
    while (!ec && !rest.empty() && !parser.is_done()) {
      size_t n = parser.put(boost::asio::buffer(rest.data(), rest.size()), ec);
      if (n == 0 && !ec) break;
      rest.remove_prefix(n);
    }
  }
  if (ec && ec != http::error::need_more) return 0;
  if (!parser.is_header_done()) return 0;

  const auto& request = parser.get();
  std::string_view target = View(request.target());
  CheckTarget(target, request.method() == http::verb::connect);

  HeaderList headers;
  for (const auto& field : request) {
    headers.push_back(
        {std::string(View(field.name_string())), std::string(View(field.value()))});
  }
  // A parsed field can never carry a line end into a handler.
  for (const Header& h : headers)
    Check(h.value.find_first_of("\r\n") == std::string::npos);
  // A request the server reads on (coding status 0) with a Transfer-Encoding
  // is one whose body the parser reads as chunked: never a body taken as empty
  // with the rest of the stream left to run as another request.
  int coding = TransferCodingStatus(request.version(), headers);
  Check(coding == 0 || coding == 400 || coding == 501);
  if (coding == 0 && FindHeader(headers, "Transfer-Encoding")) Check(parser.chunked());
  bool keep_alive = ClientWantsKeepAlive(static_cast<int>(request.version()), headers);

  HeaderList end_to_end = headers;
  RemoveHopByHopHeaders(&end_to_end);
  Check(end_to_end.size() <= headers.size());
  for (const Header& h : end_to_end) Check(!IsHopByHopHeader(h.name));
  const std::string* host = FindHeader(end_to_end, "Host");
  if (host) Check(FindHeader(headers, "Host") != nullptr);

  // The request's headers given back as a handler's response headers.
  RequestTraits traits;
  traits.head = request.method() == http::verb::head;
  traits.version = request.version() >= 11 ? 11 : 10;
  traits.keep_alive = keep_alive;
  ResponsePlan plan;
  int status = 200 + static_cast<int>(data[0] % 8) * 100;
  Check(PlanResponse(traits, status, "", end_to_end, true, &plan));
  http::response_parser<http::empty_body> back;
  back.skip(true);  // the head only, whatever the framing says
  boost::beast::error_code back_ec;
  size_t back_used =
      back.put(boost::asio::buffer(plan.head.data(), plan.head.size()), back_ec);
  Check(!back_ec && back.is_header_done());
  Check(back_used == plan.head.size());
  Check(back.get().result_int() == static_cast<unsigned>(status));
  return 0;
}
