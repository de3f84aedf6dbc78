#include "rules/rule_file.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

#include "log/logger.h"
#include "platform/text.h"
#include "rules/rule_cipher.h"

namespace cvie {
namespace {

constexpr char kMagic[4] = {'!', 'C', 'V', 'R'};
constexpr int kChecksumOffset = 8;
constexpr int kChecksumFieldSize = 23;  // offsets 8 to 30
constexpr int kChecksumChunk = 4096;

std::mutex& VersionMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& VersionText() {
  static std::string text;
  return text;
}

void StoreRuleFileVersion(char major, char minor) {
  char text[4] = {major, '.', minor, '\0'};
  std::lock_guard<std::mutex> lock(VersionMutex());
  VersionText().assign(text, 3);
}

Logger& Log() { return Logger::Instance(); }

// True when the header's checksum field holds `checksum`. Only the length of the
// computed text is compared, so whatever follows it in the field (normally
// blanks) is not examined, except that a further digit means the stored number
// is a different, longer one.
bool ChecksumFieldMatches(const RuleFileHeader& header, const std::string& checksum) {
  if (checksum.empty() || checksum.size() > static_cast<size_t>(kChecksumFieldSize)) {
    return false;
  }
  if (memcmp(header.data() + kChecksumOffset, checksum.data(), checksum.size()) != 0) {
    return false;
  }
  size_t next = kChecksumOffset + checksum.size();
  if (next < static_cast<size_t>(kChecksumOffset + kChecksumFieldSize)) {
    uint8_t c = header[next];
    if (c >= '0' && c <= '9') return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> FileChecksum(const std::wstring& path, long long offset) {
  Log().Log(LOG_DETAIL, L"Using FSTREAM");
  std::ifstream in(platform::ToNarrow(path), std::ios::binary);
  if (!in.is_open()) {
    Log().Log(LOG_NOTICE, L"input file error");
    return std::nullopt;
  }
  if (offset < 0) {
    Log().Log(LOG_NOTICE, L"offset error");
    return std::nullopt;
  }
  in.seekg(offset, std::ios::beg);
  int seek_result = in.fail() ? -1 : 0;
  Log().Log(LOG_DETAIL, L"seek returns %d, offset is now %d", seek_result,
            static_cast<int>(offset));
  if (seek_result != 0) {
    Log().Log(LOG_NOTICE, L"read error");
    return std::nullopt;
  }

  RuleChecksum sum;
  long long total = 0;
  char buffer[kChecksumChunk];
  while (in) {
    in.read(buffer, sizeof buffer);
    std::streamsize got = in.gcount();
    if (in.bad()) {
      Log().Log(LOG_NOTICE, L"read error");
      return std::nullopt;
    }
    if (got > 0) {
      Log().Log(LOG_DETAIL, L"Sum: got %d bytes", static_cast<int>(got));
      sum.Update(buffer, static_cast<size_t>(got));
      total += got;
    }
  }
  in.close();
  uint32_t value = sum.Value();
  Log().Log(LOG_DETAIL, L"after processing %lu", static_cast<unsigned long>(value));
  Log().Log(LOG_DETAIL, L"bsize %lld", total);
  return ChecksumText(value);
}

std::optional<RuleFileHeader> MakeRuleFileHeader(const std::string& checksum, char major,
                                                 char minor) {
  if (checksum.empty() || checksum.size() > static_cast<size_t>(kChecksumFieldSize)) {
    Log().Log(LOG_NOTICE, L"checksum error");
    return std::nullopt;
  }
  RuleFileHeader header;
  header.fill(' ');
  header[kRuleFileHeaderSize - 1] = '\n';
  memcpy(header.data(), kMagic, sizeof kMagic);
  header[4] = static_cast<uint8_t>(major);
  header[5] = static_cast<uint8_t>(minor);
  memcpy(header.data() + kChecksumOffset, checksum.data(), checksum.size());
  for (int i = 0; i < kRuleFileHeaderSize; i += kCipherBlockSize) {
    EncipherBlock(header.data() + i);
  }
  return header;
}

std::string RuleFileVersion() {
  std::lock_guard<std::mutex> lock(VersionMutex());
  return VersionText();
}

RuleFileReader::RuleFileReader(const std::wstring& path, RuleLineSink sink)
    : sink_(std::move(sink)) {
  auto stream =
      std::make_unique<std::ifstream>(platform::ToNarrow(path), std::ios::binary);
  if (!stream->is_open()) {
    Log().Log(LOG_NOTICE, L"file is not opened");
    return;
  }
  Log().Log(LOG_DETAIL, L"file is opened");
  stream->seekg(0, std::ios::end);
  long long size = static_cast<long long>(stream->tellg());
  Log().Log(LOG_NOTICE, L"Crypto module: file %ls size %d", path.c_str(),
            static_cast<int>(size));
  stream->seekg(0, std::ios::beg);
  stream_ = std::move(stream);
}

RuleFileReader::~RuleFileReader() { Close(); }

std::optional<RuleFileHeader> RuleFileReader::ReadHeader() {
  if (!is_open()) {
    Log().Log(LOG_NOTICE, L"file not opened");
    return std::nullopt;
  }
  stream_->clear();
  stream_->seekg(0, std::ios::beg);
  RuleFileHeader header;
  stream_->read(reinterpret_cast<char*>(header.data()), kRuleFileHeaderSize);
  if (stream_->gcount() != kRuleFileHeaderSize) {
    Log().Log(LOG_NOTICE, L"file is shorter than a rule file header");
    return std::nullopt;
  }
  for (int i = 0; i < kRuleFileHeaderSize; i += kCipherBlockSize) {
    DecipherBlock(header.data() + i);
  }
  return header;
}

int RuleFileReader::CheckHeader(const std::string& checksum, bool close_afterwards) {
  int result = 0;
  std::optional<RuleFileHeader> header = ReadHeader();
  if (!header) {
    result = -1;
  } else {
    if (memcmp(header->data(), kMagic, sizeof kMagic) != 0) {
      Log().Log(LOG_NOTICE, L"Magic is wrong:");
      result = -1;
    }
    StoreRuleFileVersion(static_cast<char>((*header)[4]),
                         static_cast<char>((*header)[5]));
    if (!ChecksumFieldMatches(*header, checksum)) {
      Log().Log(LOG_NOTICE, L"checksum is wrong:");
      result = -3;
    }
  }
  if (close_afterwards && is_open()) Close();
  return result;
}

void RuleFileReader::AcceptBlock() {
  const uint8_t* data = block_;
  int size = static_cast<int>(sizeof block_);
  if (!skipping_ && byte_count_ + size > kRuleLineBufferSize) {
    // No line feed is in the buffer (a line would be pending), so the line that
    // fills it is too long: drop what we have and skip to its end.
    Log().Log(LOG_NOTICE, L"Rule line longer than %d bytes skipped", kMaxRuleLineLength);
    skipping_ = true;
    byte_count_ = 0;
  }
  if (skipping_) {
    const void* feed = memchr(block_, '\n', sizeof block_);
    if (feed == nullptr) return;
    int end = static_cast<int>(static_cast<const uint8_t*>(feed) - block_);
    data = block_ + end + 1;
    size -= end + 1;
    skipping_ = false;
    ++line_number_;  // the skipped line ended here
  }
  memcpy(line_ + byte_count_, data, static_cast<size_t>(size));
  byte_count_ += size;
  for (int i = 0; i < size; ++i) {
    if (data[i] == '\n') ++pending_lines_;
  }
}

int RuleFileReader::NextLine() {
  if (!is_open()) {
    Log().Log(LOG_NOTICE, L"file not opened");
    return -1;
  }
  if (byte_count_ < 0) {
    Log().Log(LOG_NOTICE, L"chCount error");
    return -1;
  }
  while (pending_lines_ == 0) {
    stream_->read(reinterpret_cast<char*>(block_), sizeof block_);
    if (stream_->gcount() != static_cast<std::streamsize>(sizeof block_)) {
      Log().Log(LOG_DETAIL, L"EOF");
      return 0;
    }
    DecipherBlock(block_);
    AcceptBlock();
  }

  char* feed = static_cast<char*>(memchr(line_, '\n', static_cast<size_t>(byte_count_)));
  int end = static_cast<int>(feed - line_);
  *feed = '\0';
  ++line_number_;
  if (end > kMaxRuleLineLength) {
    // It fitted the buffer only thanks to its alignment; skip it like any
    // other line that is too long, so the limit does not depend on position.
    Log().Log(LOG_NOTICE, L"Rule line longer than %d bytes skipped", kMaxRuleLineLength);
  } else {
    size_t length = strnlen(line_, static_cast<size_t>(end));
    if (length >= static_cast<size_t>(kMinRuleLineLength) && sink_) {
      if (sink_(std::string(line_, length)) == -1) {
        Log().Log(LOG_DETAIL, L"STOP Parsing");
        return 0;
      }
    }
  }
  memmove(line_, line_ + end + 1, static_cast<size_t>(byte_count_ - end - 1));
  byte_count_ -= end + 1;
  --pending_lines_;
  return 1;
}

void RuleFileReader::Close() {
  if (is_open()) stream_->close();
}

int PadRuleText(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in.is_open()) {
    Log().Log(LOG_NOTICE, L"padfile Unable to open file");
    return -1;
  }
  long long size = static_cast<long long>(in.tellg());
  in.close();
  if (size % 8 == 0) {
    Log().Log(LOG_DETAIL, L"No need to pad the file\n");
    return 0;
  }
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out.is_open()) {
    Log().Log(LOG_NOTICE, L"Unable to open file 2");
    return -1;
  }
  std::string padding(static_cast<size_t>(8 - size % 8), '\n');
  out.write(padding.data(), static_cast<std::streamsize>(padding.size()));
  out.close();
  return out.fail() ? -1 : 0;
}

int EncipherRuleFile(const std::string& input, const std::string& output, char major,
                     char minor) {
  if (PadRuleText(input) != 0) {
    Log().Log(LOG_NOTICE, L"Unable to add padding to file");
    return -1;
  }
  std::ifstream in(input, std::ios::binary);
  if (!in.is_open()) {
    Log().Log(LOG_NOTICE, L"Unable to open file");
    return -1;
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) {
    Log().Log(LOG_NOTICE, L"Unable to open file");
    return -2;
  }
  in.seekg(0, std::ios::end);
  long long size = static_cast<long long>(in.tellg());
  in.seekg(0, std::ios::beg);
  Log().Log(LOG_NOTICE, L"Encipher: original file size %d", static_cast<int>(size));
  if (size > kMaxRuleTextSize) {
    Log().Log(LOG_NOTICE, L"file size too big");
    return -2;
  }

  // Room for the header, written last once the body's checksum is known.
  const char placeholder[kRuleFileHeaderSize] = {};
  out.write(placeholder, sizeof placeholder);
  uint8_t block[kCipherBlockSize];
  for (;;) {
    in.read(reinterpret_cast<char*>(block), sizeof block);
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    // The text was padded above; should it have changed since, finish the
    // block with line feeds rather than with stale bytes.
    if (got < static_cast<std::streamsize>(sizeof block)) {
      memset(block + got, '\n', sizeof block - static_cast<size_t>(got));
    }
    EncipherBlock(block);
    out.write(reinterpret_cast<const char*>(block), sizeof block);
  }
  if (in.bad()) {
    Log().Log(LOG_NOTICE, L"Unable to open file");
    return -1;
  }
  in.close();
  out.flush();
  if (!out) {
    Log().Log(LOG_NOTICE, L"Unable to open file");
    return -2;
  }

  std::optional<std::string> checksum =
      FileChecksum(platform::ToWide(output), kRuleFileHeaderSize);
  std::optional<RuleFileHeader> header =
      MakeRuleFileHeader(checksum ? *checksum : std::string(), major, minor);
  if (!header) return -2;
  out.seekp(0, std::ios::beg);
  out.write(reinterpret_cast<const char*>(header->data()), kRuleFileHeaderSize);
  out.close();
  return out.fail() ? -2 : 0;
}

bool DecipherRuleFileBody(const std::wstring& path, std::string* body) {
  std::ifstream in(platform::ToNarrow(path), std::ios::binary | std::ios::ate);
  if (!in.is_open()) return false;
  if (static_cast<long long>(in.tellg()) < kRuleFileHeaderSize) return false;
  in.seekg(kRuleFileHeaderSize, std::ios::beg);
  std::string text;
  uint8_t block[kCipherBlockSize];
  while (in.read(reinterpret_cast<char*>(block), sizeof block)) {
    DecipherBlock(block);
    text.append(reinterpret_cast<const char*>(block), sizeof block);
  }
  if (in.bad()) return false;
  *body = std::move(text);
  return true;
}

}  // namespace cvie
