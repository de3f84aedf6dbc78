// cvie lists: the subscribed filter lists as a table; cvie lists add URL
// [--title T], cvie lists remove URL, cvie lists update [--force].

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "comm/list_updater.h"
#include "command.h"
#include "lists/subscriptions.h"

namespace cvie::app {
namespace {

using lists::Subscription;

// The table's rows: a header, then one row per list; every column padded to
// its widest cell except the last (the state, which can be long).
std::string Table(const std::vector<Subscription>& subscriptions) {
  std::vector<std::vector<std::string>> rows = {{"ADDRESS", "TITLE", "VERSION", "NETWORK",
                                                 "HIDING", "SKIPPED", "LAST UPDATE",
                                                 "NEXT UPDATE", "STATE"}};
  for (const Subscription& s : subscriptions) {
    const bool got = s.downloaded();
    rows.push_back(
        {s.url, s.title.empty() ? "-" : s.title, s.version.empty() ? "-" : s.version,
         got ? std::to_string(s.network_rules) : "-",
         got ? std::to_string(s.hiding_rules) : "-",
         got ? std::to_string(s.skipped) : "-", lists::FormatTime(s.last_update),
         got ? lists::FormatTime(s.next_update) : "at the next update",
         lists::StateText(s)});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      out += row[i];
      if (i + 1 < row.size()) out += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out += "\n";
  }
  return out;
}

CommandRun SetupLists(CLI::App*) {
  return [] {
    std::vector<Subscription> subscriptions;
    std::string error;
    if (!ReadSubscriptions(&subscriptions, &error)) return Fail(error);
    if (subscriptions.empty()) {
      printf("No filter lists are subscribed (cvie lists add URL subscribes to one).\n");
      return 0;
    }
    fputs(Table(subscriptions).c_str(), stdout);
    return 0;
  };
}

CommandRun SetupAdd(CLI::App* sub) {
  auto url = std::make_shared<std::string>();
  auto title = std::make_shared<std::string>();
  sub->add_option("URL", *url, "Address of the list (http:// or https://)")->required();
  sub->add_option("--title", *title, "Name shown for the list instead of its own title");
  return [url, title] {
    std::string error;
    switch (AddList(*url, *title, &error)) {
      case AddListResult::kAdded:
        break;
      case AddListResult::kBadAddress:
        return UsageError("cannot subscribe to " + *url + ": " + error);
      case AddListResult::kAlreadySubscribed:
        return Fail(error);
      case AddListResult::kFailed:
        return Fail("cannot subscribe to " + *url + ": " + error);
    }
    std::vector<Subscription> subscriptions;
    if (ReadSubscriptions(&subscriptions, &error)) {
      for (const Subscription& s : subscriptions) {
        if (s.url != *url) continue;
        printf(
            "Subscribed to %s%s: %llu network rules, %llu hiding rules, %llu skipped\n",
            url->c_str(), s.title.empty() ? "" : (" (" + s.title + ")").c_str(),
            static_cast<unsigned long long>(s.network_rules),
            static_cast<unsigned long long>(s.hiding_rules),
            static_cast<unsigned long long>(s.skipped));
      }
    }
    return 0;
  };
}

CommandRun SetupRemove(CLI::App* sub) {
  auto url = std::make_shared<std::string>();
  sub->add_option("URL", *url, "Address of the list, as `cvie lists` shows it")
      ->required();
  return [url] {
    std::string error;
    lists::RemoveResult removed = RemoveList(*url, &error);
    if (removed == lists::RemoveResult::kFailed) return Fail(error);
    if (removed == lists::RemoveResult::kNotSubscribed)
      return Fail("not subscribed to " + *url);
    printf("Unsubscribed from %s\n", url->c_str());
    return 0;
  };
}

CommandRun SetupUpdate(CLI::App* sub) {
  auto force = std::make_shared<bool>(false);
  sub->add_flag("--force", *force, "Download every list, also those not yet due");
  return [force] {
    std::vector<ListRefresh> refreshed;
    std::string error;
    if (!RefreshLists(*force, nullptr, &refreshed, &error)) return Fail(error);
    if (refreshed.empty()) printf("No filter list is due.\n");
    int failed = 0;
    for (const ListRefresh& list : refreshed) {
      if (list.ok) {
        printf("Updated %s: %s\n", list.url.c_str(), list.detail.c_str());
      } else {
        ++failed;
        printf("Kept as it was %s: %s\n", list.url.c_str(), list.detail.c_str());
      }
    }
    fflush(stdout);
    if (failed > 0) {
      return Fail(std::to_string(failed) + " of " + std::to_string(refreshed.size()) +
                  " filter lists could not be updated");
    }
    return 0;
  };
}

CommandRegistrar kLists("lists",
                        "Show the subscribed filter lists (add, remove, update: change "
                        "them)",
                        SetupLists);
CommandRegistrar kAdd("lists add",
                      "Download a filter list and subscribe to it when it is one",
                      SetupAdd);
CommandRegistrar kRemove("lists remove", "Unsubscribe from a filter list and delete it",
                         SetupRemove);
CommandRegistrar kUpdate("lists update",
                         "Download the filter lists that are due (--force: all of them)",
                         SetupUpdate);

}  // namespace
}  // namespace cvie::app
