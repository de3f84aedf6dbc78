// The HTML MIME filter object on a source protocol the test feeds: starting,
// bypassing, collecting, editing, serving in pieces, failures, notifications
// and the counted registration.

#include "ie/mime_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/options.h"
#include "ie/ie_guids.h"
#include "ie/ie_test_support.h"
#include "ie/ns_handler.h"
#include "lists/filter_list.h"
#include "lists/list_set.h"
#include "platform/text.h"
#include "platform/urlmon_testing.h"
#include "rules/rules_holder.h"
#include "whitelist/whitelist.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

class MimeFilterTest : public BrowserProcessTest {
 protected:
  void SetUp() override {
    BrowserProcessTest::SetUp();
    SetThreadUrl(L"http://news.example/today.html");
    source_ = ComPtr<FakeSource>(new FakeSource());
    sink_ = ComPtr<RecordingSink>(new RecordingSink());
  }

  // A filter started on the fed source for the page `page`, read to its end
  // in pieces of `count` bytes.
  std::string FilterWhole(const std::string& page, ULONG count = 4096,
                          ComPtr<CHTMLMimeFilterPP>* kept = nullptr) {
    auto filter = NewFilter();
    source_->Feed(page);
    source_->Finish();
    EXPECT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
    HRESULT last = S_OK;
    std::string out = ReadFilter(filter.Get(), count, &last);
    EXPECT_EQ(last, S_FALSE);
    if (kept) *kept = filter;
    return out;
  }

  ComPtr<FakeSource> source_;
  ComPtr<RecordingSink> sink_;
};

TEST_F(MimeFilterTest, AdPageComesOutEditedAndDone) {
  ComPtr<CHTMLMimeFilterPP> filter;
  std::string out = FilterWhole(kAdPage, 4096, &filter);
  EXPECT_EQ(out, EditedWithStoredOptions(kAdPage, TestRules()));
  EXPECT_NE(out, kAdPage);
  EXPECT_EQ(out.find(kAdScriptUrl), std::string::npos);
  EXPECT_NE(out.find("Top story of the day"), std::string::npos);
  EXPECT_NE(out.find("http://cdn.example/photo.jpg"), std::string::npos);
  EXPECT_EQ(filter->state(), HMFS_DONE);
  EXPECT_FALSE(filter->IsBypassed());
  // Further reads stay at the end.
  char byte;
  ULONG n = 9;
  EXPECT_EQ(filter->Read(&byte, 1, &n), S_FALSE);
}

TEST_F(MimeFilterTest, BypassedPagesPassStraightThroughTheSource) {
  struct BypassCase {
    const char* name;
    bool browser;
    int enable_corvane;
    const wchar_t* url;
    int block_local;
    std::vector<std::wstring> whitelist;
    bool bypassed;
  };
  const BypassCase cases[] = {
      {"http page", true, 1, L"http://news.example/a.html", 1, {}, false},
      {"https page", true, 1, L"https://news.example/a.html", 1, {}, false},
      {"Enable Corvane other than 0 or 1",
       true,
       2,
       L"http://news.example/",
       1,
       {},
       false},
      {"not the browser process", false, 1, L"http://news.example/a.html", 1, {}, true},
      {"Enable Corvane 0", true, 0, L"http://news.example/a.html", 1, {}, true},
      {"site on the whitelist",
       true,
       1,
       L"http://news.example/a.html",
       1,
       {L"news.example"},
       true},
      {"page on the whitelist",
       true,
       1,
       L"http://news.example/a.html?x=1",
       1,
       {L"http://news.example/a.html"},
       true},
      {"another page of a listed page's site",
       true,
       1,
       L"http://news.example/b.html",
       1,
       {L"http://news.example/a.html"},
       false},
      {"whitelist is case-sensitive",
       true,
       1,
       L"http://news.example/",
       1,
       {L"NEWS.example"},
       false},
      {"file page", true, 1, L"file:///srv/pages/a.html", 1, {}, false},
      {"file page, BlockAdsOnLocalPage 0",
       true,
       1,
       L"file:///srv/pages/a.html",
       0,
       {},
       true},
      {"ftp page", true, 1, L"ftp://files.example/a.html", 1, {}, true},
      {"about:blank", true, 1, L"about:blank", 1, {}, true},
      {"no address recorded", true, 1, L"", 1, {}, true},
  };
  for (const BypassCase& c : cases) {
    DeclareBrowser(c.browser);
    SetOption(OPTION_ENABLE_CORVANE, c.enable_corvane);
    SetOption(OPTION_BLOCK_ADS_ON_LOCAL_PAGE, c.block_local);
    ResetWhitelist(c.whitelist);
    SetThreadUrl(c.url);
    source_ = ComPtr<FakeSource>(new FakeSource());
    ComPtr<CHTMLMimeFilterPP> filter;
    std::string out = FilterWhole(kAdPage, 4096, &filter);
    EXPECT_EQ(filter->IsBypassed(), c.bypassed) << c.name;
    if (c.bypassed) {
      EXPECT_EQ(out, kAdPage) << c.name;
      EXPECT_EQ(filter->state(), HMFS_STARTED) << c.name;
    } else {
      EXPECT_EQ(out, EditedWithStoredOptions(kAdPage, TestRules())) << c.name;
      EXPECT_NE(out, kAdPage) << c.name;
    }
  }
}

TEST_F(MimeFilterTest, RefusedStartLeavesNoSourceAndReadsFail) {
  struct StartCase {
    const char* name;
    DWORD flags;
    bool filter_data;
    bool protocol;
  };
  const StartCase cases[] = {
      {"without PI_FILTER_MODE", 0, true, true},
      {"without filter data", PI_FILTER_MODE, false, false},
      {"without a source protocol", PI_FILTER_MODE, true, false},
  };
  for (bool browser : {true, false}) {
    DeclareBrowser(browser);
    for (const StartCase& c : cases) {
      auto filter = NewFilter();
      PROTOCOLFILTERDATA data;
      data.pProtocol = c.protocol ? source_.Get() : nullptr;
      HANDLE_PTR reserved = c.filter_data ? reinterpret_cast<HANDLE_PTR>(&data) : 0;
      EXPECT_EQ(filter->Start(L"text/html", sink_.Get(), nullptr, c.flags, reserved),
                E_INVALIDARG)
          << c.name;
      EXPECT_EQ(filter->state(), HMFS_STARTED) << c.name;
      EXPECT_FALSE(filter->has_source()) << c.name;
      char buffer[64];
      ULONG n = 0;
      EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), E_FAIL)
          << c.name << (browser ? " (filtering)" : " (bypassed)");
      EXPECT_EQ(filter->Continue(nullptr), E_FAIL) << c.name;
      EXPECT_EQ(filter->Terminate(0), E_FAIL) << c.name;
      EXPECT_EQ(filter->ReportResult(S_OK, 0, nullptr), E_FAIL) << c.name;
    }
  }
  EXPECT_EQ(source_->reads, 0);
}

TEST_F(MimeFilterTest, ReadsOfHundredBytesServeAPageOf250In100_100_50) {
  std::string page = "<html><body><p>";
  page += std::string(250 - page.size() - std::string("</p></body></html>").size(), 'x');
  page += "</p></body></html>";
  ASSERT_EQ(page.size(), 250u);
  auto filter = NewFilter();
  source_->Feed(page);
  source_->Finish();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  struct Step {
    HRESULT hr;
    ULONG count;
  };
  const Step expected[] = {{S_OK, 100}, {S_OK, 100}, {S_OK, 50}, {S_FALSE, 0}};
  std::string out;
  for (const Step& step : expected) {
    char buffer[100];
    ULONG n = 777;
    EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), step.hr);
    EXPECT_EQ(n, step.count);
    if (step.hr == S_OK) out.append(buffer, n);
  }
  EXPECT_EQ(out, page);
  EXPECT_EQ(filter->state(), HMFS_DONE);
}

TEST_F(MimeFilterTest, PartOfThePageGivesPendingAndTheEditWaitsForTheEnd) {
  auto filter = NewFilter();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  const std::string page = kAdPage;
  const size_t half = page.size() / 2;
  char buffer[4096];
  ULONG n = 0;

  // Nothing yet.
  EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), E_PENDING);
  EXPECT_EQ(filter->state(), HMFS_STARTED);
  // The first half.
  source_->Feed(page.substr(0, half));
  EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), E_PENDING);
  EXPECT_EQ(filter->state(), HMFS_READING);
  EXPECT_EQ(filter->ReadParsedData(buffer, sizeof buffer, &n), E_PENDING);
  // The rest, then the end.
  source_->Feed(page.substr(half));
  EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), E_PENDING);
  source_->Finish();
  HRESULT last;
  std::string out = ReadFilter(filter.Get(), 4096, &last);
  EXPECT_EQ(last, S_FALSE);
  EXPECT_EQ(out, EditedWithStoredOptions(page, TestRules()));
}

// The rewritten page taken without a copy: pending while collecting, then
// the whole page at once, the same bytes Read gives; a skip moves on to the
// end. A page passed on past the limit is left to Read.
TEST_F(MimeFilterTest, PeekHandsOutTheWholeRewrittenPageInPlace) {
  auto filter = NewFilter();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  const std::string page = kAdPage;
  const char* data = nullptr;
  ULONG size = 99;
  source_->Feed(page.substr(0, page.size() / 2));
  EXPECT_EQ(filter->PeekData(&data, &size), E_PENDING);
  EXPECT_EQ(size, 0u);
  source_->Feed(page.substr(page.size() / 2));
  source_->Finish();
  ASSERT_EQ(filter->PeekData(&data, &size), S_OK);
  const std::string edited = EditedWithStoredOptions(page, TestRules());
  EXPECT_EQ(std::string(data, size), edited);
  EXPECT_NE(edited, page);
  // Peeking again without a skip gives the same bytes; a part skipped is gone.
  ASSERT_EQ(filter->PeekData(&data, &size), S_OK);
  EXPECT_EQ(size, edited.size());
  EXPECT_EQ(filter->SkipData(10), S_OK);
  ASSERT_EQ(filter->PeekData(&data, &size), S_OK);
  EXPECT_EQ(std::string(data, size), edited.substr(10));
  EXPECT_EQ(filter->SkipData(size + 1), E_INVALIDARG);
  EXPECT_EQ(filter->SkipData(size), S_OK);
  EXPECT_EQ(filter->PeekData(&data, &size), S_FALSE);
  EXPECT_EQ(filter->state(), HMFS_DONE);
  char byte;
  ULONG n = 0;
  EXPECT_EQ(filter->Read(&byte, 1, &n), S_FALSE);
}

TEST_F(MimeFilterTest, PeekLeavesAPagePassedOnPastTheLimitToRead) {
  // Past the page limit with more to come: passed on unedited.
  auto filter = NewFilter();
  ComPtr<IInternetBindInfo> bind_info;
  ASSERT_EQ((new LimitingBindInfo(100))
                ->QueryInterface(IID_IInternetBindInfo, bind_info.OutVoid()),
            S_OK);
  HRESULT started = StartFilter(filter.Get(), source_.Get(), sink_.Get(), PI_FILTER_MODE,
                                bind_info.Get());
  ASSERT_EQ(started, S_OK);
  const std::string page = kAdPage;
  ASSERT_GT(page.size(), 200u);
  source_->Feed(page.substr(0, 200));
  const char* data = nullptr;
  ULONG size = 0;
  EXPECT_EQ(filter->PeekData(&data, &size), E_NOTIMPL);
  EXPECT_TRUE(filter->passed_on());
  source_->Feed(page.substr(200));
  source_->Finish();
  HRESULT last;
  EXPECT_EQ(ReadFilter(filter.Get(), 4096, &last), page);
  EXPECT_EQ(last, S_FALSE);
}

TEST_F(MimeFilterTest, ASourceFailureIsReturnedAndALaterReadGoesOn) {
  auto filter = NewFilter();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  const std::string page = kAdPage;
  source_->Feed(page.substr(0, 40));
  char buffer[512];
  ULONG n = 0;
  EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), E_PENDING);
  for (HRESULT failure : {INET_E_DOWNLOAD_FAILURE, INET_E_DATA_NOT_AVAILABLE, E_FAIL}) {
    source_->FailNext(failure);
    EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), failure);
    EXPECT_EQ(filter->state(), HMFS_READING);
  }
  source_->Feed(page.substr(40));
  source_->Finish();
  HRESULT last;
  EXPECT_EQ(ReadFilter(filter.Get(), 512, &last),
            EditedWithStoredOptions(page, TestRules()));
  EXPECT_EQ(last, S_FALSE);
}

TEST_F(MimeFilterTest, Utf16PagesAreServedUnfiltered) {
  std::string utf16_page = "\xFF\xFE";
  for (const char* p = kAdPage; *p; ++p) {
    utf16_page += *p;
    utf16_page += '\0';
  }
  struct Utf16Case {
    const char* name;
    std::string page;
    bool utf16;
  };
  const Utf16Case cases[] = {
      {"two bytes FF FE are not enough", std::string("\xFF\xFE"), false},
      {"FF FE 41", std::string("\xFF\xFE\x41"), true},
      {"UTF-16 ad page", utf16_page, true},
      {"FF FE before 8-bit ad markup", "\xFF\xFE" + std::string(kAdPage), true},
  };
  for (const Utf16Case& c : cases) {
    source_ = ComPtr<FakeSource>(new FakeSource());
    ComPtr<CHTMLMimeFilterPP> filter;
    EXPECT_EQ(FilterWhole(c.page, 4096, &filter), c.page) << c.name;
    EXPECT_EQ(filter->is_utf16(), c.utf16) << c.name;
  }
}

TEST_F(MimeFilterTest, WithoutLoadedRulesThePageIsServedAsDownloaded) {
  RulesHolder unloaded;
  unloaded.ParseRule("adserver.example");
  SetHtmlFilterRules(&unloaded);
  EXPECT_EQ(FilterWhole(kAdPage), kAdPage);
  SetHtmlFilterRules(TestRules());
}

// With lists loaded, the page's address reaches the lists: a third-party
// script is dropped on a news page, kept on its own site, and the hiding
// style element follows <head>.
TEST_F(MimeFilterTest, LoadedListsJudgeAddressesForThePageAndAddTheHidingSheet) {
  std::vector<lists::FilterList> parsed;
  parsed.push_back(lists::ParseFilterList("||widgets.example^$third-party\n##[data-ad]\n",
                                          "page.txt"));
  lists::CurrentListSet::Process().Publish(lists::BuildListSet(std::move(parsed), "1"));
  const std::string page =
      "<html><head><title>t</title></head><body>"
      "<script src=\"https://cdn.widgets.example/w.js\"></script>x</body></html>";
  const std::string sheet = "<style>[data-ad]{display:none!important}</style>";
  std::string on_news = FilterWhole(page);
  SetThreadUrl(L"https://www.widgets.example/");
  source_ = ComPtr<FakeSource>(new FakeSource());
  std::string on_own_site = FilterWhole(page);
  lists::CurrentListSet::Process().Publish(nullptr);
  EXPECT_EQ(on_news,
            "<html><head>" + sheet + "<title>t</title></head><body>x</body></html>");
  std::string expected_own = page;
  expected_own.insert(strlen("<html><head>"), sheet);
  EXPECT_EQ(on_own_site, expected_own);
  // Without lists, as before.
  source_ = ComPtr<FakeSource>(new FakeSource());
  EXPECT_EQ(FilterWhole(page), EditedWithStoredOptions(page, TestRules()));
}

TEST_F(MimeFilterTest, ACheckerInTheRulesPlaceIsAskedEveryQuestion) {
  class Counting : public AnyHtmlEditorRuleChecker {
   public:
    bool CheckElement(int kind, const char* text, int encoding) override {
      ++questions;
      return TestRules()->CheckElement(kind, text, encoding);
    }
    bool CheckScript(const char* text, int encoding) override {
      ++questions;
      return TestRules()->CheckScript(text, encoding);
    }
    int questions = 0;
  } counting;
  SetHtmlFilterChecker(&counting);
  EXPECT_EQ(FilterWhole(kAdPage), EditedWithStoredOptions(kAdPage, TestRules()));
  SetHtmlFilterChecker(nullptr);
  EXPECT_GT(counting.questions, 2);
}

TEST_F(MimeFilterTest, ASourceClaimingMoreThanItsPieceIsHeldToThePiece) {
  auto filter = NewFilter();
  source_->Feed("<p>short</p>");
  source_->OverclaimBy(1 << 20);
  source_->Finish();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  HRESULT last;
  std::string out = ReadFilter(filter.Get(), 65536, &last);
  EXPECT_EQ(last, S_FALSE);
  EXPECT_LE(out.size(), 8192u);
  EXPECT_EQ(out.substr(0, 12), "<p>short</p>");
}

// A page that is all there is read in whole chunks straight into the input
// buffer (each read asks for as much as was collected), not 8 KiB at a time,
// with or without its length announced first; the page comes out edited as
// a whole, byte for byte as the editor makes it.
TEST_F(MimeFilterTest, APageAvailableAtOnceIsReadInFewLargeReads) {
  std::string page = "<html><body>";
  while (page.size() < (1u << 20)) page += "<p>story text, a paragraph long</p>\n";
  page += std::string(kAdPage) + "</body></html>";
  const std::string expected = EditedWithStoredOptions(page, TestRules());
  for (bool announce : {false, true}) {
    source_ = ComPtr<FakeSource>(new FakeSource());
    auto filter = NewFilter();
    source_->Feed(page);
    source_->Finish();
    ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
    if (announce) {
      filter->ReportData(BSCF_FIRSTDATANOTIFICATION, 0, static_cast<ULONG>(page.size()));
    }
    HRESULT last = S_OK;
    EXPECT_EQ(ReadFilter(filter.Get(), 65536, &last), expected) << announce;
    EXPECT_EQ(last, S_FALSE);
    // 1 MiB in 8 KiB pieces would take 129 reads.
    EXPECT_LE(source_->reads, 32) << announce;
  }
}

TEST_F(MimeFilterTest, AfterAbortReadsEndAndDataNotificationsStop) {
  auto filter = NewFilter();
  source_->Feed(kAdPage);
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  EXPECT_EQ(filter->ReportData(BSCF_FIRSTDATANOTIFICATION, 10, 100), S_OK);
  EXPECT_EQ(filter->Abort(E_ABORT, 0), S_OK);
  EXPECT_TRUE(filter->aborted());
  EXPECT_EQ(filter->state(), HMFS_ABORTED);
  EXPECT_EQ(source_->calls, std::vector<std::string>{"abort"});
  char buffer[64];
  ULONG n = 0;
  EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), S_FALSE);
  EXPECT_EQ(filter->ReportData(BSCF_LASTDATANOTIFICATION, 100, 100), E_FAIL);
  EXPECT_EQ(filter->ReportResult(S_OK, 0, L"done"), S_OK);
  EXPECT_EQ(sink_->notes, (std::vector<std::string>{"data 1 10 100", "result 0 0 done"}));
}

TEST_F(MimeFilterTest, SourceNotificationsReachTheBrowserUnchanged) {
  auto filter = NewFilter();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  PROTOCOLDATA data;
  struct NoteCase {
    HRESULT result;
    const char* note;
  };
  const NoteCase cases[] = {
      {filter->Switch(&data), "switch"},
      {filter->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/html"),
       "progress 13 text/html"},
      {filter->ReportData(BSCF_FIRSTDATANOTIFICATION | BSCF_AVAILABLEDATASIZEUNKNOWN, 5,
                          0),
       "data 17 5 0"},
      {filter->ReportData(BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE, 90, 90),
       "data 12 90 90"},
      {filter->ReportResult(INET_E_DOWNLOAD_FAILURE, 7, L"lost"),
       "result 2148270088 7 lost"},
  };
  ASSERT_EQ(sink_->notes.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].result, S_OK) << cases[i].note;
    EXPECT_EQ(sink_->notes[i], cases[i].note);
  }
}

TEST_F(MimeFilterTest, RootCallsGoToTheSourceAndLocksStayHere) {
  auto filter = NewFilter();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  source_->answer = S_FALSE;  // so that the answers are seen to be the source's
  PROTOCOLDATA data;
  EXPECT_EQ(filter->Continue(&data), S_FALSE);
  EXPECT_EQ(filter->Suspend(), S_FALSE);
  EXPECT_EQ(filter->Resume(), S_FALSE);
  EXPECT_EQ(filter->Terminate(0), S_FALSE);
  EXPECT_EQ(filter->LockRequest(0), S_OK);
  EXPECT_EQ(filter->UnlockRequest(), S_OK);
  LARGE_INTEGER move{};
  EXPECT_EQ(filter->Seek(move, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(source_->calls,
            (std::vector<std::string>{"continue", "suspend", "resume", "terminate"}));
}

TEST_F(MimeFilterTest, StepsOutOfTheirStateAreRefused) {
  auto filter = NewFilter();
  char buffer[16];
  ULONG n = 0;
  EXPECT_EQ(filter->state(), HMFS_IDLE);
  EXPECT_EQ(filter->Read(buffer, sizeof buffer, &n), E_FAIL);
  EXPECT_EQ(filter->ReadAllData(), E_FAIL);
  EXPECT_EQ(filter->ParseData(), E_FAIL);
  EXPECT_EQ(filter->ReadParsedData(buffer, sizeof buffer, &n), E_PENDING);
  EXPECT_EQ(filter->FilterPage(), E_FAIL);
  // A second Start begins again from an empty page.
  source_->Feed("first");
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  auto second = ComPtr<FakeSource>(new FakeSource());
  second->Feed("<b>second</b>");
  second->Finish();
  ASSERT_EQ(StartFilter(filter.Get(), second.Get(), sink_.Get()), S_OK);
  HRESULT last;
  EXPECT_EQ(ReadFilter(filter.Get(), 64, &last), "<b>second</b>");
  EXPECT_EQ(source_->reads, 0);
}

TEST_F(MimeFilterTest, AnswersItsInterfaces) {
  auto filter = NewFilter();
  for (const IID* iid : {&IID_IHTMLMimeFilterPP, &IID_IDispatch, &IID_IInternetProtocol,
                         &IID_IInternetProtocolRoot, &IID_IInternetProtocolSink}) {
    void* object = nullptr;
    EXPECT_EQ(filter->QueryInterface(*iid, &object), S_OK) << iid->Text();
    if (object) static_cast<IUnknown*>(object)->Release();
  }
  void* object = nullptr;
  EXPECT_EQ(filter->QueryInterface(IID_INSHandler, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
}

TEST_F(MimeFilterTest, StartWritesTheTypeAndThePageAddressToTheLog) {
  static int serial = 0;
  const std::wstring url = L"http://logged.example/" + std::to_wstring(++serial);
  SetThreadUrl(url);
  auto filter = NewFilter();
  ASSERT_EQ(StartFilter(filter.Get(), source_.Get(), sink_.Get()), S_OK);
  const std::string n = std::to_string(filter->instance_number());
  EXPECT_EQ(CountLogLines("L30 " + n + " IIPR::Start - url=text/html, sti=2"), 1)
      << LogText();
  EXPECT_EQ(CountLogLines("L30 " + n + " IIPR::Start - the url of the page is: " +
                          platform::ToNarrow(url)),
            1)
      << LogText();
}

TEST_F(MimeFilterTest, ConcurrentConstructionGivesEveryObjectItsOwnNumber) {
  std::vector<std::vector<int32_t>> numbers(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < numbers.size(); ++t) {
    threads.emplace_back([&numbers, t] {
      for (int i = 0; i < 50; ++i) numbers[t].push_back(NewFilter()->instance_number());
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<int32_t> all;
  for (const auto& list : numbers) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 200u);
}

class HtmlFilterRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearInternetSessionForTesting();
    SetInternetSessionAvailableForTesting(true);
    while (HtmlFilterRegistrationCount() > 0) UnregisterHtmlFilter();
  }
  void TearDown() override {
    while (HtmlFilterRegistrationCount() > 0) UnregisterHtmlFilter();
    SetInternetSessionAvailableForTesting(true);
    ClearInternetSessionForTesting();
  }
};

TEST_F(HtmlFilterRegistrationTest, TwoWindowsRegisterOnceAndTheSecondCloseUnregisters) {
  struct Step {
    HRESULT (*call)();
    size_t registered;
    int count;
  };
  const Step steps[] = {
      {RegisterHtmlFilter, 1, 1},   {RegisterHtmlFilter, 1, 2},
      {UnregisterHtmlFilter, 1, 1}, {UnregisterHtmlFilter, 0, 0},
      {RegisterHtmlFilter, 1, 1},
  };
  int i = 0;
  for (const Step& s : steps) {
    EXPECT_EQ(s.call(), S_OK) << "step " << i;
    EXPECT_EQ(CountMimeFilterRegistrations(L"text/html"), s.registered) << "step " << i;
    EXPECT_EQ(HtmlFilterRegistrationCount(), s.count) << "step " << i;
    ++i;
  }
}

TEST_F(HtmlFilterRegistrationTest, WithoutASessionTheFailureIsReturnedAndNothingCounted) {
  SetInternetSessionAvailableForTesting(false);
  EXPECT_EQ(RegisterHtmlFilter(), INET_E_NO_SESSION);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 0);
  SetInternetSessionAvailableForTesting(true);
  EXPECT_EQ(RegisterHtmlFilter(), S_OK);
  EXPECT_EQ(CountMimeFilterRegistrations(L"text/html"), 1u);
}

TEST_F(HtmlFilterRegistrationTest, RegistrationConcurrentWindowsOpenAndClose) {
  RegisterHtmlFilter();
  std::vector<std::thread> windows;
  for (int t = 0; t < 4; ++t) {
    windows.emplace_back([] {
      for (int i = 0; i < 100; ++i) {
        RegisterHtmlFilter();
        UnregisterHtmlFilter();
      }
    });
  }
  for (std::thread& t : windows) t.join();
  EXPECT_EQ(HtmlFilterRegistrationCount(), 1);
  EXPECT_EQ(CountMimeFilterRegistrations(L"text/html"), 1u);
}

}  // namespace
