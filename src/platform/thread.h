// platform/thread.h
//
// Threads and per-thread message queues in the shape of the Windows message
// loop: a thread gets a queue the first time it asks for one (EnsureMessageQueue,
// GetMessage, SetThreadTimer); other threads post to it by thread identifier;
// the owner takes messages with GetMessage and hands them to DispatchMessage,
// which runs the task a message carries. PostQuitMessage makes the next
// GetMessage return FALSE. Thread timers put WM_TIMER messages in the queue
// whenever it is otherwise empty and a timer is due, so a loop that waits on
// GetMessage wakes up at least that often.
//
// Every function here is safe to call from any thread. A queue disappears when
// its thread ends; posting to it afterwards fails.

#pragma once

#include <stdint.h>

#include <functional>
#include <memory>

#include "platform/com.h"

namespace cvie::platform {

typedef uint32_t UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef uintptr_t UINT_PTR;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;
// A message whose task DispatchMessage runs (see PostThreadTask).
constexpr UINT WM_APP_TASK = WM_APP + 1;

struct MSG {
  UINT message = WM_NULL;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  uint64_t time = 0;  // milliseconds of a steady clock when the message was posted
  std::function<void()> task;  // run by DispatchMessage; may be empty
};

// The calling thread's identifier (the kernel's thread id; never 0).
DWORD GetCurrentThreadId();

// Gives the calling thread a message queue if it has none yet. Returns TRUE.
BOOL EnsureMessageQueue();

// Appends a message to the queue of thread `thread_id`. FALSE when that thread
// has no queue (never made one, or has ended).
BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);

// Appends a WM_APP_TASK message whose task DispatchMessage runs on the owner.
BOOL PostThreadTask(DWORD thread_id, std::function<void()> task);

// Takes the next message of the calling thread's queue, waiting as long as
// needed. Returns FALSE (and fills WM_QUIT) when the quit message was taken,
// TRUE for every other message.
BOOL GetMessage(MSG* msg);

// Like GetMessage but never waits: FALSE when no message is ready. A quit
// message is returned as any other (check msg->message).
BOOL PeekMessage(MSG* msg);

// Key translation does not exist here; kept so loops read as usual. Returns FALSE.
BOOL TranslateMessage(const MSG* msg);

// Runs the message's task, if it has one. Returns 0.
intptr_t DispatchMessage(const MSG* msg);

// Asks the calling thread's loop to end: GetMessage returns FALSE after the
// messages posted before this call have been taken.
void PostQuitMessage(int exit_code);

// Starts a periodic thread timer on the calling thread's queue; every
// `elapse_ms` (at least 1) a WM_TIMER message with wParam = the returned id is
// generated while the queue has nothing else. Returns the id (never 0).
UINT_PTR SetThreadTimer(UINT elapse_ms);
// Stops a timer of the calling thread. FALSE when no such timer exists.
BOOL KillThreadTimer(UINT_PTR id);

// A thread of its own running `routine`. The routine's result is the exit code.
// Destroying the object while the thread runs waits for it to end (Join), so a
// thread is never left behind without an owner.
class Thread {
 public:
  // Starts the thread. Returns null when the system refuses to create it.
  static std::unique_ptr<Thread> Create(std::function<DWORD()> routine);

  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Identifier of the running thread (valid from creation on).
  DWORD id() const;
  // Waits up to `timeout_ms` (negative: without limit) for the routine to end.
  // Returns true when it has ended.
  bool Wait(int timeout_ms);
  bool Finished() const;
  // The routine's result; meaningful once Finished().
  DWORD ExitCode() const;
  // Waits without limit and releases the thread's resources.
  void Join();

 private:
  struct State;
  Thread();
  std::shared_ptr<State> state_;
};

}  // namespace cvie::platform
