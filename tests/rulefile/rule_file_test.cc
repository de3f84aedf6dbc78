// The rule file container: padding, enciphering, the checksum, the header
// check and the streaming reader.

#include "rules/rule_file.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rulefile/rulefile_test_util.h"

namespace cvie {
namespace {

using ::cvie::testing::BuildRuleFile;
using ::cvie::testing::LogWatch;
using ::cvie::testing::ReadFile;
using ::cvie::testing::ReadLines;
using ::cvie::testing::ScratchDir;
using ::cvie::testing::SourceDir;
using ::cvie::testing::Wide;
using ::cvie::testing::WriteFile;
namespace fs = std::filesystem;

class RuleFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cvie::testing::StartLogging();
    dir_ = ScratchDir("rulefile");
  }

  // Enciphers `plain` (version 1.0) with EncipherRuleFile; returns the rule
  // file's path.
  fs::path Encipher(const std::string& plain, const std::string& name = "rules") {
    fs::path text = dir_ / (name + ".txt");
    fs::path out = dir_ / (name + ".rle");
    WriteFile(text, plain);
    EXPECT_EQ(EncipherRuleFile(text.string(), out.string(), '1', '0'), 0) << name;
    return out;
  }

  // The reader's lines of `plain` after the header line.
  std::vector<std::string> BodyLines(const std::string& plain, int* last = nullptr,
                                     const std::string& stop = "") {
    std::vector<std::string> lines = ReadLines(Encipher(plain), last, stop);
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return lines;
    EXPECT_EQ(lines[0].compare(0, 6, "!CVR10"), 0) << "header line " << lines[0];
    return std::vector<std::string>(lines.begin() + 1, lines.end());
  }

  fs::path dir_;
};

struct PadCase {
  size_t size;
  size_t padded;
};

TEST_F(RuleFileTest, PadsPlainTextWithLineFeedsToWholeBlocks) {
  const PadCase kCases[] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {13, 16}, {16, 16}, {17, 24}};
  for (const PadCase& c : kCases) {
    fs::path file = dir_ / ("pad" + std::to_string(c.size));
    std::string text(c.size, 'r');
    WriteFile(file, text);
    ASSERT_EQ(PadRuleText(file.string()), 0) << "size " << c.size;
    std::string padded;
    ASSERT_TRUE(ReadFile(file, &padded));
    EXPECT_EQ(padded, text + std::string(c.padded - c.size, '\n')) << "size " << c.size;
  }
}

TEST_F(RuleFileTest, PaddingAMissingFileFails) {
  LogWatch log;
  EXPECT_EQ(PadRuleText((dir_ / "missing.txt").string()), -1);
  EXPECT_EQ(log.Count("padfile Unable to open file"), 1);
}

TEST_F(RuleFileTest, ThirteenBytesBecomeAFortyEightByteRuleFile) {
  fs::path out = Encipher("/ads/banner1\n", "thirteen");
  std::string file;
  ASSERT_TRUE(ReadFile(out, &file));
  EXPECT_EQ(file.size(), 48u);
  std::string plain;
  ASSERT_TRUE(ReadFile(dir_ / "thirteen.txt", &plain));
  EXPECT_EQ(plain, "/ads/banner1\n\n\n\n") << "the input is padded in place";
  std::string body;
  ASSERT_TRUE(DecipherRuleFileBody(Wide(out), &body));
  EXPECT_EQ(body, plain);
}

TEST_F(RuleFileTest, HeaderCarriesMagicVersionChecksumBlanksAndLineFeed) {
  fs::path text = dir_ / "v.txt";
  fs::path out = dir_ / "v.rle";
  WriteFile(text, "/ads/\n/banner/\n");
  ASSERT_EQ(EncipherRuleFile(text.string(), out.string(), '4', '7'), 0);
  std::optional<std::string> checksum = FileChecksum(Wide(out), 32);
  ASSERT_TRUE(checksum.has_value());

  RuleFileReader reader(Wide(out), nullptr);
  std::optional<RuleFileHeader> header = reader.ReadHeader();
  ASSERT_TRUE(header.has_value());
  std::string h(header->begin(), header->end());
  std::string expected = "!CVR47  " + *checksum;
  expected += std::string(31 - expected.size(), ' ') + "\n";
  EXPECT_EQ(h, expected);
  EXPECT_EQ(reader.CheckHeader(*checksum, true), 0);
  EXPECT_EQ(RuleFileVersion(), "4.7");
  EXPECT_FALSE(reader.is_open()) << "closed afterwards";
}

TEST_F(RuleFileTest, MatchesTheKnownAnswerFile) {
  fs::path fixtures = SourceDir() / "tests" / "rulefile" / "fixtures";
  std::string plain, expected, checksum;
  ASSERT_TRUE(ReadFile(fixtures / "vector.txt", &plain));
  ASSERT_TRUE(ReadFile(fixtures / "vector.rle", &expected));
  ASSERT_TRUE(ReadFile(fixtures / "vector.checksum", &checksum));
  checksum.erase(checksum.find_last_not_of("\n") + 1);

  // Producing: the same plain text gives the same bytes.
  fs::path text = dir_ / "vector.txt";
  fs::path out = dir_ / "vector.rle";
  WriteFile(text, plain);
  ASSERT_EQ(EncipherRuleFile(text.string(), out.string(), '1', '3'), 0);
  std::string produced;
  ASSERT_TRUE(ReadFile(out, &produced));
  EXPECT_EQ(produced, expected);

  // Reading: the known file checks out and yields its lines.
  std::wstring known = Wide(fixtures / "vector.rle");
  EXPECT_EQ(FileChecksum(known, 32).value_or(""), checksum);
  RuleFileReader reader(known, nullptr);
  EXPECT_EQ(reader.CheckHeader(checksum, true), 0);
  EXPECT_EQ(RuleFileVersion(), "1.3");
  std::vector<std::string> lines = ReadLines(fixtures / "vector.rle");
  std::string header = "!CVR13  " + checksum;
  header += std::string(31 - header.size(), ' ');
  // "swf|" is shorter than five characters and never reaches the sink.
  std::vector<std::string> expected_lines = {header, "! Known-answer rule text",
                                             "/ads/banner$image", "|http://ad."};
  EXPECT_EQ(lines, expected_lines);
}

TEST_F(RuleFileTest, ChecksumOfAnEmptyBodyAndChecksumFailures) {
  fs::path empty = dir_ / "empty.rle";
  WriteFile(empty, std::string(32, 'x'));
  EXPECT_EQ(FileChecksum(Wide(empty), 32).value_or(""), "4294967295");

  LogWatch log;
  EXPECT_FALSE(FileChecksum(Wide(dir_ / "missing.rle"), 32).has_value());
  EXPECT_EQ(log.Count("input file error"), 1);
  EXPECT_FALSE(FileChecksum(Wide(empty), -1).has_value());
  EXPECT_EQ(log.Count("offset error"), 1);
}

TEST_F(RuleFileTest, NoHeaderWithoutAChecksum) {
  LogWatch log;
  EXPECT_FALSE(MakeRuleFileHeader("", '1', '0').has_value());
  EXPECT_FALSE(MakeRuleFileHeader(std::string(24, '1'), '1', '0').has_value());
  EXPECT_EQ(log.Count("checksum error"), 2);
  std::optional<RuleFileHeader> header = MakeRuleFileHeader("123", '1', '0');
  ASSERT_TRUE(header.has_value());
  for (int i = 0; i < 32; i += 8) DecipherBlock(header->data() + i);
  EXPECT_EQ(std::string(header->begin(), header->end()),
            "!CVR10  123" + std::string(20, ' ') + "\n");
}

struct HeaderCase {
  const char* name;
  std::string file;      // rule file bytes
  const char* checksum;  // null: the checksum computed from the file
  int result;
  int magic_lines;      // "Magic is wrong:" lines logged
  int checksum_lines;   // "checksum is wrong:" lines logged
  const char* version;  // version text stored afterwards
};

TEST_F(RuleFileTest, HeaderCheckTellsMagicAndChecksumFailuresApart) {
  const std::string plain = "! rules\n/ads/banner\n|http://ad.\n";
  const XteaKey other_key = {1, 2, 3, 4};
  std::string good = BuildRuleFile(plain);
  std::string body_sum;
  {
    RuleChecksum sum;
    sum.Update(good.data() + 32, good.size() - 32);
    body_sum = ChecksumText(sum.Value());
  }
  const HeaderCase kCases[] = {
      {"good", good, nullptr, 0, 0, 0, "1.0"},
      {"another key", BuildRuleFile(plain, other_key, "!CVR", '3', '1'), nullptr, -3, 1,
       1, nullptr},
      {"wrong magic", BuildRuleFile(plain, RuleFileKey(), "!CVX", '2', '5'), nullptr, -1,
       1, 0, "2.5"},
      {"wrong checksum", BuildRuleFile(plain, RuleFileKey(), "!CVR", '1', '9', "1234567"),
       nullptr, -3, 0, 1, "1.9"},
      {"blanks replaced after the digits",
       BuildRuleFile(plain, RuleFileKey(), "!CVR", '1', '1', (body_sum + "xyz-").c_str()),
       nullptr, 0, 0, 0, "1.1"},
      {"a further digit after the digits",
       BuildRuleFile(plain, RuleFileKey(), "!CVR", '1', '2', (body_sum + "7").c_str()),
       nullptr, -3, 0, 1, "1.2"},
      {"empty checksum text", good, "", -3, 0, 1, "1.0"},
      {"shorter than a header", good.substr(0, 20), nullptr, -1, 0, 0, nullptr},
  };
  for (const HeaderCase& c : kCases) {
    fs::path file = dir_ / "header.rle";
    WriteFile(file, c.file);
    std::string checksum =
        c.checksum ? std::string(c.checksum) : FileChecksum(Wide(file), 32).value_or("");
    LogWatch log;
    RuleFileReader reader(Wide(file), nullptr);
    EXPECT_EQ(reader.CheckHeader(checksum, true), c.result) << c.name;
    EXPECT_EQ(log.Count("Magic is wrong:"), c.magic_lines) << c.name;
    EXPECT_EQ(log.Count("checksum is wrong:"), c.checksum_lines) << c.name;
    if (c.version) {
      EXPECT_EQ(RuleFileVersion(), c.version) << c.name;
    }
    EXPECT_FALSE(reader.is_open()) << c.name;
  }
}

TEST_F(RuleFileTest, ChangingAnyByteFailsTheCheck) {
  std::string good = BuildRuleFile("! rules\n/ads/banner$image\n|http://ad.\nswf|\n");
  fs::path file = dir_ / "changed.rle";
  WriteFile(file, good);
  const size_t digits = FileChecksum(Wide(file), 32).value_or("").size();
  ASSERT_GT(digits, 0u);
  // Header blocks up to the one holding the last checksum digit are examined;
  // the blanks after the digits are not.
  const size_t examined_header = (8 + digits + 7) / 8 * 8;
  for (size_t at = 0; at < good.size(); ++at) {
    std::string changed = good;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    WriteFile(file, changed);
    std::string checksum = FileChecksum(Wide(file), 32).value_or("");
    RuleFileReader reader(Wide(file), nullptr);
    int result = reader.CheckHeader(checksum, true);
    if (at >= 32) {
      EXPECT_EQ(result, -3) << "body byte " << at;
    } else if (at < examined_header) {
      EXPECT_LT(result, 0) << "header byte " << at;
    }
  }
}

struct LinesCase {
  const char* name;
  std::string plain;
  std::vector<std::string> lines;  // what reaches the sink after the header line
};

TEST_F(RuleFileTest, ReaderHandsOnLinesOfFiveOrMoreCharacters) {
  const LinesCase kCases[] = {
      {"short lines dropped", "xy\nwxyz\nvwxyz\n", {"vwxyz"}},
      {"no final line feed, no padding: last line lost",
       "abcdefgh\nijklmno",
       {"abcdefgh"}},
      {"no final line feed, padded: last line kept",
       "abcdefgh\nijklm",
       {"abcdefgh", "ijklm"}},
      {"carriage return stays", "rule1\r\nrule2\r\n", {"rule1\r", "rule2\r"}},
      {"a NUL ends the line",
       std::string("abcdef\0ghij\nklmnop\n", 19),
       {"abcdef", "klmnop"}},
      {"short after NUL dropped", std::string("abc\0defghij\nklmnop\n", 19), {"klmnop"}},
      {"empty lines", "\n\n\n/ads/\n\n", {"/ads/"}},
      {"empty text", "", {}},
  };
  for (const LinesCase& c : kCases) {
    int last = 99;
    EXPECT_EQ(BodyLines(c.plain, &last), c.lines) << c.name;
    EXPECT_EQ(last, 0) << c.name;
  }
}

struct LongLineCase {
  const char* name;
  std::string before;  // lines before the long one
  size_t length;       // length of the long line
  bool kept;           // whether it reaches the sink
};

TEST_F(RuleFileTest, LinesLongerThanTheBufferAreSkippedWhole) {
  std::vector<LongLineCase> cases = {
      {"5000 bytes", "/ads/one\n", 5000, false},
      {"limit", "/ads/one\n", kMaxRuleLineLength, true},
      {"exactly the buffer", "/ads/one\n", kRuleLineBufferSize, false},
      {"ten buffers", "", 10 * kRuleLineBufferSize + 3, false},
  };
  // Just over the limit, at every alignment of the line's start in a block.
  for (int shift = 0; shift < 8; ++shift) {
    for (size_t extra : {1u, 7u}) {
      cases.push_back({"just over the limit", std::string(shift, '\n') + "/ads/one\n",
                       kMaxRuleLineLength + extra, false});
    }
    cases.push_back({"at the limit", std::string(shift, '\n') + "/ads/one\n",
                     static_cast<size_t>(kMaxRuleLineLength), true});
  }
  for (const LongLineCase& c : cases) {
    std::string long_line = "/" + std::string(c.length - 1, 'x');
    std::string plain = c.before + long_line + "\n/ads/two\n";
    LogWatch log;
    std::vector<std::string> lines = BodyLines(plain);
    std::vector<std::string> expected;
    if (!c.before.empty()) expected.push_back("/ads/one");
    if (c.kept) expected.push_back(long_line);
    expected.push_back("/ads/two");
    std::string what = std::string(c.name) + ", length " + std::to_string(c.length) +
                       ", " + std::to_string(c.before.size()) + " bytes before";
    EXPECT_EQ(lines, expected) << what;
    EXPECT_EQ(log.Count("Rule line longer than 1016 bytes skipped"), c.kept ? 0 : 1)
        << what;
  }
}

TEST_F(RuleFileTest, ConsecutiveLongLinesAreEachSkipped) {
  std::string plain = "/ads/one\n" + std::string(3000, 'a') + "\n" +
                      std::string(1500, 'b') + "\n/ads/two\n" + std::string(2000, 'c');
  LogWatch log;
  std::vector<std::string> lines = BodyLines(plain);
  EXPECT_EQ(lines, (std::vector<std::string>{"/ads/one", "/ads/two"}));
  EXPECT_EQ(log.Count("Rule line longer than 1016 bytes skipped"), 3);
}

TEST_F(RuleFileTest, StopFromTheSinkEndsReading) {
  int last = 99;
  std::vector<std::string> lines =
      BodyLines("/ads/one\n!CV STOP 2.2\n/ads/two\n/ads/three\n", &last, "!CV STOP 2.2");
  EXPECT_EQ(lines, (std::vector<std::string>{"/ads/one", "!CV STOP 2.2"}));
  EXPECT_EQ(last, 0);
}

TEST_F(RuleFileTest, ReaderOnAMissingFileFails) {
  LogWatch log;
  RuleFileReader reader(Wide(dir_ / "missing.rle"), nullptr);
  EXPECT_FALSE(reader.is_open());
  EXPECT_EQ(reader.NextLine(), -1);
  EXPECT_FALSE(reader.ReadHeader().has_value());
  EXPECT_EQ(reader.CheckHeader("1", false), -1);
  EXPECT_EQ(log.Count("file is not opened"), 1);
  EXPECT_EQ(log.Count("file not opened"), 3);
}

TEST_F(RuleFileTest, ReaderLogsTheFileAndItsSize) {
  fs::path out = Encipher("/ads/banner1\n");
  LogWatch log;
  RuleFileReader reader(Wide(out), nullptr);
  EXPECT_EQ(log.Count("Crypto module: file " + out.string() + " size 48"), 1);
}

TEST_F(RuleFileTest, EncipherFailures) {
  fs::path big = dir_ / "big.txt";
  WriteFile(big, std::string(kMaxRuleTextSize + 8, '\n'));
  fs::path small = dir_ / "small.txt";
  WriteFile(small, "/ads/\n");
  struct Case {
    const char* name;
    fs::path input, output;
    int result;
    const char* message;
  } cases[] = {
      {"missing input", dir_ / "missing.txt", dir_ / "o1.rle", -1,
       "Unable to add padding to file"},
      {"output folder missing", small, dir_ / "nofolder" / "o2.rle", -2,
       "Unable to open file"},
      {"text too big", big, dir_ / "o3.rle", -2, "file size too big"},
  };
  for (const Case& c : cases) {
    LogWatch log;
    EXPECT_EQ(EncipherRuleFile(c.input.string(), c.output.string(), '1', '0'), c.result)
        << c.name;
    EXPECT_EQ(log.Count(c.message), 1) << c.name;
  }
}

// Random texts: every line of 5 to 1016 characters arrives, in order, and the
// deciphered body is the padded text.
TEST_F(RuleFileTest, RandomTextsRoundTrip) {
  std::mt19937 random(5);
  const char kAlphabet[] = "ab/.*|$\n\n\n\r";
  for (int round = 0; round < 60; ++round) {
    std::string plain;
    size_t size = random() % 400;
    for (size_t i = 0; i < size; ++i)
      plain += kAlphabet[random() % (sizeof kAlphabet - 1)];
    if (round % 7 == 0) plain += std::string(1100, 'L') + "\n";
    std::string padded = plain + std::string((8 - plain.size() % 8) % 8, '\n');

    std::vector<std::string> expected;
    size_t start = 0;
    for (size_t end; (end = padded.find('\n', start)) != std::string::npos;
         start = end + 1) {
      std::string line = padded.substr(start, end - start);
      if (line.size() >= 5 && line.size() <= static_cast<size_t>(kMaxRuleLineLength)) {
        expected.push_back(line);
      }
    }
    fs::path out = Encipher(plain, "random");
    EXPECT_EQ(BodyLines(plain), expected) << "round " << round;
    std::string body;
    ASSERT_TRUE(DecipherRuleFileBody(Wide(out), &body));
    EXPECT_EQ(body, padded) << "round " << round;
  }
}

}  // namespace
}  // namespace cvie
