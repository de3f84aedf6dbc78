// ecap_body_fuzz: the Squid adapter's body path (ecap/page_assembly.h) on
// arbitrary bodies cut into arbitrary pieces, without Squid.
//
// Input: byte 0 chooses the Content-Encoding and whether the body is coded
// here first (gzip, deflate, zstd) or handed over raw under a coding's name
// (mostly broken data); byte 1 the page limit; byte 2 whether the body ends
// where it should or is cut, and seeds the piece sizes; the rest is the page.
// Checks, beside crashes and sanitizer reports: a body that is not filtered
// goes out byte for byte as it was fed, and a page that was coded here comes
// out exactly as the same page sent plain.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <zlib.h>
#include <zstd.h>

#include <memory>
#include <string>

#include "ie/host_process.h"
#include "page_assembly.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "rules/rules_holder.h"

namespace {

using cvie::ecap::PageAssembly;

std::shared_ptr<cvie::RulesHolder> g_rules;

std::string Zlib(const std::string& text, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

std::string Zstd(const std::string& text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  size_t size = ZSTD_compress(&out[0], out.size(), text.data(), text.size(), 1);
  out.resize(ZSTD_isError(size) ? 0 : size);
  return out;
}

struct Coding {
  const char* header;
  int coded_here;  // 0: raw bytes under this name, 1 gzip, 2 deflate, 3 zstd
};
const Coding kCodings[] = {
    {"", 0},     {"identity", 0},      {"gzip", 1},    {"deflate", 2},
    {"zstd", 3}, {"gzip", 0},          {"deflate", 0}, {"br", 0},
    {"zstd", 0}, {"deflate, gzip", 0}, {"x-gzip", 1},
};

struct Run {
  PageAssembly::State state;
  std::string sent;
};

// Feeds `body` in pieces whose sizes come from `seed`, taking away what is
// sent after every piece, as the transaction does.
Run Drive(const std::string& header, const std::string& body, size_t limit, uint32_t seed,
          bool at_end) {
  PageAssembly assembly("http://fuzz.example/page.html", header, limit, g_rules);
  Run run{PageAssembly::State::kCollecting, ""};
  size_t at = 0;
  while (at < body.size()) {
    seed = seed * 1103515245u + 12345u;
    size_t piece = 1 + (seed >> 16) % ((seed & 1) ? 17 : 4096);
    if (piece > body.size() - at) piece = body.size() - at;
    assembly.Add(body.data() + at, piece);
    at += piece;
    run.sent.append(assembly.out().data(), assembly.out().size());
    assembly.out().Clear();
  }
  run.state = assembly.End(at_end);
  run.sent.append(assembly.out().data(), assembly.out().size());
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!getenv("CVIE_ROOT")) {
    static char root[] = "/tmp/cvie-ecap-fuzz-XXXXXX";
    if (mkdtemp(root)) setenv("CVIE_ROOT", root, 1);
  }
  cvie::platform::CreateDataFolders();
  cvie::platform::DeclareBrowserProcess(true);
  cvie::ResetBrowserProcessForTesting();
  g_rules = std::make_shared<cvie::RulesHolder>();
  for (const char* line : {"adserver.", "/ads/", "banner*.gif", "|http://track",
                           "script$script", "popup$link"}) {
    g_rules->ParseRule(line);
  }
  g_rules->set_loaded(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const Coding& coding = kCodings[data[0] % (sizeof kCodings / sizeof kCodings[0])];
  const size_t limit = data[1] == 255 ? (1u << 20) : 16 + size_t{data[1]} * 61;
  const bool at_end = (data[2] & 0x80) == 0;
  const uint32_t seed = data[2] * 2654435761u;
  const std::string page(reinterpret_cast<const char*>(data) + 3, size - 3);

  std::string body = page;
  if (coding.coded_here == 1) body = Zlib(page, 15 + 16);
  if (coding.coded_here == 2) body = Zlib(page, 15);
  if (coding.coded_here == 3) body = Zstd(page);

  const Run run = Drive(coding.header, body, limit, seed, at_end);
  if (run.state == PageAssembly::State::kCollecting) abort();  // End always decides
  if (run.state != PageAssembly::State::kFiltered) {
    if (run.sent != body) abort();  // not filtered: exactly as it came
    if (run.state == PageAssembly::State::kCut && at_end) abort();
    return 0;
  }
  if (!at_end) abort();  // a cut body is never filtered
  if (coding.coded_here != 0) {
    // Decoding is invisible: the same page sent plain comes out the same.
    const Run plain = Drive("", page, limit, seed ^ 0x5bd1e995u, true);
    if (plain.state == PageAssembly::State::kFiltered && plain.sent != run.sent) abort();
  }
  return 0;
}
