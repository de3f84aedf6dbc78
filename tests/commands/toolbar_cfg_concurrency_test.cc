// The process's configuration is used from the proxy's threads and the
// control panel at once: look-ups while objects are registered and button
// menus prepared from several threads.

#include <atomic>
#include <thread>

#include "commands_fixture.h"

namespace cvie::testing {
namespace {

TEST_F(CommandsTest, ConcurrentLookUpsRegistrationAndMenus) {
  WriteWhitelist({L"a.example"});
  std::atomic<bool> failed{false};
  std::atomic<bool> wrong_mark{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 300; ++i) {
      cfg_.AddParam(std::make_unique<Param>(L"Extra " + std::to_wstring(i % 20), i));
      cfg_.AddCommand(std::make_unique<CmdToggleParam>(L"Extra Cmd " + std::to_wstring(i),
                                                       1000 + i, L"TRUE"));
    }
  });
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // Odd threads show a whitelisted site, even ones another site.
      const bool whitelisted = t % 2 == 1;
      FakeBrowser browser(whitelisted ? L"http://a.example/x" : L"http://b.example/y");
      CommandContext context = Context(&browser);
      for (int i = 0; i < 100; ++i) {
        if (cfg_.FindCommandId(L"About... Cmd") != 308) failed = true;
        if (!cfg_.FindCommandByName(L"Preferences Cmd")) failed = true;
        if (!cfg_.FindParam(kDisableOnPageParamName)) failed = true;
        CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0,
                               384);
        if (!menu.Prepare(&context) || menu.menu().items.size() != 11) {
          failed = true;
        } else if (menu.menu().items[3].checked != whitelisted) {
          wrong_mark = true;
        }
        menu.Cleanup(&context);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed.load());
  EXPECT_FALSE(wrong_mark.load()) << "a press saw the website mark of another window";
  EXPECT_EQ(1299, cfg_.FindCommandId(L"Extra Cmd 299"));
}

}  // namespace
}  // namespace cvie::testing
