// cvie whitelist list|add|remove|contains: the sites and pages exempt from
// filtering, in the per-user "whitelist.txt". Changes are saved at once and
// stamped, so a running proxy picks them up at its next lookup.

#include <stdio.h>

#include <memory>
#include <string>

#include "command.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "whitelist/whitelist.h"

namespace cvie::app {
namespace {

// The store as the file holds it now.
Whitelist& LoadedWhitelist() {
  Whitelist& list = Whitelist::Instance();
  list.Load();
  return list;
}

int SaveOrFail(Whitelist& list) {
  platform::CreateDataFolders();
  if (list.Save() != 0)
    return Fail("cannot write " + platform::ToNarrow(list.list_path()));
  return 0;
}

CommandRun SetupList(CLI::App*) {
  return [] {
    for (const std::wstring& entry : LoadedWhitelist().Entries()) {
      printf("%s\n", platform::ToNarrow(entry).c_str());
    }
    return 0;
  };
}

CommandRun SetupAdd(CLI::App* sub) {
  auto text = std::make_shared<std::string>();
  sub->add_option("TEXT", *text, "Host name (a whole site) or full address (one page)")
      ->required();
  return [text] {
    Whitelist& list = LoadedWhitelist();
    const std::wstring entry = platform::ToWide(*text);
    if (list.Contains(entry, true)) {
      printf("already on the whitelist: %s\n", text->c_str());
      return 0;
    }
    if (list.Add(entry.c_str()) != 0) {
      return UsageError("cannot add \"" + *text +
                        "\": an entry must be one line of text");
    }
    if (int rc = SaveOrFail(list)) return rc;
    printf("added: %s\n",
           platform::ToNarrow(entry.substr(0, kMaxWhitelistEntryLength)).c_str());
    return 0;
  };
}

CommandRun SetupRemove(CLI::App* sub) {
  auto text = std::make_shared<std::string>();
  sub->add_option("TEXT", *text, "The entry to take out, exactly as listed")->required();
  return [text] {
    Whitelist& list = LoadedWhitelist();
    if (list.Remove(platform::ToWide(*text).c_str()) == 0) {
      return Fail("not on the whitelist: " + *text);
    }
    if (int rc = SaveOrFail(list)) return rc;
    printf("removed: %s\n", text->c_str());
    return 0;
  };
}

CommandRun SetupContains(CLI::App* sub) {
  auto url = std::make_shared<std::string>();
  auto exact = std::make_shared<bool>(false);
  sub->add_option("URL", *url, "Address to look up")->required();
  sub->add_flag("--exact", *exact,
                "Only an entry equal to URL counts (default: an entry occurring in it)");
  return [url, exact] {
    printf("%s\n",
           LoadedWhitelist().Contains(platform::ToWide(*url), *exact) ? "yes" : "no");
    return 0;
  };
}

CommandRegistrar kList("whitelist list", "Print the whitelist, one entry a line",
                       SetupList);
CommandRegistrar kAdd("whitelist add", "Exempt a site or a page from filtering",
                      SetupAdd);
CommandRegistrar kRemove("whitelist remove", "Take an entry off the whitelist",
                         SetupRemove);
CommandRegistrar kContains("whitelist contains",
                           "Say whether an address is exempt (yes or no)", SetupContains);

}  // namespace
}  // namespace cvie::app
