// app/panel/panel_handler.h
//
// The control panel: direct requests to the proxy's own address.
//   GET  /              the "Main Option Menu" as CmdShowButtonMenu prepares it
//                       for the window's location, notices, questions and a
//                       modal dialog another part opened (a GET never changes
//                       anything)
//   GET  /menu.json     the same menu as data
//   GET  /log           the tail of "log1.txt" as text (whole lines)
//   GET  /log/view      the Log page: whole lines, newest first; ?q= keeps
//                       the lines that contain it
//   GET  /blocked       what the last pages blocked (?page=<serial>: one page)
//   GET  /blocked.json  the same as a JSON download (ie/blocked_pages.h)
//   GET  /panel.css, /panel.js   the embedded assets
//   POST /command       id=<command>: runs the command on the window thread;
//                       "Preferences" and "About" lead to their pages
//   POST /dialog        act=ok|cancel: presses the open modal dialog's button
//   POST /location      url=<address>: the window's location from now on
//   POST /answer        id=<question>&answer=<button>
//   POST /dismiss       id=<notice>
//   POST /https         on=1 switches HTTPS filtering on, anything else off,
//                       and returns to the Secure sites page
//   GET /lists, POST /lists/...   the filter lists (panel/lists_page.h)
//   GET  /secure-sites  the "Secure sites" page (panel/secure_sites_page.h)
//   GET /update, POST /update/...   updates and the rule file (panel/update_page.h)
//   GET /preferences, /preferences/whitelist, /about, POST /preferences/act
//                       the dialogs as pages of their own (panel/dialog_pages.h)
//   GET /allow, /whitelist, /help, /report, POST /whitelist/..., /report
//                       the pages of panel/user_pages.h; POST /command with
//                       url=<address> runs the command for that page, and the
//                       menu's "Report Annoying Ads" and "Help..." lead to
//                       the local /report and /help
//   GET  /local-ca.pem  the local CA's certificate (public), 404 without one
//   POST /local-ca      creates the local CA (refused when one exists)
// Every POST must carry the token made at start (form field "token" or
// header "X-Cvie-Token"), else 403: another site cannot change options. Only
// the embedded assets are served; no path reaches the file system except the
// log file's fixed name.
//
// Thread safety: Handle runs on many worker threads at once; commands and
// dialogs go through the window thread of the PanelUi.

#pragma once

#include <mutex>
#include <string>

#include "panel/dialog_pages.h"
#include "panel/lists_page.h"
#include "panel/panel_ui.h"
#include "panel/secure_sites_page.h"
#include "proxy/handlers.h"
#include "road/browser_window.h"

namespace cvie {
class ToolbarCfg;
}

namespace cvie::panel {

class PanelHandler : public proxy::PanelHandler {
 public:
  // `cfg` null: the process's configuration. `token` empty: a random one.
  PanelHandler(road::BrowserWindow* window, PanelUi* ui, ToolbarCfg* cfg = nullptr,
               std::string token = "");
  void Handle(const proxy::ProxyRequest& request, proxy::ResponseWriter& out) override;
  const std::string& token() const { return token_; }
  // Figures for the "Secure sites" page; call before the server starts. Both
  // may be null and must outlive the handler.
  void set_secure_sites(const https::HostBlocker* blocker, const TunnelBlocks* blocks) {
    host_blocker_ = blocker;
    tunnel_blocks_ = blocks;
  }

 private:
  void ServeMenuPage(proxy::ResponseWriter& out);
  // Parts of the menu page: the waiting questions with their buttons, the
  // notices, the menu as the button prepares it, and a modal dialog some
  // other part of the system opened (OK and Cancel only).
  std::string RenderQuestions() const;
  std::string RenderNotices() const;
  std::string RenderMenu() const;
  std::string RenderOpenDialog() const;
  void ServeMenuJson(proxy::ResponseWriter& out);
  void ServeLog(proxy::ResponseWriter& out);
  void ServeLogPage(const std::string& filter, proxy::ResponseWriter& out);
  void ServeBlocked(const std::string& page, proxy::ResponseWriter& out);
  void ServeUpdate(proxy::ResponseWriter& out);
  // Runs an /update/... action; false when `path` is none of them.
  bool UpdateAction(const std::string& path, const std::string& form);
  void SetOutcome(const std::string& page, bool failed, std::string text);
  void ServeUserPage(const std::string& path, const std::string& query,
                     proxy::ResponseWriter& out);
  // Runs a POST of panel/user_pages.h; false when `path` is none of them.
  bool UserPageAction(const std::string& path, const std::string& form);
  // The message for `page` set by the last action, taken (shown once).
  std::string TakeOutcome(const std::string& page, bool* failed);
  // Runs command `id` for the window's page, or for `url` when not empty.
  void RunCommand(int id, const std::string& url = "");
  // Presses OK or Cancel in the modal dialog open in the panel.
  void DialogAction(const std::string& act);

  road::BrowserWindow* window_;
  PanelUi* ui_;
  ToolbarCfg* cfg_;
  std::string token_;
  ListsPage lists_;
  DialogPages dialogs_;
  const https::HostBlocker* host_blocker_ = nullptr;
  const TunnelBlocks* tunnel_blocks_ = nullptr;
  // The message of the last action, shown once on the page it came from.
  std::mutex outcome_mu_;
  std::string outcome_page_;  // guarded by outcome_mu_
  std::string outcome_;
  bool outcome_failed_ = false;
};

// A random token of 32 hexadecimal digits.
std::string MakePanelToken();

// The decoded fields of an application/x-www-form-urlencoded text or query.
std::string FormField(const std::string& form, const std::string& name);

}  // namespace cvie::panel
