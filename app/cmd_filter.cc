// cvie filter [INPUT|-]: runs one page (a file, or standard input for "-" or
// no argument) through the HTML library and writes the result to standard
// output. For now every node is written back as it was parsed, so the output
// equals the input byte for byte; the page editor takes the parser's place
// once rules and options are wired in here.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/html_parser.h"
#include "command.h"

namespace cvie::app {
namespace {

struct FilterSettings {
  std::string input = "-";
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

// Writes every node of the page back through the writer as it was parsed.
class PassThroughParser : public AnyHtmlParser {
 public:
  explicit PassThroughParser(AnyHtmlEditorWriter* writer) : writer_(writer) {}

  int OnNode(AnyHtmlNode* node, int) override { return WriteNode(*node); }
  int OnElement(AnyHtmlElement* element, int) override { return WriteNode(*element); }

 private:
  int WriteNode(const AnyHtmlNode& node) {
    const char* text;
    size_t length;
    if (node.GetText(&text, &length) != 0 || length == 0) return 0;
    return writer_->Write(text, static_cast<uint32_t>(length));
  }

  AnyHtmlEditorWriter* writer_;
};

bool WriteOutput(const CEasyBuffer& output, std::string* error) {
  size_t size = output.GetSize();
  if (size > 0 && fwrite(output.GetData(), 1, size, stdout) != size) {
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
  std::unique_ptr<CEasyBuffer> page(new CEasyBuffer());
  if (!ReadPage(settings.input, page.get(), &error)) return Fail(error);

  std::unique_ptr<CEasyBuffer> output(new CEasyBuffer());
  PassThroughParser parser(output.get());
  int result = parser.Parse(page->GetData(), page->GetSize(), ENCODING_UNKNOWN);
  if (result != 0) {
    return Fail(std::string("page not parsed to its end: ") + AnyHtmlErrorText(result));
  }
  output->SetComplete();
  if (!WriteOutput(*output, &error)) return Fail(error);
  return 0;
}

CommandRun SetupFilter(CLI::App* sub) {
  auto settings = std::make_shared<FilterSettings>();
  sub->add_option("INPUT", settings->input,
                  "HTML page to filter; \"-\" or none reads standard input");
  return [settings] { return RunFilter(*settings); };
}

CommandRegistrar kFilter("filter",
                         "Filter one HTML page (file or standard input) to stdout",
                         SetupFilter);

}  // namespace
}  // namespace cvie::app
