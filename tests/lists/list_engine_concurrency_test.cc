// One engine is read by every proxy worker at once, each filtering its own
// page: the decisions that depend on the page (third-party, domain=, page
// exceptions) must come out on every thread as they do on one, also while
// the threads switch between pages and hosts all the time.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lists/filter_list.h"
#include "lists/list_engine.h"

namespace cvie::lists {
namespace {

constexpr char kList[] =
    "||ads.example^$third-party\n"
    "/track.js$domain=news.example|~shop.news.example\n"
    "||cdn.example/banner/\n"
    "@@||cdn.example/banner/ok^$domain=shop.example\n"
    "/^https?:\\/\\/[a-z]+\\.tracker\\.example\\/pixel/$image\n"
    "@@||shop.example^$document\n";

TEST(ListEngineConcurrency, ThreadsOnDifferentPagesDecideAsOneThreadDoes) {
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList(kList, "concurrency.txt"));
  std::unique_ptr<ListEngine> engine = ListEngine::Build(std::move(lists));
  ASSERT_NE(engine, nullptr);

  const std::vector<std::string> pages = {"https://news.example/story",
                                          "https://shop.news.example/cart",
                                          "https://shop.example/",
                                          "https://ads.example/home",
                                          "",
                                          "http://www.co.uk/"};
  const std::vector<std::string> urls = {"https://ads.example/a.js",
                                         "https://x.ads.example/b.png",
                                         "https://cdn.example/track.js",
                                         "https://cdn.example/banner/1.gif",
                                         "https://cdn.example/banner/ok/2.gif",
                                         "http://abc.tracker.example/pixel?1",
                                         "https://other.example/x.js"};
  const uint32_t types[] = {kTypeScript, kTypeImage};
  struct Expected {
    size_t page, url;
    uint32_t type;
    bool blocked;
  };
  std::vector<Expected> expected;
  size_t blocked = 0;
  for (size_t p = 0; p < pages.size(); ++p) {
    for (size_t u = 0; u < urls.size(); ++u) {
      for (uint32_t type : types) {
        const Decision reference = engine->DecideReference({type, urls[u], pages[p]});
        expected.push_back({p, u, type, reference.blocked});
        blocked += reference.blocked ? 1 : 0;
      }
    }
  }
  // The table has both answers, so a thread that mixed up pages would show.
  ASSERT_GT(blocked, 0u);
  ASSERT_LT(blocked, expected.size());

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        // Each thread walks the table from its own place, so that the
        // threads are on different pages at the same moment.
        for (size_t k = 0; k < expected.size(); ++k) {
          const Expected& e =
              expected[(k + static_cast<size_t>(t) * 7) % expected.size()];
          if (engine->Decide({e.type, urls[e.url], pages[e.page]}).blocked != e.blocked) {
            ++wrong;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace cvie::lists
