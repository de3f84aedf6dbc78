// cvie filter [--rule-text FILE | --rules FILE.rle] [--list FILE]... [--page URL]
//             [--option NAME=VALUE]... [--explain] [INPUT|-]
//
// Runs one page (a file, or standard input for "-" or no argument) through
// the page editor, as the filter runs every page the browser loads, and
// writes the rewritten page to standard output. The rules are read from a
// plain rule list (--rule-text, one rule per line), an enciphered rule file
// (--rules), or else the installed rule file; filter lists from --list files,
// or, when no rules are named at all, the installed lists folder. With lists,
// --page gives the page's address (third-party, domain=, the hiding rules of
// its site) and the lists' hiding style element is added to the page;
// --explain then also writes "style", the element's size in bytes and its
// number of selectors. The switches are the
// stored options, as the filter uses them; each --option changes one of them,
// by its registry name, for this run only (nothing is stored). --explain
// writes one line per question the editor asks the rules, in order, to
// standard error: the kind ("script-block" for a whole script), the text
// asked about (tabs and line breaks written as \t \n \r; a text longer than
// 200 characters is cut there and followed by "... (N bytes)") and "blocked"
// or "allowed"; a blocked line ends with the rule that decided
// ("rules.txt:3: /ads/*.css$stylesheet": rule file name, line, rule text).

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/editor_options.h"
#include "anyhtml/html_editor.h"
#include "command.h"
#include "config/options.h"
#include "lists/list_set.h"
#include "lists/page_checker.h"
#include "log/logger.h"
#include "option_value.h"
#include "platform/text.h"
#include "rule_source.h"
#include "rules/rules_holder.h"

namespace cvie::app {
namespace {

struct FilterSettings {
  std::string input = "-";
  RuleSource rules;
  std::vector<std::string> options;
  std::string page;
  bool explain = false;
};

// Appends everything `read` yields to `page`. `read` fills a chunk and returns
// its size, 0 at the end, or -1 on a read error.
template <typename ReadChunk>
bool AppendAll(ReadChunk read, CEasyBuffer* page) {
  char chunk[1 << 16];
  for (;;) {
    long n = read(chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) return true;
    if (FAILED(page->Append(chunk, static_cast<ULONG>(n)))) {
      errno = ENOMEM;
      return false;
    }
  }
}

// Reads the whole page into `page`, followed by two zero bytes that do not
// count (the parser's callers provide them). On failure sets *error to a
// one-line message.
bool ReadPage(const std::string& input, CEasyBuffer* page, std::string* error) {
  bool ok;
  if (input == "-") {
    ok = AppendAll(
        [](char* chunk, size_t size) -> long {
          size_t n = fread(chunk, 1, size, stdin);
          return n == 0 && ferror(stdin) ? -1 : static_cast<long>(n);
        },
        page);
  } else {
    std::error_code ec;
    if (std::filesystem::is_directory(input, ec)) {
      *error = "cannot read " + input + ": Is a directory";
      return false;
    }
    std::ifstream in(input, std::ios::binary);
    if (!in) {
      *error = "cannot read " + input + ": " + strerror(errno ? errno : ENOENT);
      return false;
    }
    errno = 0;
    ok = AppendAll(
        [&in](char* chunk, size_t size) -> long {
          in.read(chunk, static_cast<std::streamsize>(size));
          if (in.bad()) return -1;
          return static_cast<long>(in.gcount());
        },
        page);
  }
  if (!ok) {
    *error = "cannot read " + (input == "-" ? std::string("standard input") : input) +
             ": " + strerror(errno ? errno : EIO);
    return false;
  }
  static const char kZeros[2] = {0, 0};
  if (FAILED(page->Append(kZeros, 2))) {
    *error = "page too large";
    return false;
  }
  page->RemoveTail(2);
  page->SetComplete();
  return true;
}

// What one run filters with: the editor's switches, and whether filtering is
// on at all ("Enable Corvane").
struct RunOptions {
  EditorOptions editor;
  bool enabled = true;
};

// Applies one "NAME=VALUE" to `run`, as the stored option of that registry
// name would act if it had that value.
bool ApplyOption(const std::string& assignment, RunOptions* run, std::string* error) {
  size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0) {
    *error = "--option needs NAME=VALUE, got \"" + assignment + "\"";
    return false;
  }
  const std::string name = assignment.substr(0, equals);
  const std::string text = assignment.substr(equals + 1);
  const int index = FindOption(platform::ToWide(name));
  if (index < 0) {
    *error = "unknown option \"" + name + "\" (see cvie options list)";
    return false;
  }
  int32_t value;
  if (!ParseOptionValue(text, &value)) {
    *error = "not an integer: \"" + text + "\" for option " + name;
    return false;
  }
  EditorOptions& o = run->editor;
  switch (index) {
    case OPTION_ENABLE_CORVANE:
      run->enabled = value == 1;
      break;
    case OPTION_COLLAPSE_BLOCKED_ELEMENTS:
      o.collapse_blocked = OptionByte(value);
      break;
    case OPTION_FILTER_SCRIPT:
      o.filter_script = OptionByte(value);
      break;
    case OPTION_FILTER_IMAGE:
      o.filter_image = OptionByte(value);
      break;
    case OPTION_CHECK_BANNER_LINK:
      o.check_banner_link = OptionByte(value);
      break;
    case OPTION_FILTER_MARQUEE:
      o.filter_marquee = OptionByte(value);
      break;
    case OPTION_ENABLE_LOGGING:
      Logger::Instance().SetEnabled(value == 1 ? 1 : 0);
      break;
    case OPTION_FILTER_FRAME:
      o.filter_frame = OptionByte(value);
      break;
    case OPTION_FILTER_FLASH:
      o.filter_flash = OptionByte(value);
      break;
    case OPTION_FILTER_CSS:
      o.filter_css = OptionByte(value);
      break;
    case OPTION_FILTER_BACKGROUND:
      o.filter_background = OptionByte(value);
      break;
    case OPTION_MIN_IMAGE_WIDTH_TO_CHECK:
      o.min_image_width = value;
      break;
    case OPTION_MIN_IMAGE_HEIGHT_TO_CHECK:
      o.min_image_height = value;
      break;
    default:
      // "ShowTabsForFlash", "BlockAdsOnLocalPage", "WhiteListTS": nothing in
      // filtering one page file depends on them.
      break;
  }
  return true;
}

// How much of a checked text --explain shows.
constexpr size_t kExplainedCharacters = 200;

// Writes each question and its answer to standard error, one line each.
class ExplainingChecker : public AnyHtmlEditorRuleChecker {
 public:
  explicit ExplainingChecker(AnyHtmlEditorRuleChecker* rules) : rules_(rules) {}

  bool CheckElement(int kind, const char* text, int encoding) override {
    static const char* const kKinds[] = {"link",       "image",   "background",
                                         "flash",      "script",  "frame",
                                         "stylesheet", "marquee", "div"};
    CheckVerdict verdict;
    bool blocked = rules_->ExplainElementCheck(kind, text, encoding, &verdict);
    std::string kind_name = kind >= 0 && kind <= 8 ? kKinds[kind] : std::to_string(kind);
    Explain(kind_name.c_str(), text, verdict);
    return blocked;
  }
  bool CheckScript(const char* text, int encoding) override {
    CheckVerdict verdict;
    bool blocked = rules_->ExplainScriptCheck(text, encoding, &verdict);
    Explain("script-block", text, verdict);
    return blocked;
  }

 private:
  void Explain(const char* kind, const char* text, const CheckVerdict& verdict) {
    line_.assign(kind);
    line_ += '\t';
    const char* p = text ? text : "";
    // A long text (a whole script, most often) is cut after its first
    // kExplainedCharacters characters (UTF-8 sequences kept whole), with its
    // length in bytes, so that one page cannot fill the terminal.
    const size_t length = strlen(p);
    size_t characters = 0;
    for (; *p; ++p) {
      if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80 &&
          ++characters > kExplainedCharacters) {
        break;
      }
      switch (*p) {
        case '\t':
          line_ += "\\t";
          break;
        case '\n':
          line_ += "\\n";
          break;
        case '\r':
          line_ += "\\r";
          break;
        default:
          line_ += *p;
          break;
      }
    }
    if (*p) line_ += "... (" + std::to_string(length) + " bytes)";
    line_ += verdict.blocked ? "\tblocked" : "\tallowed";
    if (!verdict.rule.empty()) line_ += "\t" + verdict.rule;
    if (!verdict.exception.empty()) line_ += "\texception " + verdict.exception;
    line_ += '\n';
    fwrite(line_.data(), 1, line_.size(), stderr);
  }

  AnyHtmlEditorRuleChecker* rules_;
  std::string line_;
};

bool WriteOutput(const char* data, size_t size, std::string* error) {
  if (size > 0 && fwrite(data, 1, size, stdout) != size) {
    *error = std::string("cannot write standard output: ") + strerror(errno);
    return false;
  }
  if (fflush(stdout) != 0) {
    *error = std::string("cannot write standard output: ") + strerror(errno);
    return false;
  }
  return true;
}

int RunFilter(const FilterSettings& settings) {
  std::string error;

  // The stored options as the filter reads them for a page, then this run's
  // changes; "Enable Corvane" is read as the filter reads it.
  CVCfg& cfg = CVCfg::Instance();
  RunOptions run;
  run.editor = cfg.GetEditorOptions();
  run.enabled = cfg.GetEnableCorvane() == 1;
  for (const std::string& assignment : settings.options) {
    if (!ApplyOption(assignment, &run, &error)) return UsageError(error);
  }

  // A plain rule list, an enciphered rule file, or the installed rule file;
  // none when only lists are named.
  std::unique_ptr<RulesHolder> owned;
  RulesHolder* rules = nullptr;
  if (settings.rules.WantsRules()) {
    rules = settings.rules.Load(&owned, &error);
    if (rules == nullptr) return Fail(error);
  }
  std::shared_ptr<const lists::ListSet> list_set;
  if (!settings.rules.LoadListSet(&list_set, &error)) return Fail(error);

  std::unique_ptr<CEasyBuffer> page(new CEasyBuffer());
  if (!ReadPage(settings.input, page.get(), &error)) return Fail(error);
  if (!run.enabled) {
    // Filtering is off: the page passes as it came.
    if (!WriteOutput(page->GetData(), page->GetSize(), &error)) return Fail(error);
    return 0;
  }

  // With lists, the page's own checker asks the rules and the lists, as the
  // filter does for a page in the browser.
  lists::PageChecker page_checker(rules, list_set.get(), settings.page);
  AnyHtmlEditorRuleChecker* decider =
      list_set ? static_cast<AnyHtmlEditorRuleChecker*>(&page_checker) : rules;
  ExplainingChecker explaining(decider);
  AnyHtmlEditorRuleChecker* checker =
      settings.explain ? static_cast<AnyHtmlEditorRuleChecker*>(&explaining) : decider;
  std::unique_ptr<CEasyBuffer> output(new CEasyBuffer());
  int result;
  {
    AnyHtmlEditor editor(output.get(), &run.editor, checker);
    if (list_set) editor.SetPageStyle(&page_checker);
    result = editor.Edit(page->GetData(), page->GetSize(), ENCODING_UNKNOWN);
  }
  if (list_set && settings.explain) {
    const std::string selectors = page_checker.HidingSelectors();
    size_t count = 0;
    if (!selectors.empty())
      count = 1 + std::count(selectors.begin(), selectors.end(), ',');
    const size_t bytes = page_checker.StyleElement().size();
    fprintf(stderr, "style\t%zu bytes\t%zu selectors\n", bytes, count);
  }
  if (result == ANYHTML_WRITE_FAILED) {
    return Fail("cannot hold the filtered page in memory: page too large");
  }
  if (result != 0) {
    return Fail(std::string("page not parsed to its end: ") + AnyHtmlErrorText(result));
  }
  output->SetComplete();
  if (!WriteOutput(output->GetData(), output->GetSize(), &error)) return Fail(error);
  return 0;
}

CommandRun SetupFilter(CLI::App* sub) {
  auto settings = std::make_shared<FilterSettings>();
  // Without --rule-text or --rules, the installed rule file.
  settings->rules.AddOptions(sub);
  sub->add_option("--option", settings->options,
                  "NAME=VALUE: use VALUE for the stored option NAME (registry name, e.g. "
                  "FilterCSS=1) in this run only; may be repeated")
      ->allow_extra_args(false);
  sub->add_option("--page", settings->page,
                  "Address of the page (lists: third-party, domain=, hiding rules of its "
                  "site)");
  sub->add_flag("--explain", settings->explain,
                "Write each rule check to stderr: kind, text, blocked or allowed");
  sub->add_option("INPUT", settings->input,
                  "HTML page to filter; \"-\" or none reads standard input");
  return [settings] { return RunFilter(*settings); };
}

CommandRegistrar kFilter("filter",
                         "Filter one HTML page (file or standard input) to stdout",
                         SetupFilter);

}  // namespace
}  // namespace cvie::app
