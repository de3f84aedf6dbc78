// app/panel/blocked_view.h
//
// The panel pages about what filtering did: the pages recently filtered and
// what each blocked and why (ie/blocked_pages.h), the counts for the home
// page, and the log read as whole lines, newest first, optionally filtered.
// Pure functions of their inputs: every text shown is escaped for HTML.

#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "ie/blocked_pages.h"

namespace cvie::panel {

// "Blocked on recent pages": one row per page, newest first, each linking to
// "/blocked?page=<serial>", and the "Export as JSON" link (/blocked.json).
std::string RenderBlockedList(const std::vector<RecordedPage>& pages, int64_t now);

// One page: its address, time and counts, then every element noted, with
// the deciding rule (or the exception that let it through).
std::string RenderBlockedPage(const RecordedPage& page);

// The counts for the panel's home: blocked today and since start, per kind
// that blocked anything, and a link to the list.
std::string RenderBlockedCounts(const BlockedCounts& counts);

// The complete lines of `tail` (text read from somewhere inside the log file:
// a first line that may have started before it is left out unless
// `from_start`), newest first, keeping those that contain `filter` (all when
// empty).
std::vector<std::string> LogLinesNewestFirst(const std::string& tail, bool from_start,
                                             const std::string& filter);

// The Log page: a filter box (GET /log/view?q=...) and the lines.
std::string RenderLogPage(const std::vector<std::string>& lines,
                          const std::string& filter);

}  // namespace cvie::panel
