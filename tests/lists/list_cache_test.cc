// The lists' index cache: a start with unchanged lists takes the index from
// the cache and decides as a fresh build; a cache made for other lists is
// replaced; a truncated or damaged cache (also one whose checksum was made to
// fit again) is never trusted blindly: the engine then decides as a fresh build.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "lists/filter_list.h"
#include "lists/list_engine.h"
#include "platform/text.h"
#include "rules/cache_bytes.h"

namespace cvie::lists {
namespace {

using testing::ReadFile;
using testing::ScopedCvieRoot;
using testing::WriteFile;

constexpr char kList[] =
    "! Title: cache test\n"
    "||ads.example.com^\n"
    "||tracker.example.net^$third-party\n"
    "/banner/*/img^\n"
    "-ad-box.\n"
    "/\\/pop[0-9]+\\.js/$script\n"
    "x^\n"
    "@@||ads.example.com/allowed^\n"
    "@@||news.example.org^$document\n"
    "||cdn.example.org/ads.js|$script,domain=shop.example.org\n";

const Request kRequests[] = {
    {kTypeImage, "http://ads.example.com/a.gif", "http://page.example.org/"},
    {kTypeImage, "http://ads.example.com/allowed/a.gif", "http://page.example.org/"},
    {kTypeScript, "http://tracker.example.net/t.js", "http://page.example.org/"},
    {kTypeImage, "http://x.org/banner/1/img?x", "http://page.example.org/"},
    {kTypeImage, "http://x.org/the-ad-box.png", "http://page.example.org/"},
    {kTypeScript, "http://x.org/pop12.js", "http://page.example.org/"},
    {kTypeImage, "http://x.org/pop12.js", "http://page.example.org/"},
    {kTypeImage, "http://x.org/x?", "http://page.example.org/"},
    {kTypeImage, "http://ads.example.com/a.gif", "http://news.example.org/"},
    {kTypeScript, "http://cdn.example.org/ads.js", "http://shop.example.org/"},
    {kTypeScript, "http://cdn.example.org/ads.js", "http://other.example.org/"},
    {kTypeImage, "http://clean.example.org/logo.png", "http://page.example.org/"},
};

std::unique_ptr<ListEngine> Load(const char* text, const std::filesystem::path& cache,
                                 bool* from_cache) {
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList(text, "test"));
  return ListEngine::LoadOrBuild(std::move(lists), platform::ToWide(cache.string()),
                                 from_cache);
}

// Every request decided as the rule-by-rule reference decides it, naming
// the same rules.
void ExpectDecidesAsTheReference(const ListEngine& engine, const std::string& label) {
  size_t blocked = 0;
  for (const Request& request : kRequests) {
    Decision indexed = engine.Decide(request);
    Decision reference = engine.DecideReference(request);
    EXPECT_EQ(indexed.blocked, reference.blocked) << label << ": " << request.url;
    EXPECT_EQ(engine.Describe(indexed.blocking), engine.Describe(reference.blocking))
        << label << ": " << request.url;
    EXPECT_EQ(engine.Describe(indexed.exception), engine.Describe(reference.exception))
        << label << ": " << request.url;
    blocked += indexed.blocked ? 1 : 0;
  }
  EXPECT_EQ(blocked, 7u) << label;
}

TEST(ListIndexCache, AStartWithUnchangedListsTakesTheIndexFromTheCache) {
  ScopedCvieRoot root;
  const std::filesystem::path cache = root.path() / "lists.idx";
  bool from_cache = true;
  std::unique_ptr<ListEngine> built = Load(kList, cache, &from_cache);
  ASSERT_NE(built, nullptr);
  EXPECT_FALSE(from_cache);
  ASSERT_TRUE(std::filesystem::exists(cache));
  ExpectDecidesAsTheReference(*built, "built");

  std::unique_ptr<ListEngine> cached = Load(kList, cache, &from_cache);
  ASSERT_NE(cached, nullptr);
  EXPECT_TRUE(from_cache);
  EXPECT_EQ(cached->IndexedCount(), built->IndexedCount());
  EXPECT_EQ(cached->FallbackCount(), built->FallbackCount());
  ExpectDecidesAsTheReference(*cached, "cached");

  // Other lists: the cache is stale, compiled again and replaced.
  std::string other = std::string(kList) + "||more.example.com^\n";
  std::unique_ptr<ListEngine> changed = Load(other.c_str(), cache, &from_cache);
  ASSERT_NE(changed, nullptr);
  EXPECT_FALSE(from_cache);
  EXPECT_TRUE(changed->Decide({kTypeImage, "http://more.example.com/", ""}).blocked);
  Load(other.c_str(), cache, &from_cache);
  EXPECT_TRUE(from_cache);
  Load(kList, cache, &from_cache);
  EXPECT_FALSE(from_cache);
}

TEST(ListIndexCache, ATruncatedOrDamagedCacheIsCompiledAgain) {
  ScopedCvieRoot root;
  const std::filesystem::path cache = root.path() / "lists.idx";
  bool from_cache = false;
  ASSERT_NE(Load(kList, cache, &from_cache), nullptr);
  std::string good;
  ASSERT_TRUE(ReadFile(cache, &good));
  ASSERT_GT(good.size(), 64u);

  struct Damage {
    std::string label;
    std::string bytes;
  };
  std::vector<Damage> damaged = {
      {"empty", ""},
      {"magic only", good.substr(0, 8)},
      {"half", good.substr(0, good.size() / 2)},
      {"last byte missing", good.substr(0, good.size() - 1)},
      {"one byte more", good + "x"},
  };
  for (size_t at : {size_t{0}, size_t{9}, good.size() / 3, good.size() - 9}) {
    std::string flipped = good;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
    damaged.push_back({"flipped at " + std::to_string(at), flipped});
  }
  for (const Damage& d : damaged) {
    WriteFile(cache, d.bytes);
    std::unique_ptr<ListEngine> engine = Load(kList, cache, &from_cache);
    ASSERT_NE(engine, nullptr) << d.label;
    EXPECT_FALSE(from_cache) << d.label;
    ExpectDecidesAsTheReference(*engine, d.label);
  }

  // Damage whose checksum was made to fit again, at places spread over the
  // whole file (sizes, counts, rule numbers, the databases): whatever is
  // taken, the decisions stay those of a fresh build.
  std::string body = good.substr(0, good.size() - sizeof(uint64_t));
  const size_t step = std::max<size_t>(1, body.size() / 60);
  for (size_t at = 0; at < body.size(); at += step) {
    for (unsigned char mask : {0x01, 0x80}) {
      std::string resealed = body;
      resealed[at] = static_cast<char>(resealed[at] ^ mask);
      cache_bytes::Seal(&resealed);
      WriteFile(cache, resealed);
      std::unique_ptr<ListEngine> engine = Load(kList, cache, &from_cache);
      ASSERT_NE(engine, nullptr) << at;
      ExpectDecidesAsTheReference(*engine, "resealed flip at " + std::to_string(at));
    }
  }
}

}  // namespace
}  // namespace cvie::lists
