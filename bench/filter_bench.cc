// filter_bench: the memory work of a page through the MIME filter.
//
// 1. CEasyBuffer growth: appends a page of 1 MB and of 32 MiB in 16 KiB
//    pieces (the size of libcurl's reads) and prints the time and the number
//    of reallocations.
// 2. The whole filter: a source that hands out the page in 16 KiB pieces, as
//    the HTTP protocol does, the filter collecting, editing (a checker that
//    blocks nothing, so that the rule engine does not count) and serving the
//    page in 64 KiB reads, with and without the page's length announced first
//    (Content-Length). Prints pages per second and MB/s.
//
// Runs under its own temporary CVIE_ROOT (never the user's real folders).

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "ie/host_process.h"
#include "ie/mime_filter.h"
#include "ie/ns_handler.h"
#include "platform/com_registry.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "rules/rules_holder.h"

using namespace cvie;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

constexpr size_t kPiece = 16384;

// A page of `size` bytes: paragraphs, links and images, as real pages have.
std::string MakePage(size_t size) {
  std::string page = "<html><head><title>bench</title></head><body>\n";
  int i = 0;
  while (page.size() < size) {
    page += "<p class=\"story\">Paragraph " + std::to_string(i) +
            " with some text that goes on for a while, as text does.</p>"
            "<a href=\"/article/" +
            std::to_string(i) + "\"><img src=\"/img/" + std::to_string(i) +
            ".jpg\" width=\"300\" height=\"200\"></a>\n";
    ++i;
  }
  page += "</body></html>\n";
  return page;
}

// Hands out a page in pieces of at most 16 KiB, then S_FALSE.
class PieceSource : public cvie::ComObject<cvie::IInternetProtocol> {
 public:
  explicit PieceSource(const std::string* page) : ComObject(false), page_(page) {}
  HRESULT Start(LPCWSTR, cvie::IInternetProtocolSink*, cvie::IInternetBindInfo*, DWORD,
                HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT Continue(cvie::PROTOCOLDATA*) override { return S_OK; }
  HRESULT Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT Terminate(DWORD) override { return S_OK; }
  HRESULT Suspend() override { return S_OK; }
  HRESULT Resume() override { return S_OK; }
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    if (read) *read = 0;
    if (position_ >= page_->size()) return S_FALSE;
    size_t n = std::min({static_cast<size_t>(count), kPiece, page_->size() - position_});
    memcpy(buffer, page_->data() + position_, n);
    position_ += n;
    if (read) *read = static_cast<ULONG>(n);
    return S_OK;
  }
  HRESULT Seek(cvie::LARGE_INTEGER, DWORD, cvie::ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT LockRequest(DWORD) override { return S_OK; }
  HRESULT UnlockRequest() override { return S_OK; }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == cvie::IID_IInternetProtocol)
      return static_cast<cvie::IInternetProtocol*>(this);
    if (iid == cvie::IID_IInternetProtocolRoot)
      return static_cast<cvie::IInternetProtocolRoot*>(this);
    return nullptr;
  }

 private:
  const std::string* page_;
  size_t position_ = 0;
};

class AllowAll : public cvie::AnyHtmlEditorRuleChecker {
 public:
  bool CheckElement(int, const char*, int) override { return false; }
  bool CheckScript(const char*, int) override { return false; }
};

void BenchGrowth(size_t size) {
  std::vector<char> piece(kPiece, 'x');
  const int rounds = size > (8u << 20) ? 3 : 30;
  double best = 1e30;
  int moves = 0;
  for (int r = 0; r < rounds; ++r) {
    cvie::CEasyBuffer* buffer = new cvie::CEasyBuffer();
    moves = 0;
    ULONG capacity = 0;
    Clock::time_point start = Clock::now();
    for (size_t done = 0; done < size; done += kPiece) {
      buffer->Append(piece.data(), static_cast<ULONG>(std::min(kPiece, size - done)));
      if (buffer->GetCapacity() != capacity) {
        ++moves;
        capacity = buffer->GetCapacity();
      }
    }
    best = std::min(best, Seconds(Clock::now() - start));
    buffer->Release();
  }
  printf("CEasyBuffer, %6.2f MB in 16 KiB appends: %8.3f ms, %d reallocations\n",
         size / 1e6, best * 1e3, moves);
}

// One page through a new filter object; returns the bytes served.
size_t FilterOnce(const std::string& page, bool announce_length) {
  cvie::ComPtr<cvie::CHTMLMimeFilterPP> filter(new cvie::CHTMLMimeFilterPP());
  cvie::ComPtr<PieceSource> source(new PieceSource(&page));
  cvie::PROTOCOLFILTERDATA data;
  data.pProtocol = source.Get();
  data.pProtocolSink = nullptr;
  if (filter->Start(L"text/html", nullptr, nullptr, cvie::PI_FILTER_MODE,
                    reinterpret_cast<HANDLE_PTR>(&data)) != S_OK) {
    return 0;
  }
  if (announce_length) {
    filter->ReportData(cvie::BSCF_FIRSTDATANOTIFICATION, 0,
                       static_cast<ULONG>(page.size()));
  }
  static std::vector<char> out(65536);
  size_t served = 0;
  HRESULT hr;
  do {
    ULONG n = 0;
    hr = filter->Read(out.data(), static_cast<ULONG>(out.size()), &n);
    if (hr == S_OK) served += n;
  } while (hr == S_OK);
  filter->Terminate(0);
  return served;
}

void BenchFilter(size_t size, bool announce_length) {
  const std::string page = MakePage(size);
  const int rounds = size > (8u << 20) ? 3 : 40;
  double best = 1e30;
  size_t served = 0;
  for (int r = 0; r < rounds; ++r) {
    Clock::time_point start = Clock::now();
    served = FilterOnce(page, announce_length);
    best = std::min(best, Seconds(Clock::now() - start));
  }
  printf("MIME filter, %6.2f MB page%s: %8.3f ms, %7.1f pages/s, %7.1f MB/s%s\n",
         page.size() / 1e6, announce_length ? ", length announced" : "                 ",
         best * 1e3, 1 / best, page.size() / 1e6 / best,
         served == page.size() ? "" : " (PAGE CHANGED)");
}

}  // namespace

int main() {
  std::string root =
      (std::filesystem::temp_directory_path() / "cvie-filter-bench-XXXXXX").string();
  if (!mkdtemp(root.data())) return 1;
  setenv("CVIE_ROOT", root.c_str(), 1);
  cvie::platform::CreateDataFolders();
  cvie::platform::DeclareBrowserProcess(true);
  cvie::ResetBrowserProcessForTesting();
  cvie::SetThreadUrl(L"http://bench.example/page.html");

  cvie::RulesHolder rules;
  rules.ParseRule("/never-matches-anything/");
  rules.set_loaded(true);
  AllowAll allow;
  cvie::SetHtmlFilterRules(&rules);
  cvie::SetHtmlFilterChecker(&allow);

  BenchGrowth(1u << 20);
  BenchGrowth(32u << 20);
  for (size_t size : {size_t{1} << 20, size_t{32} << 20}) {
    BenchFilter(size, false);
    BenchFilter(size, true);
  }

  cvie::SetHtmlFilterChecker(nullptr);
  cvie::SetHtmlFilterRules(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return 0;
}
