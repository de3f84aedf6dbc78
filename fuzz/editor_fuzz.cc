// editor_fuzz: the page editor on arbitrary bytes.
//
// The first two bytes of an input choose the twelve option switches, the
// third the minimum image size; the rest is the page. The page is edited from
// a block of exactly its size (the sanitizers catch any read past it) with a
// checker that blocks by a hash of what it is asked, so every region, hiding
// and removal path runs on odd markup; only crashes, sanitizer reports and
// leaks count. The same page edited with a checker that blocks nothing must
// come out unchanged.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/editor_options.h"
#include "anyhtml/html_editor.h"

namespace {

using namespace cvie;

class StringWriter : public AnyHtmlEditorWriter {
 public:
  int32_t Write(const char* data, uint32_t length) override {
    out.append(data, length);
    return 0;
  }
  std::string out;
};

// Blocks about a third of what it is asked, decided by an FNV-1a hash of the
// kind and the text, so the same question always gets the same answer.
class HashChecker : public AnyHtmlEditorRuleChecker {
 public:
  explicit HashChecker(uint32_t seed) : seed_(seed) {}
  bool CheckElement(int kind, const char* text, int) override {
    return text != nullptr && Hash(static_cast<uint32_t>(kind), text) % 3 == 0;
  }
  bool CheckScript(const char* text, int) override {
    return text != nullptr && Hash(99, text) % 3 == 0;
  }

 private:
  uint32_t Hash(uint32_t kind, const char* text) const {
    uint32_t h = 2166136261u ^ seed_ ^ kind;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
      h = (h ^ *p) * 16777619u;
    }
    return h;
  }
  uint32_t seed_;
};

class AllowAll : public AnyHtmlEditorRuleChecker {
 public:
  bool CheckElement(int, const char*, int) override { return false; }
  bool CheckScript(const char*, int) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  EditorOptions options;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&options);
  const uint32_t bits = data[0] | (data[1] << 8);
  for (int i = 0; i < 12; ++i) bytes[i] = (bits >> i) & 1;
  options.min_image_width = data[2] & 0x0F;
  options.min_image_height = data[2] >> 4;
  const size_t length = size - 3;
  // Exactly the page's bytes: nothing may be read past them.
  std::unique_ptr<char[]> page(new char[length == 0 ? 1 : length]);
  if (length > 0) memcpy(page.get(), data + 3, length);

  for (int encoding : {0, 1}) {
    StringWriter blocked;
    HashChecker checker(data[0] ^ data[2]);
    {
      AnyHtmlEditor editor(&blocked, &options, &checker);
      editor.Edit(page.get(), length, encoding);
    }
    // The output of a blocking run goes into the program's own sink too.
    CEasyBuffer buffer;
    {
      AnyHtmlEditor editor(&buffer, &options, &checker);
      editor.Edit(page.get(), length, encoding);
    }
    // An empty buffer has no data block at all.
    if (buffer.GetSize() != blocked.out.size() ||
        (buffer.GetSize() > 0 &&
         memcmp(buffer.GetData(), blocked.out.data(), blocked.out.size()) != 0)) {
      abort();  // the same page and answers must give the same output
    }

    StringWriter unchanged;
    AllowAll allow;
    AnyHtmlEditor editor(&unchanged, &options, &allow);
    editor.Edit(page.get(), length, encoding);
    if (unchanged.out.size() != length ||
        memcmp(unchanged.out.data(), page.get(), length) != 0) {
      abort();
    }
  }
  return 0;
}
