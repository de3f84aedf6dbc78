// The subscription store and the list downloads: what `lists add` accepts and
// refuses, a refresh that fails keeping the copy it had, refreshes driven by
// "! Expires:", the default lists and their removal remembered, the store
// written and read back, a damaged store reported and kept, and the update
// worker refreshing due lists.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "comm/comm_mgr.h"
#include "comm/list_refresher.h"
#include "lists/subscriptions.h"
#include "platform/sync.h"
#include "subscriptions_fixture.h"

namespace cvie {
namespace {

using lists::Subscription;
using lists::SubscriptionStore;
using testing::HttpRoute;
using testing::SmallList;

class ListsTest : public testing::SubscriptionsTest {};

struct AddCase {
  const char* path;
  AddListResult result;
  const char* error_part;  // in the error; empty for a list that is added
};

TEST_F(ListsTest, AddSubscribesOnlyToAnswersThatAreFilterLists) {
  const AddCase kCases[] = {
      {"/page.html", AddListResult::kFailed, "HTML page"},
      {"/empty.txt", AddListResult::kFailed, "empty"},
      {"/blank.txt", AddListResult::kFailed, "empty"},
      {"/comments.txt", AddListResult::kFailed, "not a filter list"},
      {"/big.txt", AddListResult::kFailed, "larger than 32 MiB"},
      {"/cut.txt", AddListResult::kFailed, "transfer closed"},
      {"/error.txt", AddListResult::kFailed, "500"},
      {"/missing.txt", AddListResult::kFailed, "404"},
      {"/list.txt", AddListResult::kAdded, ""},
      {"/list.txt", AddListResult::kAlreadySubscribed, "already subscribed"},
  };
  for (const AddCase& c : kCases) {
    std::string error;
    EXPECT_EQ(AddList(Url(c.path), "", &error), c.result) << c.path << ": " << error;
    EXPECT_NE(error.find(c.error_part), std::string::npos) << c.path << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.path << ": " << error;
  }
  // Only the list is subscribed and stored.
  std::vector<Subscription> subscriptions = Subscriptions();
  ASSERT_EQ(subscriptions.size(), 1u);
  const Subscription& s = subscriptions[0];
  EXPECT_EQ(s.url, Url("/list.txt"));
  EXPECT_EQ(s.title, "Small list");
  EXPECT_EQ(s.version, "1");
  EXPECT_EQ(s.network_rules, 2u);
  EXPECT_EQ(s.hiding_rules, 2u);
  EXPECT_EQ(s.skipped, 1u);
  EXPECT_EQ(s.next_update - s.last_update, 2 * 24 * 3600);
  EXPECT_EQ(lists::StateText(s), "ok");
  EXPECT_EQ(StoredBody(s.url), SmallList("1"));
  EXPECT_FALSE(Generation().empty());
  size_t bodies = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(platform::ToNarrow(lists::ListsFolderPath())))
    bodies += entry.path().extension() == ".txt";
  EXPECT_EQ(bodies, 1u);

  std::string error;
  EXPECT_EQ(AddList("ftp://example.org/list.txt", "", &error),
            AddListResult::kBadAddress);
  EXPECT_EQ(AddList("http:///list.txt", "", &error), AddListResult::kBadAddress);
}

TEST_F(ListsTest, AFailedRefreshKeepsThePreviousCopy) {
  const std::string url = Url("/list.txt");
  std::string error;
  ASSERT_EQ(AddList(url, "My title", &error), AddListResult::kAdded) << error;
  const std::string generation = Generation();
  HttpRoute cut{200, SmallList("2") + std::string(100000, '!')};
  cut.cut_after = 100;
  const std::pair<const char*, HttpRoute> kBadAnswers[] = {
      {"html", {200, "<html><body>moved</body></html>"}},
      {"cut", cut},
      {"empty", {200, ""}},
      {"server error", {503, SmallList("2")}},
      {"too big", {200, SmallList("2") + std::string(lists::kMaxListBytes, '!')}},
  };
  for (const auto& [bad, route] : kBadAnswers) {
    server_.SetRoute("/list.txt", route);
    std::vector<ListRefresh> refreshed;
    ASSERT_TRUE(RefreshLists(true, nullptr, &refreshed, &error)) << error;
    ASSERT_EQ(refreshed.size(), 1u) << bad;
    EXPECT_FALSE(refreshed[0].ok) << bad;
    EXPECT_EQ(StoredBody(url), SmallList("1")) << bad;
    EXPECT_EQ(Generation(), generation) << bad;
    std::vector<Subscription> after = Subscriptions();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].version, "1") << bad;
    EXPECT_EQ(after[0].last_error, refreshed[0].detail) << bad;
    EXPECT_EQ(lists::StateText(after[0]).rfind("update failed: ", 0), 0u)
        << lists::StateText(after[0]);
    // Retried later, not at once.
    EXPECT_GT(after[0].next_update, static_cast<int64_t>(time(nullptr)));
  }
  server_.SetRoute("/list.txt", {200, SmallList("3")});
  std::vector<ListRefresh> refreshed;
  ASSERT_TRUE(RefreshLists(true, nullptr, &refreshed, &error)) << error;
  ASSERT_EQ(refreshed.size(), 1u);
  EXPECT_TRUE(refreshed[0].ok) << refreshed[0].detail;
  EXPECT_EQ(StoredBody(url), SmallList("3"));
  EXPECT_NE(Generation(), generation);
  std::vector<Subscription> after = Subscriptions();
  EXPECT_EQ(after[0].version, "3");
  EXPECT_EQ(after[0].title, "My title");  // the user's title stays
  EXPECT_EQ(after[0].last_error, "");
}

TEST_F(ListsTest, UpdateDownloadsOnlyListsWhoseExpiryPassed) {
  server_.SetRoute("/other.txt", {200, SmallList("1")});
  std::string error;
  ASSERT_EQ(AddList(Url("/list.txt"), "", &error), AddListResult::kAdded) << error;
  ASSERT_EQ(AddList(Url("/other.txt"), "", &error), AddListResult::kAdded) << error;
  const size_t requests_before = server_.requests().size();

  std::vector<ListRefresh> refreshed;
  ASSERT_TRUE(RefreshLists(false, nullptr, &refreshed, &error)) << error;
  EXPECT_TRUE(refreshed.empty());
  EXPECT_EQ(server_.requests().size(), requests_before);

  {  // The first list's expiry passes.
    auto mutex = lists::OpenStoreMutex();
    platform::NamedMutexLock lock(mutex.get());
    SubscriptionStore store(lists::ListsFolderPath());
    ASSERT_TRUE(store.Load(&error)) << error;
    store.Find(Url("/list.txt"))->next_update = time(nullptr) - 1;
    ASSERT_TRUE(store.Save(&error)) << error;
  }
  server_.SetRoute("/list.txt", {200, SmallList("2")});
  ASSERT_TRUE(RefreshLists(false, nullptr, &refreshed, &error)) << error;
  ASSERT_EQ(refreshed.size(), 1u);
  EXPECT_EQ(refreshed[0].url, Url("/list.txt"));
  EXPECT_TRUE(refreshed[0].ok);
  EXPECT_EQ(StoredBody(Url("/list.txt")), SmallList("2"));
  std::vector<std::string> requests = server_.requests();
  ASSERT_EQ(requests.size(), requests_before + 1);
  EXPECT_EQ(requests.back(), "/list.txt");

  refreshed.clear();
  ASSERT_TRUE(RefreshLists(true, nullptr, &refreshed, &error)) << error;
  EXPECT_EQ(refreshed.size(), 2u);
}

TEST_F(ListsTest, DefaultListsAreSubscribedAndARemovedOneStaysRemoved) {
  const std::string good = Url("/list.txt");
  const std::string unreachable =
      "http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()) + "/list.txt";
  setenv("CVIE_DEFAULT_LISTS", (good + " " + unreachable).c_str(), 1);

  std::vector<Subscription> fresh = Subscriptions();
  ASSERT_EQ(fresh.size(), 2u);
  EXPECT_EQ(lists::StateText(fresh[0]), "not downloaded yet");

  std::vector<ListRefresh> refreshed;
  std::string error;
  ASSERT_TRUE(RefreshLists(false, nullptr, &refreshed, &error)) << error;
  ASSERT_EQ(refreshed.size(), 2u);
  std::vector<Subscription> after = Subscriptions();
  EXPECT_EQ(lists::StateText(after[0]), "ok");
  EXPECT_EQ(lists::StateText(after[1]).rfind("not downloaded yet: ", 0), 0u)
      << lists::StateText(after[1]);
  EXPECT_NE(lists::StateText(after[1]).find("connect"), std::string::npos)
      << lists::StateText(after[1]);
  // A list never downloaded is due at every check.
  EXPECT_TRUE(after[1].Due(time(nullptr)));

  ASSERT_EQ(RemoveList(good, &error), lists::RemoveResult::kRemoved) << error;
  EXPECT_EQ(StoredBody(good), "(none)");
  EXPECT_EQ(RemoveList(good, &error), lists::RemoveResult::kNotSubscribed);
  after = Subscriptions();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].url, unreachable);
  ASSERT_TRUE(RefreshLists(true, nullptr, &refreshed, &error)) << error;
  EXPECT_EQ(Subscriptions().size(), 1u);

  // Subscribing to it again by hand brings it back.
  ASSERT_EQ(AddList(good, "", &error), AddListResult::kAdded) << error;
  ASSERT_EQ(RemoveList(unreachable, &error), lists::RemoveResult::kRemoved) << error;
  after = Subscriptions();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].url, good);
  setenv("CVIE_DEFAULT_LISTS", "", 1);
}

TEST_F(ListsTest, StoreIsWrittenAndReadBackAndADamagedOneIsKept) {
  const std::wstring folder = platform::ToWide((root_->path() / "store").string());
  SubscriptionStore store(folder);
  std::string error;
  ASSERT_TRUE(store.Load(&error)) << error;
  ASSERT_TRUE(store.Add("https://a.example/list.txt", "Title \"quoted\" \xC3\xA9"));
  ASSERT_TRUE(store.Add("https://b.example/list.txt", ""));
  lists::FilterList parsed = lists::ParseFilterList(SmallList("9"), "b");
  ASSERT_TRUE(
      store.Install("https://b.example/list.txt", SmallList("9"), parsed, 1000, &error))
      << error;
  store.RecordFailure("https://a.example/list.txt", "could not resolve host: a.example",
                      2000);
  ASSERT_TRUE(store.Save(&error)) << error;

  SubscriptionStore read(folder);
  ASSERT_TRUE(read.Load(&error)) << error;
  ASSERT_EQ(read.subscriptions().size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const Subscription& a = store.subscriptions()[i];
    const Subscription& b = read.subscriptions()[i];
    EXPECT_EQ(a.url, b.url);
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.title, b.title);
    EXPECT_EQ(a.title_from_user, b.title_from_user);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.network_rules, b.network_rules);
    EXPECT_EQ(a.hiding_rules, b.hiding_rules);
    EXPECT_EQ(a.skipped, b.skipped);
    EXPECT_EQ(a.last_update, b.last_update);
    EXPECT_EQ(a.next_update, b.next_update);
    EXPECT_EQ(a.last_attempt, b.last_attempt);
    EXPECT_EQ(a.last_error, b.last_error);
  }
  EXPECT_EQ(read.subscriptions()[1].next_update, 1000 + 2 * 24 * 3600);
  EXPECT_EQ(read.subscriptions()[0].last_error, "could not resolve host: a.example");

  const std::string path = platform::ToNarrow(read.StorePath());
  const char* kDamaged[] = {"{\"format\":1,\"lists\":[{\"url\":", "not json at all",
                            "{\"format\":1,\"lists\":{}}", "{\"format\":7,\"lists\":[]}",
                            "{\"format\":1,\"lists\":[{\"title\":\"no url\"}]}"};
  for (const char* damaged : kDamaged) {
    testing::WriteFile(path, damaged);
    SubscriptionStore broken(folder);
    EXPECT_FALSE(broken.Load(&error)) << damaged;
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_FALSE(broken.Save(&error)) << damaged;
    std::string after;
    ASSERT_TRUE(testing::ReadFile(path, &after));
    EXPECT_EQ(after, damaged);
  }
}

TEST_F(ListsTest, TheUpdateWorkerRefreshesDueListsAndKeepsACopyOnFailure) {
  std::string error;
  ASSERT_EQ(AddList(Url("/list.txt"), "", &error), AddListResult::kAdded) << error;
  server_.SetRoute("/later.txt", {404, ""});
  {  // A second list, not downloaded yet, and the first one due.
    auto mutex = lists::OpenStoreMutex();
    platform::NamedMutexLock lock(mutex.get());
    SubscriptionStore store(lists::ListsFolderPath());
    ASSERT_TRUE(store.Load(&error)) << error;
    store.Add(Url("/later.txt"), "");
    store.Find(Url("/list.txt"))->next_update = time(nullptr) - 1;
    ASSERT_TRUE(store.Save(&error)) << error;
  }
  server_.SetRoute("/list.txt", {200, SmallList("5")});
  CCommMgr* manager = CommMgr();
  ASSERT_NE(manager, nullptr);
  ASSERT_EQ(manager->StartUpdateWorker(false), 0);
  ASSERT_TRUE(manager->WaitForWorkers(30000));
  EXPECT_EQ(StoredBody(Url("/list.txt")), SmallList("5"));
  std::vector<Subscription> after = Subscriptions();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].version, "5");
  EXPECT_EQ(lists::StateText(after[1]).rfind("not downloaded yet: ", 0), 0u);
  EXPECT_NE(after[1].last_error.find("404"), std::string::npos) << after[1].last_error;
}

// While a process runs, the refresher looks for due lists on its timer:
// a list whose expiry passed is downloaded, one not due yet is left alone.
TEST_F(ListsTest, TheRefresherDownloadsListsThatFallDueWhileTheProcessRuns) {
  server_.SetRoute("/other.txt", {200, SmallList("1")});
  std::string error;
  ASSERT_EQ(AddList(Url("/list.txt"), "", &error), AddListResult::kAdded) << error;
  ASSERT_EQ(AddList(Url("/other.txt"), "", &error), AddListResult::kAdded) << error;
  server_.SetRoute("/list.txt", {200, SmallList("2")});
  server_.SetRoute("/other.txt", {200, SmallList("2")});
  const std::string generation_before = Generation();

  ListRefresher refresher(std::chrono::milliseconds(20));
  // Nothing is due: looks pass without a download.
  for (int i = 0; i < 500 && refresher.looks() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(refresher.looks(), 3);
  EXPECT_EQ(StoredBody(Url("/list.txt")), SmallList("1"));

  {  // The first list's expiry passes.
    auto mutex = lists::OpenStoreMutex();
    platform::NamedMutexLock lock(mutex.get());
    SubscriptionStore store(lists::ListsFolderPath());
    ASSERT_TRUE(store.Load(&error)) << error;
    store.Find(Url("/list.txt"))->next_update = time(nullptr) - 1;
    ASSERT_TRUE(store.Save(&error)) << error;
  }
  // The new body is written first, then the generation announces it: wait
  // for both.
  for (int i = 0; i < 500 && (StoredBody(Url("/list.txt")) != SmallList("2") ||
                              Generation() == generation_before);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(StoredBody(Url("/list.txt")), SmallList("2"));
  EXPECT_EQ(StoredBody(Url("/other.txt")), SmallList("1"));
  EXPECT_NE(Generation(), generation_before);
}

// Threads adding and refreshing lists at once (as panel requests and the
// update worker do) lose no subscription and no body.
TEST_F(ListsTest, ConcurrentAddsAndRefreshesLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kListsEach = 2;
  for (int i = 0; i < kThreads * kListsEach; ++i) {
    server_.SetRoute("/c" + std::to_string(i) + ".txt",
                     {200, SmallList(std::to_string(i))});
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kListsEach; ++k) {
        std::string error;
        const std::string url = Url("/c" + std::to_string(t * kListsEach + k) + ".txt");
        if (AddList(url, "", &error) != AddListResult::kAdded) ++failures;
        std::vector<ListRefresh> refreshed;
        if (!RefreshLists(true, nullptr, &refreshed, &error)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<Subscription> after = Subscriptions();
  ASSERT_EQ(after.size(), static_cast<size_t>(kThreads * kListsEach));
  for (int i = 0; i < kThreads * kListsEach; ++i) {
    const std::string url = Url("/c" + std::to_string(i) + ".txt");
    EXPECT_EQ(StoredBody(url), SmallList(std::to_string(i))) << url;
    auto found = std::find_if(after.begin(), after.end(),
                              [&](const Subscription& s) { return s.url == url; });
    ASSERT_NE(found, after.end()) << url;
    EXPECT_EQ(found->version, std::to_string(i));
    EXPECT_EQ(found->last_error, "");
  }
}

}  // namespace
}  // namespace cvie
