// The current list set: loading the lists folder by its generation, the
// watcher picking up a change, and pages filtering while sets are swapped.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/editor_options.h"
#include "anyhtml/editor_writer.h"
#include "anyhtml/html_editor.h"
#include "common/test_support.h"
#include "editor/editor_test_support.h"
#include "lists/list_set.h"
#include "lists/page_checker.h"
#include "platform/text.h"

namespace cvie::lists {
namespace {

using testing::ScopedCvieRoot;
using testing::StringWriter;
using testing::WriteFile;

bool Blocks(const ListSet& set, const char* url) {
  return set.engine->Decide(Request{kTypeScript, url, "https://news.example/"}).blocked;
}

TEST(ListSet, LoadsTheFolderInNameOrderAndReloadsOnANewGeneration) {
  ScopedCvieRoot root;
  const std::string folder = (root.path() / "lists").string();
  std::filesystem::create_directories(folder);
  WriteFile(folder + "/b.txt", "[Adblock Plus 2.0]\n||second.example^\n");
  WriteFile(folder + "/a.txt",
            "[Adblock Plus 2.0]\n! Title: First list\n||first.example^\n");
  WriteFile(folder + "/notes.json", "||ignored.example^\n");
  WriteFile(folder + "/generation", "7\n");
  CurrentListSet current;
  EXPECT_TRUE(current.ReloadIfChanged(platform::ToWide(folder)));
  std::shared_ptr<const ListSet> set = current.Get();
  ASSERT_TRUE(set);
  ASSERT_EQ(set->lists().size(), 2u);
  EXPECT_EQ(set->lists()[0].name, "First list");
  EXPECT_EQ(set->lists()[1].name, "b.txt");
  EXPECT_EQ(set->generation, "7");
  EXPECT_TRUE(Blocks(*set, "https://first.example/x.js"));
  EXPECT_FALSE(Blocks(*set, "https://ignored.example/x.js"));
  // Same generation: nothing is read again, even though a file changed.
  WriteFile(folder + "/b.txt", "||third.example^\n");
  EXPECT_FALSE(current.ReloadIfChanged(platform::ToWide(folder)));
  EXPECT_EQ(current.Get(), set);
  WriteFile(folder + "/generation", "8\n");
  EXPECT_TRUE(current.ReloadIfChanged(platform::ToWide(folder)));
  std::shared_ptr<const ListSet> next = current.Get();
  ASSERT_TRUE(next);
  EXPECT_TRUE(Blocks(*next, "https://third.example/x.js"));
  // The page that took the old set keeps it whole.
  EXPECT_TRUE(Blocks(*set, "https://second.example/x.js"));
  // Every list removed: no set.
  std::filesystem::remove(folder + "/a.txt");
  std::filesystem::remove(folder + "/b.txt");
  WriteFile(folder + "/generation", "9\n");
  EXPECT_TRUE(current.ReloadIfChanged(platform::ToWide(folder)));
  EXPECT_FALSE(current.Get());
}

TEST(ListSet, TheWatcherLoadsAtOnceAndAfterAChange) {
  ScopedCvieRoot root;
  const std::string folder = (root.path() / "lists").string();
  std::filesystem::create_directories(folder);
  WriteFile(folder + "/a.txt", "||first.example^\n");
  WriteFile(folder + "/generation", "1");
  CurrentListSet current;
  ListSetWatcher watcher(&current, platform::ToWide(folder),
                         std::chrono::milliseconds(10));
  auto wait_for = [&current](const char* generation) {
    for (int i = 0; i < 500; ++i) {
      std::shared_ptr<const ListSet> set = current.Get();
      if (set && set->generation == generation) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  ASSERT_TRUE(wait_for("1"));
  WriteFile(folder + "/a.txt", "||second.example^\n");
  WriteFile(folder + "/generation", "2");
  ASSERT_TRUE(wait_for("2"));
  EXPECT_TRUE(Blocks(*current.Get(), "https://second.example/x.js"));
}

// Pages filter on several threads, each taking the current set at its start,
// while the main thread publishes new sets: every page is edited with one
// whole set (the blocked script and the sheet agree with the set it took).
TEST(ListSetConcurrency, PagesFilterWhileSetsAreSwapped) {
  std::vector<std::shared_ptr<const ListSet>> sets;
  for (const char* text : {"||one.example^\n##.one\n", "||two.example^\n##.two\n"}) {
    std::vector<FilterList> lists;
    lists.push_back(ParseFilterList(text, "swap.txt"));
    sets.push_back(BuildListSet(std::move(lists), text));
    ASSERT_TRUE(sets.back());
  }
  CurrentListSet current;
  current.Publish(sets[0]);
  const std::string page =
      "<html><head></head><body class='one two'><script src=\"https://one.example/a.js\">"
      "</script><script src=\"https://two.example/a.js\"></script></body></html>";
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> pages{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      EditorOptions options;
      std::string input = page;
      input.append(2, '\0');
      while (!stop.load()) {
        std::shared_ptr<const ListSet> set = current.Get();
        PageChecker checker(nullptr, set.get(), "https://news.example/");
        StringWriter writer;
        AnyHtmlEditor editor(&writer, &options, &checker);
        editor.SetPageStyle(&checker);
        editor.Edit(input.data(), page.size(), 0);
        const bool one = set == sets[0];
        const std::string kept = one ? "two.example" : "one.example";
        const std::string gone = one ? "one.example" : "two.example";
        const std::string sheet = one ? "<style>.one{" : "<style>.two{";
        if (writer.out.find(kept) == std::string::npos ||
            writer.out.find(gone) != std::string::npos ||
            writer.out.find(sheet) == std::string::npos) {
          ++bad;
        }
        ++pages;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    current.Publish(sets[i % 2]);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(pages.load(), 0);
}

}  // namespace
}  // namespace cvie::lists
