// anyhtml/easy_buffer.h
//
// CEasyBuffer: a growable in-memory byte buffer that is at once a COM stream
// (IStream) and the page editor's output sink (AnyHtmlEditorWriter). The MIME
// filter fills one with the downloaded page and has the editor write the
// rewritten page into another, which the browser then reads in pieces.
//
// Filling: Append any number of times, then SetComplete. Draining: ReadData
// until S_FALSE (E_PENDING while more data may still come). Reset returns the
// buffer to filling without freeing memory. The block grows in steps of 32 KiB
// while small; from 256 KiB on it grows by half its size at least (rounded to
// 32 KiB), so a page of n bytes takes O(log n) reallocations, not n / 32 KiB.
// A writer that knows the size to come reserves it (Reserve), and a reader
// may fill the free space directly (PrepareAppend, CommitAppend).
//
// A buffer made with kReuseThreadBlocks (the MIME filter's, one page after
// another on a worker) takes its first block from a small store of the
// calling thread and gives its block back there when destroyed, so a worker
// does not hand megabytes back to the system and fault them in again for
// every page. The store keeps at most kKeptBlocks blocks and kKeptBytes bytes
// per thread, and all threads' stores together at most kKeptProcessBytes (a
// pool grown to many workers under load would otherwise keep megabytes per
// worker); a block past either bound (a worker that once took a 32 MiB page)
// is freed, and the store is freed when its thread ends.
//
// The reference count is atomic; everything else is for one thread at a time.
// The creator holds the first reference; Release frees the buffer at 0, and an
// owner may also delete it directly through either base.

#pragma once

#include <atomic>

#include "anyhtml/editor_writer.h"
#include "platform/com.h"

namespace cvie {

class CEasyBuffer final : public IStream, public AnyHtmlEditorWriter {
 public:
  static constexpr ULONG kGrowth = 0x8000;  // capacity is a multiple of this
  // From this capacity on the block grows geometrically.
  static constexpr ULONG kGeometricFrom = 0x40000;

  // Blocks kept per thread for kReuseThreadBlocks buffers, and their bytes.
  static constexpr int kKeptBlocks = 2;
  static constexpr size_t kKeptBytes = size_t{4} << 20;
  // Bytes kept by all threads together.
  static constexpr size_t kKeptProcessBytes = size_t{32} << 20;
  enum ReuseThreadBlocks { kReuseThreadBlocks };

  CEasyBuffer();
  explicit CEasyBuffer(ReuseThreadBlocks);
  ~CEasyBuffer() override;
  // Bytes of the blocks the calling thread keeps for reuse.
  static size_t ThreadKeptBytes();
  // Bytes of the blocks all threads keep for reuse.
  static size_t ProcessKeptBytes();
  // Frees the blocks the calling thread keeps; returns their bytes.
  static size_t ReleaseThreadBlocks();
  CEasyBuffer(const CEasyBuffer&) = delete;
  CEasyBuffer& operator=(const CEasyBuffer&) = delete;

  // IUnknown: accepts IUnknown, ISequentialStream and IStream.
  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // ISequentialStream: Read is ReadData; Write is Append and sets *written (when
  // given) to count on success, 0 on failure.
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT Write(const void* buffer, ULONG count, ULONG* written) override;

  // IStream. Seek moves the read position (low 32 bits of `move`; origin 0 from
  // the start, 1 from the read position, 2 from the end) and refuses a position
  // at or past the size, or another origin, with STG_E_INVALIDFUNCTION. Stat
  // sets only cbSize. The rest return E_NOTIMPL.
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override;
  HRESULT SetSize(ULARGE_INTEGER new_size) override;
  HRESULT CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                 ULARGE_INTEGER* written) override;
  HRESULT Commit(DWORD flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
  HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;
  HRESULT Clone(IStream** clone) override;

  // Size and read position to 0, not complete; the block is kept. S_OK.
  virtual HRESULT Reset();
  // Appends `length` bytes. E_FAIL (nothing changed) once complete. Grows the
  // block when it is too small: to size + length rounded up to a multiple of
  // 32 KiB, and from a capacity of 256 KiB on to at least one and a half times
  // the capacity (also rounded). E_OUTOFMEMORY when the size would pass 4 GiB
  // or memory runs out, E_POINTER for null bytes with a non-zero length;
  // nothing changed then.
  virtual HRESULT Append(const void* bytes, ULONG length);
  // Makes the block hold at least `total` bytes (rounded up to 32 KiB) without
  // changing the data: for a writer that knows how much will come. S_OK, or
  // E_OUTOFMEMORY (nothing changed).
  HRESULT Reserve(ULONG total);
  // Room to append into directly: grows the block as Append would for
  // `length` bytes and returns the `length` bytes past the data, zero-filled
  // except for bytes a caller wrote there before without committing them.
  // Null (nothing changed) once complete or when the block cannot grow.
  char* PrepareAppend(ULONG length);
  // Counts `length` bytes written into the room PrepareAppend gave as
  // appended. E_INVALIDARG (nothing changed) past the block, E_FAIL once
  // complete.
  HRESULT CommitAppend(ULONG length);
  // No more data will be appended. S_OK.
  virtual HRESULT SetComplete();
  // Copies up to `count` unread bytes to `buffer` and advances the read
  // position: S_OK with *read set (when given). With nothing left to read:
  // S_FALSE when complete, E_PENDING otherwise, *read untouched.
  virtual HRESULT ReadData(void* buffer, ULONG count, ULONG* read);

  // Advances the read position by `count` unread bytes, as ReadData would
  // without copying them: S_OK, or E_INVALIDARG (nothing changed) when fewer
  // are unread.
  HRESULT Skip(ULONG count);

  // AnyHtmlEditorWriter: Append.
  int32_t Write(const char* data, uint32_t length) override;

  // The bytes in use (null before the first allocation) and their number.
  const char* GetData() const { return data_; }
  ULONG GetSize() const { return size_; }
  ULONG GetCapacity() const { return capacity_; }
  ULONG GetReadPosition() const { return read_position_; }
  bool IsComplete() const { return complete_; }
  // Takes the last `count` bytes off the size (all of them when there are
  // fewer); they stay in the block just past the data. The MIME filter
  // appends two zero bytes after a page and takes them off again this way, so
  // that the page is followed by zeros that do not count.
  void RemoveTail(ULONG count);

 private:
  // Grows the block to hold size + length bytes; false when it cannot.
  bool Grow(ULONG length);

  // Makes the block at least `capacity` bytes; false when it cannot.
  bool Resize(size_t capacity);

  bool reuse_thread_blocks_ = false;
  bool complete_ = false;
  char* data_ = nullptr;
  ULONG capacity_ = 0;
  ULONG size_ = 0;
  ULONG read_position_ = 0;
  ULONG zeroed_to_ = 0;  // bytes from size_ up to here are zero or were written
  std::atomic<int32_t> reference_count_{1};
};

}  // namespace cvie
