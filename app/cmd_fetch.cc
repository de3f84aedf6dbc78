// cvie fetch [--explain] URL: fetches one address along the whole road of a
// page, as the proxy does for the browser: this process declares itself the
// browser, prepares the installed rules (installing the bundled rule file when
// none is installed yet), loads the whitelist, registers the HTML filter and
// the namespace handler in the URL-moniker session, binds the address and
// writes what the browser side reads to standard output. The stored options
// decide what is filtered.

#include <stdio.h>

#include <memory>
#include <string>

#include "command.h"
#include "ie/mime_filter.h"
#include "ie/ns_handler.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/urlmon_binding.h"
#include "rules/bundled_rules.h"
#include "rules/rule_loading.h"
#include "rules/rule_options.h"
#include "rules/rules_holder.h"
#include "whitelist/whitelist.h"

namespace cvie::app {
namespace {

struct FetchSettings {
  std::string url;
  bool explain = false;
};

// Tabs and line breaks written so that one decision stays one line.
std::string Escaped(const char* text) {
  std::string out;
  if (!text) return out;
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += *p;
    }
  }
  return out;
}

// Passes every question on to the rules and writes the decision to stderr:
// "<kind or script-block>\t<text>\t<blocked|allowed>".
class ExplainingChecker : public AnyHtmlEditorRuleChecker {
 public:
  explicit ExplainingChecker(AnyHtmlEditorRuleChecker* rules) : rules_(rules) {}

  bool CheckElement(int kind, const char* text, int encoding) override {
    bool blocked = rules_->CheckElement(kind, text, encoding);
    std::string name = kind >= 0 && kind < kElementKindCount ? kElementKinds[kind].name
                                                             : std::to_string(kind);
    Print(name, text, blocked);
    return blocked;
  }

  bool CheckScript(const char* text, int encoding) override {
    bool blocked = rules_->CheckScript(text, encoding);
    Print("script-block", text, blocked);
    return blocked;
  }

 private:
  static void Print(const std::string& kind, const char* text, bool blocked) {
    fprintf(stderr, "%s\t%s\t%s\n", kind.c_str(), Escaped(text).c_str(),
            blocked ? "blocked" : "allowed");
  }

  AnyHtmlEditorRuleChecker* rules_;
};

// Prepares the process-wide rules from the installed rule file, installing
// the bundled one first when there is none. False with *error set when no
// loaded rules can be had.
bool PrepareInstalledRules(std::string* error) {
  const std::wstring& installed = platform::RuleFilePath();
  if (!platform::PathExists(installed)) {
    if (InstallRuleFileContents(BundledRuleFile(), installed) != 0) {
      *error = "no rule file is installed and the bundled one cannot be installed as " +
               platform::ToNarrow(installed);
      return false;
    }
    fprintf(stderr, "cvie: no rule file was installed; installed the bundled one as %s\n",
            platform::ToNarrow(installed).c_str());
  }
  PrepareRules();
  RulesHolder* rules = ProcessRules();
  if (!rules || !rules->loaded()) {
    *error = "the rule file " + platform::ToNarrow(installed) +
             " fails its check (see cvie rules check, cvie rules install)";
    return false;
  }
  return true;
}

// Keeps the session registrations for the length of one fetch.
class SessionRegistrations {
 public:
  HRESULT Register() {
    HRESULT hr = RegisterHtmlFilter();
    if (FAILED(hr)) return hr;
    filter_ = true;
    hr = RegisterNamespaceHandler();
    if (FAILED(hr)) return hr;
    handler_ = true;
    return S_OK;
  }
  ~SessionRegistrations() {
    if (handler_) UnregisterNamespaceHandler();
    if (filter_) UnregisterHtmlFilter();
  }

 private:
  bool filter_ = false;
  bool handler_ = false;
};

std::string HexCode(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

int RunFetch(const FetchSettings& settings) {
  // Before anything asks the host test: this process plays the browser.
  platform::DeclareBrowserProcess(true);
  platform::CreateDataFolders();

  std::string error;
  if (!PrepareInstalledRules(&error)) return Fail(error);
  Whitelist::Instance().Load();

  std::unique_ptr<ExplainingChecker> explainer;
  if (settings.explain) {
    explainer = std::make_unique<ExplainingChecker>(ProcessRules());
    SetHtmlFilterChecker(explainer.get());
  }

  int status = 0;
  {
    SessionRegistrations registrations;
    HRESULT hr = registrations.Register();
    if (FAILED(hr)) {
      status =
          Fail("cannot register the page filter in the session (" + HexCode(hr) + ")");
    } else {
      BindRequest request;
      request.url = platform::ToWide(settings.url);
      std::unique_ptr<Binding> binding = Binding::Bind(request);
      std::string body;
      hr = binding->result();
      if (SUCCEEDED(hr)) hr = binding->ReadAll(&body);
      if (FAILED(hr)) {
        std::string why = binding->error_text();
        if (why.empty()) why = "the download failed (" + HexCode(hr) + ")";
        status = Fail("cannot fetch " + settings.url + ": " + why);
      } else if ((!body.empty() &&
                  fwrite(body.data(), 1, body.size(), stdout) != body.size()) ||
                 fflush(stdout) != 0) {
        status = Fail("cannot write standard output");
      }
    }
  }
  if (explainer) SetHtmlFilterChecker(nullptr);
  return status;
}

CommandRun SetupFetch(CLI::App* sub) {
  auto settings = std::make_shared<FetchSettings>();
  sub->add_option("URL", settings->url, "http://, https:// or file:// address")
      ->required();
  sub->add_flag("--explain", settings->explain,
                "Write each rule decision to stderr: kind, text, blocked or allowed");
  return [settings] { return RunFetch(*settings); };
}

CommandRegistrar kFetch("fetch",
                        "Fetch one address through the page filter, as the browser "
                        "would read it, to stdout",
                        SetupFetch);

}  // namespace
}  // namespace cvie::app
