// cvie_win_filter RULES.txt PAGE: the Windows build's page editor run over one
// page with a plain rule list and the stored options, as `cvie filter
// --rule-text RULES.txt PAGE` does on Linux; the rewritten page goes to
// standard output unchanged (binary mode). Used under Wine to compare the two
// builds' output byte for byte.

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/html_editor.h"
#include "config/options.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

using namespace cvie;

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: cvie_win_filter RULES.txt PAGE\n");
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  CVCfg& cfg = CVCfg::Instance();
  EditorOptions options = cfg.GetEditorOptions();

  RulesHolder rules;
  std::vector<BadRuleLine> bad;
  if (!ReadRuleText(argv[1], &rules, &bad)) {
    fprintf(stderr, "cannot read rule list: %s\n", argv[1]);
    return 1;
  }
  rules.set_loaded(true);

  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  std::string page((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());

  std::unique_ptr<CEasyBuffer> output(new CEasyBuffer());
  int result;
  {
    AnyHtmlEditor editor(output.get(), &options, &rules);
    result = editor.Edit(page.data(), page.size(), ENCODING_UNKNOWN);
  }
  if (result != 0) {
    fprintf(stderr, "page not parsed to its end: %d\n", result);
    return 1;
  }
  output->SetComplete();
  fwrite(output->GetData(), 1, output->GetSize(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}
