// The logger is one object per process; tests that need a freshly created
// logger (generation switch, missing folder, two processes) make it in a
// forked child so that every case starts from its own files.

#include "log/logger.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/data_folders.h"
#include "platform/sync.h"
#include "platform/text.h"

using namespace cvie;
namespace fs = std::filesystem;

namespace {

template <typename F>
pid_t StartChild(F child) {
  pid_t pid = fork();
  if (pid == 0) {
    child();
    _exit(0);
  }
  return pid;
}

bool WaitChild(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

template <typename F>
bool RunInChild(F child) {
  return WaitChild(StartChild(child));
}

fs::path UserFolder(const cvie::testing::ScopedCvieRoot& root) {
  return root.path() / "Documents" / "Corvane";
}

std::string ReadOrEmpty(const fs::path& p) {
  std::string content;
  cvie::testing::ReadFile(p, &content);
  return content;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A fresh root with the per-user folder made, and the path cache pointed at it.
struct LogRoot {
  LogRoot() {
    platform::ResetDataFolderCacheForTesting();
    platform::CreateDataFolders();
  }
  cvie::testing::ScopedCvieRoot root;
  fs::path log1() const { return UserFolder(root) / "log1.txt"; }
  fs::path log2() const { return UserFolder(root) / "log2.txt"; }
};

const std::regex kLinePattern(
    R"(T(\d+) (\d\d)/(\d\d)/(\d\d)-(\d\d):(\d\d):(\d\d) L(\d+) (.*))");

TEST(Logger, WritesOnePrefixedLineAtNoticeLevel) {
  LogRoot r;
  Logger::Instance().Log(LOG_NOTICE, L"Rules loaded: %d rules from %ls (%s)", 1234,
                         L"cvie.rle", "enciphered");
  auto lines = Lines(ReadOrEmpty(r.log1()));
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLinePattern)) << lines[0];
  EXPECT_EQ(std::stoi(m[1]), platform::CurrentThreadId());
  EXPECT_GE(std::stoi(m[2]), 1);
  EXPECT_LE(std::stoi(m[2]), 12);
  EXPECT_LE(std::stoi(m[5]), 23);
  EXPECT_EQ(m[8], "30");
  EXPECT_EQ(m[9], "Rules loaded: 1234 rules from cvie.rle (enciphered)");
}

TEST(Logger, LevelsBelowTheThresholdWriteNothing) {
  LogRoot r;
  struct Case {
    int level;
    const wchar_t* format;
    std::vector<std::string> want_messages;  // one per line; "" for an empty line
  };
  const Case cases[] = {
      {LOG_DETAIL, L"detail", {}},
      {LOG_WARNING, L"warning", {}},
      {LOG_NOTICE, L"notice", {"notice"}},
      {LOG_NOTICE, L"ends in newline\n", {"ends in newline", ""}},
      {31, L"above", {"above"}},
  };
  size_t seen = 0;
  for (const auto& c : cases) {
    Logger::Instance().Log(c.level, c.format);
    auto lines = Lines(ReadOrEmpty(r.log1()));
    ASSERT_EQ(lines.size(), seen + c.want_messages.size())
        << platform::ToNarrow(c.format);
    for (size_t i = 0; i < c.want_messages.size(); ++i) {
      const std::string& line = lines[seen + i];
      if (c.want_messages[i].empty()) {
        EXPECT_EQ(line, "") << platform::ToNarrow(c.format);
      } else {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLinePattern)) << line;
        EXPECT_EQ(m[8], std::to_string(c.level));
        EXPECT_EQ(m[9], c.want_messages[i]);
      }
    }
    seen = lines.size();
  }
}

TEST(Logger, EnabledSwitchStopsAndResumesWriting) {
  LogRoot r;
  Logger& log = Logger::Instance();
  struct Step {
    int enabled;  // -1: Disable(), -2: Enable(), else SetEnabled(value)
    bool writes;
  };
  const Step steps[] = {{0, false}, {-2, true}, {-1, false}, {5, true}, {1, true}};
  size_t expected = 0;
  for (const auto& s : steps) {
    if (s.enabled == -1) {
      EXPECT_EQ(log.Disable(), 0);
    } else if (s.enabled == -2) {
      EXPECT_EQ(log.Enable(), 0);
    } else {
      EXPECT_EQ(log.SetEnabled(s.enabled), 0);
    }
    EXPECT_EQ(log.Log(LOG_NOTICE, L"step %d", s.enabled), 0);
    if (s.writes) ++expected;
    EXPECT_EQ(Lines(ReadOrEmpty(r.log1())).size(), expected) << "enabled " << s.enabled;
  }
}

TEST(Logger, LongMessageIsCutTo4095Characters) {
  LogRoot r;
  std::wstring message(5000, L'\u00E9');  // two bytes each in the file
  message[4094] = L'Z';
  Logger::Instance().Log(LOG_NOTICE, L"%ls", message.c_str());
  auto lines = Lines(ReadOrEmpty(r.log1()));
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLinePattern));
  std::wstring written = platform::ToWide(m[9]);
  EXPECT_EQ(written.size(), 4095u);
  EXPECT_EQ(written, message.substr(0, 4095));
}

TEST(Logger, TextIsWrittenAsUtf8) {
  LogRoot r;
  Logger::Instance().Log(LOG_NOTICE, L"%ls|%s", L"Stra\u00DFe \u20AC", "caf\xC3\xA9");
  auto lines = Lines(ReadOrEmpty(r.log1()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Stra\xC3\x9F"
                          "e \xE2\x82\xAC|caf\xC3\xA9"),
            std::string::npos)
      << lines[0];
}

TEST(Logger, UnconvertibleArgumentStillRecordsTheEvent) {
  LogRoot r;
  Logger::Instance().Log(LOG_NOTICE, L"bad bytes: %s", "\xFF\xFE");
  auto lines = Lines(ReadOrEmpty(r.log1()));
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLinePattern));
  EXPECT_EQ(m[9], "bad bytes: %s");
}

TEST(Logger, LogAWritesWithoutPrefix) {
  LogRoot r;
  Logger::Instance().LogA(LOG_DETAIL, "rule %d checked", 1);
  EXPECT_EQ(ReadOrEmpty(r.log1()), "");
  Logger::Instance().LogA(LOG_NOTICE, "rule %d: %s", 7, "||ads.example^");
  EXPECT_EQ(ReadOrEmpty(r.log1()), "rule 7: ||ads.example^\n");
  std::string long_text(5000, 'a');
  Logger::Instance().LogA(LOG_NOTICE, "%s", long_text.c_str());
  auto lines = Lines(ReadOrEmpty(r.log1()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], std::string(4095, 'a'));
}

TEST(Logger, GenerationSwitchAtCreation) {
  struct Case {
    const char* name;
    long long log1_size;  // -1: no log1.txt
    bool log2_exists;
    bool want_switch;
  };
  const Case cases[] = {
      {"no current log", -1, false, false},
      {"no current log, old previous log", -1, true, false},
      {"exactly 2,000,000 bytes", 2000000, true, false},
      {"2,000,001 bytes", 2000001, true, true},
      {"2,000,001 bytes, no previous log", 2000001, false, true},
  };
  for (const auto& c : cases) {
    LogRoot r;
    if (c.log1_size >= 0)
      cvie::testing::WriteFile(r.log1(), std::string(c.log1_size, 'o'));
    if (c.log2_exists) cvie::testing::WriteFile(r.log2(), "older generation\n");
    ASSERT_TRUE(RunInChild([] { Logger::Instance().Log(LOG_NOTICE, L"created"); }))
        << c.name;
    const std::string log1 = ReadOrEmpty(r.log1());
    const std::string log2 = ReadOrEmpty(r.log2());
    ASSERT_TRUE(fs::exists(r.log1())) << c.name;
    if (c.want_switch) {
      EXPECT_EQ(Lines(log1).size(), 1u) << c.name;
      EXPECT_EQ(log2.size(), static_cast<size_t>(c.log1_size)) << c.name;
    } else {
      const size_t old = c.log1_size < 0 ? 0 : c.log1_size;
      EXPECT_GT(log1.size(), old) << c.name;
      EXPECT_EQ(log1.substr(old).find("L30 created\n") != std::string::npos, true)
          << c.name;
      EXPECT_EQ(fs::exists(r.log2()), c.log2_exists) << c.name;
      if (c.log2_exists) {
        EXPECT_EQ(log2, "older generation\n") << c.name;
      }
    }
  }
}

// Writes `bytes` of 1000-character lines marked `name`.
void LogBytes(const wchar_t* name, size_t bytes) {
  const std::wstring payload(1000, L'p');
  for (size_t done = 0; done < bytes; done += 1000) {
    Logger::Instance().Log(LOG_NOTICE, L"%ls %ls", name, payload.c_str());
  }
}

// A process that runs for long switches generations while running, by the
// same rule as at creation, and a second process writing to the same log
// follows into the new current file.
TEST(Logger, GenerationSwitchWhileRunning) {
  LogRoot r;
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  // The follower has the log open before the other process switches, writes
  // again after it, then enough for its own look at the file.
  pid_t follower = StartChild([&] {
    Logger::Instance().Log(LOG_NOTICE, L"follower before");
    char c;
    if (read(go[0], &c, 1) != 1) _exit(1);
    LogBytes(L"follower", 70 * 1024);
    Logger::Instance().Log(LOG_NOTICE, L"follower last");
    if (write(done[1], "x", 1) != 1) _exit(1);
  });
  ASSERT_TRUE(RunInChild([] {
    LogBytes(L"writer", 2000000 + 70 * 1024);
    Logger::Instance().Log(LOG_NOTICE, L"writer last");
  }));
  const std::string log2 = ReadOrEmpty(r.log2());
  EXPECT_GT(log2.size(), 2000000u);
  EXPECT_LT(log2.size(), 2000000u + 70 * 1024);
  EXPECT_NE(log2.find("L30 follower before\n"), std::string::npos);
  EXPECT_NE(ReadOrEmpty(r.log1()).find("L30 writer last\n"), std::string::npos);
  EXPECT_LT(ReadOrEmpty(r.log1()).size(), 200000u);

  ASSERT_EQ(write(go[1], "x", 1), 1);
  char c;
  ASSERT_EQ(read(done[0], &c, 1), 1);
  ASSERT_TRUE(WaitChild(follower));
  const std::string log1 = ReadOrEmpty(r.log1());
  EXPECT_NE(log1.find("L30 follower last\n"), std::string::npos);
  // Until its own next look (after 64 KiB of its lines) the follower may
  // still have written to the previous generation, never past that.
  EXPECT_LT(ReadOrEmpty(r.log2()).size(), log2.size() + 70 * 1024);
  for (const std::string& line : Lines(log1)) {
    EXPECT_TRUE(std::regex_match(line, kLinePattern)) << line.substr(0, 80);
  }
  for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
}

TEST(Logger, MissingFolderAtCreationMeansNoLogForTheProcess) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  ASSERT_TRUE(RunInChild([] {
    Logger::Instance().Log(LOG_NOTICE, L"before the folder exists");
    platform::CreateDataFolders();
    Logger::Instance().Log(LOG_NOTICE, L"after the folder was made");
  }));
  const fs::path log1 = UserFolder(root) / "log1.txt";
  EXPECT_TRUE(fs::is_directory(UserFolder(root)));
  EXPECT_EQ(ReadOrEmpty(log1), "");
  // The next process logs normally.
  ASSERT_TRUE(RunInChild([] { Logger::Instance().Log(LOG_NOTICE, L"next process"); }));
  EXPECT_EQ(Lines(ReadOrEmpty(log1)).size(), 1u);
}

// Lines made long enough that a write split between processes would show.
std::wstring Payload() { return std::wstring(300, L'x'); }

void CheckWholeLines(const std::string& log, const std::vector<std::string>& writers,
                     int lines_each) {
  const std::regex line_re(R"(T\d+ \d\d/\d\d/\d\d-\d\d:\d\d:\d\d L30 (\w+) (\d+) (x+))");
  std::map<std::string, int> next;
  int count = 0;
  for (const std::string& line : Lines(log)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_re))
        << "broken line " << count << ": " << line.substr(0, 120);
    ASSERT_EQ(m[3].length(), 300) << line.substr(0, 120);
    int n = std::stoi(m[2]);
    ASSERT_EQ(n, next[m[1]]) << "lines of " << m[1] << " out of order";
    next[m[1]] = n + 1;
    ++count;
  }
  EXPECT_EQ(count, lines_each * static_cast<int>(writers.size()));
  for (const auto& w : writers) EXPECT_EQ(next[w], lines_each) << w;
}

TEST(Logger, TwoProcessesLoggingAtOnceWriteWholeLines) {
  LogRoot r;
  // As many lines as stay below the 2,000,000 bytes at which the log switches
  // generations while running (about 345 bytes a line).
  constexpr int kLines = 2800;
  auto writer = [](const wchar_t* name) {
    return [name] {
      const std::wstring payload = Payload();
      for (int i = 0; i < kLines; ++i) {
        Logger::Instance().Log(LOG_NOTICE, L"%ls %d %ls", name, i, payload.c_str());
      }
    };
  };
  pid_t a = StartChild(writer(L"first"));
  pid_t b = StartChild(writer(L"second"));
  ASSERT_TRUE(WaitChild(a));
  ASSERT_TRUE(WaitChild(b));
  CheckWholeLines(ReadOrEmpty(r.log1()), {"first", "second"}, kLines);
}

TEST(Logger, ConcurrentThreadsWriteWholeLines) {
  LogRoot r;
  constexpr int kLines = 500;
  const std::vector<std::string> names = {"alpha", "beta", "gamma", "delta"};
  std::vector<std::thread> threads;
  for (const auto& name : names) {
    threads.emplace_back([&name] {
      const std::wstring wide = platform::ToWide(name);
      const std::wstring payload = Payload();
      for (int i = 0; i < kLines; ++i) {
        Logger::Instance().Log(LOG_NOTICE, L"%ls %d %ls", wide.c_str(), i,
                               payload.c_str());
        Logger::Instance().Log(LOG_DETAIL, L"not written");
        if (i == kLines / 2) Logger::Instance().SetEnabled(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  CheckWholeLines(ReadOrEmpty(r.log1()), names, kLines);
}

}  // namespace
