// Named configuration values.

#include "config/param.h"

#include <limits.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>

namespace cvie {

int ParamTextToInt(const ParamText& text) {
  if (!text || text->empty()) return 0;
  const wchar_t* p = text->c_str();
  while (iswspace(static_cast<wint_t>(*p))) ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
  long long value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    value = value * 10 + (*p - L'0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;  // clamped below
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

Param::Param(const std::wstring& name, int value)
    : CfgObject(name), kind_(ParamKind::kInteger), capacity_(0) {
  SetIntInMemory(value);
}

Param::Param(const std::wstring& name, const ParamText& text)
    : CfgObject(name), kind_(ParamKind::kString), capacity_(0), value_(text) {}

Param::Param(const std::wstring& name, int capacity,
             const std::vector<std::wstring>& initial, int count)
    : CfgObject(name), kind_(ParamKind::kList), capacity_(std::max(capacity, 0)) {
  const size_t n =
      std::min<size_t>({static_cast<size_t>(capacity_),
                        static_cast<size_t>(std::max(count, 0)), initial.size()});
  list_.assign(initial.begin(), initial.begin() + static_cast<ptrdiff_t>(n));
}

Param::~Param() = default;

bool Param::SetLocked(const ParamText& text) {
  if (kind_ == ParamKind::kList) return AddLocked(text);
  value_ = text;
  return true;
}

bool Param::AddLocked(const ParamText& text) {
  if (kind_ != ParamKind::kList) {
    value_ = text;
    return true;
  }
  if (capacity_ == 0) return true;  // keeps nothing
  if (static_cast<int>(list_.size()) == capacity_) list_.pop_back();
  list_.insert(list_.begin(), text);
  return true;
}

bool Param::SetIntInMemory(int value) {
  std::lock_guard<std::mutex> lock(mu_);
  return SetLocked(std::to_wstring(value));
}

bool Param::SetStringInMemory(const ParamText& text) {
  std::lock_guard<std::mutex> lock(mu_);
  return SetLocked(text);
}

bool Param::AddStringInMemory(const ParamText& text) {
  std::lock_guard<std::mutex> lock(mu_);
  return AddLocked(text);
}

bool Param::ClearInMemory() {
  std::lock_guard<std::mutex> lock(mu_);
  if (kind_ == ParamKind::kList) {
    list_.clear();
  } else {
    value_.reset();
  }
  return true;
}

ParamText Param::GetStringInMemory() {
  std::lock_guard<std::mutex> lock(mu_);
  if (kind_ == ParamKind::kList) return list_.empty() ? ParamText() : list_.front();
  return value_;
}

std::optional<std::vector<ParamText>> Param::GetListInMemory() {
  std::lock_guard<std::mutex> lock(mu_);
  if (kind_ != ParamKind::kList) return std::nullopt;
  return list_;
}

int Param::GetIntInMemory() { return ParamTextToInt(GetStringInMemory()); }

bool Param::SetInt(int value) { return SetIntInMemory(value); }
bool Param::SetString(const ParamText& text) { return SetStringInMemory(text); }
bool Param::AddString(const ParamText& text) { return AddStringInMemory(text); }
bool Param::Clear() { return ClearInMemory(); }
ParamText Param::GetString() { return GetStringInMemory(); }
std::optional<std::vector<ParamText>> Param::GetList() { return GetListInMemory(); }
int Param::GetInt() { return GetIntInMemory(); }

bool ParamSerializable::SetInt(int value) {
  std::lock_guard<std::recursive_mutex> lock(io_mutex_);
  bool result = SetIntInMemory(value);
  return IsAutoSave() ? Save() : result;
}

bool ParamSerializable::SetString(const ParamText& text) {
  std::lock_guard<std::recursive_mutex> lock(io_mutex_);
  bool result = SetStringInMemory(text);
  return IsAutoSave() ? Save() : result;
}

bool ParamSerializable::AddString(const ParamText& text) {
  std::lock_guard<std::recursive_mutex> lock(io_mutex_);
  bool result = AddStringInMemory(text);
  return IsAutoSave() ? Save() : result;
}

bool ParamSerializable::Clear() {
  std::lock_guard<std::recursive_mutex> lock(io_mutex_);
  bool result = ClearInMemory();
  return IsAutoSave() ? Remove() : result;
}

ParamText ParamSerializable::GetString() {
  std::unique_lock<std::recursive_mutex> lock(io_mutex_, std::try_to_lock);
  if (lock.owns_lock()) Load();
  return GetStringInMemory();
}

std::optional<std::vector<ParamText>> ParamSerializable::GetList() {
  std::unique_lock<std::recursive_mutex> lock(io_mutex_, std::try_to_lock);
  if (lock.owns_lock()) Load();
  return GetListInMemory();
}

int ParamSerializable::GetInt() {
  std::unique_lock<std::recursive_mutex> lock(io_mutex_, std::try_to_lock);
  if (lock.owns_lock()) Load();
  return GetIntInMemory();
}

}  // namespace cvie
