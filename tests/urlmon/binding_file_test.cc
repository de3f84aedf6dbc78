// Binding file:// addresses: head, body, MIME filters by extension, pieces,
// failures.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "common/test_support.h"
#include "platform/urlmon_binding.h"
#include "platform/urlmon_testing.h"
#include "urlmon/urlmon_fakes.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

class FileBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearInternetSessionForTesting();
    Fakes().Clear();
  }
  void TearDown() override { ClearInternetSessionForTesting(); }

  std::wstring Write(const std::string& name, const std::string& contents) {
    std::filesystem::path path = root_.path() / "pages" / name;
    WriteFile(path, contents);
    std::string url = "file://" + path.string();
    return std::wstring(url.begin(), url.end());
  }

  ScopedCvieRoot root_;
};

std::unique_ptr<Binding> BindUrl(const std::wstring& url, size_t piece_size = 0,
                                 const std::string& method = "GET") {
  BindRequest request;
  request.url = url;
  request.method = method;
  request.piece_size = piece_size;
  return Binding::Bind(request);
}

}  // namespace

TEST_F(FileBindingTest, ServesFilesWithTheirTypeAndFiltersHtml) {
  ScopedRegistration filter(CollectingFilterFactory(), L"text/html", true);
  struct Case {
    const char* name;
    std::string contents;
    const char* mime;
    bool filtered;
  };
  const Case cases[] = {
      {"page.html", "<html><body>ad here</body></html>", "text/html", true},
      {"old.HTM", "<p>upper-case extension</p>", "text/html", true},
      {"notes.txt", "plain <b>text</b>", "text/plain", false},
      {"logo.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10), "image/png", false},
      {"empty.html", "", "text/html", true},
      {"no-extension", "bytes", "application/octet-stream", false},
      {"dir.d/file", "dot in a folder name only", "application/octet-stream", false},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Binding> binding = BindUrl(Write(c.name, c.contents));
    ASSERT_EQ(binding->result(), S_OK) << c.name << ": " << binding->error_text();
    EXPECT_EQ(binding->status_code(), 200) << c.name;
    EXPECT_EQ(binding->reason(), "OK") << c.name;
    EXPECT_EQ(binding->mime_type(), c.mime) << c.name;
    EXPECT_EQ(binding->Header("content-type"), c.mime) << c.name;
    EXPECT_EQ(binding->Header("Content-Length"), std::to_string(c.contents.size()))
        << c.name;
    EXPECT_EQ(binding->filtered(), c.filtered) << c.name;
    EXPECT_FALSE(binding->served_by_namespace_handler()) << c.name;
    std::string body;
    EXPECT_EQ(binding->ReadAll(&body), S_OK) << c.name;
    EXPECT_EQ(body, c.filtered ? FilteredForm(c.contents) : c.contents) << c.name;
  }
  std::lock_guard<std::mutex> lock(Fakes().mutex);
  EXPECT_EQ(Fakes().filters_started, 3);
  EXPECT_EQ(Fakes().filter_type, L"text/html");
  EXPECT_TRUE(Fakes().filter_flags & PI_FILTER_MODE);
}

TEST_F(FileBindingTest, OnePiecesUnfilteredReachTheReaderByteByByte) {
  const std::string contents = "0123456789abcdefghij";
  std::unique_ptr<Binding> binding = BindUrl(Write("bytes.txt", contents), 1);
  ASSERT_EQ(binding->result(), S_OK) << binding->error_text();
  ASSERT_FALSE(binding->filtered());
  std::string body;
  int pending = 0;
  char buffer[64];
  for (int guard = 0; guard < 1000; ++guard) {
    ULONG n = 0;
    HRESULT hr = binding->Read(buffer, sizeof buffer, &n);
    if (hr == S_OK) {
      EXPECT_EQ(n, 1u) << "a piece is one byte";
      body.append(buffer, n);
    } else if (hr == E_PENDING) {
      ++pending;
      EXPECT_EQ(n, 0u);
      ASSERT_EQ(binding->Wait(), S_OK);
    } else {
      EXPECT_EQ(hr, S_FALSE);
      break;
    }
  }
  EXPECT_EQ(body, contents);
  EXPECT_GE(pending, static_cast<int>(contents.size()))
      << "every byte had to be waited for";
  EXPECT_GE(binding->data_notifications(), contents.size());
  EXPECT_EQ(binding->Wait(), S_FALSE) << "nothing more will come";
}

TEST_F(FileBindingTest, FilterSeesEveryPieceOnTheBindingThreadAndTheWholePage) {
  ScopedRegistration filter(CollectingFilterFactory(), L"text/html", true);
  const std::string page = "<html><img src=ad.gif></html>";
  std::unique_ptr<Binding> binding = BindUrl(Write("piecewise.html", page), 1);
  ASSERT_EQ(binding->result(), S_OK) << binding->error_text();
  ASSERT_TRUE(binding->filtered());
  std::string body;
  ASSERT_EQ(binding->ReadAll(&body), S_OK);
  EXPECT_EQ(body, FilteredForm(page));

  FakeLog& log = Fakes();
  std::lock_guard<std::mutex> lock(log.mutex);
  ASSERT_EQ(log.filter_inputs.size(), 1u);
  EXPECT_EQ(log.filter_inputs[0], page);
  EXPECT_GE(log.filter_pending_reads, static_cast<int>(page.size()))
      << "the source answered E_PENDING between pieces";
  EXPECT_EQ(log.filter_start_thread, std::this_thread::get_id());

  std::vector<FilterNote> data;
  for (const FilterNote& n : log.filter_notes) {
    EXPECT_EQ(n.thread, std::this_thread::get_id()) << n.kind;
    if (n.kind == "data") data.push_back(n);
  }
  ASSERT_GE(data.size(), page.size());
  EXPECT_TRUE(data.front().flags & BSCF_FIRSTDATANOTIFICATION);
  for (size_t i = 1; i + 1 < data.size(); ++i) {
    EXPECT_TRUE(data[i].flags & BSCF_INTERMEDIATEDATANOTIFICATION) << i;
    EXPECT_FALSE(data[i].flags & BSCF_LASTDATANOTIFICATION) << i;
  }
  EXPECT_TRUE(data.back().flags & BSCF_LASTDATANOTIFICATION);
  EXPECT_TRUE(data.back().flags & BSCF_DATAFULLYAVAILABLE);
  ASSERT_FALSE(log.filter_notes.empty());
  EXPECT_EQ(log.filter_notes.back().kind, "result");
  EXPECT_EQ(log.filter_notes.back().result, S_OK);
}

TEST_F(FileBindingTest, LargeFilesStreamInPieces) {
  std::string contents(300 * 1024, '\0');
  for (size_t i = 0; i < contents.size(); ++i)
    contents[i] = static_cast<char>(i * 7 + i / 251);
  std::unique_ptr<Binding> binding = BindUrl(Write("big.bin", contents));
  ASSERT_EQ(binding->result(), S_OK) << binding->error_text();
  // What is readable before the first wait for more is only a part.
  std::string first_burst;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ULONG n = 0;
    HRESULT hr = binding->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &n);
    first_burst.append(buffer.data(), n);
    if (hr == E_PENDING) {
      if (first_burst.empty()) {
        ASSERT_EQ(binding->Wait(), S_OK);
        continue;
      }
      break;
    }
    ASSERT_EQ(hr, S_OK);
  }
  EXPECT_GT(first_burst.size(), 0u);
  EXPECT_LT(first_burst.size(), contents.size());
  std::string rest;
  ASSERT_EQ(binding->ReadAll(&rest), S_OK);
  EXPECT_TRUE(first_burst + rest == contents);
}

TEST_F(FileBindingTest, HeadGivesTheHeadWithoutBody) {
  std::unique_ptr<Binding> binding =
      BindUrl(Write("head.html", "<p>12345</p>"), 0, "HEAD");
  ASSERT_EQ(binding->result(), S_OK) << binding->error_text();
  EXPECT_EQ(binding->Header("Content-Length"), "12");
  std::string body;
  EXPECT_EQ(binding->ReadAll(&body), S_OK);
  EXPECT_EQ(body, "");
}

TEST_F(FileBindingTest, FailuresAreReportedWithAReason) {
  std::filesystem::create_directories(root_.path() / "folder");
  std::string folder = "file://" + (root_.path() / "folder").string();
  std::wstring page = Write("there.html", "<p>x</p>");
  struct Case {
    const char* name;
    std::wstring url;
    std::string method;
    HRESULT expected;
  };
  const Case cases[] = {
      {"missing file", Write("x", "") + L"-missing.html", "GET",
       INET_E_RESOURCE_NOT_FOUND},
      {"a folder", std::wstring(folder.begin(), folder.end()), "GET",
       INET_E_RESOURCE_NOT_FOUND},
      {"posting to a file", page, "POST", INET_E_INVALID_REQUEST},
      {"scheme without protocol", L"gopher://old.example/", "GET",
       INET_E_UNKNOWN_PROTOCOL},
      {"not an address", L"just words", "GET", INET_E_INVALID_URL},
      {"file on another host", L"file://server/share/page.html", "GET",
       INET_E_INVALID_URL},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Binding> binding = BindUrl(c.url, 0, c.method);
    EXPECT_EQ(binding->result(), c.expected) << c.name;
    EXPECT_FALSE(binding->error_text().empty()) << c.name;
    EXPECT_EQ(binding->status_code(), 0) << c.name;
    char buffer[16];
    ULONG n = 7;
    EXPECT_EQ(binding->Read(buffer, sizeof buffer, &n), c.expected) << c.name;
    EXPECT_EQ(n, 0u) << c.name;
    EXPECT_EQ(binding->Wait(), c.expected) << c.name;
  }
}

TEST_F(FileBindingTest, FilterThatCannotBeMadeLeavesThePageUnfiltered) {
  ScopedRegistration broken(BrokenFactory(), L"text/html", true);
  std::unique_ptr<Binding> binding = BindUrl(Write("plain.html", "<p>as is</p>"));
  ASSERT_EQ(binding->result(), S_OK);
  EXPECT_FALSE(binding->filtered());
  std::string body;
  ASSERT_EQ(binding->ReadAll(&body), S_OK);
  EXPECT_EQ(body, "<p>as is</p>");
}

TEST_F(FileBindingTest, FilterThatCannotBeMadeIsPassedOver) {
  ScopedRegistration working(CollectingFilterFactory(), L"text/html", true);
  ScopedRegistration broken(BrokenFactory(), L"text/html", true);  // asked first
  std::unique_ptr<Binding> binding = BindUrl(Write("order.html", "<b>x</b>"));
  EXPECT_TRUE(binding->filtered());
  std::string body;
  ASSERT_EQ(binding->ReadAll(&body), S_OK);
  EXPECT_EQ(body, FilteredForm("<b>x</b>"));
}

TEST_F(FileBindingTest, ReaderOfAStalledFilterIsNotLeftWaiting) {
  ScopedRegistration stalling(StallingFilterFactory(), L"text/html", true);
  std::unique_ptr<Binding> binding =
      BindUrl(Write("stall.html", "<p>never served</p>"), 4);
  ASSERT_TRUE(binding->filtered());
  char buffer[64];
  ULONG n = 0;
  EXPECT_EQ(binding->ReadSome(buffer, sizeof buffer, &n), INET_E_DATA_NOT_AVAILABLE);
  EXPECT_EQ(n, 0u);
}

TEST_F(FileBindingTest, AbortStopsReading) {
  std::unique_ptr<Binding> binding =
      BindUrl(Write("abort.txt", std::string(1000, 'a')), 10);
  ASSERT_EQ(binding->result(), S_OK);
  ASSERT_EQ(binding->Wait(), S_OK);
  binding->Abort();
  char buffer[64];
  ULONG n = 0;
  EXPECT_EQ(binding->Read(buffer, sizeof buffer, &n), E_ABORT);
  EXPECT_EQ(binding->Wait(), E_ABORT);
  EXPECT_EQ(binding->result(), E_ABORT);
}
