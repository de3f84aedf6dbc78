// app/panel/user_pages.h
//
// Panel pages a person uses beside the menu:
//   GET  /allow       "Allow ads on a page": the pages filtered recently
//                     (address and time, the most recent chosen), and the
//                     menu's "this page only" and "this website" commands
//                     run for the page chosen (POST /command with url=...),
//                     never for whichever page another tab loaded last
//   GET  /whitelist   the whitelist: every entry with a Remove button, a
//                     labelled box to add one (POST /whitelist/add,
//                     /whitelist/remove); entries are trimmed, and an empty
//                     entry, one with spaces inside or one already present is
//                     refused with a message
//   GET  /help        the help texts, served locally
//   GET  /report      "Report annoying ads": pick a recent page, see what was
//                     blocked on it, describe the problem; POST /report saves
//                     the report to a file under the user folder ("reports/"),
//                     nothing is sent anywhere
// The render functions are pure (every text escaped); the actions change the
// whitelist store or write one file and say what happened in one sentence.

#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "ie/blocked_pages.h"

namespace cvie::panel {

// One page the user may mean: its address and when it was filtered.
struct RecentPage {
  std::string address;
  int64_t time = 0;
  uint64_t serial = 0;  // in BlockedPages
};

// The distinct addresses of `pages` (newest first as given), at most `limit`.
std::vector<RecentPage> RecentPagesOf(const std::vector<RecordedPage>& pages,
                                      size_t limit = 20);

// `whitelisted_page`/`whitelisted_site` say for each recent page whether it
// (exact address) or its site is on the whitelist already.
struct AllowRow {
  RecentPage page;
  bool page_allowed = false;
  bool site_allowed = false;
};
std::string RenderAllowPage(const std::vector<AllowRow>& rows, const std::string& token,
                            const std::string& outcome, bool failed);

std::string RenderWhitelistPage(const std::vector<std::string>& entries,
                                const std::string& token, const std::string& outcome,
                                bool failed);

// Adds `text` (trimmed) to the process's whitelist and saves it. Returns the
// sentence to show; `failed` tells whether nothing was added.
std::string AddWhitelistEntry(const std::string& text, bool* failed);
// Removes the entry equal to `text` and saves. As AddWhitelistEntry.
std::string RemoveWhitelistEntry(const std::string& text, bool* failed);

std::string RenderHelpPage();

// `chosen` (may be null) is the recorded page the report is about.
std::string RenderReportPage(const std::vector<RecentPage>& pages,
                             const RecordedPage* chosen, const std::string& token,
                             const std::string& outcome, bool failed);

// Writes a report (page address, what the user says, and what was blocked on
// the page when known) to "<folder>/report-<time>-<n>.txt", making the folder
// when needed. Returns the sentence to show; `failed` when nothing was
// written (an empty description is refused).
std::string SaveReport(const std::wstring& folder, const std::string& address,
                       const std::string& description, const RecordedPage* page,
                       int64_t now, bool* failed);

}  // namespace cvie::panel
