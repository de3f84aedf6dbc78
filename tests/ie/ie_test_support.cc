#include "ie/ie_test_support.h"

#include <string.h>

#include <filesystem>
#include <sstream>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/html_editor.h"
#include "common/test_support.h"
#include "config/options.h"
#include "ie/host_process.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "whitelist/whitelist.h"

namespace cvie::testing {

const char kTestRuleText[] =
    "! rules of the browser-integration tests\n"
    "adserver.example\n"
    "/ads/\n";

const char kAdPage[] =
    "<html><head><title>News</title></head><body>\n"
    "<p>Top story of the day</p>\n"
    "<script src=\"http://adserver.example/show.js\"></script>\n"
    "<a href=\"http://adserver.example/click\"><img src=\"http://cdn.example/ads/"
    "banner.gif\" width=\"468\" height=\"60\"></a>\n"
    "<p>More text <img src=\"http://cdn.example/photo.jpg\" width=\"300\" "
    "height=\"200\"></p>\n"
    "</body></html>\n";

const char kAdScriptUrl[] = "http://adserver.example/show.js";

RulesHolder* TestRules() {
  static RulesHolder* const rules = [] {
    RulesHolder* holder = new RulesHolder();
    std::istringstream lines(kTestRuleText);
    std::string line;
    while (std::getline(lines, line)) {
      if (holder->ParseRule(line) < 0) break;
    }
    holder->set_loaded(true);
    return holder;
  }();
  return rules;
}

std::string EditedWithStoredOptions(const std::string& page, RulesHolder* rules) {
  std::string input = page;
  input.append(2, '\0');
  CEasyBuffer output;
  const EditorOptions options = CVCfg::Instance().GetEditorOptions();
  AnyHtmlEditor editor(&output, &options, rules);
  editor.Edit(input.data(), page.size(), 0);
  return std::string(output.GetData() ? output.GetData() : "", output.GetSize());
}

void SetOption(int index, int value) {
  ParamInRegistry* param = CVCfg::Instance().OptionParam(index);
  ASSERT_NE(param, nullptr);
  param->SetInt(value);
  param->Save();
  CVCfg::Instance().Refresh(true);
}

void ResetOptions() {
  // The options make the logger, which opens its file at once: its folder
  // first.
  platform::CreateDataFolders();
  for (int i = 0; i < OPTION_COUNT; ++i) {
    if (i == OPTION_WHITE_LIST_TS) continue;
    SetOption(i, kOptionDefinitions[i].default_value);
  }
}

void ResetWhitelist(const std::vector<std::wstring>& entries) {
  platform::CreateDataFolders();
  WriteFile(std::filesystem::path(platform::ToNarrow(platform::WhitelistFilePath())), "");
  Whitelist& list = Whitelist::Instance();
  list.Load();
  for (const std::wstring& entry : entries) list.Add(entry.c_str());
  ASSERT_EQ(list.Save(), 0);
}

std::string LogText() {
  std::string text;
  ReadFile(std::filesystem::path(platform::ToNarrow(platform::LogFilePath())), &text);
  return text;
}

int CountLogLines(const std::string& fragment) {
  std::istringstream lines(LogText());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.find(fragment) != std::string::npos) ++count;
  }
  return count;
}

// --- FakeSource ------------------------------------------------------------------

HRESULT FakeSource::Read(void* buffer, ULONG count, ULONG* read) {
  ++reads;
  if (read) *read = 0;
  if (FAILED(fail_next_)) {
    HRESULT hr = fail_next_;
    fail_next_ = S_OK;
    return hr;
  }
  if (position_ < data_.size()) {
    size_t n = std::min<size_t>(count, data_.size() - position_);
    memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    if (read) *read = static_cast<ULONG>(n) + overclaim_;
    return S_OK;
  }
  return finished_ ? S_FALSE : E_PENDING;
}

void* FakeSource::FindInterface(REFIID iid) {
  if (iid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
  if (iid == IID_IInternetProtocolRoot) return static_cast<IInternetProtocolRoot*>(this);
  return nullptr;
}

// --- RecordingSink ---------------------------------------------------------------

HRESULT RecordingSink::Switch(PROTOCOLDATA*) {
  notes.push_back("switch");
  return S_OK;
}

HRESULT RecordingSink::ReportProgress(ULONG status, LPCWSTR text) {
  notes.push_back("progress " + std::to_string(status) + " " +
                  (text ? platform::ToNarrow(text) : std::string()));
  return S_OK;
}

HRESULT RecordingSink::ReportData(DWORD flags, ULONG progress, ULONG maximum) {
  notes.push_back("data " + std::to_string(flags) + " " + std::to_string(progress) + " " +
                  std::to_string(maximum));
  return S_OK;
}

HRESULT RecordingSink::ReportResult(HRESULT result, DWORD error, LPCWSTR text) {
  notes.push_back("result " + std::to_string(static_cast<unsigned>(result)) + " " +
                  std::to_string(error) + " " +
                  (text ? platform::ToNarrow(text) : std::string()));
  return S_OK;
}

void* RecordingSink::FindInterface(REFIID iid) {
  if (iid == IID_IInternetProtocolSink) return static_cast<IInternetProtocolSink*>(this);
  return nullptr;
}

// --- Filters -----------------------------------------------------------------------

ComPtr<CHTMLMimeFilterPP> NewFilter() {
  return ComPtr<CHTMLMimeFilterPP>(new CHTMLMimeFilterPP());
}

HRESULT LimitingBindInfo::GetBindInfo(DWORD* bind_flags, BINDINFO* info) {
  if (!bind_flags || !info) return E_INVALIDARG;
  *bind_flags = BINDF_ASYNCHRONOUS | BINDF_PULLDATA;
  return S_OK;
}

HRESULT LimitingBindInfo::GetBindString(ULONG, LPWSTR*, ULONG, ULONG* fetched) {
  if (fetched) *fetched = 0;
  return INET_E_USE_DEFAULT_SETTING;
}

HRESULT LimitingBindInfo::GetPageLimit(uint64_t* bytes) {
  if (!bytes) return E_INVALIDARG;
  *bytes = page_limit_;
  return S_OK;
}

void* LimitingBindInfo::FindInterface(REFIID iid) {
  if (iid == IID_IInternetBindInfo) return static_cast<IInternetBindInfo*>(this);
  if (iid == IID_IPageBindOptions) return static_cast<IPageBindOptions*>(this);
  return nullptr;
}

HRESULT StartFilter(CHTMLMimeFilterPP* filter, IInternetProtocol* source,
                    IInternetProtocolSink* sink, DWORD flags,
                    IInternetBindInfo* bind_info) {
  PROTOCOLFILTERDATA data;
  data.pProtocol = source;
  data.pProtocolSink = sink;
  return filter->Start(L"text/html", sink, bind_info, flags,
                       reinterpret_cast<HANDLE_PTR>(&data));
}

std::string ReadFilter(CHTMLMimeFilterPP* filter, ULONG count, HRESULT* last) {
  std::string out;
  std::vector<char> buffer(count);
  HRESULT hr;
  do {
    ULONG n = 0;
    hr = filter->Read(buffer.data(), count, &n);
    if (hr == S_OK) out.append(buffer.data(), n);
  } while (hr == S_OK);
  if (last) *last = hr;
  return out;
}

// --- Fixture ---------------------------------------------------------------------

void BrowserProcessTest::DeclareBrowser(bool is_browser) {
  platform::DeclareBrowserProcess(is_browser);
  ResetBrowserProcessForTesting();
}

void BrowserProcessTest::SetUp() {
  // The log file is opened when the logger is made: its folder first.
  platform::CreateDataFolders();
  DeclareBrowser(true);
  ResetOptions();
  ResetWhitelist();
  SetHtmlFilterRules(TestRules());
  SetHtmlFilterChecker(nullptr);
}

void BrowserProcessTest::TearDown() {
  SetHtmlFilterRules(nullptr);
  SetHtmlFilterChecker(nullptr);
  DeclareBrowser(false);
}

}  // namespace cvie::testing
