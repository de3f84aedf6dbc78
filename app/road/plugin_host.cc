#include "road/plugin_host.h"

#include "ie/bho.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "rules/bundled_rules.h"
#include "rules/rule_loading.h"
#include "rules/rules_holder.h"

namespace cvie::road {
// The update check the window start runs, left out with --no-update-check.
class NoUpdateCheck : public UpdateCheckStarter {
 public:
  int RunUpdateCheck(bool) override { return 0; }
  int CheckVersionFile() override { return 0; }
};

bool PluginHost::Open(bool update_check, std::string* error, WebBrowser* browser) {
  if (opened_) return true;
  platform::DeclareBrowserProcess(true);
  platform::CreateDataFolders();
  const std::wstring& installed = platform::RuleFilePath();
  if (!platform::PathExists(installed) &&
      InstallRuleFileContents(BundledRuleFile(), installed) != 0) {
    *error = "no rule file is installed and the bundled one cannot be installed as " +
             platform::ToNarrow(installed);
    return false;
  }

  opened_ = true;

  static NoUpdateCheck no_update_check;
  UpdateCheckStarter* previous =
      update_check ? nullptr : SetUpdateCheckStarter(&no_update_check);
  helper_ = std::make_unique<BrowserHelperWindow>(browser);
  helper_->Start();
  if (!update_check) SetUpdateCheckStarter(previous);

  RulesHolder* rules = ProcessRules();
  if (!rules || !rules->loaded()) {
    *error = "the rule file " + platform::ToNarrow(installed) +
             " fails its check (see cvie rules check, cvie rules install)";
    Close();
    return false;
  }
  return true;
}

void PluginHost::Close() {
  if (!opened_) return;
  if (helper_) {
    helper_->Stop();
    helper_.reset();
  }
  opened_ = false;
}

}  // namespace cvie::road
