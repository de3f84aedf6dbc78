#include "panel/panel_handler.h"

#include <stdio.h>
#include <stdlib.h>

#include <time.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "comm/version_info.h"
#include "config/options.h"
#include "config/update_server.h"
#include "https/https_settings.h"
#include "https/local_ca.h"
#include "ie/blocked_pages.h"
#include "panel/assets.h"
#include "panel/blocked_view.h"
#include "panel/update_page.h"
#include "panel/user_pages.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/url.h"
#include "road/html_escape.h"
#include "rules/current_rules.h"
#include "ui/command_context.h"
#include "ui/commands.h"
#include "ui/toolbar_cfg.h"
#include "whitelist/whitelist.h"

namespace cvie::panel {
namespace {

constexpr int kWaitMs = 5000;
constexpr long kLogTail = 64 * 1024;

std::string Escape(const std::string& text) { return HtmlEscape(text); }
std::string Escape(const std::wstring& text) { return Escape(platform::ToNarrow(text)); }

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UrlDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

int ToInt(const std::string& text, int fallback) {
  if (text.empty() || text.size() > 9) return fallback;
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  return *end == '\0' ? static_cast<int>(value) : fallback;
}

// `download` (when not empty) is the file name a browser saves the body as.
void Send(proxy::ResponseWriter& out, int status, const std::string& type,
          const std::string& body, const std::string& download = "") {
  proxy::HeaderList headers = {
      {"Content-Type", type},
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Content-Security-Policy",
       "default-src 'self'; img-src 'self' data:; form-action 'self'; "
       "frame-ancestors 'none'"},
      {"Content-Length", std::to_string(body.size())}};
  if (!download.empty()) {
    headers.push_back(
        {"Content-Disposition", "attachment; filename=\"" + download + "\""});
  }
  if (!out.Start(status, "", headers)) return;
  out.Write(body);
  out.Finish();
}

void SeeOther(proxy::ResponseWriter& out, const std::string& where) {
  if (out.Start(303, "", {{"Location", where}, {"Content-Length", "0"}})) out.Finish();
}

std::string Hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + Escape(value) + "\">";
}

// The menu exactly as the button's menu command prepares it.
platform::PopupMenu PrepareMenu(ToolbarCfg* cfg, road::BrowserWindow* window) {
  CommandContext context;
  context.cfg = cfg;
  context.browser = window;
  CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0,
                         platform::TPM_RETURNCMD | platform::TPM_NONOTIFY);
  platform::PopupMenu result;
  if (menu.Prepare(&context)) result = menu.menu();
  menu.Cleanup(&context);
  return result;
}

std::string RenderOther(platform::ModalDialog* dialog, const std::string& token) {
  return "<section class=\"dialog\"><div class=\"title\">" + Escape(dialog->Title()) +
         "</div><div class=\"body\"><div class=\"buttons\"><form method=\"post\" "
         "action=\"/dialog\">" +
         Hidden("token", token) + Hidden("act", "ok") +
         "<button>OK</button></form><form method=\"post\" action=\"/dialog\">" +
         Hidden("token", token) + Hidden("act", "cancel") +
         "<button>Cancel</button></form></div></div></section>";
}

}  // namespace

std::string MakePanelToken() {
  std::random_device device;
  std::string token;
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) token += kHex[device() & 15];
  return token;
}

std::string FormField(const std::string& form, const std::string& name) {
  size_t pos = 0;
  while (pos <= form.size()) {
    size_t end = form.find('&', pos);
    if (end == std::string::npos) end = form.size();
    std::string pair = form.substr(pos, end - pos);
    size_t eq = pair.find('=');
    if (UrlDecode(pair.substr(0, eq)) == name)
      return eq == std::string::npos ? "" : UrlDecode(pair.substr(eq + 1));
    pos = end + 1;
  }
  return "";
}

PanelHandler::PanelHandler(road::BrowserWindow* window, PanelUi* ui, ToolbarCfg* cfg,
                           std::string token)
    : window_(window),
      ui_(ui),
      cfg_(cfg ? cfg : &ProcessToolbarCfg()),
      token_(token.empty() ? MakePanelToken() : std::move(token)) {}

void PanelHandler::Handle(const proxy::ProxyRequest& request,
                          proxy::ResponseWriter& out) {
  std::string path = request.path;
  std::string query;
  if (size_t q = path.find('?'); q != std::string::npos) {
    query = path.substr(q + 1);
    path.resize(q);
  }
  if (request.method == "GET" || request.method == "HEAD") {
    if (path == "/") return ServeMenuPage(out);
    if (path == "/menu.json") return ServeMenuJson(out);
    if (path == "/log") return ServeLog(out);
    if (path == "/lists")
      return Send(out, 200, "text/html; charset=utf-8", lists_.Render(token_));
    if (path == "/log/view") return ServeLogPage(FormField(query, "q"), out);
    if (path == "/blocked") return ServeBlocked(FormField(query, "page"), out);
    if (path == "/blocked.json") {
      return Send(out, 200, "application/json; charset=utf-8",
                  BlockedPages::Instance().ExportJson(), "blocked-pages.json");
    }
    if (path == "/panel.css") return Send(out, 200, "text/css; charset=utf-8", kPanelCss);
    if (path == "/panel.js")
      return Send(out, 200, "application/javascript; charset=utf-8", kPanelJs);
    if (path == "/favicon.ico") return Send(out, 204, "image/x-icon", "");
    if (path == "/update") return ServeUpdate(out);
    if (path == "/about")
      return Send(out, 200, "text/html; charset=utf-8", DialogPages::RenderAbout());
    if (path == "/preferences" || path == "/preferences/whitelist") {
      const std::string session = FormField(query, "s");
      const bool saved = FormField(query, "saved") == "1";
      // A new tab opens a dialog of its own.
      if (session.empty()) {
        return SeeOther(
            out, path + "?s=" + dialogs_.OpenPreferences() + (saved ? "&saved=1" : ""));
      }
      return Send(out, 200, "text/html; charset=utf-8",
                  dialogs_.RenderPreferences(session, path != "/preferences", token_,
                                             saved ? "Saved." : ""));
    }
    if (path == "/allow" || path == "/whitelist" || path == "/help" || path == "/report")
      return ServeUserPage(path, query, out);
    if (path == "/secure-sites") {
      return Send(out, 200, "text/html; charset=utf-8",
                  RenderSecureSitesPage(token_, host_blocker_, tunnel_blocks_));
    }
    if (path == "/local-ca.pem") {
      // The certificate only; the key is never read here.
      std::string pem;
      std::ifstream file(platform::ToNarrow(https::LocalCaCertificatePath()),
                         std::ios::binary);
      if (file) {
        std::ostringstream text;
        text << file.rdbuf();
        pem = text.str();
      }
      if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
        return Send(out, 404, "text/plain; charset=utf-8", "No local CA\n");
      return Send(out, 200, "application/x-pem-file", pem);
    }
    return Send(out, 404, "text/plain; charset=utf-8", "Not found\n");
  }
  if (request.method != "POST")
    return Send(out, 405, "text/plain; charset=utf-8", "Method not allowed\n");

  const std::string& form = request.body;
  std::string token = FormField(form, "token");
  if (token.empty()) {
    if (const std::string* header = proxy::FindHeader(request.headers, "X-Cvie-Token"))
      token = *header;
  }
  if (token != token_) return Send(out, 403, "text/plain; charset=utf-8", "Forbidden\n");

  std::string back = "/";
  if (path == "/command") {
    const int id = ToInt(FormField(form, "id"), 0);
    // The vendor's report and help pages do not exist: the panel's own serve.
    const Command* command = cfg_->FindCommand(id);
    const std::wstring name = command ? command->GetName() : L"";
    // Preferences and About are pages of their own, one dialog per tab.
    if (name == L"Go Report page Cmd") {
      back = "/report";
    } else if (name == L"Go Corvane IE Plugin help page Cmd") {
      back = "/help";
    } else if (name == L"Preferences Cmd") {
      back = "/preferences";
    } else if (name == L"About... Cmd") {
      back = "/about";
    } else {
      RunCommand(id, FormField(form, "url"));
      if (FormField(form, "back") == "allow") back = "/allow";
    }
  } else if (path == "/dialog") {
    DialogAction(FormField(form, "act"));
  } else if (path == "/https") {
    const bool on = FormField(form, "on") == "1";
    std::string error;
    if ((on && !https::EnsurePassthroughFile(&error)) ||
        !https::SetInspectHttps(on, &error)) {
      return Send(out, 500, "text/plain; charset=utf-8", error + "\n");
    }
    back = "/secure-sites";
  } else if (path == "/preferences/act") {
    std::string error;
    if (!dialogs_.Act(FormField(form, "s"), FormField(form, "act"),
                      ToInt(FormField(form, "control"), -1),
                      ToInt(FormField(form, "row"), -1),
                      platform::ToWide(FormField(form, "text")), FormField(form, "tab"),
                      &back, &error)) {
      return Send(out, 500, "text/plain; charset=utf-8",
                  "The options are saved, but filtering of secure pages could not be "
                  "switched: " +
                      error + "\n");
    }
  } else if (UpdateAction(path, form)) {
    back = "/update";
  } else if (UserPageAction(path, form)) {
    back = path == "/report" ? "/report?page=" + FormField(form, "page")
                             : std::string("/whitelist");
  } else if (lists_.Act(path, form)) {
    back = "/lists";
  } else if (path == "/local-ca") {
    std::string error;
    if (!https::CreateLocalCa(365, &error)) {
      return Send(out, 409, "text/plain; charset=utf-8", error + "\n");
    }
    back = "/secure-sites";
  } else if (path == "/location") {
    std::string url = FormField(form, "url");
    if (!url.empty()) window_->SetLocation(platform::ToWide(url));
  } else if (path == "/answer") {
    ui_->Answer(static_cast<uint64_t>(ToInt(FormField(form, "id"), 0)),
                ToInt(FormField(form, "answer"), platform::IDNO));
  } else if (path == "/dismiss") {
    ui_->DismissNotice(static_cast<uint64_t>(ToInt(FormField(form, "id"), 0)));
  } else {
    return Send(out, 404, "text/plain; charset=utf-8", "Not found\n");
  }
  // A script asks for JSON; a form gets the page again.
  if (const std::string* accept = proxy::FindHeader(request.headers, "Accept");
      accept && accept->find("application/json") != std::string::npos) {
    return Send(out, 200, "application/json", "{\"ok\":true}");
  }
  SeeOther(out, back);
}

void PanelHandler::SetOutcome(const std::string& page, bool failed, std::string text) {
  std::lock_guard<std::mutex> lock(outcome_mu_);
  outcome_page_ = page;
  outcome_failed_ = failed;
  outcome_ = std::move(text);
}

void PanelHandler::ServeUpdate(proxy::ResponseWriter& out) {
  RulesShown rules;
  rules.installed_version = InstalledRuleFileVersion(platform::RuleFilePath());
  platform::GetFileModifiedTime(platform::RuleFilePath(), &rules.installed_at);
  const CurrentRules::State state = CurrentRules::Process().state();
  rules.active_version = state.version;
  rules.active_since = state.loaded_at;
  rules.refused = state.refused;
  std::string outcome;
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(outcome_mu_);
    if (outcome_page_ == "/update") {
      outcome.swap(outcome_);
      failed = outcome_failed_;
      outcome_page_.clear();
    }
  }
  Send(out, 200, "text/html; charset=utf-8",
       RenderUpdatePage(UpdateStatus::Process().Get(), rules,
                        platform::ToNarrow(UpdateServerUrl()), token_, outcome, failed));
}

bool PanelHandler::UpdateAction(const std::string& path, const std::string& form) {
  if (path == "/update/check") {
    if (UpdateStatus::Process().Get().running) {
      SetOutcome("/update", true, "An update check is running already.");
    } else {
      VersionInfo::Instance().RunUpdateCheck(true);
      SetOutcome("/update", false, "Update check started.");
    }
    return true;
  }
  if (path == "/update/server") {
    std::string url = FormField(form, "url");
    while (!url.empty() && (url.back() == ' ' || url.back() == '/')) url.pop_back();
    while (!url.empty() && url.front() == ' ') url.erase(0, 1);
    std::string why;
    if (!ValidUpdateServer(url, &why)) {
      SetOutcome("/update", true, "Not changed: " + why + ".");
    } else {
      SetUpdateServerUrl(platform::ToWide(url));
      SetOutcome("/update", false,
                 "Checks now ask " + platform::ToNarrow(UpdateServerUrl()) + ".");
    }
    return true;
  }
  return false;
}

namespace {

// The page a person picked in the panel, for one command: its address is
// that page's whatever another tab loaded since; the rest is the window's.
class PickedPage : public WebBrowser {
 public:
  PickedPage(road::BrowserWindow* window, std::wstring url)
      : window_(window), url_(std::move(url)) {}
  bool GetLocationURL(std::wstring* url) override {
    *url = url_;
    return true;
  }
  bool Navigate(const std::wstring& url) override { return window_->Navigate(url); }
  bool Refresh() override { return window_->Refresh(); }

 private:
  road::BrowserWindow* window_;
  std::wstring url_;
};

}  // namespace

std::string PanelHandler::TakeOutcome(const std::string& page, bool* failed) {
  std::lock_guard<std::mutex> lock(outcome_mu_);
  *failed = false;
  if (outcome_page_ != page) return "";
  outcome_page_.clear();
  *failed = outcome_failed_;
  return std::move(outcome_);
}

void PanelHandler::ServeUserPage(const std::string& path, const std::string& query,
                                 proxy::ResponseWriter& out) {
  bool failed = false;
  std::string outcome = TakeOutcome(path, &failed);
  std::string html;
  if (path == "/help") {
    html = RenderHelpPage();
  } else if (path == "/whitelist") {
    std::vector<std::string> entries;
    Whitelist::Instance().Load();
    for (const std::wstring& entry : Whitelist::Instance().Entries())
      entries.push_back(platform::ToNarrow(entry));
    html = RenderWhitelistPage(entries, token_, outcome, failed);
  } else {
    std::vector<RecentPage> recent = RecentPagesOf(BlockedPages::Instance().Recent());
    if (path == "/allow") {
      std::vector<AllowRow> rows;
      for (const RecentPage& page : recent) {
        AllowRow row;
        row.page = page;
        const std::wstring url = platform::ToWide(page.address);
        row.page_allowed = Whitelist::Instance().Contains(url, true);
        std::wstring host;
        row.site_allowed =
            HostNameOfUrl(url, &host) && Whitelist::Instance().Contains(host, true);
        rows.push_back(std::move(row));
      }
      html = RenderAllowPage(rows, token_, outcome, failed);
    } else {
      RecordedPage chosen;
      bool found = false;
      const std::string wanted = FormField(query, "page");
      if (!wanted.empty()) {
        char* end = nullptr;
        unsigned long long serial = strtoull(wanted.c_str(), &end, 10);
        found = *end == '\0' && BlockedPages::Instance().Find(serial, &chosen);
      } else if (!recent.empty()) {
        found = BlockedPages::Instance().Find(recent.front().serial, &chosen);
      }
      html = RenderReportPage(recent, found ? &chosen : nullptr, token_, outcome, failed);
    }
  }
  Send(out, 200, "text/html; charset=utf-8", html);
}

bool PanelHandler::UserPageAction(const std::string& path, const std::string& form) {
  bool failed = false;
  std::string text;
  std::string page = "/whitelist";
  if (path == "/whitelist/add") {
    text = AddWhitelistEntry(FormField(form, "entry"), &failed);
  } else if (path == "/whitelist/remove") {
    text = RemoveWhitelistEntry(FormField(form, "entry"), &failed);
  } else if (path == "/report") {
    page = "/report";
    RecordedPage recorded;
    char* end = nullptr;
    const std::string serial = FormField(form, "page");
    unsigned long long number = strtoull(serial.c_str(), &end, 10);
    bool found = !serial.empty() && *end == '\0' &&
                 BlockedPages::Instance().Find(number, &recorded);
    if (!found) {
      failed = true;
      text = "That page is no longer in the record; pick another.";
    } else {
      text = SaveReport(platform::UserFolderPath() + L"/reports", recorded.address,
                        FormField(form, "text"), &recorded, time(nullptr), &failed);
    }
  } else {
    return false;
  }
  SetOutcome(page, failed, text);
  // Pages filtered from now on see the whitelist as saved.
  if (!failed && page == "/whitelist") CVCfg::Instance().Refresh(true);
  return true;
}

void PanelHandler::RunCommand(int id, const std::string& url) {
  ToolbarCfg* cfg = cfg_;
  road::BrowserWindow* window = window_;
  PanelUi* ui = ui_;
  std::wstring picked = platform::ToWide(url);
  ui_->Run(
      [cfg, window, ui, id, picked] {
        Command* command = cfg->FindCommand(id);
        if (!command) return;
        PickedPage page(window, picked);
        CommandContext context;
        context.cfg = cfg;
        context.browser = picked.empty() ? static_cast<WebBrowser*>(window) : &page;
        command->Execute(&context);
        CVCfg::Instance().Refresh(true);
        std::wstring target = window->TakeNavigation();
        if (!target.empty()) ui->AddNotice(L"Open page", target);
      },
      kWaitMs);
}

void PanelHandler::DialogAction(const std::string& act) {
  if (act != "ok" && act != "cancel") return;
  ui_->Act(
      [act](platform::ModalDialog*) -> int {
        return act == "ok" ? platform::IDOK : platform::IDCANCEL;
      },
      kWaitMs);
  // The page shown next must see what OK saved.
  ui_->WaitDialogClosed(kWaitMs);
  // Pages filtered from now on use what OK saved, not the options cached
  // before.
  if (act == "ok") CVCfg::Instance().Refresh(true);
}

std::string PanelHandler::RenderQuestions() const {
  std::string html;
  for (const PanelUi::Question& q : ui_->Questions()) {
    html += "<div class=\"question\"><b>" + Escape(q.caption) + "</b>" + Escape(q.text) +
            "<div class=\"buttons\">";
    std::vector<std::pair<int, const char*>> buttons;
    if (q.type == platform::MB_OKCANCEL) {
      buttons = {{platform::IDOK, "OK"}, {platform::IDCANCEL, "Cancel"}};
    } else {
      buttons = {{platform::IDYES, "Yes"}, {platform::IDNO, "No"}};
      if (q.type == platform::MB_YESNOCANCEL)
        buttons.push_back({platform::IDCANCEL, "Cancel"});
    }
    for (const auto& b : buttons) {
      html += "<form method=\"post\" action=\"/answer\" class=\"inline\">" +
              Hidden("token", token_) + Hidden("id", std::to_string(q.id)) +
              Hidden("answer", std::to_string(b.first)) + "<button>" + b.second +
              "</button></form>";
    }
    html += "</div></div>";
  }
  return html;
}

std::string PanelHandler::RenderNotices() const {
  std::string html;
  for (const PanelUi::Notice& n : ui_->Notices()) {
    std::string text = Escape(n.text);
    if (n.caption == L"Open page") text = "<a href=\"" + text + "\">" + text + "</a>";
    html += "<div class=\"notice\"><b>" + Escape(n.caption) + "</b>" + text +
            " <form method=\"post\" action=\"/dismiss\" class=\"inline\">" +
            Hidden("token", token_) + Hidden("id", std::to_string(n.id)) +
            "<button>Close</button></form></div>";
  }
  return html;
}

std::string PanelHandler::RenderMenu() const {
  std::string html = "<nav class=\"menu\" id=\"menu\" aria-label=\"Main Option Menu\">";
  for (const platform::MenuItem& item : PrepareMenu(cfg_, window_).items) {
    if (item.separator) {
      html += "<hr>";
      continue;
    }
    html += "<form method=\"post\" action=\"/command\">" + Hidden("token", token_) +
            Hidden("id", std::to_string(item.id)) + "<button class=\"item" +
            std::string(item.checked ? " checked" : "") + "\" data-id=\"" +
            std::to_string(item.id) + "\">" + Escape(item.label) + "</button></form>";
  }
  return html + "</nav>";
}

std::string PanelHandler::RenderOpenDialog() const {
  std::string html;
  if (!ui_->dialog_open()) return html;
  const std::string& token = token_;
  ui_->Act(
      [&html, &token](platform::ModalDialog* dialog) {
        html = RenderOther(dialog, token);
        return 0;
      },
      kWaitMs);
  return html;
}

void PanelHandler::ServeMenuPage(proxy::ResponseWriter& out) {
  // A GET changes nothing (a "?url=" of another site's link is not followed):
  // the location is set by POST /location with the token.
  std::wstring location;
  bool has_location = window_->GetLocationURL(&location);
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"cvie-token\" content=\"" +
      token_ +
      "\"><title>Corvane Filter</title><link rel=\"stylesheet\" "
      "href=\"/panel.css\"></head>"
      "<body><header><h1>Corvane Filter</h1><div class=\"location\">" +
      (has_location ? "Page: " + Escape(location) : std::string("No page shown yet")) +
      "</div><a class=\"secure-sites\" href=\"/secure-sites\">Secure sites</a></header>";
  html +=
      RenderQuestions() + RenderNotices() + "<main>" + RenderMenu() + RenderOpenDialog() +
      RenderBlockedCounts(BlockedPages::Instance().Counts(time(nullptr))) +
      "</main><footer><a href=\"/lists\">Filter lists</a> "
      "<a href=\"/blocked\">Blocked on recent pages</a> "
      "<a href=\"/log/view\">Log</a> <a href=\"/update\">Updates</a> "
      "<a href=\"/allow\">Allow ads on a page</a> <a href=\"/whitelist\">Whitelist</a> "
      "<a href=\"/report\">Report a page</a> <a href=\"/help\">Help</a> "
      "<a href=\"/preferences\">Preferences</a> <a "
      "href=\"/about\">About</a></footer>"
      "<script src=\"/panel.js\"></script></body></html>\n";
  Send(out, 200, "text/html; charset=utf-8", html);
}

void PanelHandler::ServeMenuJson(proxy::ResponseWriter& out) {
  std::wstring location;
  bool has_location = window_->GetLocationURL(&location);
  std::string json = "{\"location\":" +
                     (has_location ? JsonString(platform::ToNarrow(location)) : "null") +
                     ",\"dialog\":" + (ui_->dialog_open() ? "true" : "false") +
                     ",\"items\":[";
  bool first = true;
  for (const platform::MenuItem& item : PrepareMenu(cfg_, window_).items) {
    if (!first) json += ",";
    first = false;
    json += "{\"id\":" + std::to_string(item.id) +
            ",\"label\":" + JsonString(platform::ToNarrow(item.label)) +
            ",\"separator\":" + (item.separator ? "true" : "false") +
            ",\"checked\":" + (item.checked ? "true" : "false") +
            ",\"image\":" + JsonString(platform::ToNarrow(item.image)) + "}";
  }
  json += "]}";
  Send(out, 200, "application/json", json);
}

namespace {

// Reads the last kLogTail bytes of the log into `text`; `from_start` tells
// whether they start at the beginning of the file. False when there is no log.
bool ReadLogTail(std::string* text, bool* from_start) {
  FILE* file = fopen(platform::ToNarrow(platform::LogFilePath()).c_str(), "rb");
  if (!file) return false;
  *from_start = true;
  if (fseek(file, 0, SEEK_END) == 0) {
    long size = ftell(file);
    long start = size > kLogTail ? size - kLogTail : 0;
    *from_start = start == 0;
    fseek(file, start, SEEK_SET);
    text->resize(static_cast<size_t>(size - start));
    text->resize(fread(text->data(), 1, text->size(), file));
  }
  fclose(file);
  return true;
}

}  // namespace

void PanelHandler::ServeLog(proxy::ResponseWriter& out) {
  std::string text;
  bool from_start = true;
  if (ReadLogTail(&text, &from_start)) {
    // Whole lines only: a line cut by the start of the tail is left out.
    if (!from_start) {
      size_t feed = text.find('\n');
      text.erase(0, feed == std::string::npos ? text.size() : feed + 1);
    }
  } else {
    text = "The log file is empty or has not been written yet.\n";
  }
  Send(out, 200, "text/plain; charset=utf-8", text);
}

void PanelHandler::ServeLogPage(const std::string& filter, proxy::ResponseWriter& out) {
  std::string text;
  bool from_start = true;
  std::vector<std::string> lines;
  if (ReadLogTail(&text, &from_start))
    lines = LogLinesNewestFirst(text, from_start, filter);
  Send(out, 200, "text/html; charset=utf-8", RenderLogPage(lines, filter));
}

void PanelHandler::ServeBlocked(const std::string& page, proxy::ResponseWriter& out) {
  BlockedPages& pages = BlockedPages::Instance();
  if (page.empty()) {
    return Send(out, 200, "text/html; charset=utf-8",
                RenderBlockedList(pages.Recent(), time(nullptr)));
  }
  RecordedPage found;
  char* end = nullptr;
  unsigned long long serial = strtoull(page.c_str(), &end, 10);
  if (*end != '\0' || !pages.Find(serial, &found)) {
    return Send(out, 404, "text/html; charset=utf-8",
                "<!DOCTYPE html><p>That page is no longer in the record. "
                "<a href=\"/blocked\">Recent pages</a></p>\n");
  }
  Send(out, 200, "text/html; charset=utf-8", RenderBlockedPage(found));
}

}  // namespace cvie::panel
