#include "panel/blocked_view.h"

#include <time.h>

#include "panel/page_frame.h"
#include "road/html_escape.h"

namespace cvie::panel {
namespace {

std::string Escape(const std::string& text) { return HtmlEscape(text); }

const char kPageEnd[] = "</main></body></html>\n";

// Local time as "2026-12-10 23:41:07".
std::string LocalTime(int64_t when) {
  time_t t = static_cast<time_t>(when);
  struct tm parts;
  char text[32];
  if (localtime_r(&t, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
    return std::to_string(when);
  }
  return text;
}

}  // namespace

std::string RenderBlockedList(const std::vector<RecordedPage>& pages, int64_t /*now*/) {
  std::string html = PageStart("Blocked on recent pages");
  html +=
      "<p>The last pages filtered, newest first. Kept in memory only; "
      "<a href=\"/blocked.json\" download=\"blocked-pages.json\">Export as JSON</a>.</p>";
  if (pages.empty()) {
    html += "<p>No page has been filtered since the proxy started.</p>";
    return html + kPageEnd;
  }
  html +=
      "<table class=\"blocked\"><thead><tr><th>Time</th><th>Page</th>"
      "<th>Checked</th><th>Blocked</th></tr></thead><tbody>";
  for (const RecordedPage& page : pages) {
    html += "<tr><td>" + Escape(LocalTime(page.time)) +
            "</td><td><a href=\"/blocked?page=" + std::to_string(page.serial) + "\">" +
            Escape(page.address) + "</a></td><td>" + std::to_string(page.checked) +
            "</td><td>" + std::to_string(page.blocked) + "</td></tr>";
  }
  return html + "</tbody></table>" + kPageEnd;
}

std::string RenderBlockedPage(const RecordedPage& page) {
  std::string html = PageStart("Blocked on one page");
  html += "<p class=\"page-address\">" + Escape(page.address) + "</p><p>" +
          Escape(LocalTime(page.time)) + ": " + std::to_string(page.checked) +
          " elements checked, " + std::to_string(page.blocked) +
          " blocked.</p><p><a href=\"/blocked\">All recent pages</a></p>";
  if (page.elements.empty()) {
    html += "<p>Nothing was blocked on this page.</p>";
    return html + kPageEnd;
  }
  html +=
      "<table class=\"blocked\"><thead><tr><th>Kind</th><th>Address or text</th>"
      "<th>Decision</th><th>Rule</th></tr></thead><tbody>";
  for (const RecordedElement& e : page.elements) {
    std::string text = Escape(e.text);
    if (e.text.size() < e.length) {
      text += "&hellip; (" + std::to_string(e.length) + " bytes)";
    }
    html += "<tr><td>" + Escape(RecordedKindName(e.kind)) + "</td><td><code>" + text +
            "</code></td><td>" + (e.blocked ? "blocked" : "allowed by an exception") +
            "</td><td><code>" + Escape(e.blocked ? e.rule : e.exception) +
            "</code></td></tr>";
  }
  html += "</tbody></table>";
  if (page.elements_cut) {
    html +=
        "<p>This page blocked more elements than the record keeps; the list ends "
        "here.</p>";
  }
  return html + kPageEnd;
}

std::string RenderBlockedCounts(const BlockedCounts& counts) {
  std::string html =
      "<section class=\"counts\" aria-label=\"Blocked elements\"><p>Blocked today: " +
      std::to_string(counts.total_today) +
      ", since start: " + std::to_string(counts.total_since_start) + "</p>";
  std::string kinds;
  for (int kind = 0; kind < kRecordedKindCount; ++kind) {
    if (counts.since_start[kind] == 0) continue;
    kinds += "<li>" + Escape(RecordedKindName(kind)) + ": " +
             std::to_string(counts.today[kind]) + " today, " +
             std::to_string(counts.since_start[kind]) + " since start</li>";
  }
  if (!kinds.empty()) html += "<ul>" + kinds + "</ul>";
  return html + "<p><a href=\"/blocked\">Blocked on recent pages</a></p></section>";
}

std::vector<std::string> LogLinesNewestFirst(const std::string& tail, bool from_start,
                                             const std::string& filter) {
  std::vector<std::string> lines;
  size_t begin = 0;
  if (!from_start) {
    // The text starts inside a line: its first line is not whole.
    size_t feed = tail.find('\n');
    if (feed == std::string::npos) return lines;
    begin = feed + 1;
  }
  while (begin < tail.size()) {
    size_t feed = tail.find('\n', begin);
    size_t end = feed == std::string::npos ? tail.size() : feed;
    std::string line = tail.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && (filter.empty() || line.find(filter) != std::string::npos)) {
      lines.push_back(std::move(line));
    }
    if (feed == std::string::npos) break;
    begin = feed + 1;
  }
  return std::vector<std::string>(lines.rbegin(), lines.rend());
}

std::string RenderLogPage(const std::vector<std::string>& lines,
                          const std::string& filter) {
  std::string html = PageStart("Log");
  html +=
      "<form method=\"get\" action=\"/log/view\" role=\"search\"><label for=\"q\">Show "
      "lines containing</label> <input id=\"q\" name=\"q\" type=\"search\" value=\"" +
      Escape(filter) +
      "\"> <button>Filter</button></form><p>Newest first. <a href=\"/log\">The log as "
      "text</a></p>";
  if (lines.empty()) {
    html += "<p>No line to show.</p>";
    return html + kPageEnd;
  }
  html += "<pre class=\"log\">";
  for (const std::string& line : lines) html += Escape(line) + "\n";
  return html + "</pre>" + kPageEnd;
}

}  // namespace cvie::panel
