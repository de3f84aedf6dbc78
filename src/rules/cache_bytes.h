// rules/cache_bytes.h
//
// The layout shared by the compiled-index cache files (the rule file's
// "cvie.rle.idx" and the filter lists' "lists.idx"): values appended in the
// machine's byte order, a reader that fails instead of reading past the end,
// an FNV-1a checksum sealing the whole file, and the reading and atomic
// writing of such a file. A cache only saves start-up time: whoever reads one
// validates every size and count and falls back to compiling on any doubt.

#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

namespace cvie::cache_bytes {

// Folds `size` bytes into an FNV-1a hash (start from kFnvStart).
constexpr uint64_t kFnvStart = 14695981039346656037ull;
void Fnv(uint64_t* hash, const void* data, size_t size);

template <typename T>
void Put(std::string* out, T value) {
  out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads fixed-size values and byte runs from a buffer, failing past its end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  bool Get(T* value) {
    if (bytes_.size() - pos_ < sizeof(T)) return false;
    memcpy(value, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool Take(size_t size, const char** data) {
    if (bytes_.size() - pos_ < size) return false;
    *data = bytes_.data() + pos_;
    pos_ += size;
    return true;
  }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// Appends the checksum of everything in `out`.
void Seal(std::string* out);
// True when `bytes` ends with the checksum of what comes before it; `*body`
// is then that part.
bool Unseal(std::string_view bytes, std::string_view* body);

// The whole cache file at `path`; false when there is none or it cannot be
// read.
bool ReadCacheFile(const std::wstring& path, std::string* bytes);
// Replaces the cache file at `path` so that a reader sees the old file or the
// whole new one. False when it cannot be written (the next start compiles
// again).
bool WriteCacheFile(const std::wstring& path, std::string_view bytes);

}  // namespace cvie::cache_bytes
