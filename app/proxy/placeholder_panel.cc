#include "proxy/placeholder_panel.h"

#include <string>

namespace cvie::proxy {

void PlaceholderPanel::Handle(const ProxyRequest& request, ResponseWriter& out) {
  if (request.method != "GET" && request.method != "HEAD") {
    std::string body = "Only GET and HEAD are answered here.\n";
    out.Start(405, "",
              {{"Allow", "GET, HEAD"},
               {"Content-Type", "text/plain; charset=utf-8"},
               {"Content-Length", std::to_string(body.size())}});
    out.Write(body);
    out.Finish();
    return;
  }
  static const std::string kPage =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Corvane Filter</title>"
      "</head>\n<body><h1>Corvane Filter</h1>\n<p>The filtering proxy is running. Set "
      "this address as your browser's HTTP proxy.</p></body></html>\n";
  out.Start(200, "",
            {{"Content-Type", "text/html; charset=utf-8"},
             {"Cache-Control", "no-store"},
             {"Content-Length", std::to_string(kPage.size())}});
  out.Write(kPage);
  out.Finish();
}

}  // namespace cvie::proxy
