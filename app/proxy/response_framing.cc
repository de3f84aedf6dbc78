#include "proxy/response_framing.h"

#include <ostream>

#include <boost/beast/http/status.hpp>

namespace cvie::proxy {
namespace {

// Parses the decimal digits of a Content-Length value (spaces around allowed).
bool ParseLength(std::string_view text, uint64_t* value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

void AppendHeader(std::string* out, std::string_view name, std::string_view value) {
  out->append(name);
  out->append(": ");
  out->append(value);
  out->append("\r\n");
}

}  // namespace

std::string_view DefaultReason(int status) {
  namespace http = boost::beast::http;
  boost::beast::string_view reason =
      http::obsolete_reason(static_cast<http::status>(status));
  if (reason.empty() || reason == "<unknown-status>") return "Unknown";
  return std::string_view(reason.data(), reason.size());
}

bool ClientWantsKeepAlive(int version, const HeaderList& request_headers) {
  bool close = false;
  bool keep = false;
  for (const Header& h : request_headers) {
    if (EqualsIgnoreCase(h.name, "Connection") ||
        EqualsIgnoreCase(h.name, "Proxy-Connection")) {
      if (HeaderHasToken(h.value, "close")) close = true;
      if (HeaderHasToken(h.value, "keep-alive")) keep = true;
    }
  }
  if (close) return false;
  return version >= 11 || keep;
}

bool PlanResponse(const RequestTraits& request, int status, std::string_view reason,
                  const HeaderList& headers, bool allow_keep_alive, ResponsePlan* plan) {
  if (status < 200 || status > 999) return false;
  HeaderList out = headers;
  RemoveHopByHopHeaders(&out);

  // Content-Length: every copy must agree, otherwise none is trusted.
  bool have_length = false;
  bool length_ok = true;
  uint64_t length = 0;
  for (const Header& h : out) {
    if (!EqualsIgnoreCase(h.name, "Content-Length")) continue;
    uint64_t v;
    if (!ParseLength(h.value, &v) || (have_length && v != length)) {
      length_ok = false;
    } else {
      length = v;
      have_length = true;
    }
  }
  bool no_body_status = status == 204 || status == 304;
  bool drop_length = !length_ok || status == 204;
  std::erase_if(out, [&](const Header& h) {
    if (!IsValidHeaderName(h.name) || !IsValidHeaderValue(h.value)) return true;
    return EqualsIgnoreCase(h.name, "Content-Length") && drop_length;
  });
  if (!length_ok) have_length = false;

  plan->content_length = 0;
  if (request.head || no_body_status) {
    plan->framing = BodyFraming::kNone;
  } else if (have_length) {
    plan->framing = BodyFraming::kLength;
    plan->content_length = length;
  } else if (request.version >= 11) {
    plan->framing = BodyFraming::kChunked;
  } else {
    plan->framing = BodyFraming::kUntilClose;
  }
  plan->keep_alive =
      allow_keep_alive && request.keep_alive && plan->framing != BodyFraming::kUntilClose;

  std::string& head = plan->head;
  head.clear();
  head.append("HTTP/1.1 ");
  head.append(std::to_string(status));
  head.push_back(' ');
  head.append(!reason.empty() && IsValidHeaderValue(reason) ? reason
                                                            : DefaultReason(status));
  head.append("\r\n");
  for (const Header& h : out) {
    AppendHeader(&head, h.name, h.value);
  }
  if (plan->framing == BodyFraming::kChunked)
    AppendHeader(&head, "Transfer-Encoding", "chunked");
  if (!plan->keep_alive) {
    AppendHeader(&head, "Connection", "close");
  } else if (request.version < 11) {
    AppendHeader(&head, "Connection", "keep-alive");
  }
  head.append("\r\n");
  return true;
}

std::string SimpleResponse(int status, std::string_view body, bool close) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " ";
  out.append(DefaultReason(status));
  out.append("\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ");
  out.append(std::to_string(body.size()));
  out.append("\r\n");
  if (close) out.append("Connection: close\r\n");
  out.append("\r\n");
  out.append(body);
  return out;
}

}  // namespace cvie::proxy
