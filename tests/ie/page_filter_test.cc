// The per-page entry every front end shares: FilterHtmlPage decides from the
// address as the MIME filter does and edits the page as it does.

#include "ie/page_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/options.h"
#include "ie/ie_test_support.h"
#include "rules/rules_holder.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

class PageFilterTest : public BrowserProcessTest {
 protected:
  // FilterHtmlPage over `page`, as a front end calls it (two zero bytes after).
  PageFilterResult Filter(const std::wstring& url, std::string page, std::string* out,
                          RulesHolder* rules = nullptr) {
    const size_t size = page.size();
    page.append(2, '\0');
    CEasyBuffer buffer;
    PageFilterResult result = FilterHtmlPage(url, page.data(), size, &buffer, rules);
    out->assign(buffer.GetData() ? buffer.GetData() : "", buffer.GetSize());
    return result;
  }
};

TEST_F(PageFilterTest, DecidesByAddressAndEditsAsTheMimeFilter) {
  struct Case {
    const char* name;
    bool browser;
    int enable_corvane;
    const wchar_t* url;
    std::vector<std::wstring> whitelist;
    PageFilterResult expected;
  };
  const Case cases[] = {
      {"http page",
       true,
       1,
       L"http://news.example/a.html",
       {},
       PageFilterResult::kFiltered},
      {"https page", true, 1, L"https://news.example/a", {}, PageFilterResult::kFiltered},
      {"not the browser",
       false,
       1,
       L"http://news.example/a",
       {},
       PageFilterResult::kExempt},
      {"Enable Corvane 0",
       true,
       0,
       L"http://news.example/a",
       {},
       PageFilterResult::kExempt},
      {"whitelisted site",
       true,
       1,
       L"http://news.example/a",
       {L"news.example"},
       PageFilterResult::kExempt},
      {"ftp page", true, 1, L"ftp://files.example/a.html", {}, PageFilterResult::kExempt},
      {"no address", true, 1, L"", {}, PageFilterResult::kExempt},
  };
  for (const Case& c : cases) {
    DeclareBrowser(c.browser);
    SetOption(OPTION_ENABLE_CORVANE, c.enable_corvane);
    ResetWhitelist(c.whitelist);
    std::string out;
    EXPECT_EQ(Filter(c.url, kAdPage, &out), c.expected) << c.name;
    EXPECT_EQ(PageIsFiltered(c.url), c.expected == PageFilterResult::kFiltered) << c.name;
    if (c.expected == PageFilterResult::kFiltered) {
      EXPECT_EQ(out, EditedWithStoredOptions(kAdPage, TestRules())) << c.name;
      EXPECT_NE(out, kAdPage) << c.name;
    } else {
      EXPECT_EQ(out, "") << c.name;
    }
  }
}

TEST_F(PageFilterTest, Utf16PageIsExempt) {
  std::string page = "\xFF\xFE<\0h\0t\0m\0l\0>\0";
  page.append(kAdPage);
  std::string out;
  EXPECT_EQ(Filter(L"http://news.example/a.html", page, &out), PageFilterResult::kExempt);
}

TEST_F(PageFilterTest, RulesNotLoadedLeaveThePageUnedited) {
  RulesHolder empty;  // never marked loaded
  std::string out;
  EXPECT_EQ(Filter(L"http://news.example/a.html", kAdPage, &out, &empty),
            PageFilterResult::kFailed);
  EXPECT_EQ(out, "");
}

}  // namespace
