// The whitelist store: its file format, lookups, ordering, saving, the stamp
// shared between processes, and lookups while the list changes.

#include "whitelist/whitelist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/test_support.h"
#include "config/options.h"
#include "platform/text.h"

using namespace cvie;
using cvie::testing::ReadFile;
using cvie::testing::ScopedCvieRoot;
using cvie::testing::WriteFile;

namespace {

namespace fs = std::filesystem;

// A private folder and registry, options of their own, a clock the test
// moves, and a store over "whitelist.txt" in the folder.
class WhitelistFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<ScopedCvieRoot>();
    cfg_ = std::make_unique<CVCfg>([this] { return now_.load(); });
    list_ = MakeStore();
  }
  void TearDown() override {
    list_.reset();
    cfg_.reset();
    root_.reset();
  }

  std::unique_ptr<Whitelist> MakeStore(Whitelist::Clock clock = nullptr) {
    if (!clock) clock = [this] { return now_.load(); };
    return std::make_unique<Whitelist>(ListPath().wstring(), TempPath().wstring(),
                                       cfg_.get(), clock);
  }

  fs::path ListPath() const { return root_->path() / "whitelist.txt"; }
  fs::path TempPath() const { return root_->path() / "whitelist.txt.tmp"; }
  std::string FileBytes() const {
    std::string bytes;
    EXPECT_TRUE(ReadFile(ListPath(), &bytes));
    return bytes;
  }

  std::unique_ptr<ScopedCvieRoot> root_;
  std::atomic<int64_t> now_{1000000};
  std::unique_ptr<CVCfg> cfg_;
  std::unique_ptr<Whitelist> list_;
};

std::string Join(const std::vector<std::wstring>& entries) {
  std::string out;
  for (const std::wstring& e : entries) out += "[" + platform::ToNarrow(e) + "]";
  return out;
}

struct FileCase {
  const char* name;
  std::string bytes;
  std::vector<std::wstring> entries;
};

TEST_F(WhitelistFixture, ReadsEveryLineFormOfTheFile) {
  const FileCase cases[] = {
      {"CR LF after every line",
       "adhost\r\nhttp://a/b.html\r\n",
       {L"adhost", L"http://a/b.html"}},
      {"LF alone", "adhost\nhttp://a/b.html\n", {L"adhost", L"http://a/b.html"}},
      {"no line end after the last line", "adhost\r\nlast", {L"adhost", L"last"}},
      {"empty lines skipped", "\r\n\nadhost\r\n\r\n\nz\n", {L"adhost", L"z"}},
      {"only one CR taken off", "a\r\r\nb\r\n", {L"a\r", L"b"}},
      {"a lone CR line is empty", "\r\nx\r\n", {L"x"}},
      {"file order kept, not sorted", "zeta\r\nalpha\r\n", {L"zeta", L"alpha"}},
      {"duplicates kept", "a\r\na\r\n", {L"a", L"a"}},
      {"UTF-8 text",
       "b\xC3\xBC"
       "cher.example\r\n",
       {L"b\u00FCcher.example"}},
      {"malformed UTF-8 becomes U+FFFD",
       "a\xFF"
       "b\r\n",
       {L"a\uFFFDb"}},
      {"NUL ends an entry", std::string("ab\0cd\r\n\0x\r\ny\r\n", 14), {L"ab", L"y"}},
      {"empty file", "", {}},
  };
  for (const FileCase& c : cases) {
    WriteFile(ListPath(), c.bytes);
    list_->Load();
    EXPECT_EQ(Join(list_->Entries()), Join(c.entries)) << c.name;
    EXPECT_EQ(Join(ParseWhitelistText(c.bytes)), Join(c.entries)) << c.name;
  }
}

TEST_F(WhitelistFixture, SkipsALineTooLongWholeAndKeepsTheNextEntry) {
  const std::wstring u_umlaut_4094(4094, L'\u00FC');
  struct LongCase {
    const char* name;
    std::string line;
    bool kept;
  };
  const LongCase cases[] = {
      {"4094 characters", std::string(4094, 'a'), true},
      {"4093 characters and a kept CR", std::string(4093, 'a') + "\r", true},
      {"4095 characters", std::string(4095, 'a'), false},
      {"a hundred thousand characters", std::string(100000, 'a'), false},
      {"4094 two-byte characters", platform::ToNarrow(u_umlaut_4094), true},
      {"4095 two-byte characters", platform::ToNarrow(u_umlaut_4094 + L"\u00FC"), false},
  };
  for (const LongCase& c : cases) {
    WriteFile(ListPath(), "before\r\n" + c.line + "\r\nafter\r\n");
    list_->Load();
    std::vector<std::wstring> expected = {L"before"};
    if (c.kept) expected.push_back(platform::ToWide(c.line));
    expected.push_back(L"after");
    EXPECT_EQ(list_->Entries(), expected) << c.name;
  }
  // The longest line at the very end of the file, without a line end.
  WriteFile(ListPath(), "before\r\n" + std::string(5000, 'b'));
  list_->Load();
  EXPECT_EQ(list_->Entries(), std::vector<std::wstring>{L"before"});
}

TEST_F(WhitelistFixture, EmptyFileEmptiesTheListAndSetsTheLoadTime) {
  list_->Add(L"kept.example");
  EXPECT_EQ(list_->load_time(), 0u);
  WriteFile(ListPath(), "");
  now_ = 1234567;
  list_->Load();
  EXPECT_TRUE(list_->Entries().empty());
  EXPECT_EQ(list_->load_time(), 1234567u);
}

TEST_F(WhitelistFixture, MissingFileChangesNeitherEntriesNorLoadTime) {
  WriteFile(ListPath(), "one\r\n");
  list_->Load();
  const uint32_t loaded_at = list_->load_time();
  fs::remove(ListPath());
  now_ += 50;
  list_->Load();
  EXPECT_EQ(list_->Entries(), std::vector<std::wstring>{L"one"});
  EXPECT_EQ(list_->load_time(), loaded_at);
}

TEST_F(WhitelistFixture, AddKeepsOrderAndSaveWritesCrLfAndStamps) {
  list_->Add(L"b");
  list_->Add(L"a");
  list_->Add(L"c");
  EXPECT_EQ(list_->Entries(), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  now_ = 2000000;
  EXPECT_EQ(list_->Save(), 0);
  EXPECT_EQ(FileBytes(), "a\r\nb\r\nc\r\n");
  EXPECT_FALSE(fs::exists(TempPath()));
  EXPECT_EQ(cfg_->GetWhiteListTS(), 2000000u);
  // Inserting into a list loaded in file order puts the text before the
  // first entry it sorts below.
  WriteFile(ListPath(), "m\r\nb\r\nz\r\n");
  list_->Load();
  list_->Add(L"c");
  EXPECT_EQ(list_->Entries(), (std::vector<std::wstring>{L"c", L"m", L"b", L"z"}));
}

TEST_F(WhitelistFixture, AddRefusesWhatCannotBeOneEntryAndCutsLongText) {
  struct AddCase {
    const char* name;
    const wchar_t* text;
    int result;
    std::vector<std::wstring> entries;
  };
  const std::wstring longest(4094, L'x');
  const std::wstring longer = longest + L"yz";
  const AddCase cases[] = {
      {"null", nullptr, 1, {}},
      {"empty (would cover every address)", L"", 1, {}},
      {"line feed", L"a.example\nb.example", 1, {}},
      {"plain host", L"adhost", 0, {L"adhost"}},
      {"longer than an entry", longer.c_str(), 0, {longest}},
  };
  for (const AddCase& c : cases) {
    auto list = MakeStore();
    EXPECT_EQ(list->Add(c.text), c.result) << c.name;
    EXPECT_EQ(list->Entries(), c.entries) << c.name;
  }
  // The cut entry survives saving and loading as it is.
  list_->Add(longer.c_str());
  ASSERT_EQ(list_->Save(), 0);
  auto reread = MakeStore();
  reread->Load();
  EXPECT_EQ(reread->Entries(), std::vector<std::wstring>{longest});
}

TEST_F(WhitelistFixture, RemoveTakesOutTheFirstEqualEntryOnly) {
  WriteFile(ListPath(), "a\r\nb\r\na\r\n");
  list_->Load();
  EXPECT_EQ(list_->Remove(L"not-listed"), 0);
  EXPECT_EQ(list_->Remove(L"A"), 0);
  EXPECT_EQ(list_->Remove(nullptr), 0);
  EXPECT_EQ(list_->Entries(), (std::vector<std::wstring>{L"a", L"b", L"a"}));
  EXPECT_EQ(list_->Remove(L"a"), 1);
  EXPECT_EQ(list_->Entries(), (std::vector<std::wstring>{L"b", L"a"}));
}

TEST_F(WhitelistFixture, ContainsFindsAnEntryInsideTheTextOrEqualToIt) {
  list_->Add(L"adhost");
  list_->Add(L"http://news.example/today.html");
  struct LookupCase {
    const wchar_t* text;
    bool exact;
    bool expected;
  };
  const LookupCase cases[] = {
      {L"http://adhost/page.html", false, true},
      {L"adhost", true, true},
      {L"AdHost", true, false},
      {L"http://AdHost/page.html", false, false},
      {L"http://adhost/page.html", true, false},
      {L"http://news.example/today.html", true, true},
      {L"http://news.example/today.html?part=2", false, true},
      {L"http://news.example/today.html?part=2", true, false},
      {L"http://news.example/", false, false},
      {L"", false, false},
      {nullptr, false, false},
  };
  for (const LookupCase& c : cases) {
    EXPECT_EQ(list_->Contains(c.text, c.exact), c.expected)
        << (c.text ? platform::ToNarrow(c.text) : "(null)") << " exact=" << c.exact;
  }
}

TEST_F(WhitelistFixture, LookupReloadsWhenAnotherProcessSavedSinceTheLoad) {
  WriteFile(ListPath(), "first.example\r\n");
  list_->Load();
  const uint32_t loaded_at = list_->load_time();

  // A change of the file without a new stamp is not noticed.
  WriteFile(ListPath(), "first.example\r\nquiet.example\r\n");
  EXPECT_FALSE(list_->Contains(L"http://quiet.example/", false));

  // Another process (its own store, same file and registry) saves later.
  now_ += 5;
  auto other = MakeStore();
  other->Load();
  other->Add(L"new.example");
  ASSERT_EQ(other->Save(), 0);
  EXPECT_EQ(cfg_->GetWhiteListTS(), loaded_at + 5);

  now_ += 1;
  EXPECT_TRUE(list_->Contains(L"http://new.example/", false));
  EXPECT_EQ(list_->load_time(), loaded_at + 6);
  EXPECT_TRUE(list_->Contains(L"http://quiet.example/", false));
}

TEST_F(WhitelistFixture, AStampInTheFutureIsSetBackToNowByTheReloadingLookup) {
  WriteFile(ListPath(), "future.example\r\n");
  cfg_->SetWhiteListTS(static_cast<uint32_t>(now_.load() + 3600));
  EXPECT_TRUE(list_->Contains(L"http://future.example/", false));
  EXPECT_EQ(list_->load_time(), static_cast<uint32_t>(now_.load()));
  EXPECT_EQ(cfg_->GetWhiteListTS(), static_cast<uint32_t>(now_.load()));
}

TEST_F(WhitelistFixture, SaveThatCannotWriteLeavesListAndStamp) {
  WriteFile(ListPath(), "old.example\r\n");
  cfg_->SetWhiteListTS(777);
  Whitelist list(ListPath().wstring(), (root_->path() / "missing" / "w.tmp").wstring(),
                 cfg_.get(), [this] { return now_.load(); });
  list.Add(L"new.example");
  EXPECT_EQ(list.Save(), -1);
  EXPECT_EQ(FileBytes(), "old.example\r\n");
  EXPECT_EQ(cfg_->GetWhiteListTS(), 777u);
}

// Lookups from several page threads while another thread changes and saves
// the list: an entry that is never removed is always found, and no lookup
// sees a half-made list.
TEST_F(WhitelistFixture, ConcurrentLookupsWhileTheListChangesAndIsSaved) {
  list_->Add(L"stable.example");
  ASSERT_EQ(list_->Save(), 0);
  list_->Load();
  std::atomic<bool> done{false};
  std::atomic<int> misses{0};
  std::atomic<long> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        if (!list_->Contains(L"http://stable.example/index.html", false)) ++misses;
        list_->Contains(L"flux-3", true);
        ++lookups;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    const std::wstring flux = L"flux-" + std::to_wstring(i % 7);
    if (list_->Contains(flux.c_str(), true)) {
      list_->Remove(flux.c_str());
    } else {
      list_->Add(flux.c_str());
    }
    now_ += 1;  // every save is newer than the last load: lookups reload
    EXPECT_EQ(list_->Save(), 0);
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(misses.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  auto reread = MakeStore();
  reread->Load();
  EXPECT_EQ(reread->Entries(), list_->Entries());
}

}  // namespace
