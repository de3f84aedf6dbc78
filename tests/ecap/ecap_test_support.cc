// tests/ecap/ecap_test_support.cc

#include "ecap/ecap_test_support.h"

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <vector>

#include "common/test_support.h"
#include "ie/host_process.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"
#include "rules/rules_holder.h"

namespace cvie::testing {
namespace {

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

constexpr size_t kBombPiece = 1 << 20;

}  // namespace

std::string Encode(const std::string& coding, const std::string& text) {
  if (coding == "gzip") return Zlib(text, 15 + 16);
  if (coding == "deflate") return Zlib(text, 15);
  if (coding == "br") {
    size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size, '\0');
    BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT,
                          text.size(), reinterpret_cast<const uint8_t*>(text.data()),
                          &size, reinterpret_cast<uint8_t*>(&out[0]));
    out.resize(size);
    return out;
  }
  if (coding == "zstd") {
    std::string out(ZSTD_compressBound(text.size()), '\0');
    size_t size = ZSTD_compress(&out[0], out.size(), text.data(), text.size(), 3);
    out.resize(ZSTD_isError(size) ? 0 : size);
    return out;
  }
  return text;
}

std::string EncodedBomb(const std::string& coding, const std::string& head, char fill,
                        size_t count) {
  const std::string piece(kBombPiece, fill);
  std::string out;
  std::vector<char> buffer(kBombPiece);
  if (coding == "gzip") {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    auto put = [&](const std::string& data, int flush) {
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
      z.avail_in = static_cast<uInt>(data.size());
      do {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        deflate(&z, flush);
        out.append(buffer.data(), buffer.size() - z.avail_out);
      } while (z.avail_out == 0);
    };
    put(head, Z_NO_FLUSH);
    for (size_t done = 0; done < count; done += piece.size())
      put(piece.substr(0, std::min(piece.size(), count - done)), Z_NO_FLUSH);
    put("", Z_FINISH);
    deflateEnd(&z);
  } else if (coding == "br") {
    BrotliEncoderState* state = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
    BrotliEncoderSetParameter(state, BROTLI_PARAM_QUALITY, 1);
    auto put = [&](const std::string& data, BrotliEncoderOperation op) {
      size_t in_left = data.size();
      const uint8_t* in = reinterpret_cast<const uint8_t*>(data.data());
      do {
        size_t out_left = buffer.size();
        uint8_t* to = reinterpret_cast<uint8_t*>(buffer.data());
        BrotliEncoderCompressStream(state, op, &in_left, &in, &out_left, &to, nullptr);
        out.append(buffer.data(), buffer.size() - out_left);
      } while (in_left > 0 || BrotliEncoderHasMoreOutput(state) ||
               (op == BROTLI_OPERATION_FINISH && !BrotliEncoderIsFinished(state)));
    };
    put(head, BROTLI_OPERATION_PROCESS);
    for (size_t done = 0; done < count; done += piece.size())
      put(piece.substr(0, std::min(piece.size(), count - done)),
          BROTLI_OPERATION_PROCESS);
    put("", BROTLI_OPERATION_FINISH);
    BrotliEncoderDestroyInstance(state);
  } else if (coding == "zstd") {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    auto put = [&](const std::string& data, ZSTD_EndDirective mode) {
      ZSTD_inBuffer in{data.data(), data.size(), 0};
      size_t left;
      do {
        ZSTD_outBuffer to{buffer.data(), buffer.size(), 0};
        left = ZSTD_compressStream2(cctx, &to, &in, mode);
        out.append(buffer.data(), to.pos);
      } while (!ZSTD_isError(left) &&
               (mode == ZSTD_e_end ? left != 0 : in.pos < in.size));
    };
    put(head, ZSTD_e_continue);
    for (size_t done = 0; done < count; done += piece.size())
      put(piece.substr(0, std::min(piece.size(), count - done)), ZSTD_e_continue);
    put("", ZSTD_e_end);
    ZSTD_freeCCtx(cctx);
  }
  return out;
}

bool InstallRules(const std::string& rules) {
  platform::CreateDataFolders();
  platform::DeclareBrowserProcess(true);
  ResetBrowserProcessForTesting();
  static int serial = 0;
  const std::filesystem::path plain =
      TestRoot() / ("rules-" + std::to_string(++serial) + ".txt");
  const std::filesystem::path made = plain.string() + ".rle";
  WriteFile(plain, rules);
  if (EncipherRuleFile(plain.string(), made.string(), '1', '0') != 0) return false;
  std::string contents;
  if (!ReadFile(made, &contents)) return false;
  return InstallRuleFileContents(contents, platform::RuleFilePath()) == 0;
}

std::shared_ptr<RulesHolder> LoadInstalledRules() {
  return std::shared_ptr<RulesHolder>(LoadRuleFile(platform::RuleFilePath()).release());
}

AssemblyRun DriveAssembly(ecap::PageAssembly* assembly, const std::string& body,
                          size_t piece, bool at_end) {
  AssemblyRun run{ecap::PageAssembly::State::kCollecting, "", body.size()};
  bool passing = false;
  size_t at = 0;
  for (size_t i = 0; at < body.size(); ++i) {
    // Vary the pieces around `piece`: Squid hands over what it has.
    size_t size = std::max<size_t>(1, piece + (i % 3) * piece / 2 - (i % 2) * piece / 3);
    size = std::min(size, body.size() - at);
    run.state = assembly->Add(body.data() + at, size);
    at += size;
    if (run.state == ecap::PageAssembly::State::kPassing && !passing) {
      passing = true;
      run.fed_when_passing = at;
    }
    run.sent.append(assembly->out().data(), assembly->out().size());
    assembly->out().Clear();
  }
  run.state = assembly->End(at_end);
  run.sent.append(assembly->out().data(), assembly->out().size());
  assembly->out().Clear();
  return run;
}

}  // namespace cvie::testing
