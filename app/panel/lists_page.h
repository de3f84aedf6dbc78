// app/panel/lists_page.h
//
// The control panel's "Filter lists" page: the subscribed lists as a table
// (address, title, version, rule counts, last and next update, state with the
// last error), a field to add a list by its address, a button per list to
// remove it, and "Update now" for every list.
//   GET  /lists           the page (a GET changes nothing)
//   POST /lists/add       url=<address>[&title=<name>]: downloads it at once
//   POST /lists/remove    url=<address>
//   POST /lists/update    downloads every list (what `cvie lists update --force` does)
// PanelHandler checks the token of every POST before it gets here. Each
// action runs to its end before the answer (downloads included), and its
// outcome is shown on the next rendering of the page. Everything taken from a
// list or an address is HTML-escaped.
//
// Thread safety: every method may be called from many threads at once; the
// store is shared with other processes under its own lock.

#pragma once

#include <mutex>
#include <string>

namespace cvie::panel {

class ListsPage {
 public:
  // The whole page; its forms carry `token`.
  std::string Render(const std::string& token) const;

  // Runs the POST action at `path` with the form `form`. False when `path`
  // is none of this page's actions.
  bool Act(const std::string& path, const std::string& form);

 private:
  void SetOutcome(bool failed, std::string text);

  mutable std::mutex mutex_;  // guards the outcome
  std::string outcome_;       // of the last action; empty: none yet
  bool outcome_failed_ = false;
};

}  // namespace cvie::panel
