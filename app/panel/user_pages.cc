#include "panel/user_pages.h"

#include <set>

#include "panel/page_frame.h"
#include "platform/files.h"
#include "platform/text.h"
#include "road/html_escape.h"
#include "whitelist/whitelist.h"

namespace cvie::panel {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool HasSpaceOrControl(const std::string& text) {
  for (unsigned char c : text)
    if (c <= ' ' || c == 0x7f) return true;
  return false;
}

// The recorded elements of a page as plain text lines.
std::string BlockedLines(const RecordedPage& page) {
  std::string text;
  for (const RecordedElement& e : page.elements) {
    text += std::string(e.blocked ? "blocked " : "allowed ") + RecordedKindName(e.kind) +
            " " + e.text + " (" + (e.blocked ? e.rule : e.exception) + ")\n";
  }
  return text;
}

}  // namespace

std::vector<RecentPage> RecentPagesOf(const std::vector<RecordedPage>& pages,
                                      size_t limit) {
  std::vector<RecentPage> out;
  std::set<std::string> seen;
  for (const RecordedPage& page : pages) {
    if (out.size() >= limit) break;
    if (!seen.insert(page.address).second) continue;
    out.push_back({page.address, page.time, page.serial});
  }
  return out;
}

std::string RenderAllowPage(const std::vector<AllowRow>& rows, const std::string& token,
                            const std::string& outcome, bool failed) {
  std::string html = PageStart("Allow ads on a page");
  if (!outcome.empty()) html += OutcomeBox(outcome, failed);
  if (rows.empty()) {
    html +=
        "<p id=\"no-pages\">No page has been filtered since the proxy started. Open "
        "the page in the browser first; it then appears here.</p>";
    return html + PageEnd();
  }
  html += "<form method=\"post\" action=\"/command\" id=\"allow-form\">" +
          HiddenField("token", token) + HiddenField("back", "allow") +
          "<fieldset><legend>Which page do you mean? The most recent is "
          "chosen.</legend>";
  for (size_t i = 0; i < rows.size(); ++i) {
    const AllowRow& row = rows[i];
    std::string id = "page" + std::to_string(i);
    std::string marks;
    if (row.site_allowed) marks += " (ads allowed on this website)";
    if (row.page_allowed) marks += " (ads allowed on this page)";
    html += "<div class=\"choice\"><input type=\"radio\" name=\"url\" id=\"" + id +
            "\" value=\"" + HtmlEscape(row.page.address) + "\"" +
            (i == 0 ? " checked" : "") + "><label for=\"" + id +
            "\"><span class=\"time\">" + HtmlEscape(LocalTimeText(row.page.time)) +
            "</span> <span class=\"address\">" + HtmlEscape(row.page.address) +
            "</span>" + HtmlEscape(marks) + "</label></div>";
  }
  // The menu's commands: each adds the entry, or takes it out when present.
  html +=
      "</fieldset><div class=\"buttons\"><button name=\"id\" value=\"304\" "
      "id=\"allow-page\">Allow ads on this page only</button><button name=\"id\" "
      "value=\"303\" id=\"allow-site\">Allow ads on this website</button></div>"
      "<p class=\"hint\">Pressing a button again for a page or site whose ads are "
      "allowed filters it again. All entries: <a href=\"/whitelist\">the "
      "whitelist</a>.</p></form>";
  return html + PageEnd();
}

std::string RenderWhitelistPage(const std::vector<std::string>& entries,
                                const std::string& token, const std::string& outcome,
                                bool failed) {
  std::string html = PageStart("Whitelist");
  if (!outcome.empty()) html += OutcomeBox(outcome, failed);
  html +=
      "<p>Pages and web sites on the whitelist are not filtered. An entry is a host "
      "name (the whole site, e.g. <code>news.example</code>) or a page's full "
      "address.</p><form method=\"post\" action=\"/whitelist/add\" "
      "id=\"whitelist-add\">" +
      HiddenField("token", token) +
      "<label for=\"whitelist-entry\">Site or page address</label> <input "
      "id=\"whitelist-entry\" name=\"entry\" size=\"40\" autocomplete=\"off\" "
      "placeholder=\"news.example\"> <button id=\"whitelist-add-button\">Add</button>"
      "</form>";
  if (entries.empty()) {
    html += "<p id=\"whitelist-empty\">The whitelist is empty.</p>";
    return html + PageEnd();
  }
  html +=
      "<table class=\"list\" id=\"whitelist-table\"><thead><tr><th "
      "scope=\"col\">Entry</th><th scope=\"col\"><span "
      "class=\"visually-hidden\">Action</span></th></tr></thead><tbody>";
  for (const std::string& entry : entries) {
    html += "<tr><td>" + HtmlEscape(entry) +
            "</td><td><form method=\"post\" action=\"/whitelist/remove\">" +
            HiddenField("token", token) + HiddenField("entry", entry) +
            "<button aria-label=\"Remove " + HtmlEscape(entry) +
            "\">Remove</button></form></td></tr>";
  }
  return html + "</tbody></table>" + PageEnd();
}

std::string AddWhitelistEntry(const std::string& text, bool* failed) {
  *failed = true;
  const std::string entry = Trim(text);
  if (entry.empty()) return "Type a site or a page address first.";
  if (HasSpaceOrControl(entry))
    return "Not added: an entry holds no spaces or line breaks.";
  if (entry.size() > kMaxWhitelistEntryLength)
    return "Not added: the entry is longer than " +
           std::to_string(kMaxWhitelistEntryLength) + " characters.";
  Whitelist& list = Whitelist::Instance();
  list.Load();
  const std::wstring wide = platform::ToWide(entry);
  if (list.Contains(wide, true)) return entry + " is on the whitelist already.";
  if (list.Add(wide.c_str()) != 0) return "Not added: " + entry + " is not an entry.";
  if (list.Save() != 0) {
    list.Load();  // back to what the file holds
    return "Not added: the whitelist file cannot be written.";
  }
  *failed = false;
  return "Added " + entry + ".";
}

std::string RemoveWhitelistEntry(const std::string& text, bool* failed) {
  *failed = true;
  const std::string entry = Trim(text);
  Whitelist& list = Whitelist::Instance();
  list.Load();
  if (entry.empty() || list.Remove(platform::ToWide(entry).c_str()) != 1)
    return entry + " is not on the whitelist.";
  if (list.Save() != 0) {
    list.Load();
    return "Not removed: the whitelist file cannot be written.";
  }
  *failed = false;
  return "Removed " + entry + ".";
}

std::string RenderHelpPage() {
  std::string html = PageStart("Help");
  html += R"HTML(<nav aria-label="Contents"><ul>
<li><a href="#menu">The menu</a></li><li><a href="#allow">Allowing ads</a></li>
<li><a href="#browser">Setting the browser</a></li><li><a href="#secure">Secure sites</a></li>
<li><a href="#lists">Filter lists</a></li><li><a href="#updates">Updates</a></li>
<li><a href="#report">Reporting a page</a></li></ul></nav>
<section id="menu"><h2>The menu</h2>
<p>Where the help texts speak of the toolbar button, the panel's menu page is
meant: it holds the same items. "Enable Corvane" switches filtering on and off.
"Preferences" opens the filter switches (which kinds of elements are checked:
scripts, images, frames, Flash, style sheets, backgrounds, marquees, banner
links) and the whitelist; OK saves, Cancel discards. "About" shows the
version.</p></section>
<section id="allow"><h2>Allowing ads</h2>
<p>"Allow Ads On This Website" and "Allow Ads On This Page Only" put a site or a
page on the whitelist, which is never filtered. Because the proxy serves every
tab, <a href="/allow">Allow ads on a page</a> lets you pick the page you mean
from the pages filtered recently. <a href="/whitelist">The whitelist</a> shows
every entry and lets you add and remove them.</p></section>
<section id="browser"><h2>Setting the browser</h2>
<p>Set the browser's HTTP proxy to this proxy's address (the address of this
panel). Chromium follows the desktop's proxy settings or takes
<code>--proxy-server=127.0.0.1:8118</code>; in Firefox: Settings, Network
Settings, "Manual proxy configuration", and tick "Also use this proxy for
HTTPS".</p></section>
<section id="secure"><h2>Secure sites</h2>
<p>Secure (https) sites are passed through unchanged, except that connections to
the filter lists' advertising hosts are refused. Filtering secure pages needs a
local certificate authority the browser trusts: see
<a href="/secure-sites">Secure sites</a>.</p></section>
<section id="lists"><h2>Filter lists</h2>
<p>Public filter lists in the EasyList format add their rules to the product's own:
<a href="/lists">Filter lists</a> adds a list by its address, removes it, and
updates them.</p></section>
<section id="updates"><h2>Updates</h2>
<p>"Check Update" asks the update server for a newer rule file and installs it;
the proxy uses it within seconds, pages already loading finish with the rules
they started with. <a href="/update">Updates</a> shows the last check's result
and why, the rule file in force, and the server asked.</p></section>
<section id="report"><h2>Reporting a page</h2>
<p>"Report Annoying Ads" opens <a href="/report">a form</a> where you pick the
page, see what was blocked on it and describe the advert that was missed or what
broke. The report is saved on this computer; nothing is sent.</p></section>
<p>What was blocked and why: <a href="/blocked">Blocked on recent pages</a>.
What the proxy did: <a href="/log/view">the log</a>.</p>)HTML";
  return html + PageEnd();
}

std::string RenderReportPage(const std::vector<RecentPage>& pages,
                             const RecordedPage* chosen, const std::string& token,
                             const std::string& outcome, bool failed) {
  std::string html = PageStart("Report annoying ads");
  if (!outcome.empty()) html += OutcomeBox(outcome, failed);
  if (pages.empty()) {
    html +=
        "<p id=\"no-pages\">No page has been filtered since the proxy started. Open "
        "the page in the browser first; it then appears here.</p>";
    return html + PageEnd();
  }
  html +=
      "<form method=\"get\" action=\"/report\" id=\"report-pick\"><label "
      "for=\"report-page\">Page</label> <select id=\"report-page\" name=\"page\">";
  for (const RecentPage& page : pages) {
    bool selected = chosen && chosen->serial == page.serial;
    html += "<option value=\"" + std::to_string(page.serial) + "\"" +
            (selected ? " selected" : "") + ">" + HtmlEscape(LocalTimeText(page.time)) +
            " " + HtmlEscape(page.address) + "</option>";
  }
  html += "</select> <button>Show</button></form>";
  if (!chosen) return html + PageEnd();

  std::string details =
      "Page: " + chosen->address + "\nFiltered: " + LocalTimeText(chosen->time) +
      "\nBlocked " + std::to_string(chosen->blocked) + " of " +
      std::to_string(chosen->checked) + " elements checked\n" + BlockedLines(*chosen);
  html +=
      "<section aria-labelledby=\"report-details-title\"><h2 "
      "id=\"report-details-title\">What was blocked on " +
      HtmlEscape(chosen->address) + "</h2><pre id=\"report-details\">" +
      HtmlEscape(details) +
      "</pre><button type=\"button\" data-copy=\"report-details\" "
      "id=\"copy-details\">Copy</button></section>"
      "<form method=\"post\" action=\"/report\" id=\"report-form\">" +
      HiddenField("token", token) + HiddenField("page", std::to_string(chosen->serial)) +
      "<label for=\"report-text\">What is wrong (an advert that was not blocked, "
      "or what broke)</label><textarea id=\"report-text\" name=\"text\" rows=\"5\" "
      "cols=\"50\"></textarea><button id=\"report-save\">Save the report</button>"
      "<p class=\"hint\">Saved on this computer only; nothing is sent.</p></form>";
  return html + PageEnd();
}

std::string SaveReport(const std::wstring& folder, const std::string& address,
                       const std::string& description, const RecordedPage* page,
                       int64_t now, bool* failed) {
  *failed = true;
  const std::string text = Trim(description);
  if (text.empty()) return "Describe what is wrong first; nothing was saved.";
  if (text.size() > 64 * 1024) return "The description is too long; nothing was saved.";
  platform::CreateFolder(folder);  // may exist already
  std::string body =
      "Page: " + address + "\nReported: " + LocalTimeText(now) + "\n\n" + text + "\n";
  if (page) body += "\nBlocked on the page:\n" + BlockedLines(*page);
  std::wstring path;
  for (int n = 1; n < 100; ++n) {
    path =
        folder + L"/report-" + std::to_wstring(now) + L"-" + std::to_wstring(n) + L".txt";
    if (!platform::PathExists(path)) break;
  }
  std::string error;
  if (!platform::WriteFileAtomically(path, body, &error))
    return "The report could not be saved: " + error + ".";
  *failed = false;
  return "Saved the report as " + platform::ToNarrow(path) + ".";
}

}  // namespace cvie::panel
