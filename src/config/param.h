// config/param.h
//
// Named values of the configuration.
//
// Param: an Integer (kept as its decimal text), a String, or a List (at most
// `capacity` strings, most recent first). A value may be null (no text).
// ParamSerializable: a Param with a backing store. Every read first reloads
// the value from the store; every change is written at once when the
// parameter saves automatically (Clear then removes the stored value).
//
// Each parameter guards its value with its own lock, so one parameter may be
// read and changed from several threads; a read returns a copy.

#pragma once

#include <stdint.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/cfg_object.h"

namespace cvie {

enum class ParamKind : int32_t { kInteger = 1, kString = 2, kList = 3 };

// A parameter's text; std::nullopt is the null value.
using ParamText = std::optional<std::wstring>;

class Param : public CfgObject {
 public:
  // An Integer parameter holding `value` (stored through SetInt).
  Param(const std::wstring& name, int value);
  // A String parameter holding `text`.
  Param(const std::wstring& name, const ParamText& text);
  // A List parameter keeping at most `capacity` entries, holding the first
  // min(capacity, count, initial.size()) entries of `initial`.
  Param(const std::wstring& name, int capacity, const std::vector<std::wstring>& initial,
        int count);
  ~Param() override;

  ParamKind kind() const { return kind_; }

  // Integer, String: the value becomes the signed decimal text of `value`;
  // List: that text is pushed in front. Returns true.
  virtual bool SetInt(int value);
  // Integer, String: the value becomes a copy of `text`; List: as AddString.
  // Returns true.
  virtual bool SetString(const ParamText& text);
  // List: `text` becomes entry 0, the others move back one place and the last
  // falls off when the list is full. Integer, String: as SetString.
  // Returns true.
  virtual bool AddString(const ParamText& text);
  // Integer, String: the value becomes null; List: emptied. Returns true.
  virtual bool Clear();
  // Integer, String: the value; List: entry 0 (null when empty).
  virtual ParamText GetString();
  // List: the entries in use, most recent first; other kinds: std::nullopt.
  virtual std::optional<std::vector<ParamText>> GetList();
  // The value's text read as a decimal integer (leading blanks, optional
  // sign, digits; clamped to the int range); null or empty gives 0.
  virtual int GetInt();

 protected:
  // The same operations on the value in memory alone, whatever the subclass
  // does around them (no reload, no save).
  bool SetIntInMemory(int value);
  bool SetStringInMemory(const ParamText& text);
  bool AddStringInMemory(const ParamText& text);
  bool ClearInMemory();
  ParamText GetStringInMemory();
  std::optional<std::vector<ParamText>> GetListInMemory();
  int GetIntInMemory();
  int capacity() const { return capacity_; }

 private:
  bool SetLocked(const ParamText& text);
  bool AddLocked(const ParamText& text);

  const ParamKind kind_;
  const int capacity_;  // List only
  std::mutex mu_;
  ParamText value_;  // Integer, String; guarded by mu_
  std::vector<ParamText>
      list_;  // List: entries in use, at most capacity_; guarded by mu_
};

class ParamSerializable : public Param {
 public:
  using Param::Param;

  bool SetInt(int value) override;
  bool SetString(const ParamText& text) override;
  bool AddString(const ParamText& text) override;
  bool Clear() override;
  ParamText GetString() override;
  std::optional<std::vector<ParamText>> GetList() override;
  int GetInt() override;

  virtual bool IsAutoSave() = 0;
  // Deletes the stored value. Returns true.
  virtual bool Remove() = 0;
  // Writes the value in memory to the store. Returns true.
  virtual bool Save() = 0;
  // Reads the stored value into memory; returns the store's result code (0
  // when it could be read; the value is left as it was otherwise).
  virtual int32_t Load() = 0;
  // Load, as one step with the changes and reads above.
  int32_t Reload() {
    std::lock_guard<std::recursive_mutex> lock(io_mutex_);
    return Load();
  }

 private:
  // Makes a change and its save, and a load and its read, one step each, so a
  // reader's load cannot put an older stored value back between another
  // thread's change and its save (which would then store the older value).
  // A read that finds it held answers from memory without loading: another
  // thread is saving a change (the newest value is in memory; the save may
  // wait long on another process's lock of the store) or loading the value.
  std::recursive_mutex io_mutex_;
};

// The decimal conversion of GetInt, exposed for callers that parse option
// text the same way.
int ParamTextToInt(const ParamText& text);

}  // namespace cvie
