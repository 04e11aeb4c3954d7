#include "pipe/ui_calls.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace trb {
namespace {

struct Call {
  const std::function<void()>* fn;
  bool done = false;
  std::exception_ptr error;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable call_done;  // RunOnUiThread waits on it
  std::condition_variable queued;     // DrainUiCallsUntil waits on it
  std::deque<Call*> calls;
  std::shared_ptr<const std::function<void()>> waker;
  std::thread::id ui_thread;
};

Queue& TheQueue() {
  static Queue* queue = new Queue;  // never destroyed: the pipe thread may outlive exit
  return *queue;
}

}  // namespace

void SetUiWaker(std::function<void()> wake) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  q.waker = wake ? std::make_shared<const std::function<void()>>(std::move(wake)) : nullptr;
  q.ui_thread = std::this_thread::get_id();
}

void RunOnUiThread(const std::function<void()>& fn) {
  Queue& q = TheQueue();
  Call call{&fn, false, nullptr};
  std::shared_ptr<const std::function<void()>> waker;
  {
    std::lock_guard lock(q.mutex);
    if (q.waker && q.ui_thread != std::this_thread::get_id()) {
      waker = q.waker;
      q.calls.push_back(&call);
    }
  }
  if (!waker) {
    fn();
    return;
  }
  q.queued.notify_all();
  (*waker)();
  std::unique_lock lock(q.mutex);
  q.call_done.wait(lock, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

void DrainUiCalls() {
  Queue& q = TheQueue();
  for (;;) {
    Call* call;
    {
      std::lock_guard lock(q.mutex);
      if (q.calls.empty()) return;
      call = q.calls.front();
      q.calls.pop_front();
    }
    std::exception_ptr error;
    try {
      (*call->fn)();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(q.mutex);
      call->error = error;
      call->done = true;
    }
    q.call_done.notify_all();
  }
}

void DrainUiCallsUntil(const std::function<bool()>& finished) {
  Queue& q = TheQueue();
  for (;;) {
    DrainUiCalls();
    std::unique_lock lock(q.mutex);
    q.queued.wait(lock, [&] { return !q.calls.empty() || finished(); });
    if (q.calls.empty()) return;
  }
}

void NotifyUiCallsDrainer() {
  Queue& q = TheQueue();
  { std::lock_guard lock(q.mutex); }  // orders the caller's change before the waiter's check
  q.queued.notify_all();
}

}  // namespace trb
