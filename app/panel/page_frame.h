// app/panel/page_frame.h
//
// The frame every page of the control panel shares: the document head (the
// style sheet, a viewport for small screens), a header with the page's title
// and the way back to the menu, and small pieces the pages' forms use. Pure
// functions; every text given is escaped for HTML.

#pragma once

#include <stdint.h>

#include <string>

namespace cvie::panel {

// "<!DOCTYPE html>..." up to and including "<main>". `extra_head` is put
// into the head as it is (a meta refresh, for one).
std::string PageStart(const std::string& title, const std::string& extra_head = "");

// Closes what PageStart opened, with the panel's script.
std::string PageEnd();

// A hidden form field.
std::string HiddenField(const std::string& name, const std::string& value);

// Local time as "2026-12-10 23:41:07"; "never" for 0.
std::string LocalTimeText(int64_t when);

// A message after an action: a status region a screen reader announces;
// `failed` marks it as an error.
std::string OutcomeBox(const std::string& text, bool failed);

}  // namespace cvie::panel
