#include "road/road_handler.h"

#include "road/html_escape.h"

#include <stdlib.h>

#include <memory>
#include <string>

#include "anyhtml/easy_buffer.h"
#include "ie/mime_filter.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/urlmon_binding.h"
#include "rules/rules_holder.h"

namespace cvie::road {
namespace {

constexpr ULONG kPiece = 64 * 1024;

BindRequest MakeBindRequest(const proxy::ProxyRequest& request,
                            const RoadOptions& options) {
  BindRequest bind;
  bind.method = request.method;
  bind.url = platform::ToWide(request.url);
  bind.headers.reserve(request.headers.size());
  for (const proxy::Header& h : request.headers)
    bind.headers.push_back({h.name, h.value});
  if (!options.via_token.empty())
    bind.headers.push_back({"Via", "1.1 " + options.via_token});
  bind.body = request.body;
  bind.connect_timeout_ms = options.connect_timeout_ms;
  bind.idle_timeout_ms = options.idle_timeout_ms;
  // A page without a declared length can still be endless: past the limit
  // the filter hands on what it has unedited, and so does the road below.
  bind.page_limit = options.max_filtered_bytes;
  return bind;
}

// The binding's headers as the browser gets them. A filtered body is sent
// with the length of the rewritten page, set by the caller.
proxy::HeaderList ResponseHeaders(const Binding& binding, bool drop_length) {
  proxy::HeaderList headers;
  headers.reserve(binding.headers().size() + 1);
  for (const HttpHeader& h : binding.headers()) {
    if (drop_length && proxy::EqualsIgnoreCase(h.name, "Content-Length")) continue;
    headers.push_back({h.name, h.value});
  }
  // Also the fields the origin's Connection header names.
  proxy::RemoveHopByHopHeaders(&headers);
  return headers;
}

// The declared body length, or -1 when none (or not a plain number).
long long DeclaredLength(const Binding& binding) {
  std::string value = binding.Header("Content-Length");
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return strtoll(value.c_str(), nullptr, 10);
}

bool FailedBeforeAnswer(const Binding& binding) {
  return FAILED(binding.result()) && binding.status_code() == 0;
}

void SendBindingError(proxy::ResponseWriter& out, const std::string& url,
                      const Binding& binding) {
  std::string why = binding.error_text();
  if (why.empty()) why = "the download failed";
  int status = 502;
  if (binding.result() == INET_E_CONNECTION_TIMEOUT) status = 504;
  if (binding.result() == CVIE_E_LOOP_DETECTED) status = 508;
  SendFetchError(out, status, url, why);
}

// Sends the rest of the binding's body as it arrives (the response is
// started).
void StreamRest(Binding& binding, proxy::ResponseWriter& out) {
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  for (;;) {
    if (out.cancelled()) {
      binding.Abort();
      return out.Abandon();
    }
    ULONG read = 0;
    HRESULT hr = binding.ReadSome(buffer.get(), kPiece, &read);
    if (read > 0 && !out.Write(std::string_view(buffer.get(), read))) {
      binding.Abort();
      return out.Abandon();
    }
    if (hr == S_FALSE) {
      out.Finish();
      return;
    }
    if (FAILED(hr)) return out.Abandon();
  }
}

// Sends the binding's body as it arrives.
void Stream(Binding& binding, proxy::ResponseWriter& out) {
  if (!out.Start(binding.status_code(), binding.reason(),
                 ResponseHeaders(binding, false))) {
    binding.Abort();
    return;
  }
  StreamRest(binding, out);
}

// The headers of a page read through the filter, without a length. The
// rewritten page depends on the rules, the options and the whitelist, which
// change without the origin knowing: the browser must not keep it, nor
// revalidate a kept copy against the origin's page.
proxy::HeaderList FilteredHeaders(const Binding& binding) {
  proxy::HeaderList headers;
  for (proxy::Header& h : ResponseHeaders(binding, true)) {
    if (proxy::EqualsIgnoreCase(h.name, "ETag") ||
        proxy::EqualsIgnoreCase(h.name, "Last-Modified") ||
        proxy::EqualsIgnoreCase(h.name, "Cache-Control") ||
        proxy::EqualsIgnoreCase(h.name, "Expires")) {
      continue;
    }
    headers.push_back(std::move(h));
  }
  headers.push_back({"Cache-Control", "no-store"});
  return headers;
}

// The 502 page for a filtered page the origin ended before it was complete
// (nothing of it has reached the browser).
void SendCutPageError(const std::string& url, const Binding& binding,
                      proxy::ResponseWriter& out) {
  std::string why = binding.error_text();
  if (why.empty()) why = "the server ended the page before it was complete";
  SendFetchError(out, 502, url, why);
}

}  // namespace

void SendFetchError(proxy::ResponseWriter& out, int status, const std::string& url,
                    const std::string& why) {
  std::string body =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Corvane Filter: page "
      "not reached</title></head>\n<body><h1>The page could not be fetched</h1>\n<p>" +
      HtmlEscape(url) + "</p>\n<p>" + HtmlEscape(why) + "</p></body></html>\n";
  if (!out.Start(status, "",
                 {{"Content-Type", "text/html; charset=utf-8"},
                  {"Cache-Control", "no-store"},
                  {"Content-Length", std::to_string(body.size())}})) {
    return;
  }
  out.Write(body);
  out.Finish();
}

RoadHandler::RoadHandler(BrowserWindow* window, RoadOptions options)
    : window_(window), options_(options) {}

void RoadHandler::PrepareWorker() { PrepareThreadForTransfers(); }

void RoadHandler::WorkerIdle() {
  size_t forgotten = RulesHolder::ForgetThreadAnswers();
  if (CEasyBuffer::ReleaseThreadBlocks() > 0 || forgotten > 0)
    platform::ReleaseFreedMemory();
}

void RoadHandler::Handle(const proxy::ProxyRequest& request, proxy::ResponseWriter& out) {
  if (window_ && IsTopLevelNavigation(request)) window_->BeforeNavigate(request.url);

  BindRequest bind = MakeBindRequest(request, options_);
  // A browser that leaves stops the fetch, also one still waiting for an
  // origin that does not answer: its worker is free for other pages at once.
  bind.cancel = std::make_shared<BindCancel>();
  out.SetCancelCallback([cancel = bind.cancel] { cancel->Cancel(); });
  std::unique_ptr<Binding> binding = Binding::Bind(bind);
  if (FailedBeforeAnswer(*binding)) return SendBindingError(out, request.url, *binding);
  if (binding->filtered() && !request.IsHead())
    return SendFiltered(request.url, *binding, out);
  Stream(*binding, out);
}

void RoadHandler::SendFiltered(const std::string& url, Binding& binding,
                               proxy::ResponseWriter& out) {
  long long declared = DeclaredLength(binding);
  if (declared >= 0 &&
      static_cast<unsigned long long>(declared) > options_.max_filtered_bytes) {
    // Too big to hold twice: the same transfer goes on past the filter and
    // streams (a request is never sent twice). Nothing has been read yet, so
    // setting the filter aside cannot fail.
    if (binding.BypassFilter()) return Stream(binding, out);
  }
  if (out.cancelled()) {
    binding.Abort();
    return;
  }
  // The filter holds the rewritten page complete: it goes to the browser
  // straight from the filter's buffer, with its length.
  const char* page = nullptr;
  ULONG page_size = 0;
  HRESULT peeked = binding.PeekRest(&page, &page_size);
  if (peeked == S_FALSE) page_size = 0;
  if ((peeked == S_OK || peeked == S_FALSE) && page_size <= options_.max_filtered_bytes) {
    proxy::HeaderList headers = FilteredHeaders(binding);
    headers.push_back({"Content-Length", std::to_string(page_size)});
    if (!out.Start(binding.status_code(), binding.reason(), headers)) return;
    if (out.Write(std::string_view(page, page_size))) {
      binding.SkipRead(page_size);
      out.Finish();
    }
    return;
  }
  if (FAILED(peeked) && peeked != E_NOTIMPL) return SendCutPageError(url, binding, out);
  // Otherwise (a page passed on unedited past the limit, or a filter that
  // does not hold its output) the page is read in pieces.
  SendReadInPieces(url, binding, out);
}

void RoadHandler::SendReadInPieces(const std::string& url, Binding& binding,
                                   proxy::ResponseWriter& out) {
  std::string body;
  HRESULT hr = S_OK;
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  for (;;) {
    if (out.cancelled()) {
      binding.Abort();
      return;
    }
    ULONG read = 0;
    hr = binding.ReadSome(buffer.get(), kPiece, &read);
    if (hr == S_OK && body.size() + read > options_.max_filtered_bytes) {
      // Too big to hold (the filter has passed it on unedited): send what is
      // here without a length, then this piece, and stream the rest.
      if (!out.Start(binding.status_code(), binding.reason(), FilteredHeaders(binding))) {
        binding.Abort();
        return;
      }
      if (!out.Write(body) || !out.Write(std::string_view(buffer.get(), read))) {
        binding.Abort();
        return out.Abandon();
      }
      std::string().swap(body);
      buffer.reset();
      return StreamRest(binding, out);
    }
    // Past a megabyte, room for the largest page held is taken at once:
    // growing by doubling could hold nearly twice that.
    if (body.size() + read > body.capacity() && body.size() >= (1u << 20))
      body.reserve(options_.max_filtered_bytes);
    body.append(buffer.get(), read);
    if (hr != S_OK) break;
  }
  // The filter hands out nothing before the page is complete, so nothing
  // has reached the browser yet.
  if (FAILED(hr)) return SendCutPageError(url, binding, out);
  proxy::HeaderList headers = FilteredHeaders(binding);
  headers.push_back({"Content-Length", std::to_string(body.size())});
  if (!out.Start(binding.status_code(), binding.reason(), headers)) return;
  if (out.Write(body)) out.Finish();
}

}  // namespace cvie::road
