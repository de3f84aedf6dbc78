#include "panel/page_frame.h"

#include <time.h>

#include "road/html_escape.h"

namespace cvie::panel {

std::string PageStart(const std::string& title, const std::string& extra_head) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">" +
         extra_head + "<title>" + HtmlEscape(title) +
         " - Corvane Filter</title><link rel=\"stylesheet\" href=\"/panel.css\"></head>"
         "<body><header><h1>" +
         HtmlEscape(title) +
         "</h1><a href=\"/\">Back to the menu</a></header><main class=\"single\">";
}

std::string PageEnd() {
  return "</main><script src=\"/panel.js\"></script></body></html>\n";
}

std::string HiddenField(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + HtmlEscape(name) + "\" value=\"" +
         HtmlEscape(value) + "\">";
}

std::string LocalTimeText(int64_t when) {
  if (when == 0) return "never";
  time_t t = static_cast<time_t>(when);
  struct tm parts;
  char text[32];
  if (localtime_r(&t, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
    return std::to_string(when);
  }
  return text;
}

std::string OutcomeBox(const std::string& text, bool failed) {
  return std::string("<div class=\"notice") + (failed ? " error" : "") +
         "\" id=\"outcome\" role=\"status\" data-failed=\"" + (failed ? "1" : "0") +
         "\">" + HtmlEscape(text) + "</div>";
}

}  // namespace cvie::panel
