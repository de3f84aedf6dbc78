#include "panel/lists_page.h"

#include <vector>

#include "comm/list_updater.h"
#include "lists/subscriptions.h"
#include "panel/panel_handler.h"
#include "road/html_escape.h"

namespace cvie::panel {
namespace {

using lists::Subscription;

std::string Hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + HtmlEscape(value) +
         "\">";
}

std::string Cell(const std::string& text) { return "<td>" + HtmlEscape(text) + "</td>"; }

std::string Count(const Subscription& s, uint64_t value) {
  return s.downloaded() ? std::to_string(value) : "-";
}

}  // namespace

void ListsPage::SetOutcome(bool failed, std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_failed_ = failed;
  outcome_ = std::move(text);
}

bool ListsPage::Act(const std::string& path, const std::string& form) {
  std::string error;
  if (path == "/lists/add") {
    const std::string url = FormField(form, "url");
    AddListResult result = AddList(url, FormField(form, "title"), &error);
    if (result == AddListResult::kAdded) {
      SetOutcome(false, "Subscribed to " + url);
    } else {
      SetOutcome(true, "Cannot subscribe to " + url + ": " + error);
    }
  } else if (path == "/lists/remove") {
    const std::string url = FormField(form, "url");
    lists::RemoveResult removed = RemoveList(url, &error);
    if (removed == lists::RemoveResult::kRemoved) {
      SetOutcome(false, "Unsubscribed from " + url);
    } else {
      SetOutcome(true, removed == lists::RemoveResult::kNotSubscribed
                           ? "Not subscribed to " + url
                           : error);
    }
  } else if (path == "/lists/update") {
    std::vector<ListRefresh> refreshed;
    if (!RefreshLists(true, nullptr, &refreshed, &error)) {
      SetOutcome(true, error);
      return true;
    }
    size_t failed = 0;
    for (const ListRefresh& list : refreshed) failed += list.ok ? 0 : 1;
    SetOutcome(failed > 0, std::to_string(refreshed.size() - failed) + " of " +
                               std::to_string(refreshed.size()) + " lists updated" +
                               (failed > 0 ? "; see each list's state" : ""));
  } else {
    return false;
  }
  return true;
}

std::string ListsPage::Render(const std::string& token) const {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>Filter lists - Corvane Filter</title><link rel=\"stylesheet\" "
      "href=\"/panel.css\"></head><body><header><h1>Filter lists</h1>"
      "<div class=\"location\"><a href=\"/\">Back to the menu</a></div></header>";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!outcome_.empty()) {
      html += "<div class=\"notice\" id=\"outcome\" data-failed=\"" +
              std::string(outcome_failed_ ? "1" : "0") + "\">" + HtmlEscape(outcome_) +
              "</div>";
    }
  }
  html += "<main><section id=\"lists\">";
  std::vector<Subscription> subscriptions;
  std::string error;
  if (!ReadSubscriptions(&subscriptions, &error)) {
    html += "<p class=\"error\" id=\"store-error\">" + HtmlEscape(error) + "</p>";
  } else if (subscriptions.empty()) {
    html += "<p id=\"no-lists\">No filter lists are subscribed.</p>";
  } else {
    html +=
        "<table class=\"list\" id=\"list-table\"><tr><th>Address</th><th>Title</th>"
        "<th>Version</th><th>Network rules</th><th>Hiding rules</th><th>Skipped</th>"
        "<th>Last update</th><th>Next update</th><th>State</th><th></th></tr>";
    for (const Subscription& s : subscriptions) {
      html += "<tr>" + Cell(s.url) + Cell(s.title) + Cell(s.version) +
              Cell(Count(s, s.network_rules)) + Cell(Count(s, s.hiding_rules)) +
              Cell(Count(s, s.skipped)) + Cell(lists::FormatTime(s.last_update)) +
              Cell(s.downloaded() ? lists::FormatTime(s.next_update)
                                  : std::string("at the next update")) +
              "<td class=\"state\">" + HtmlEscape(lists::StateText(s)) +
              "</td><td><form method=\"post\" action=\"/lists/remove\">" +
              Hidden("token", token) + Hidden("url", s.url) +
              "<button>Remove</button></form></td></tr>";
    }
    html += "</table>";
  }
  html += "<form method=\"post\" action=\"/lists/update\" id=\"update-form\">" +
          Hidden("token", token) +
          "<button id=\"update-now\">Update now</button></form>"
          "<form method=\"post\" action=\"/lists/add\" id=\"add-form\">" +
          Hidden("token", token) +
          "<label>Address <input name=\"url\" id=\"add-url\" size=\"60\" "
          "placeholder=\"https://\"></label> <label>Title (optional) <input "
          "name=\"title\" id=\"add-title\"></label> <button id=\"add\">Add</button>"
          "</form></section></main></body></html>\n";
  return html;
}

}  // namespace cvie::panel
