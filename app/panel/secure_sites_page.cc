// app/panel/secure_sites_page.cc

#include "panel/secure_sites_page.h"

#include "https/host_blocker.h"
#include "https/secure_sites.h"
#include "proxy/tls_interception.h"
#include "road/html_escape.h"

namespace cvie::panel {
namespace {

std::string Hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + HtmlEscape(value) +
         "\">";
}

const char kSecurityNote[] =
    "<p class=\"note\"><b>Before you create it:</b> whoever holds the local CA's key "
    "(<code>local-ca.key</code>) can impersonate any web site to your browser. The key "
    "stays in your per-user folder, readable by you only (mode 0600); do not copy it, "
    "back it up to shared places or import it anywhere else. A key that others may "
    "read is not used: secure sites are then tunnelled unfiltered.</p>";

const char kImportSteps[] =
    "<ol><li>Download <a href=\"/local-ca.pem\" download=\"corvane-local-ca.pem\">the "
    "local CA's certificate</a> (public; it holds no key).</li>"
    "<li>Chromium: Settings, Privacy and security, Security, Manage certificates, "
    "Authorities, Import; tick \"Trust this certificate for identifying "
    "websites\".</li>"
    "<li>Firefox: Settings, Privacy &amp; Security, Certificates, View Certificates, "
    "Authorities, Import; tick \"Trust this CA to identify websites\".</li></ol>";

}  // namespace

void TunnelBlocks::Record(const std::string& host, const std::string& rule) {
  std::lock_guard<std::mutex> lock(mu_);
  ++last_.count;
  last_.host = host;
  last_.rule = rule;
}

TunnelBlocks::Last TunnelBlocks::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_;
}

std::string RenderSecureSitesPage(const std::string& token,
                                  const https::HostBlocker* blocker,
                                  const TunnelBlocks* blocks) {
  https::SecureSitesState state = https::CurrentSecureSitesState();
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>Secure sites - Corvane Filter</title><link rel=\"stylesheet\" "
      "href=\"/panel.css\"></head><body><header><h1>Secure sites</h1>"
      "<div class=\"location\"><a href=\"/\">Back to the menu</a></div></header><main>";
  html += "<section id=\"state\"><h2>State: <span class=\"state\">" +
          std::string(https::SecureSitesModeName(state.mode)) + "</span></h2><p>" +
          HtmlEscape(https::DescribeSecureSites(state)) + "</p>";
  if (blocker) {
    https::HostBlocker::Status status = blocker->status();
    html += "<p>Advertising and tracking hosts refused at CONNECT: " +
            std::to_string(status.blocked_hosts) + ", from " +
            std::to_string(status.lists) +
            " subscribed lists. This needs no setup and decrypts nothing: a tunnel "
            "shows only its host, so only rules about a whole host act on it. "
            "Exceptions of the lists that name a path or the pages they apply to (" +
            std::to_string(status.page_dependent_exceptions) +
            " of them) cannot be judged without the page and do not open a blocked "
            "host; a host on your whitelist always opens.</p>";
  }
  if (blocks) {
    TunnelBlocks::Last last = blocks->Snapshot();
    html += "<p>Tunnels refused since the proxy started: " + std::to_string(last.count);
    if (last.count > 0) {
      html += " (last: " + HtmlEscape(last.host) + ", by " + HtmlEscape(last.rule) + ")";
    }
    html += ".</p>";
  }
  html += "</section><section id=\"setup\"><h2>Filter secure pages too</h2>";
  if (!state.ca_present) {
    html += std::string(kSecurityNote) + "<form method=\"post\" action=\"/local-ca\">" +
            Hidden("token", token) + "<button>Create the local CA</button></form>";
  } else {
    html += kImportSteps;
    if (!state.ca_problem.empty()) {
      html +=
          "<p class=\"note\">The local CA is not used: " + HtmlEscape(state.ca_problem) +
          ".</p>";
    }
    html += "<form method=\"post\" action=\"/https\">" + Hidden("token", token) +
            Hidden("back", "secure-sites") + Hidden("on", state.switch_on ? "0" : "1") +
            "<button>" +
            (state.switch_on ? "Stop filtering secure pages" : "Filter secure pages") +
            "</button></form>";
  }
  html +=
      "</section><section id=\"selftest\"><h2>Self-test</h2><p>Open <a href=\"https://" +
      std::string(proxy::kSelfTestHost) + "/\" target=\"_blank\">https://" +
      proxy::kSelfTestHost +
      "/</a>: it shows a line from Corvane Filter only when secure pages are "
      "filtered and this browser trusts the local CA; otherwise the browser shows "
      "an error.</p></section></main></body></html>";
  return html;
}

}  // namespace cvie::panel
