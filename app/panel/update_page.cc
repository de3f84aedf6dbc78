#include "panel/update_page.h"

#include <string.h>
#include <time.h>

#include "panel/page_frame.h"
#include "platform/text.h"
#include "road/html_escape.h"
#include "rules/rule_file.h"

namespace cvie::panel {

UpdateStatus& UpdateStatus::Process() {
  static UpdateStatus* status = new UpdateStatus;
  return *status;
}

UpdateStatus::Snapshot UpdateStatus::Get() const {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

void UpdateStatus::NoteFailure(const std::string& why) {
  if (now_.failure.empty()) now_.failure = why;
}

void UpdateStatus::OnWorkerStarted(bool interactive) {
  std::lock_guard<std::mutex> lock(mu_);
  now_ = Snapshot();
  now_.ran = true;
  now_.running = true;
  now_.interactive = interactive;
  now_.started = static_cast<int64_t>(time(nullptr));
}

void UpdateStatus::OnWorkerBusy() {
  std::lock_guard<std::mutex> lock(mu_);
  if (now_.running) return;  // this process's own check goes on
  now_ = Snapshot();
  now_.ran = true;
  now_.busy = true;
  now_.started = now_.ended = static_cast<int64_t>(time(nullptr));
}

void UpdateStatus::OnDownloadEnded(const std::wstring& url, const std::wstring&, uint32_t,
                                   bool finished, HRESULT result,
                                   const std::wstring& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!finished) {
    NoteFailure("the download of " + platform::ToNarrow(url) + " timed out");
  } else if (FAILED(result)) {
    NoteFailure("the download of " + platform::ToNarrow(url) + " failed: " +
                (error.empty() ? std::string("no answer") : platform::ToNarrow(error)));
  }
}

void UpdateStatus::OnDecision(const std::wstring& text) {
  std::lock_guard<std::mutex> lock(mu_);
  now_.decisions.push_back(platform::ToNarrow(text));
}

void UpdateStatus::OnInstallResult(const std::wstring&, int result) {
  std::lock_guard<std::mutex> lock(mu_);
  if (result == 0) {
    now_.installed = true;
  } else {
    NoteFailure("the downloaded rule file failed its check; the installed one is kept");
  }
}

void UpdateStatus::OnListUpdated(const std::string& url, bool ok,
                                 const std::string& detail) {
  std::lock_guard<std::mutex> lock(mu_);
  if (url.empty()) {
    now_.lists.push_back("Filter lists not refreshed: " + detail);
  } else {
    now_.lists.push_back((ok ? "Updated " : "Kept as it was ") + url + " (" + detail +
                         ")");
  }
}

void UpdateStatus::OnWorkerEnded() {
  std::lock_guard<std::mutex> lock(mu_);
  now_.running = false;
  now_.ended = static_cast<int64_t>(time(nullptr));
}

std::string UpdateOutcomeText(const UpdateStatus::Snapshot& s) {
  if (!s.ran) return "No update check has run since the proxy started.";
  if (s.running) return "Checking for updates now.";
  if (s.busy) return "Another update check was running; this one did nothing.";
  if (!s.failure.empty()) return "The check failed: " + s.failure + ".";
  std::string why = s.decisions.empty() ? std::string() : " (" + s.decisions.back() + ")";
  if (s.installed)
    return "A new rule file was installed" + why + "; pages use it within seconds.";
  return "No new rule file was installed" + why + ".";
}

std::string RenderUpdatePage(const UpdateStatus::Snapshot& s, const RulesShown& rules,
                             const std::string& server, const std::string& token,
                             const std::string& outcome, bool failed) {
  // While a check runs the page looks again every two seconds.
  std::string html = PageStart(
      "Updates", s.running ? "<meta http-equiv=\"refresh\" content=\"2\">" : "");
  if (!outcome.empty()) html += OutcomeBox(outcome, failed);
  html +=
      "<section id=\"last-check\" aria-labelledby=\"last-check-title\">"
      "<h2 id=\"last-check-title\">Last check</h2><dl>"
      "<dt>Started</dt><dd id=\"check-started\">" +
      HtmlEscape(s.ran ? LocalTimeText(s.started) : std::string("never")) +
      "</dd><dt>Result</dt><dd id=\"check-result\" data-failed=\"" +
      (s.failure.empty() && !s.busy ? "0" : "1") + "\">" +
      HtmlEscape(UpdateOutcomeText(s)) + "</dd>";
  if (!s.decisions.empty()) {
    html += "<dt>Decisions</dt><dd><ul id=\"check-decisions\">";
    for (const std::string& d : s.decisions) html += "<li>" + HtmlEscape(d) + "</li>";
    html += "</ul></dd>";
  }
  if (!s.lists.empty()) {
    html += "<dt>Filter lists</dt><dd><ul id=\"check-lists\">";
    for (const std::string& l : s.lists) html += "<li>" + HtmlEscape(l) + "</li>";
    html += "</ul></dd>";
  }
  html += "</dl><form method=\"post\" action=\"/update/check\">" +
          HiddenField("token", token) + "<button id=\"check-update\"" +
          (s.running ? " disabled" : "") +
          ">Check Update</button></form><p>Questions the check asks (a new program "
          "version) appear on <a href=\"/\">the menu page</a>.</p></section>";

  html +=
      "<section id=\"rules\" aria-labelledby=\"rules-title\"><h2 "
      "id=\"rules-title\">Rule file</h2><dl><dt>Installed</dt><dd "
      "id=\"installed-version\">" +
      HtmlEscape(rules.installed_version.empty() ? std::string("none")
                                                 : "version " + rules.installed_version) +
      (rules.installed_at > 0 && !rules.installed_version.empty()
           ? ", installed <span id=\"installed-date\">" +
                 HtmlEscape(LocalTimeText(rules.installed_at)) + "</span>"
           : std::string()) +
      "</dd><dt>In force in this proxy</dt><dd id=\"active-version\">" +
      HtmlEscape((rules.active_version.empty() ? std::string("unknown version")
                                               : "version " + rules.active_version) +
                 (rules.active_since ? ", loaded " + LocalTimeText(rules.active_since)
                                     : std::string(", loaded at start"))) +
      "</dd>";
  if (rules.refused > 0) {
    html += "<dt>Refused</dt><dd id=\"refused\">" + std::to_string(rules.refused) +
            " installed rule file(s) failed their check; the rules in force stayed</dd>";
  }
  html += "</dl></section>";

  html +=
      "<section id=\"server\" aria-labelledby=\"server-title\"><h2 "
      "id=\"server-title\">Update server</h2><p>Checks ask <code id=\"server-url\">" +
      HtmlEscape(server) +
      "</code>.</p><form method=\"post\" action=\"/update/server\">" +
      HiddenField("token", token) +
      "<label for=\"server-input\">Server address</label> <input "
      "id=\"server-input\" name=\"url\" type=\"url\" size=\"40\" "
      "placeholder=\"https://updates.example.org\"> <button id=\"set-server\">Use "
      "this server</button><p class=\"hint\">For this proxy until it stops (start it "
      "with CVIE_UPDATE_SERVER set to keep one); empty goes back to the "
      "default.</p></form></section>";
  return html + PageEnd();
}

bool ValidUpdateServer(const std::string& url, std::string* why) {
  if (url.empty()) return true;
  if (url.size() > 300) {
    *why = "the address is longer than 300 characters";
    return false;
  }
  for (unsigned char c : url) {
    if (c <= ' ' || c == 0x7f) {
      *why = "the address contains spaces or control characters";
      return false;
    }
  }
  size_t host = 0;
  if (url.compare(0, 7, "http://") == 0) {
    host = 7;
  } else if (url.compare(0, 8, "https://") == 0) {
    host = 8;
  } else {
    *why = "the address must start with http:// or https://";
    return false;
  }
  if (host >= url.size() || url[host] == '/' || url[host] == ':') {
    *why = "the address names no host";
    return false;
  }
  return true;
}

std::string InstalledRuleFileVersion(const std::wstring& path) {
  RuleFileReader reader(path, nullptr);
  std::optional<RuleFileHeader> header = reader.ReadHeader();
  if (!header || memcmp(header->data(), "!CVR", 4) != 0) return "";
  std::string version;
  version += static_cast<char>((*header)[4]);
  version += '.';
  version += static_cast<char>((*header)[5]);
  return version;
}

}  // namespace cvie::panel
