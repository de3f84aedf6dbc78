#include "anyhtml/easy_buffer.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace cvie {

CEasyBuffer::CEasyBuffer() = default;

CEasyBuffer::~CEasyBuffer() { free(data_); }

HRESULT CEasyBuffer::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IStream || iid == IID_ISequentialStream) {
    *object = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CEasyBuffer::AddRef() { return static_cast<ULONG>(++reference_count_); }

ULONG CEasyBuffer::Release() {
  int32_t count = --reference_count_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT CEasyBuffer::Read(void* buffer, ULONG count, ULONG* read) {
  return ReadData(buffer, count, read);
}

HRESULT CEasyBuffer::Write(const void* buffer, ULONG count, ULONG* written) {
  HRESULT hr = Append(buffer, count);
  if (written) *written = SUCCEEDED(hr) ? count : 0;
  return hr;
}

HRESULT CEasyBuffer::Seek(LARGE_INTEGER move, DWORD origin,
                          ULARGE_INTEGER* new_position) {
  uint32_t offset = static_cast<uint32_t>(move.QuadPart & 0xFFFFFFFFu);
  uint32_t position;
  switch (origin) {
    case STREAM_SEEK_SET:
      position = offset;
      break;
    case STREAM_SEEK_CUR:
      position = read_position_ + offset;  // 32-bit arithmetic: negative moves wrap
      break;
    case STREAM_SEEK_END:
      position = size_ + offset;
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  if (position >= size_) return STG_E_INVALIDFUNCTION;
  read_position_ = position;
  if (new_position) new_position->QuadPart = position;
  return S_OK;
}

HRESULT CEasyBuffer::SetSize(ULARGE_INTEGER) { return E_NOTIMPL; }
HRESULT CEasyBuffer::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
  return E_NOTIMPL;
}
HRESULT CEasyBuffer::Commit(DWORD) { return E_NOTIMPL; }
HRESULT CEasyBuffer::Revert() { return E_NOTIMPL; }
HRESULT CEasyBuffer::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return E_NOTIMPL;
}
HRESULT CEasyBuffer::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return E_NOTIMPL;
}

HRESULT CEasyBuffer::Stat(STATSTG* stat, DWORD) {
  if (!stat) return E_POINTER;
  stat->cbSize.u.LowPart = size_;
  stat->cbSize.u.HighPart = 0;
  return S_OK;
}

HRESULT CEasyBuffer::Clone(IStream**) { return E_NOTIMPL; }

HRESULT CEasyBuffer::Reset() {
  size_ = 0;
  zeroed_to_ = 0;
  read_position_ = 0;
  complete_ = false;
  return S_OK;
}

bool CEasyBuffer::Grow(ULONG length) {
  if (capacity_ - size_ >= length) return true;
  // In 64 bits, so that a huge request fails instead of wrapping around.
  uint64_t needed = static_cast<uint64_t>(size_) + length;
  if (capacity_ >= kGeometricFrom) {
    needed = std::max<uint64_t>(needed, uint64_t{capacity_} + capacity_ / 2);
  }
  uint64_t capacity = (needed + kGrowth - 1) / kGrowth * kGrowth;
  if (static_cast<uint64_t>(size_) + length > UINT32_MAX) return false;
  capacity = std::min<uint64_t>(capacity, uint64_t{UINT32_MAX} / kGrowth * kGrowth);
  if (capacity < static_cast<uint64_t>(size_) + length) return false;
  char* block = static_cast<char*>(realloc(data_, static_cast<size_t>(capacity)));
  if (!block) return false;
  data_ = block;
  capacity_ = static_cast<ULONG>(capacity);
  return true;
}

HRESULT CEasyBuffer::Append(const void* bytes, ULONG length) {
  if (complete_) return E_FAIL;
  if (length == 0) return S_OK;
  if (!bytes) return E_POINTER;
  if (!Grow(length)) return E_OUTOFMEMORY;
  memcpy(data_ + size_, bytes, length);
  size_ += length;
  zeroed_to_ = std::max(zeroed_to_, size_);
  return S_OK;
}

HRESULT CEasyBuffer::Reserve(ULONG total) {
  if (total <= capacity_) return S_OK;
  uint64_t capacity = (uint64_t{total} + kGrowth - 1) / kGrowth * kGrowth;
  if (capacity > UINT32_MAX) return E_OUTOFMEMORY;
  char* block = static_cast<char*>(realloc(data_, static_cast<size_t>(capacity)));
  if (!block) return E_OUTOFMEMORY;
  data_ = block;
  capacity_ = static_cast<ULONG>(capacity);
  return S_OK;
}

char* CEasyBuffer::PrepareAppend(ULONG length) {
  if (complete_ || !Grow(length) || !data_) return nullptr;
  const ULONG end = size_ + length;
  const ULONG from = std::max(size_, zeroed_to_);
  if (from < end) memset(data_ + from, 0, end - from);
  zeroed_to_ = std::max(zeroed_to_, end);
  return data_ + size_;
}

HRESULT CEasyBuffer::CommitAppend(ULONG length) {
  if (complete_) return E_FAIL;
  if (length > capacity_ - size_) return E_INVALIDARG;
  size_ += length;
  zeroed_to_ = std::max(zeroed_to_, size_);
  return S_OK;
}

HRESULT CEasyBuffer::SetComplete() {
  complete_ = true;
  return S_OK;
}

HRESULT CEasyBuffer::ReadData(void* buffer, ULONG count, ULONG* read) {
  if (read_position_ >= size_) return complete_ ? S_FALSE : E_PENDING;
  ULONG left = size_ - read_position_;
  ULONG n = count < left ? count : left;
  if (n > 0) {
    if (!buffer) return E_POINTER;
    memcpy(buffer, data_ + read_position_, n);
  }
  read_position_ += n;
  if (read) *read = n;
  return S_OK;
}

int32_t CEasyBuffer::Write(const char* data, uint32_t length) {
  return Append(data, length);
}

void CEasyBuffer::RemoveTail(ULONG count) {
  size_ = count < size_ ? size_ - count : 0;
  if (read_position_ > size_) read_position_ = size_;
}

}  // namespace cvie
