#include "platform/thread.h"

#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace cvie::platform {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             Clock::now().time_since_epoch())
      .count();
}

struct Timer {
  UINT elapse_ms;
  Clock::time_point due;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<MSG> messages;
  bool quit = false;
  int quit_code = 0;
  std::map<UINT_PTR, Timer> timers;
  UINT_PTR next_timer = 1;
};

// Queues by thread id. A thread's own reference (thread_local below) removes the
// entry when the thread ends.
std::mutex g_queues_mutex;
std::map<DWORD, std::shared_ptr<Queue>>& Queues() {
  static auto* queues = new std::map<DWORD, std::shared_ptr<Queue>>();
  return *queues;
}

struct QueueOwner {
  std::shared_ptr<Queue> queue;
  DWORD thread = 0;
  ~QueueOwner() {
    if (!queue) return;
    std::lock_guard<std::mutex> lock(g_queues_mutex);
    auto it = Queues().find(thread);
    if (it != Queues().end() && it->second == queue) Queues().erase(it);
  }
};
thread_local QueueOwner t_owner;

Queue* CurrentQueue() {
  if (!t_owner.queue) {
    auto queue = std::make_shared<Queue>();
    DWORD id = GetCurrentThreadId();
    {
      std::lock_guard<std::mutex> lock(g_queues_mutex);
      Queues()[id] = queue;
    }
    t_owner.thread = id;
    t_owner.queue = std::move(queue);
  }
  return t_owner.queue.get();
}

std::shared_ptr<Queue> FindQueue(DWORD thread_id) {
  std::lock_guard<std::mutex> lock(g_queues_mutex);
  auto it = Queues().find(thread_id);
  return it == Queues().end() ? nullptr : it->second;
}

BOOL Post(DWORD thread_id, MSG msg) {
  std::shared_ptr<Queue> queue = FindQueue(thread_id);
  if (!queue) return 0;
  msg.time = NowMs();
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->messages.push_back(std::move(msg));
  }
  queue->ready.notify_one();
  return 1;
}

// Takes a message from `queue` (lock held). Posted messages first, then the
// quit request, then a due timer. Returns false when nothing is ready; `next`
// then holds the time of the earliest timer (or max()).
bool TakeReady(Queue* queue, MSG* msg, Clock::time_point* next) {
  if (!queue->messages.empty()) {
    *msg = std::move(queue->messages.front());
    queue->messages.pop_front();
    return true;
  }
  if (queue->quit) {
    queue->quit = false;
    *msg = MSG();
    msg->message = WM_QUIT;
    msg->wParam = static_cast<WPARAM>(queue->quit_code);
    msg->time = NowMs();
    return true;
  }
  Clock::time_point now = Clock::now();
  *next = Clock::time_point::max();
  for (auto& [id, timer] : queue->timers) {
    if (timer.due <= now) {
      timer.due = now + std::chrono::milliseconds(timer.elapse_ms);
      *msg = MSG();
      msg->message = WM_TIMER;
      msg->wParam = id;
      msg->time = NowMs();
      return true;
    }
    if (timer.due < *next) *next = timer.due;
  }
  return false;
}

}  // namespace

DWORD GetCurrentThreadId() {
  static thread_local DWORD id = static_cast<DWORD>(CurrentThreadId());
  return id;
}

BOOL EnsureMessageQueue() {
  CurrentQueue();
  return 1;
}

BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  MSG msg;
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  return Post(thread_id, std::move(msg));
}

BOOL PostThreadTask(DWORD thread_id, std::function<void()> task) {
  MSG msg;
  msg.message = WM_APP_TASK;
  msg.task = std::move(task);
  return Post(thread_id, std::move(msg));
}

BOOL GetMessage(MSG* msg) {
  Queue* queue = CurrentQueue();
  std::unique_lock<std::mutex> lock(queue->mutex);
  for (;;) {
    Clock::time_point next;
    if (TakeReady(queue, msg, &next)) break;
    if (next == Clock::time_point::max()) {
      queue->ready.wait(lock);
    } else {
      queue->ready.wait_until(lock, next);
    }
  }
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessage(MSG* msg) {
  Queue* queue = CurrentQueue();
  std::lock_guard<std::mutex> lock(queue->mutex);
  Clock::time_point next;
  return TakeReady(queue, msg, &next) ? 1 : 0;
}

BOOL TranslateMessage(const MSG*) { return 0; }

intptr_t DispatchMessage(const MSG* msg) {
  if (msg && msg->task) msg->task();
  return 0;
}

void PostQuitMessage(int exit_code) {
  Queue* queue = CurrentQueue();
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->quit = true;
    queue->quit_code = exit_code;
  }
  queue->ready.notify_one();
}

UINT_PTR SetThreadTimer(UINT elapse_ms) {
  if (elapse_ms == 0) elapse_ms = 1;
  Queue* queue = CurrentQueue();
  std::lock_guard<std::mutex> lock(queue->mutex);
  UINT_PTR id = queue->next_timer++;
  queue->timers[id] = {elapse_ms, Clock::now() + std::chrono::milliseconds(elapse_ms)};
  return id;
}

BOOL KillThreadTimer(UINT_PTR id) {
  Queue* queue = CurrentQueue();
  std::lock_guard<std::mutex> lock(queue->mutex);
  return queue->timers.erase(id) ? 1 : 0;
}

// ---------------------------------------------------------------------------

struct Thread::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool finished = false;
  DWORD id = 0;
  DWORD exit_code = 0;
  std::thread thread;
};

Thread::Thread() = default;

std::unique_ptr<Thread> Thread::Create(std::function<DWORD()> routine) {
  std::unique_ptr<Thread> result(new Thread());
  auto state = std::make_shared<State>();
  result->state_ = state;
  try {
    state->thread = std::thread([state, routine = std::move(routine)]() mutable {
      EnsureMessageQueue();
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->id = GetCurrentThreadId();
        state->started = true;
      }
      state->changed.notify_all();
      DWORD code = routine();
      routine = nullptr;  // release what the routine captured on this thread
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->exit_code = code;
        state->finished = true;
      }
      state->changed.notify_all();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&] { return state->started; });
  return result;
}

Thread::~Thread() { Join(); }

DWORD Thread::id() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->id;
}

bool Thread::Wait(int timeout_ms) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (timeout_ms < 0) {
    state_->changed.wait(lock, [&] { return state_->finished; });
    return true;
  }
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return state_->finished; });
}

bool Thread::Finished() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->finished;
}

DWORD Thread::ExitCode() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->exit_code;
}

void Thread::Join() {
  if (!state_) return;
  if (state_->thread.joinable()) {
    if (state_->thread.get_id() == std::this_thread::get_id()) {
      state_->thread.detach();  // a thread cannot wait for itself
    } else {
      state_->thread.join();
    }
  }
}

}  // namespace cvie::platform
