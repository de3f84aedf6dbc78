// whitelist/whitelist.h
//
// The whitelist: web sites (host names) and single pages (full addresses) the
// user exempts from filtering. It is kept in the per-user file "whitelist.txt",
// one entry per line, each line ended by "\r\n". The reader also takes lines
// ended by a line feed alone and a last line without any end, skips empty
// lines, and takes the file's text as UTF-8 (a malformed byte reads as
// U+FFFD). An entry holds at most kMaxWhitelistEntryLength characters: a
// longer line of the file is skipped whole (so neither a cut entry nor the
// rest of the line becomes an entry of its own), a longer text given to Add
// is cut. An entry ends at its first NUL character.
//
// Several processes share the file. Every process that saves stamps the time
// of the write in the option "WhiteListTS"; a lookup first compares the stamp
// with the time this process last read the file and reloads when the stamp is
// newer. A save writes "whitelist.txt.tmp" completely, then renames it over
// the list in one step, so a reader finds the old list or the new one.
//
// Thread safety: one store serves every thread of the process (Instance()).
// Each operation is atomic with respect to the others: lookups run in parallel
// with one another, and Load, Save, Add and Remove exclude everything else. A
// sequence such as Load, Contains, Add, Save is not one step.

#pragma once

#include <stdint.h>

#include <functional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace cvie {

class CVCfg;

// The longest entry, in characters.
constexpr size_t kMaxWhitelistEntryLength = 4094;

class Whitelist {
 public:
  // Seconds since 1970.
  using Clock = std::function<int64_t()>;

  // The process's store, made empty on the first call (safe when several
  // threads make the first call at once), over WhitelistFilePath() and
  // WhitelistTempPath(), with the options of CVCfg::Instance(). Never
  // destroyed, so that code running at exit may still ask it.
  static Whitelist& Instance();

  // A store over the given files, with the options of `cfg` (null:
  // CVCfg::Instance()) and `clock` (null: the system clock). For tools and
  // tests that keep a list of their own.
  Whitelist(std::wstring list_path, std::wstring temp_path, CVCfg* cfg = nullptr,
            Clock clock = nullptr);
  ~Whitelist();
  Whitelist(const Whitelist&) = delete;
  Whitelist& operator=(const Whitelist&) = delete;

  // Replaces the entries by the file's lines, in the file's order, and sets
  // the load time to now, when the file can be opened. When it cannot, the
  // entries and the load time stay as they were and nothing is logged.
  // Returns 0.
  int Load();

  // Writes every entry, in order, each followed by "\r\n", to the temporary
  // file, renames it over the list and stamps "WhiteListTS" with now.
  // Returns 0. When the temporary file cannot be made or written, the list
  // and the stamp keep their old values, the temporary file is removed, and
  // the result is -1 (callers that do not look at it lose nothing).
  int Save();

  // Reloads first when "WhiteListTS" is newer than the load time (and sets a
  // stamp that lies in the future back to now). Then, with `exact`, true when
  // some entry equals `text`; without, true when some entry occurs inside
  // `text`. Case-sensitive. Null text is never contained.
  bool Contains(const wchar_t* text, bool exact);
  bool Contains(const std::wstring& text, bool exact) {
    return Contains(text.c_str(), exact);
  }

  // Inserts a copy of `text` (cut to kMaxWhitelistEntryLength characters)
  // before the first entry it compares below, or at the end. Returns 0. Adds
  // nothing and returns 1 for null text, empty text (an empty entry would
  // cover every address) and text holding a line feed (the file could not
  // keep it as one entry). Duplicates are not refused: callers ask Contains
  // first.
  int Add(const wchar_t* text);

  // Takes out the first entry equal to `text`. Returns 1 when one was found,
  // else 0 (also for null text).
  int Remove(const wchar_t* text);

  // A copy of the entries, in order.
  std::vector<std::wstring> Entries() const;

  // Seconds since 1970 of the last successful Load; 0 until then.
  uint32_t load_time() const;

  const std::wstring& list_path() const;
  const std::wstring& temp_path() const;

 private:
  Whitelist();  // the process's store (Instance)

  int64_t Now() const;
  CVCfg& Cfg() const;
  // Load with the lock held for writing.
  void LoadLocked();

  mutable std::shared_mutex mutex_;
  std::wstring list_path_;  // empty: platform::WhitelistFilePath()
  std::wstring temp_path_;  // empty: platform::WhitelistTempPath()
  CVCfg* cfg_ = nullptr;    // null: CVCfg::Instance()
  Clock clock_;
  uint32_t load_time_ = 0;             // guarded by mutex_
  std::vector<std::wstring> entries_;  // guarded by mutex_; none empty
};

// Splits the bytes of a whitelist file into its entries, as Load reads them.
// Exposed for the fuzzer and for tests of the file format.
std::vector<std::wstring> ParseWhitelistText(const std::string& bytes);

}  // namespace cvie
