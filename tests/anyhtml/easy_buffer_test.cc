// CEasyBuffer: growth in 32 KiB steps, the fill/drain states of ReadData,
// Seek, the COM plumbing, and the writer part.

#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/easy_buffer.h"

using namespace cvie;

namespace {

// Owns a buffer through its first reference.
struct BufferHolder {
  CEasyBuffer* buffer = new CEasyBuffer();
  ~BufferHolder() { buffer->Release(); }
};

TEST(CEasyBuffer, GrowsInStepsOf32KiB) {
  struct Case {
    const char* name;
    std::vector<ULONG> appends;
    ULONG capacity;
  };
  const Case kCases[] = {
      {"one byte", {1}, 32768},
      {"exactly one step", {32768}, 32768},
      {"one byte more than a step", {32769}, 65536},
      {"fills the step in pieces", {32767, 1}, 32768},
      {"grows when the step is full", {32768, 1}, 65536},
      {"grows to size plus length", {10, 100000}, 131072},
      {"nothing", {0}, 0},
  };
  std::vector<char> bytes(200000, 'x');
  for (const Case& c : kCases) {
    BufferHolder holder;
    ULONG total = 0;
    for (ULONG length : c.appends) {
      EXPECT_EQ(holder.buffer->Append(bytes.data(), length), S_OK) << c.name;
      total += length;
    }
    EXPECT_EQ(holder.buffer->GetCapacity(), c.capacity) << c.name;
    EXPECT_EQ(holder.buffer->GetSize(), total) << c.name;
  }
}

// Past 256 KiB the block grows by half its size at least, so a large page
// takes a few dozen reallocations instead of one per 32 KiB.
TEST(CEasyBuffer, GrowsGeometricallyPastTheSmallSizes) {
  struct Case {
    const char* name;
    ULONG start;     // appended first
    ULONG then;      // appended next
    ULONG capacity;  // afterwards
  };
  const Case kCases[] = {
      {"just below the geometric size", 0x40000 - 0x8000, 1, 0x40000},
      {"from 256 KiB: half as much again", 0x40000, 1, 0x60000},
      {"a large append wins over the half", 0x40000, 0x100000, 0x140000},
      {"rounded to 32 KiB", 0x68000, 1, 0xA0000},
  };
  std::vector<char> bytes(0x100000, 'g');
  for (const Case& c : kCases) {
    BufferHolder holder;
    ASSERT_EQ(holder.buffer->Append(bytes.data(), c.start), S_OK) << c.name;
    ASSERT_EQ(holder.buffer->Append(bytes.data(), c.then), S_OK) << c.name;
    EXPECT_EQ(holder.buffer->GetCapacity(), c.capacity) << c.name;
  }
  // 32 MiB in 16 KiB appends.
  BufferHolder holder;
  int growths = 0;
  ULONG capacity = 0;
  for (int i = 0; i < 2048; ++i) {
    ASSERT_EQ(holder.buffer->Append(bytes.data(), 16384), S_OK);
    if (holder.buffer->GetCapacity() != capacity) ++growths;
    capacity = holder.buffer->GetCapacity();
  }
  EXPECT_EQ(holder.buffer->GetSize(), 32u << 20);
  EXPECT_LE(growths, 30);
}

TEST(CEasyBuffer, ReserveGrowsOnceAndKeepsTheData) {
  BufferHolder holder;
  CEasyBuffer* b = holder.buffer;
  ASSERT_EQ(b->Append("abc", 3), S_OK);
  EXPECT_EQ(b->Reserve(100000), S_OK);
  EXPECT_EQ(b->GetCapacity(), 131072u);
  EXPECT_EQ(b->Reserve(10), S_OK);  // never shrinks
  EXPECT_EQ(b->GetCapacity(), 131072u);
  EXPECT_EQ(b->Reserve(0xFFFFFFFFu), E_OUTOFMEMORY);
  EXPECT_EQ(b->GetCapacity(), 131072u);
  const char* block = b->GetData();
  std::vector<char> bytes(99997, 'r');
  ASSERT_EQ(b->Append(bytes.data(), 99997), S_OK);
  EXPECT_EQ(b->GetData(), block);
  EXPECT_EQ(std::string(b->GetData(), 3), "abc");
  EXPECT_EQ(b->GetSize(), 100000u);
}

// A reader fills the free space directly: the room it gets is zero-filled
// (bytes it wrote but did not commit stay), only committed bytes count, and
// nothing is taken past the block or once complete.
TEST(CEasyBuffer, PrepareAndCommitAppendInPlace) {
  BufferHolder holder;
  CEasyBuffer* b = holder.buffer;
  ASSERT_EQ(b->Append("ab", 2), S_OK);
  char* room = b->PrepareAppend(10);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(room, b->GetData() + 2);
  EXPECT_EQ(std::string(room, 10), std::string(10, '\0'));
  memcpy(room, "cdefgh", 6);
  EXPECT_EQ(b->CommitAppend(3), S_OK);
  EXPECT_EQ(std::string(b->GetData(), b->GetSize()), "abcde");
  room = b->PrepareAppend(5);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(std::string(room, 5), std::string("fgh\0\0", 5));
  EXPECT_EQ(b->CommitAppend(b->GetCapacity() - b->GetSize() + 1), E_INVALIDARG);
  EXPECT_EQ(b->GetSize(), 5u);
  // Growing keeps the data and zero-fills the new room.
  room = b->PrepareAppend(100000);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(std::string(b->GetData(), 5), "abcde");
  EXPECT_EQ(std::count(room + 3, room + 100000, '\0'), 100000 - 3);
  ASSERT_EQ(b->SetComplete(), S_OK);
  EXPECT_EQ(b->PrepareAppend(1), nullptr);
  EXPECT_EQ(b->CommitAppend(1), E_FAIL);
  EXPECT_EQ(b->GetSize(), 5u);
}

TEST(CEasyBuffer, KeepsWhatWasAppendedAcrossGrowth) {
  BufferHolder holder;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    std::string piece = std::to_string(i) + ",";
    ASSERT_EQ(holder.buffer->Append(piece.data(), static_cast<ULONG>(piece.size())),
              S_OK);
    expected += piece;
  }
  ASSERT_EQ(holder.buffer->GetSize(), expected.size());
  EXPECT_EQ(std::string(holder.buffer->GetData(), holder.buffer->GetSize()), expected);
}

TEST(CEasyBuffer, RefusesWhatItCannotHold) {
  BufferHolder holder;
  ASSERT_EQ(holder.buffer->Append("a", 1), S_OK);
  // The size would pass 4 GiB: refused without touching the bytes or the size.
  EXPECT_EQ(holder.buffer->Append("a", 0xFFFFFFFFu), E_OUTOFMEMORY);
  EXPECT_EQ(holder.buffer->Append("a", 0xFFFFFFFFu - 1), E_OUTOFMEMORY);
  EXPECT_EQ(holder.buffer->Append(nullptr, 5), E_POINTER);
  EXPECT_EQ(holder.buffer->GetSize(), 1u);
  EXPECT_EQ(holder.buffer->GetCapacity(), 32768u);
}

TEST(CEasyBuffer, ReadDataReportsPendingThenComplete) {
  BufferHolder holder;
  CEasyBuffer* b = holder.buffer;
  char out[16];
  ULONG read = 77;
  EXPECT_EQ(b->ReadData(out, sizeof out, &read), E_PENDING);
  EXPECT_EQ(read, 77u);  // untouched

  ASSERT_EQ(b->Append("hello", 5), S_OK);
  EXPECT_EQ(b->ReadData(out, 2, &read), S_OK);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(out, 2), "he");
  EXPECT_EQ(b->ReadData(out, sizeof out, &read), S_OK);  // more than is left
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(std::string(out, 3), "llo");
  read = 77;
  EXPECT_EQ(b->ReadData(out, sizeof out, &read), E_PENDING);
  EXPECT_EQ(read, 77u);

  ASSERT_EQ(b->SetComplete(), S_OK);
  EXPECT_EQ(b->ReadData(out, sizeof out, &read), S_FALSE);
  EXPECT_EQ(read, 77u);
  EXPECT_EQ(b->Append("x", 1), E_FAIL);
  EXPECT_EQ(b->GetSize(), 5u);

  // Read is ReadData.
  ASSERT_EQ(b->Reset(), S_OK);
  ASSERT_EQ(b->Append("ab", 2), S_OK);
  EXPECT_EQ(b->Read(out, 1, &read), S_OK);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(b->Read(out, 5, nullptr), S_OK);
  EXPECT_EQ(b->Read(out, 5, &read), E_PENDING);
}

TEST(CEasyBuffer, ResetKeepsTheBlockAndAllowsAppendingAgain) {
  BufferHolder holder;
  CEasyBuffer* b = holder.buffer;
  std::vector<char> bytes(40000, 'y');
  ASSERT_EQ(b->Append(bytes.data(), 40000), S_OK);
  ASSERT_EQ(b->SetComplete(), S_OK);
  const char* block = b->GetData();
  ASSERT_EQ(b->Reset(), S_OK);
  EXPECT_EQ(b->GetSize(), 0u);
  EXPECT_EQ(b->GetReadPosition(), 0u);
  EXPECT_FALSE(b->IsComplete());
  EXPECT_EQ(b->GetCapacity(), 65536u);
  EXPECT_EQ(b->Append("z", 1), S_OK);
  EXPECT_EQ(b->GetData(), block);
  EXPECT_EQ(b->GetData()[0], 'z');
}

TEST(CEasyBuffer, Seek) {
  struct Case {
    const char* name;
    ULONG start;  // read position before the seek
    int64_t move;
    DWORD origin;
    HRESULT result;
    ULONG position;  // read position after
  };
  // The buffer holds 10 bytes.
  const Case kCases[] = {
      {"from start", 0, 4, STREAM_SEEK_SET, S_OK, 4},
      {"to the last byte", 0, 9, STREAM_SEEK_SET, S_OK, 9},
      {"to exactly the size", 3, 10, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION, 3},
      {"from current", 3, 2, STREAM_SEEK_CUR, S_OK, 5},
      {"back from current", 3, -2, STREAM_SEEK_CUR, S_OK, 1},
      {"from end", 3, -1, STREAM_SEEK_END, S_OK, 9},
      {"to the end", 3, 0, STREAM_SEEK_END, STG_E_INVALIDFUNCTION, 3},
      {"before the start", 3, -4, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 3},
      {"high bits ignored", 0, (int64_t{1} << 32) + 2, STREAM_SEEK_SET, S_OK, 2},
      {"unknown origin", 3, 0, 3, STG_E_INVALIDFUNCTION, 3},
  };
  for (const Case& c : kCases) {
    BufferHolder holder;
    CEasyBuffer* b = holder.buffer;
    ASSERT_EQ(b->Append("0123456789", 10), S_OK);
    LARGE_INTEGER to_start;
    to_start.QuadPart = c.start;
    if (c.start) {
      ASSERT_EQ(b->Seek(to_start, STREAM_SEEK_SET, nullptr), S_OK) << c.name;
    }
    LARGE_INTEGER move;
    move.QuadPart = c.move;
    ULARGE_INTEGER new_position;
    new_position.QuadPart = 12345;
    EXPECT_EQ(b->Seek(move, c.origin, &new_position), c.result) << c.name;
    EXPECT_EQ(b->GetReadPosition(), c.position) << c.name;
    EXPECT_EQ(new_position.QuadPart, c.result == S_OK ? c.position : 12345u) << c.name;
  }
}

TEST(CEasyBuffer, SeekThenReadGivesTheBytesThere) {
  BufferHolder holder;
  ASSERT_EQ(holder.buffer->Append("0123456789", 10), S_OK);
  LARGE_INTEGER move;
  move.QuadPart = 7;
  ASSERT_EQ(holder.buffer->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);
  char out[8];
  ULONG read = 0;
  ASSERT_EQ(holder.buffer->ReadData(out, sizeof out, &read), S_OK);
  EXPECT_EQ(std::string(out, read), "789");
}

TEST(CEasyBuffer, ComPlumbing) {
  CEasyBuffer* b = new CEasyBuffer();
  struct Case {
    const char* name;
    const IID* iid;
    HRESULT result;
  };
  const Case kCases[] = {
      {"IUnknown", &IID_IUnknown, S_OK},
      {"IStream", &IID_IStream, S_OK},
      {"ISequentialStream", &IID_ISequentialStream, S_OK},
      {"IClassFactory", &IID_IClassFactory, E_NOINTERFACE},
  };
  for (const Case& c : kCases) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(b->QueryInterface(*c.iid, &object), c.result) << c.name;
    if (c.result == S_OK) {
      EXPECT_EQ(object, static_cast<IStream*>(b)) << c.name;
      EXPECT_EQ(b->Release(), 1u) << c.name;  // QueryInterface added one
    } else {
      EXPECT_EQ(object, nullptr) << c.name;
    }
  }
  EXPECT_EQ(b->QueryInterface(IID_IStream, nullptr), E_POINTER);

  STATSTG stat;
  stat.cbSize.QuadPart = 0xFFFFFFFFFFull;
  ASSERT_EQ(b->Append("abc", 3), S_OK);
  EXPECT_EQ(b->Stat(&stat, 0), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 3u);

  ULARGE_INTEGER u{};
  EXPECT_EQ(b->SetSize(u), E_NOTIMPL);
  EXPECT_EQ(b->CopyTo(nullptr, u, nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(b->Commit(0), E_NOTIMPL);
  EXPECT_EQ(b->Revert(), E_NOTIMPL);
  EXPECT_EQ(b->LockRegion(u, u, 0), E_NOTIMPL);
  EXPECT_EQ(b->UnlockRegion(u, u, 0), E_NOTIMPL);
  IStream* clone = nullptr;
  EXPECT_EQ(b->Clone(&clone), E_NOTIMPL);

  EXPECT_EQ(b->AddRef(), 2u);
  EXPECT_EQ(b->Release(), 1u);
  EXPECT_EQ(b->Release(), 0u);  // frees the buffer (the sanitizer build checks)
}

TEST(CEasyBuffer, StreamWriteReportsWhatItWrote) {
  BufferHolder holder;
  ULONG written = 99;
  EXPECT_EQ(holder.buffer->Write("abcd", 4, &written), S_OK);
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(holder.buffer->Write("e", 1, nullptr), S_OK);
  holder.buffer->SetComplete();
  written = 99;
  EXPECT_EQ(holder.buffer->Write("f", 1, &written), E_FAIL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(std::string(holder.buffer->GetData(), holder.buffer->GetSize()), "abcde");
}

TEST(CEasyBuffer, WriterPartAppendsAndDestroysTheBuffer) {
  AnyHtmlEditorWriter* writer = new CEasyBuffer();
  EXPECT_EQ(writer->Write("<p>", 3), S_OK);
  EXPECT_EQ(writer->Write("x", 1), S_OK);
  auto* buffer = static_cast<CEasyBuffer*>(writer);
  EXPECT_EQ(std::string(buffer->GetData(), buffer->GetSize()), "<p>x");
  buffer->SetComplete();
  EXPECT_EQ(writer->Write("y", 1), E_FAIL);
  delete writer;  // the owner may destroy it through the writer part
}

TEST(CEasyBuffer, RemoveTailLeavesZerosAfterThePage) {
  BufferHolder holder;
  CEasyBuffer* b = holder.buffer;
  ASSERT_EQ(b->Append("page", 4), S_OK);
  ASSERT_EQ(b->Append("\0\0", 2), S_OK);
  b->RemoveTail(2);
  EXPECT_EQ(b->GetSize(), 4u);
  EXPECT_EQ(b->GetData()[4], 0);
  EXPECT_EQ(b->GetData()[5], 0);
  b->RemoveTail(100);
  EXPECT_EQ(b->GetSize(), 0u);
}

}  // namespace

// Buffers that reuse their thread's blocks: the next one starts in the block
// the last one gave back; buffers without the flag never touch the store; a
// block past the bound is freed, and the store stays within its bounds.
TEST(CEasyBuffer, ReusingBuffersTakeTheBlockTheLastOneGaveBack) {
  std::vector<char> page(300000, 'p');
  const char* first_block = nullptr;
  {
    CEasyBuffer buffer(CEasyBuffer::kReuseThreadBlocks);
    ASSERT_EQ(buffer.Append(page.data(), static_cast<ULONG>(page.size())), S_OK);
    first_block = buffer.GetData();
  }
  EXPECT_GE(CEasyBuffer::ThreadKeptBytes(), page.size());
  {
    CEasyBuffer buffer(CEasyBuffer::kReuseThreadBlocks);
    ASSERT_EQ(buffer.Append("abc", 3), S_OK);
    EXPECT_EQ(buffer.GetData(), first_block);
    EXPECT_GE(buffer.GetCapacity(), page.size());
    EXPECT_EQ(std::string(buffer.GetData(), buffer.GetSize()), "abc");
    // A block that comes from the store is zero-filled for direct appends
    // like a new one.
    char* room = buffer.PrepareAppend(1000);
    ASSERT_NE(room, nullptr);
    EXPECT_TRUE(std::all_of(room, room + 1000, [](char c) { return c == 0; }));
  }
  const size_t kept = CEasyBuffer::ThreadKeptBytes();
  {
    // Without the flag: its own block, not given back.
    CEasyBuffer plain;
    ASSERT_EQ(plain.Append("x", 1), S_OK);
    EXPECT_EQ(plain.GetCapacity(), CEasyBuffer::kGrowth);
    EXPECT_EQ(CEasyBuffer::ThreadKeptBytes(), kept);
  }
  EXPECT_EQ(CEasyBuffer::ThreadKeptBytes(), kept);
  {
    // A worker that once takes a 32 MiB page does not keep its block.
    CEasyBuffer huge(CEasyBuffer::kReuseThreadBlocks);
    ASSERT_EQ(huge.Reserve(32u << 20), S_OK);
  }
  EXPECT_LE(CEasyBuffer::ThreadKeptBytes(), CEasyBuffer::kKeptBytes);
  {
    std::vector<CEasyBuffer*> many;
    for (int i = 0; i < 5; ++i) {
      many.push_back(new CEasyBuffer(CEasyBuffer::kReuseThreadBlocks));
      ASSERT_EQ(many.back()->Reserve(1500000), S_OK);
    }
    for (CEasyBuffer* b : many) b->Release();
  }
  EXPECT_LE(CEasyBuffer::ThreadKeptBytes(), CEasyBuffer::kKeptBytes);
  EXPECT_GE(CEasyBuffer::ThreadKeptBytes(), size_t{1500000});
}

// Workers that each give back a large block while all of them are alive keep
// no more than the process-wide bound together; the blocks past it are freed,
// and a thread's kept bytes leave the count when it ends.
TEST(CEasyBuffer, ConcurrentWorkersKeepNoMoreThanTheProcessBound) {
  constexpr int kWorkers = 12;
  constexpr size_t kPage = size_t{3} << 20;  // 12 x 3 MiB passes the bound
  const size_t before = CEasyBuffer::ProcessKeptBytes();
  std::mutex mu;
  std::condition_variable changed;
  int given_back = 0;
  bool release = false;
  std::vector<size_t> kept_by(kWorkers, 0);
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      {
        CEasyBuffer buffer(CEasyBuffer::kReuseThreadBlocks);
        ASSERT_EQ(buffer.Reserve(static_cast<ULONG>(kPage)), S_OK);
      }
      std::unique_lock<std::mutex> lock(mu);
      kept_by[i] = CEasyBuffer::ThreadKeptBytes();
      ++given_back;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mu);
    changed.wait(lock, [&] { return given_back == kWorkers; });
    size_t sum = 0;
    int keeping = 0;
    for (size_t kept : kept_by) {
      sum += kept;
      if (kept > 0) ++keeping;
    }
    const size_t process = CEasyBuffer::ProcessKeptBytes() - before;
    EXPECT_EQ(process, sum);
    EXPECT_LE(process, CEasyBuffer::kKeptProcessBytes);
    EXPECT_GT(keeping, 0);
    EXPECT_LT(keeping, kWorkers);
    release = true;
    changed.notify_all();
  }
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(CEasyBuffer::ProcessKeptBytes(), before);
}

TEST(CEasyBuffer, SkipMovesTheReadPositionWithoutCopying) {
  BufferHolder holder;
  CEasyBuffer* b = holder.buffer;
  ASSERT_EQ(b->Append("0123456789", 10), S_OK);
  EXPECT_EQ(b->Skip(4), S_OK);
  EXPECT_EQ(b->GetReadPosition(), 4u);
  EXPECT_EQ(b->Skip(7), E_INVALIDARG);
  EXPECT_EQ(b->GetReadPosition(), 4u);
  char out[8] = {};
  ULONG n = 0;
  EXPECT_EQ(b->ReadData(out, sizeof out, &n), S_OK);
  EXPECT_EQ(std::string(out, n), "456789");
  EXPECT_EQ(b->Skip(0), S_OK);
}
