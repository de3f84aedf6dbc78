#include "anyhtml/easy_buffer.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <utility>

namespace cvie {

namespace {

// Bytes kept by every thread's store together.
std::atomic<size_t> g_process_kept{0};

// The blocks one thread keeps for kReuseThreadBlocks buffers.
class KeptBlocks {
 public:
  ~KeptBlocks() { FreeAll(); }
  // The smallest kept block of at least `wanted` bytes, else the largest
  // (to be grown); {null, 0} when none is kept.
  std::pair<char*, size_t> Take(size_t wanted) {
    int pick = -1;
    for (int i = 0; i < count_; ++i) {
      if (pick < 0) {
        pick = i;
        continue;
      }
      const bool fits = blocks_[i].capacity >= wanted;
      const bool pick_fits = blocks_[pick].capacity >= wanted;
      if (fits && (!pick_fits || blocks_[i].capacity < blocks_[pick].capacity)) pick = i;
      if (!fits && !pick_fits && blocks_[i].capacity > blocks_[pick].capacity) pick = i;
    }
    if (pick < 0) return {nullptr, 0};
    Block taken = blocks_[pick];
    blocks_[pick] = blocks_[--count_];
    bytes_ -= taken.capacity;
    g_process_kept.fetch_sub(taken.capacity);
    return {taken.data, taken.capacity};
  }
  // Keeps the block when it fits the bounds (in place of smaller kept ones
  // when full), else frees it.
  void Give(char* data, size_t capacity) {
    if (capacity > CEasyBuffer::kKeptBytes) {
      free(data);
      return;
    }
    while (count_ > 0 && (count_ == CEasyBuffer::kKeptBlocks ||
                          bytes_ + capacity > CEasyBuffer::kKeptBytes)) {
      int smallest = 0;
      for (int i = 1; i < count_; ++i) {
        if (blocks_[i].capacity < blocks_[smallest].capacity) smallest = i;
      }
      if (blocks_[smallest].capacity >= capacity) {
        free(data);  // the kept ones are at least as useful
        return;
      }
      free(blocks_[smallest].data);
      bytes_ -= blocks_[smallest].capacity;
      g_process_kept.fetch_sub(blocks_[smallest].capacity);
      blocks_[smallest] = blocks_[--count_];
    }
    if (g_process_kept.fetch_add(capacity) + capacity > CEasyBuffer::kKeptProcessBytes) {
      g_process_kept.fetch_sub(capacity);  // the other threads keep enough
      free(data);
      return;
    }
    blocks_[count_++] = Block{data, capacity};
    bytes_ += capacity;
  }
  size_t bytes() const { return bytes_; }
  size_t FreeAll() {
    const size_t freed = bytes_;
    for (int i = 0; i < count_; ++i) free(blocks_[i].data);
    g_process_kept.fetch_sub(bytes_);
    count_ = 0;
    bytes_ = 0;
    return freed;
  }

 private:
  struct Block {
    char* data;
    size_t capacity;
  };
  Block blocks_[CEasyBuffer::kKeptBlocks] = {};
  int count_ = 0;
  size_t bytes_ = 0;
};

KeptBlocks& ThreadBlocks() {
  thread_local KeptBlocks blocks;
  return blocks;
}

}  // namespace

CEasyBuffer::CEasyBuffer() = default;

CEasyBuffer::CEasyBuffer(ReuseThreadBlocks) : reuse_thread_blocks_(true) {}

CEasyBuffer::~CEasyBuffer() {
  if (reuse_thread_blocks_ && data_) {
    ThreadBlocks().Give(data_, capacity_);
  } else {
    free(data_);
  }
}

size_t CEasyBuffer::ThreadKeptBytes() { return ThreadBlocks().bytes(); }

size_t CEasyBuffer::ProcessKeptBytes() { return g_process_kept.load(); }

size_t CEasyBuffer::ReleaseThreadBlocks() { return ThreadBlocks().FreeAll(); }

bool CEasyBuffer::Resize(size_t capacity) {
  if (!data_ && reuse_thread_blocks_) {
    std::pair<char*, size_t> kept = ThreadBlocks().Take(capacity);
    if (kept.first && kept.second >= capacity) {
      data_ = kept.first;
      capacity_ = static_cast<ULONG>(kept.second);
      return true;
    }
    if (kept.first) {
      // Too small: grown below like a block of this buffer's own.
      data_ = kept.first;
      capacity_ = static_cast<ULONG>(kept.second);
    }
  }
  char* block = static_cast<char*>(realloc(data_, capacity));
  if (!block) return false;
  data_ = block;
  capacity_ = static_cast<ULONG>(capacity);
  return true;
}

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
  return Resize(static_cast<size_t>(capacity));
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
  return Resize(static_cast<size_t>(capacity)) ? S_OK : E_OUTOFMEMORY;
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

HRESULT CEasyBuffer::Skip(ULONG count) {
  if (count > size_ - read_position_) return E_INVALIDARG;
  read_position_ += count;
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
