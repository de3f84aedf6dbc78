// app/road/html_escape.h
//
// Text made safe to place inside HTML elements and quoted attributes: the five
// characters that mean something there become entities. Used by the road's
// error pages and the control panel.

#pragma once

#include <string>

namespace cvie {

std::string HtmlEscape(const std::string& text);

}  // namespace cvie
