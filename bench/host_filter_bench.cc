// The cost of deciding a CONNECT by host alone: builds the host filter from
// EasyList and EasyPrivacy (the shared copies) and prints the build time, the
// table sizes and the mean time of one Decide over a mix of listed hosts,
// subdomains of listed hosts and unlisted hosts. A plain program; skips when
// the lists are absent.

#include <stdio.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lists/filter_list.h"
#include "lists/host_filter.h"

namespace {

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return true;
}

}  // namespace

int main() {
  using Clock = std::chrono::steady_clock;
  const std::string dir = std::string(CVIE_SHARED_DIR) + "/lists/";
  std::vector<cvie::lists::FilterList> lists;
  for (const char* name : {"easylist.txt", "easyprivacy.txt"}) {
    std::string text;
    if (!ReadFile(dir + name, &text)) {
      printf("skipped: %s%s is absent\n", dir.c_str(), name);
      return 0;
    }
    lists.push_back(cvie::lists::ParseFilterList(text, name));
  }
  auto start = Clock::now();
  cvie::lists::HostFilter filter(lists);
  double build_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  printf(
      "build: %.1f ms; %zu blocked hosts, %zu excepted hosts, %zu page-dependent "
      "exceptions\n",
      build_ms, filter.blocking_hosts(), filter.exception_hosts(),
      filter.page_dependent_exceptions());

  // Hosts to ask: every listed host, one name under it, and one unlisted name
  // of the same shape, so that hits and misses both count.
  std::vector<std::string> hosts;
  for (const auto& list : lists) {
    for (const auto& rule : list.network) {
      std::string host = cvie::lists::HostOfRule(rule.text);
      if (host.empty()) continue;
      hosts.push_back(host);
      hosts.push_back("cdn.static." + host);
      hosts.push_back("www.not-listed-" + std::to_string(hosts.size()) + ".example.org");
    }
  }
  if (hosts.empty()) return 0;
  size_t blocked = 0;
  const int rounds = 10;
  start = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (const std::string& host : hosts) blocked += filter.Decide(host).blocked;
  }
  double total_ns =
      std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  printf("decide: %.0f ns per host (%zu hosts x %d rounds, %zu blocked per round)\n",
         total_ns / (static_cast<double>(hosts.size()) * rounds), hosts.size(), rounds,
         blocked / rounds);
  return 0;
}
