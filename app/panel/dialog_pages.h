// app/panel/dialog_pages.h
//
// The product's dialogs as pages of their own, each at its own address:
//   GET  /preferences              opens a Preferences dialog for this tab
//                                  (a new session) and shows its General page
//   GET  /preferences?s=<id>       that dialog's General page
//   GET  /preferences/whitelist?s=<id>   its Whitelist page
//   POST /preferences/act          s=<id>&act=click|edit|delete|sort|ok|cancel
//                                  (+control, row, text): the dialog's
//                                  behaviour (PreferencesModel): OK saves,
//                                  Cancel discards. The General page also has
//                                  the "Filter secure (HTTPS) pages" box
//                                  (control kInspectHttpsControl), applied by
//                                  OK like the others.
//   GET  /about                    the About dialog's text
// Every dialog opened this way has its own model, so two tabs or two browsers
// never see each other's changes, and OK or Cancel applies to the dialog it
// was pressed in. At most kMaxSessions are open; the oldest goes first (its
// page then says so).
//
// Thread safety: every method may be called from many threads at once (one
// mutex guards the sessions and their models).

#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ui/preferences.h"

namespace cvie::panel {

class DialogPages {
 public:
  static constexpr size_t kMaxSessions = 16;
  // The control number of the HTTPS box (not one of the dialog's own).
  static constexpr int kInspectHttpsControl = -2;

  // Opens a Preferences session from the stored options and whitelist;
  // returns its id.
  std::string OpenPreferences();

  // The page of session `id`: `whitelist_tab` picks the page; `outcome` is
  // shown above it. A closed or unknown session gets a page saying so.
  std::string RenderPreferences(const std::string& id, bool whitelist_tab,
                                const std::string& token,
                                const std::string& outcome) const;

  // Runs an action on session `id`. Returns where the browser goes next.
  // `saved` is set when OK applied the dialog; false with *error set when OK
  // saved the dialog's options but could not set the HTTPS switch.
  bool Act(const std::string& id, const std::string& act, int control, int row,
           const std::wstring& text, const std::string& tab, std::string* next,
           std::string* error);

  static std::string RenderAbout();

 private:
  struct Session {
    std::unique_ptr<PreferencesModel> model;
    bool inspect_https = false;  // the HTTPS box as this dialog shows it
  };

  mutable std::mutex mu_;
  std::map<std::string, Session> sessions_;  // guarded
  std::map<uint64_t, std::string> order_;    // opening order -> id, guarded
  uint64_t opened_ = 0;                      // guarded
};

}  // namespace cvie::panel
