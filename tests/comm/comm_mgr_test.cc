// The communication manager's downloads, its lock probe and its message boxes.

#include "comm/comm_mgr.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "comm/comm_fixture.h"
#include "comm/http_test_server.h"
#include "platform/sync.h"

namespace cvie {
namespace {

using cvie::testing::CommTest;
using cvie::testing::HttpRoute;
using cvie::testing::HttpTestServer;
using cvie::testing::ReadFile;
namespace fs = std::filesystem;

// Runs this thread's message loop (as the worker does) until `until` holds or
// `ms` have passed.
template <typename Predicate>
bool Pump(Predicate until, int ms) {
  platform::UINT_PTR timer = platform::SetThreadTimer(10);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  platform::MSG msg;
  while (!until() && std::chrono::steady_clock::now() < deadline &&
         platform::GetMessage(&msg)) {
    platform::DispatchMessage(&msg);
  }
  platform::KillThreadTimer(timer);
  return until();
}

std::string Contents(const fs::path& path) {
  std::string text;
  ReadFile(path, &text);
  return text;
}

class CommMgrTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    ASSERT_TRUE(server_.Start());
    manager_ = CommMgr();
    ASSERT_NE(manager_, nullptr);
  }
  std::wstring Url(const std::string& path) {
    return platform::ToWide(server_.base_url() + path);
  }
  std::wstring File(const std::string& name) {
    return platform::ToWide((cvie::testing::TestRoot() / name).string());
  }

  HttpTestServer server_;
  CCommMgr* manager_ = nullptr;
};

TEST_F(CommMgrTest, RefusesAddressesShorterThanSixCharacters) {
  struct Case {
    const wchar_t* url;
    int result;
    const char* logged;
  };
  const Case kCases[] = {
      {L"", -1, "L30 wrong URL\n"},
      {L"http:", -1, "L30 wrong URL\n"},
      // Six characters pass the length test but not the transfer's.
      {L"abcdef", 0, "L30 download failed\n"},
  };
  for (const auto& c : kCases) {
    uint64_t before = NewLog().size();
    EXPECT_EQ(manager_->DownloadFile(c.url, File("refused.bin")), c.result)
        << platform::ToNarrow(c.url);
    EXPECT_FALSE(manager_->IsDownloadDone()) << platform::ToNarrow(c.url);
    EXPECT_NE(NewLog().substr(before).find(c.logged), std::string::npos)
        << platform::ToNarrow(c.url);
  }
  manager_->AbortDownload();
}

TEST_F(CommMgrTest, DownloadsIntoTheDestinationFile) {
  std::string body;
  for (int i = 0; i < 20000; ++i) body += static_cast<char>(i * 7);
  HttpRoute route;
  route.body = body;
  route.piece_size = 3000;
  route.piece_delay_ms = 2;
  server_.SetRoute("/file.bin", route);
  cvie::testing::WriteFile(cvie::testing::TestRoot() / "out.bin",
                           "old contents to replace");

  ASSERT_EQ(manager_->DownloadFile(Url("/file.bin"), File("out.bin")), 0);
  ASSERT_TRUE(Pump([&] { return manager_->IsDownloadDone(); }, 10000));
  EXPECT_EQ(Contents(cvie::testing::TestRoot() / "out.bin"), body);
  EXPECT_EQ(manager_->ByteCount(), body.size());
  EXPECT_EQ(manager_->LastResult(), S_OK);
}

TEST_F(CommMgrTest, AFailedTransferEndsLikeACompleteOne) {
  ASSERT_EQ(manager_->DownloadFile(Url("/missing"), File("missing.bin")), 0);
  ASSERT_TRUE(Pump([&] { return manager_->IsDownloadDone(); }, 10000));
  EXPECT_EQ(Contents(cvie::testing::TestRoot() / "missing.bin"), "");
  EXPECT_EQ(manager_->ByteCount(), 0u);
  EXPECT_TRUE(FAILED(manager_->LastResult()));
  EXPECT_NE(NewLog().find("L30 download ended with error"), std::string::npos);
}

TEST_F(CommMgrTest, DataOfAnAbortedDownloadNeverReachesTheNextFile) {
  HttpRoute endless;
  endless.body = std::string(400000, 'A');  // about two seconds of data
  endless.piece_size = 1000;
  endless.piece_delay_ms = 5;
  server_.SetRoute("/first", endless);
  HttpRoute second;
  second.body = std::string(50000, 'B');
  second.piece_size = 5000;
  second.piece_delay_ms = 3;
  server_.SetRoute("/second", second);

  ASSERT_EQ(manager_->DownloadFile(Url("/first"), File("first.bin")), 0);
  ASSERT_TRUE(Pump([&] { return manager_->ByteCount() > 5000; }, 10000));
  manager_->AbortDownload();
  uint64_t first_size = fs::file_size(cvie::testing::TestRoot() / "first.bin");
  EXPECT_GT(first_size, 0u);
  EXPECT_LT(first_size, endless.body.size());
  EXPECT_FALSE(manager_->IsDownloadDone());

  ASSERT_EQ(manager_->DownloadFile(Url("/second"), File("second.bin")), 0);
  ASSERT_TRUE(Pump([&] { return manager_->IsDownloadDone(); }, 10000));
  EXPECT_EQ(Contents(cvie::testing::TestRoot() / "second.bin"), second.body);
  EXPECT_EQ(manager_->ByteCount(), second.body.size());
  EXPECT_EQ(fs::file_size(cvie::testing::TestRoot() / "first.bin"), first_size);
  // The first transfer was stopped, not left running.
  for (int i = 0; i < 500 && server_.aborted_by_client() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(server_.aborted_by_client(), 1);
}

TEST_F(CommMgrTest, TheFinalEmptyCallClosesTheFileAndSetsDone) {
  HttpRoute stalled;
  stalled.stall = true;
  stalled.body = "x";
  server_.SetRoute("/stall", stalled);
  ASSERT_EQ(manager_->DownloadFile(Url("/stall"), File("direct.bin")), 0);
  manager_->DataHandler("abc", 3);
  manager_->DataHandler("de", 2);
  EXPECT_FALSE(manager_->IsDownloadDone());
  manager_->DataHandler(nullptr, 0);
  EXPECT_TRUE(manager_->IsDownloadDone());
  EXPECT_EQ(manager_->ByteCount(), 5u);
  EXPECT_EQ(Contents(cvie::testing::TestRoot() / "direct.bin"), "abcde");
  manager_->DataHandler("late", 4);  // no file any more: nothing written
  EXPECT_EQ(Contents(cvie::testing::TestRoot() / "direct.bin"), "abcde");
  manager_->AbortDownload();
}

TEST_F(CommMgrTest, MessageBoxesAreOwnedByTheFirstLiveWindow) {
  int window = 0, container = 0;
  struct Case {
    const char* name;
    bool window_live, container_live;
    void* owner;
  };
  const Case kCases[] = {
      {"own window", true, true, &window},
      {"container window", false, true, &container},
      {"no window", false, false, nullptr},
  };
  for (const auto& c : kCases) {
    platform::ScriptedUi ui;
    platform::Ui* saved = platform::SetUi(&ui);
    if (c.window_live) ui.AddLiveWindow(&window);
    if (c.container_live) ui.AddLiveWindow(&container);
    manager_->SetWindow(&window);
    manager_->SetContainerWindow(&container);
    ui.QueueMessageBoxAnswer(platform::IDYES);
    EXPECT_EQ(manager_->ShowMessage(L"text", L"caption", platform::MB_YESNO),
              platform::IDYES)
        << c.name;
    platform::SetUi(saved);
    ASSERT_EQ(ui.MessageBoxes().size(), 1u) << c.name;
    EXPECT_EQ(ui.MessageBoxes()[0].owner, c.owner) << c.name;
  }
  manager_->SetWindow(nullptr);
  manager_->SetContainerWindow(nullptr);
}

TEST_F(CommMgrTest, BusyProbeSeesAHeldLockAndLeavesNoFile) {
  EXPECT_EQ(manager_->IsUpdateWorkerBusy(), 0);
  EXPECT_FALSE(fs::exists(platform::ToNarrow(platform::LockFilePath())));
  {
    auto held = platform::ExclusiveFileLock::Acquire(platform::LockFilePath());
    ASSERT_TRUE(held);
    EXPECT_EQ(manager_->IsUpdateWorkerBusy(), 1);
  }
  EXPECT_EQ(manager_->IsUpdateWorkerBusy(), 0);
}

TEST_F(CommMgrTest, ALockLeftByACrashedProcessDoesNotBlockTheNextCheck) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Takes the lock and dies without letting it go.
    auto lock = platform::ExclusiveFileLock::Acquire(platform::LockFilePath());
    _exit(lock ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(manager_->IsUpdateWorkerBusy(), 0);
  EXPECT_EQ(manager_->StartUpdateWorker(false), 0);
  ASSERT_TRUE(manager_->WaitForWorkers(20000));
  EXPECT_EQ(events_.Count("started silent"), 1);
  EXPECT_EQ(events_.Count("busy"), 0);
}

TEST(CommMgrThreads, ConcurrentFirstCallersShareOneManager) {
  std::atomic<int> ready{0};
  std::vector<CCommMgr*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < 8) {
      }
      seen[i] = CommMgr();
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (CCommMgr* manager : seen) EXPECT_EQ(manager, seen[0]);
  void* object = nullptr;
  EXPECT_EQ(seen[0]->QueryInterface(IID_ICommMgr, &object), S_OK);
  EXPECT_EQ(object, static_cast<IUnknown*>(seen[0]));
  static_cast<IUnknown*>(object)->Release();
  EXPECT_EQ(seen[0]->QueryInterface(IID_IStream, &object), E_NOINTERFACE);
}

}  // namespace
}  // namespace cvie
