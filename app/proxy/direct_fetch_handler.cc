#include "proxy/direct_fetch_handler.h"

#include <stdlib.h>

#include <mutex>
#include <string>

#include <curl/curl.h>

namespace cvie::proxy {
namespace {

// What one transfer has received so far.
struct Transfer {
  ResponseWriter* out;
  int status = 0;
  std::string reason;
  HeaderList headers;
  bool write_failed = false;
};

bool StartResponse(Transfer* t) {
  if (t->out->started()) return true;
  return t->out->Start(t->status, t->reason, t->headers);
}

size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    // A new header block: after a 100 Continue, or the only one.
    t->headers.clear();
    t->reason.clear();
    size_t space = line.find(' ');
    t->status = space == std::string_view::npos
                    ? 0
                    : atoi(std::string(line.substr(space + 1, 3)).c_str());
    size_t reason = space == std::string_view::npos ? std::string_view::npos
                                                    : line.find(' ', space + 1);
    if (reason != std::string_view::npos) t->reason.assign(line.substr(reason + 1));
  } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    if (!t->headers.empty()) t->headers.back().value.append(line);  // folded line
  } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    t->headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
  }
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (!StartResponse(t) || !t->out->Write(std::string_view(data, n))) {
    t->write_failed = true;
    return 0;  // stops the transfer
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(user);
  return t->out->cancelled() ? 1 : 0;
}

void SendError(ResponseWriter& out, int status, const std::string& message) {
  std::string body = message + "\n";
  if (!out.Start(status, "",
                 {{"Content-Type", "text/plain; charset=utf-8"},
                  {"Content-Length", std::to_string(body.size())}})) {
    return;
  }
  out.Write(body);
  out.Finish();
}

}  // namespace

DirectFetchHandler::DirectFetchHandler() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void DirectFetchHandler::Handle(const ProxyRequest& request, ResponseWriter& out) {
  CURL* curl = curl_easy_init();
  if (!curl) return SendError(out, 502, "The proxy could not start a transfer.");
  Transfer transfer;
  transfer.out = &out;

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeaderLine);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  const std::string& method = request.method;
  if (method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (method == "POST" || !request.body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  // The browser's headers go upstream as they are, except the length, which
  // libcurl sets for the body it sends.
  // Each line goes after the last one: curl_slist_append walks the whole list.
  curl_slist* headers = nullptr;
  curl_slist* tail = nullptr;
  auto append = [&headers, &tail](const char* line) {
    curl_slist* added = curl_slist_append(tail, line);
    if (!added) return;
    if (!headers) headers = added;
    tail = tail ? tail->next : added;
  };
  for (const Header& h : request.headers) {
    if (EqualsIgnoreCase(h.name, "Content-Length")) continue;
    // "Name;" is libcurl's way to send a header with an empty value.
    std::string line = h.value.empty() ? h.name + ";" : h.name + ": " + h.value;
    append(line.c_str());
  }
  append("Expect:");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);

  if (rc == CURLE_OK && transfer.status >= 200) {
    if (StartResponse(&transfer)) out.Finish();
    return;
  }
  if (out.started()) return out.Abandon();
  if (transfer.write_failed || out.cancelled()) return;
  SendError(out, rc == CURLE_OPERATION_TIMEDOUT ? 504 : 502,
            std::string("The proxy could not fetch ") + request.url + ": " +
                curl_easy_strerror(rc));
}

}  // namespace cvie::proxy
