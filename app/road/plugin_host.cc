#include "road/plugin_host.h"

#include <stdio.h>

#include "comm/user_identity.h"
#include "comm/version_info.h"
#include "config/data_folders.h"
#include "ie/mime_filter.h"
#include "ie/ns_handler.h"
#include "log/logger.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "road/pass_over.h"
#include "rules/bundled_rules.h"
#include "rules/rule_loading.h"
#include "rules/rules_holder.h"
#include "whitelist/whitelist.h"

namespace cvie::road {
namespace {

std::string HexCode(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

}  // namespace

bool PluginHost::Open(bool update_check, std::string* error) {
  if (opened_) return true;
  platform::DeclareBrowserProcess(true);
  EnsureUserIdentity();
  CreateDataFolders();
  Logger::Instance().Log(LOG_NOTICE, L"Version %c.%c compiled on %s %s\n", L'2', L'2',
                         __DATE__, __TIME__);

  const std::wstring& installed = RuleFilePath();
  if (!platform::PathExists(installed) &&
      InstallRuleFileContents(BundledRuleFile(), installed) != 0) {
    *error = "no rule file is installed and the bundled one cannot be installed as " +
             ToNarrow(installed);
    return false;
  }
  if (update_check) {
    if (CheckRuleFile(installed) == -1) {
      VersionInfo::Instance().RunUpdateCheck(false);
    } else {
      VersionInfo::Instance().CheckVersionFile();
    }
  }
  PrepareRules();
  RulesHolder* rules = ProcessRules();
  if (!rules || !rules->loaded()) {
    *error = "the rule file " + ToNarrow(installed) +
             " fails its check (see cvie rules check, cvie rules install)";
    return false;
  }
  Whitelist::Instance().Load();

  opened_ = true;
  HRESULT hr = RegisterPassOver();
  pass_over_ = SUCCEEDED(hr);
  if (SUCCEEDED(hr)) {
    hr = RegisterHtmlFilter();
    filter_ = SUCCEEDED(hr);
  }
  if (SUCCEEDED(hr)) {
    hr = RegisterNamespaceHandler();
    handler_ = SUCCEEDED(hr);
  }
  if (FAILED(hr)) {
    *error = "cannot register the page filter in the session (" + HexCode(hr) + ")";
    Close();
    return false;
  }
  return true;
}

void PluginHost::Close() {
  if (!opened_) return;
  if (handler_) UnregisterNamespaceHandler();
  if (filter_) UnregisterHtmlFilter();
  if (pass_over_) UnregisterPassOver();
  handler_ = filter_ = pass_over_ = false;
  opened_ = false;
}

}  // namespace cvie::road
