// Cost of the calls every page makes many times: a log call that writes
// nothing, and the option reads of CVCfg (among them the two every page
// makes: "Enable Corvane" and "WhiteListTS"). Prints nanoseconds per call.
//
// Runs under its own temporary CVIE_ROOT (never the user's real folders).

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/options.h"
#include "log/logger.h"
#include "platform/data_folders.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double NanosPerCall(long iterations, F call) {
  for (long i = 0; i < iterations / 10; ++i) call();  // warm up
  auto start = Clock::now();
  for (long i = 0; i < iterations; ++i) call();
  auto elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  return elapsed / static_cast<double>(iterations);
}

// Calls per second summed over `threads` threads, each making `per_thread`.
template <typename F>
double NanosPerCallThreaded(int threads, long per_thread, F call) {
  std::vector<std::thread> pool;
  std::atomic<bool> go{false};
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (long i = 0; i < per_thread; ++i) call();
    });
  }
  auto start = Clock::now();
  go = true;
  for (auto& th : pool) th.join();
  auto elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  return elapsed / static_cast<double>(threads * per_thread);
}

}  // namespace

int main() {
  std::string root =
      (std::filesystem::temp_directory_path() / "cvie-bench-XXXXXX").string();
  if (!mkdtemp(root.data())) return 1;
  setenv("CVIE_ROOT", root.c_str(), 1);
  cvie::platform::CreateDataFolders();

  cvie::Logger& log = cvie::Logger::Instance();
  cvie::CVCfg& cfg = cvie::CVCfg::Instance();
  volatile int sink = 0;

  printf("Logger::Log below the threshold (level 10):     %8.1f ns/call\n",
         NanosPerCall(2000000, [&] { log.Log(cvie::LOG_DETAIL, L"Read %d bytes", 42); }));
  printf("  same, 4 threads at once:                      %8.1f ns/call\n",
         NanosPerCallThreaded(4, 500000,
                              [&] { log.Log(cvie::LOG_DETAIL, L"Read %d", 42); }));
  log.Disable();
  printf("Logger::Log at level 30 while logging is off:   %8.1f ns/call\n",
         NanosPerCall(2000000, [&] { log.Log(cvie::LOG_NOTICE, L"Request %d", 42); }));
  log.Enable();
  printf(
      "Logger::Log writing one line (level 30):        %8.1f ns/call\n",
      NanosPerCall(20000, [&] { log.Log(cvie::LOG_NOTICE, L"Request %d started", 42); }));
  printf("  same, 4 threads at once:                      %8.1f ns/call\n",
         NanosPerCallThreaded(
             4, 20000, [&] { log.Log(cvie::LOG_NOTICE, L"Request %d started", 42); }));

  printf("CVCfg option getter (GetFilterImage):           %8.1f ns/call\n",
         NanosPerCall(20000, [&] { sink = sink + cfg.GetFilterImage(); }));
  printf("  same, 4 threads at once:                      %8.1f ns/call\n",
         NanosPerCallThreaded(4, 5000, [&] { sink = sink + cfg.GetFilterImage(); }));
  printf("CVCfg::GetEnableCorvane (own 10 s timer):      %8.1f ns/call\n",
         NanosPerCall(20000, [&] { sink = sink + cfg.GetEnableCorvane(); }));
  printf(
      "CVCfg::GetWhiteListTS (own 10 s timer):        %8.1f ns/call\n",
      NanosPerCall(20000, [&] { sink = sink + static_cast<int>(cfg.GetWhiteListTS()); }));
  printf("  GetEnableCorvane, 4 threads at once:          %8.1f ns/call\n",
         NanosPerCallThreaded(4, 5000, [&] { sink = sink + cfg.GetEnableCorvane(); }));
  printf(
      "CVCfg::GetEditorOptions (between rebuilds):     %8.1f ns/call\n",
      NanosPerCall(2000000, [&] { sink = sink + cfg.GetEditorOptions().filter_image; }));

  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return 0;
}
