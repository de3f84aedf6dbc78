// rules/rule_file.h
//
// The enciphered rule file "cvie.rle": a 32-byte header (magic "!CVR", the rule
// file version as two characters, the decimal checksum of the enciphered body,
// blanks, a line feed) followed by the rule text padded with line feeds to a
// multiple of 8 bytes, the whole file enciphered block by block (rule_cipher.h).
//
// The reading side (FileChecksum, RuleFileReader) checks a file and streams its
// lines, with constant memory, to a line sink (normally RulesHolder::ParseRule).
// The producing side (PadRuleText, EncipherRuleFile) builds such a file from a
// plain rule text. Every operation reports failure by its result and a log line;
// nothing throws.

#pragma once

#include <stdint.h>

#include <array>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cvie {

constexpr int kRuleFileHeaderSize = 32;
constexpr long long kMaxRuleTextSize = 0x400000;  // plain body, in bytes
constexpr int kRuleLineBufferSize = 1024;
// The longest line the reader hands on: the line buffer less the up to 7 bytes of
// the block that holds its line feed. Longer lines are skipped whole.
constexpr int kMaxRuleLineLength = kRuleLineBufferSize - 8;
// Lines shorter than this never reach the sink.
constexpr int kMinRuleLineLength = 5;

using RuleFileHeader = std::array<uint8_t, kRuleFileHeaderSize>;

// The checksum text (unsigned decimal) of the file at `path` from `offset` to its
// end, or nothing when the file cannot be read or the offset is negative.
std::optional<std::string> FileChecksum(const std::wstring& path, long long offset);

// The enciphered 32-byte header for a body with checksum text `checksum` and
// version `major`.`minor`. Nothing when the checksum text is empty or longer than
// its 23-byte field.
std::optional<RuleFileHeader> MakeRuleFileHeader(const std::string& checksum, char major,
                                                 char minor);

// The rule file version ("%c.%c") stored by the most recent header check in this
// process, whether or not that check passed; empty before the first check.
// Safe from any thread.
std::string RuleFileVersion();

// Receives one rule line without its line feed. Returns what
// RulesHolder::ParseRule returns: 1 added, 0 ignored, -1 stop reading.
using RuleLineSink = std::function<int(std::string line)>;

// Streams one rule file: deciphers it 8 bytes at a time and hands each line of
// at least kMinRuleLineLength characters to the sink. Lives for one check or one
// load; not shared between threads.
class RuleFileReader {
 public:
  // Opens `path` for reading; logs "file is not opened" when it cannot. A null
  // sink is allowed (the reader is then only used to check the header).
  RuleFileReader(const std::wstring& path, RuleLineSink sink);
  ~RuleFileReader();
  RuleFileReader(const RuleFileReader&) = delete;
  RuleFileReader& operator=(const RuleFileReader&) = delete;

  // The deciphered header, or nothing when the file is not open or shorter than
  // a header.
  std::optional<RuleFileHeader> ReadHeader();

  // Checks the header against `checksum` (the text FileChecksum computed for this
  // file from offset 32) and stores the file's version text (RuleFileVersion).
  // Returns 0 when both are good, -1 when the magic is wrong or the header cannot
  // be read, -3 when the checksum is wrong (whatever the magic). Closes the file
  // afterwards when `close_afterwards` is set. Never changes the file.
  int CheckHeader(const std::string& checksum, bool close_afterwards);

  // Hands on the next line. Returns 1 when a line was handled (call again), 0 at
  // the end of the rules (end of file, or the sink returned -1), -1 when the file
  // is not open. A line longer than kMaxRuleLineLength is skipped whole with one
  // log line; bytes after the last line feed are dropped.
  int NextLine();

  // Closes the file if it is open.
  void Close();

  // The line number in the plain rule text (1 for the first line) of the line
  // being handed to the sink, or of the last line handled. The header, which
  // ends with a line feed, is line 0; lines skipped for being too short or too
  // long count too.
  uint32_t line_number() const { return line_number_ > 0 ? line_number_ - 1 : 0; }

  bool is_open() const { return stream_ != nullptr && stream_->is_open(); }

 private:
  // Appends the deciphered block to the line buffer, or discards the bytes of a
  // line that is being skipped.
  void AcceptBlock();

  std::unique_ptr<std::ifstream> stream_;
  RuleLineSink sink_;
  char line_[kRuleLineBufferSize];
  uint8_t block_[8];
  int byte_count_ = 0;        // valid bytes in line_
  int pending_lines_ = 0;     // line feeds in line_
  bool skipping_ = false;     // inside a line too long for line_
  uint32_t line_number_ = 0;  // lines ended so far, the header's included
};

// Appends line feeds to the plain rule text at `path` until its size is a
// multiple of 8. Returns 0 when done or nothing was needed, -1 when the file
// cannot be opened.
int PadRuleText(const std::string& path);

// Builds the rule file `output` (version `major`.`minor`) from the plain rule
// text `input`, which is padded in place first (PadRuleText). Returns 0 when
// done, -1 for an input problem, -2 for an output problem or a text larger than
// kMaxRuleTextSize.
int EncipherRuleFile(const std::string& input, const std::string& output, char major,
                     char minor);

// Reads the rule file at `path` and deciphers everything after the header into
// `body` (the plain rule text with its padding). Does not check the header.
// Returns false when the file cannot be read or is shorter than a header.
bool DecipherRuleFileBody(const std::wstring& path, std::string* body);

}  // namespace cvie
