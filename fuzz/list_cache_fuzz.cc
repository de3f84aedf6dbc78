// list_cache_fuzz: the filter lists' index cache read back from any bytes.
//
// A small fixed list is parsed; the input becomes the cache file, either as
// it is (first byte even) or, to reach past the checksum, with the checksum
// made to fit (first byte odd). ListEngine::LoadOrBuild must never crash or
// read outside its buffers, and whatever it takes or compiles instead, every
// request must be decided as the rule-by-rule reference decides it.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lists/filter_list.h"
#include "lists/list_engine.h"
#include "platform/files.h"
#include "platform/text.h"
#include "rules/cache_bytes.h"

namespace {

using namespace cvie;
using namespace cvie::lists;

constexpr char kList[] =
    "||ads.example.com^\n"
    "/banner/*/img^\n"
    "-ad-box.\n"
    "/\\/pop[0-9]+\\.js/$script\n"
    "x^\n"
    "@@||ads.example.com/allowed^\n"
    "||cdn.example.org/ads.js|$script,domain=shop.example.org\n";

const Request kRequests[] = {
    {kTypeImage, "http://ads.example.com/a.gif", "http://page.example.org/"},
    {kTypeImage, "http://ads.example.com/allowed/a.gif", "http://page.example.org/"},
    {kTypeImage, "http://x.org/banner/1/img?x", "http://page.example.org/"},
    {kTypeImage, "http://x.org/the-ad-box.png", "http://page.example.org/"},
    {kTypeScript, "http://x.org/pop12.js", "http://page.example.org/"},
    {kTypeImage, "http://x.org/x?", "http://page.example.org/"},
    {kTypeScript, "http://cdn.example.org/ads.js", "http://shop.example.org/"},
};

const std::wstring& CachePath() {
  static const std::wstring path =
      platform::ToWide((std::filesystem::temp_directory_path() /
                        ("list_cache_fuzz." + std::to_string(getpid()) + ".idx"))
                           .string());
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0) cache_bytes::Seal(&bytes);
  std::string error;
  if (!platform::WriteFileAtomically(CachePath(), bytes, &error)) return 0;
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList(kList, "fuzz"));
  bool from_cache = false;
  std::unique_ptr<ListEngine> engine =
      ListEngine::LoadOrBuild(std::move(lists), CachePath(), &from_cache);
  if (!engine) abort();
  for (const Request& request : kRequests) {
    if (engine->Decide(request).blocked != engine->DecideReference(request).blocked) {
      abort();
    }
  }
  return 0;
}
