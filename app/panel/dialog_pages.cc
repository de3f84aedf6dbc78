#include "panel/dialog_pages.h"

#include "config/options.h"
#include "https/https_settings.h"
#include "panel/page_frame.h"
#include "panel/panel_handler.h"
#include "platform/text.h"
#include "road/html_escape.h"
#include "ui/commands.h"

namespace cvie::panel {
namespace {

std::string Esc(const std::wstring& text) { return HtmlEscape(platform::ToNarrow(text)); }

std::string ActForm(const std::string& token, const std::string& id,
                    const std::string& act, const std::string& tab) {
  return "<form method=\"post\" action=\"/preferences/act\">" +
         HiddenField("token", token) + HiddenField("s", id) + HiddenField("act", act) +
         HiddenField("tab", tab);
}

std::string PageOf(const std::string& id, bool whitelist_tab) {
  return std::string(whitelist_tab ? "/preferences/whitelist" : "/preferences") +
         "?s=" + id;
}

}  // namespace

std::string DialogPages::OpenPreferences() {
  auto model = std::make_unique<PreferencesModel>(nullptr, nullptr);
  model->Open();
  std::lock_guard<std::mutex> lock(mu_);
  while (sessions_.size() >= kMaxSessions && !order_.empty()) {
    sessions_.erase(order_.begin()->second);
    order_.erase(order_.begin());
  }
  std::string id = MakePanelToken().substr(0, 16);
  sessions_[id] = Session{std::move(model), https::InspectHttpsEnabled()};
  order_[++opened_] = id;
  return id;
}

std::string DialogPages::RenderPreferences(const std::string& id, bool whitelist_tab,
                                           const std::string& token,
                                           const std::string& outcome) const {
  std::string html = PageStart(whitelist_tab ? "Preferences: Whitelist" : "Preferences");
  if (!outcome.empty()) html += OutcomeBox(outcome, false);
  std::lock_guard<std::mutex> lock(mu_);
  auto found = sessions_.find(id);
  if (found == sessions_.end()) {
    html +=
        "<p id=\"dialog-closed\">This dialog is closed. <a "
        "href=\"/preferences\">Open Preferences</a></p>";
    return html + PageEnd();
  }
  const PreferencesModel& model = *found->second.model;
  const std::string tab = whitelist_tab ? "Whitelist" : "General";
  html += "<section class=\"dialog\" id=\"preferences\" data-session=\"" +
          HtmlEscape(id) +
          "\"><div class=\"body\"><nav class=\"tabs\" aria-label=\"Pages\">";
  html += "<a href=\"" + HtmlEscape(PageOf(id, false)) + "\"" +
          (whitelist_tab ? "" : " class=\"active\" aria-current=\"page\"") +
          ">General</a><a href=\"" + HtmlEscape(PageOf(id, true)) + "\"" +
          (whitelist_tab ? " class=\"active\" aria-current=\"page\"" : "") +
          ">Whitelist</a></nav><div class=\"page\">";
  if (!whitelist_tab) {
    html += "<form id=\"click-form\" method=\"post\" action=\"/preferences/act\">" +
            HiddenField("token", token) + HiddenField("s", id) +
            HiddenField("act", "click") + HiddenField("control", "") +
            HiddenField("tab", tab) + "</form>";
    for (const GeneralField& field : model.general()) {
      if (field.label.empty()) continue;
      const std::string control = std::to_string(field.control);
      html += "<label><input type=\"checkbox\" data-control=\"" + control +
              "\" id=\"box" + control + "\"" +
              (field.state == kChecked ? " checked" : "") +
              (field.state == kIndeterminate ? " data-indeterminate" : "") + "> " +
              Esc(field.label) + "</label>";
    }
    html += "<label><input type=\"checkbox\" data-control=\"" +
            std::to_string(kInspectHttpsControl) + "\" id=\"inspect-https\"" +
            (found->second.inspect_https ? " checked" : "") +
            "> Filter secure (HTTPS) pages</label><p class=\"hint\">Without a local CA "
            "secure sites stay tunnelled: see <a href=\"/secure-sites\">Secure "
            "sites</a>.</p>";
  } else {
    html += "<table class=\"list\"><thead><tr><th scope=\"col\">" +
            ActForm(token, id, "sort", tab) + "<button>" + Esc(kWhitelistColumnTitle) +
            "</button></form></th><th scope=\"col\"><span "
            "class=\"visually-hidden\">Action</span></th></tr></thead><tbody>";
    const std::vector<std::wstring>& rows = model.rows();
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string row = std::to_string(i);
      const bool placeholder = i == 0;
      html += "<tr><td>" + ActForm(token, id, "edit", tab) + HiddenField("row", row) +
              "<label class=\"visually-hidden\" for=\"row" + row + "\">" +
              (placeholder ? std::string("New address") : "Address " + row) +
              "</label><input name=\"text\" id=\"row" + row + "\"" +
              (placeholder ? " value=\"\" placeholder=\"" + Esc(rows[i]) + "\""
                           : " value=\"" + Esc(rows[i]) + "\"") +
              "> <button>" + (placeholder ? "Add" : "Change") +
              "</button></form></td><td>";
      if (!placeholder) {
        html += ActForm(token, id, "delete", tab) + HiddenField("row", row) +
                "<button aria-label=\"Delete " + Esc(rows[i]) +
                "\">Delete</button></form>";
      }
      html += "</td></tr>";
    }
    html += "</tbody></table>";
  }
  html +=
      "</div><div class=\"buttons\">" + ActForm(token, id, "ok", tab) +
      "<button id=\"ok\">OK</button></form>" + ActForm(token, id, "cancel", tab) +
      "<button id=\"cancel\" data-cancel>Cancel</button></form></div></div></section>";
  return html + PageEnd();
}

bool DialogPages::Act(const std::string& id, const std::string& act, int control, int row,
                      const std::wstring& text, const std::string& tab, std::string* next,
                      std::string* error) {
  const bool whitelist_tab = tab == "Whitelist";
  *next = PageOf(id, whitelist_tab);
  Session closing;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) return true;
    PreferencesModel& model = *found->second.model;
    if (act == "click" && control == kInspectHttpsControl) {
      found->second.inspect_https = !found->second.inspect_https;
    } else if (act == "click") {
      model.Click(control);
    } else if (act == "edit") {
      // The placeholder row holds its hint; a new address is typed in place of it.
      if (row == 0 && text.empty()) return true;
      if (model.BeginEdit(row)) model.EndEdit(row, text);
    } else if (act == "delete") {
      model.DeleteRow(row);
    } else if (act == "sort") {
      model.SortAddresses();
    } else if (act == "ok" || act == "cancel") {
      closing = std::move(found->second);
      sessions_.erase(found);
      for (auto it = order_.begin(); it != order_.end(); ++it) {
        if (it->second == id) {
          order_.erase(it);
          break;
        }
      }
    }
  }
  if (!closing.model) return true;
  if (act != "ok") {
    *next = "/";
    return true;
  }
  closing.model->Apply();
  CVCfg::Instance().Refresh(true);
  *next = "/preferences?saved=1";
  if (closing.inspect_https == https::InspectHttpsEnabled()) return true;
  // Filtering secure pages starts with the list of sites that stay
  // tunnelled, for the user to fill in.
  return (!closing.inspect_https || https::EnsurePassthroughFile(error)) &&
         https::SetInspectHttps(closing.inspect_https, error);
}

std::string DialogPages::RenderAbout() {
  AboutDialog about(202);
  return PageStart(platform::ToNarrow(about.Title())) + "<section id=\"about\"><pre>" +
         Esc(about.Text()) + "</pre><p>" + Esc(about.Notice()) + "</p></section>" +
         PageEnd();
}

}  // namespace cvie::panel
