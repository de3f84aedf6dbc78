#include "rules/cache_bytes.h"

#include "platform/files.h"

namespace cvie::cache_bytes {

void Fnv(uint64_t* hash, const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    *hash ^= bytes[i];
    *hash *= 1099511628211ull;
  }
}

void Seal(std::string* out) {
  uint64_t hash = kFnvStart;
  Fnv(&hash, out->data(), out->size());
  Put<uint64_t>(out, hash);
}

bool Unseal(std::string_view bytes, std::string_view* body) {
  if (bytes.size() < sizeof(uint64_t)) return false;
  std::string_view head = bytes.substr(0, bytes.size() - sizeof(uint64_t));
  uint64_t stored = 0;
  memcpy(&stored, bytes.data() + head.size(), sizeof stored);
  uint64_t hash = kFnvStart;
  Fnv(&hash, head.data(), head.size());
  if (hash != stored) return false;
  *body = head;
  return true;
}

bool ReadCacheFile(const std::wstring& path, std::string* bytes) {
  return platform::ReadWholeFile(path, bytes);
}

bool WriteCacheFile(const std::wstring& path, std::string_view bytes) {
  std::string error;
  return platform::WriteFileAtomically(path, bytes, &error);
}

}  // namespace cvie::cache_bytes
