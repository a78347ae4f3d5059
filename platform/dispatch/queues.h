// The two kinds of work queue the service uses, on plain threads:
//
// - SerialQueue: one worker thread that runs its tasks and timer events one
//   at a time. Timers run on the monotonic clock (CLOCK_MONOTONIC, which
//   does not advance while the machine sleeps).
// - ConcurrentQueue: every task on a thread of its own, so that a task that
//   blocks (on a lock, say) never holds up another one. The process-wide
//   instance is global().
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace helper {

class TimerSource;

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Stops the worker: tasks not yet started are dropped, a running one is
  // waited for. Must not run on the queue's own thread.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  void async(std::function<void()> task);
  // A new timer on this queue: not scheduled, not resumed.
  std::shared_ptr<TimerSource> makeTimer();
  // True on the queue's worker thread.
  bool isCurrent() const;

  struct State;  // shared with the queue's timers

 private:
  void run();

  std::string label_;
  std::shared_ptr<State> state_;
  std::thread worker_;
};

// A repeating timer on a SerialQueue: schedule, set the handler, resume.
// cancel() may be called from any thread, the handler included: no event
// starts after it returns, and an event that is running finishes normally.
class TimerSource {
 public:
  explicit TimerSource(std::shared_ptr<SerialQueue::State> state);

  // First event `firstDelay` seconds from now, then every `interval`
  // seconds. Events that fall due while an earlier one still runs, or while
  // the queue is busy, are merged into one.
  void schedule(double firstDelay, double interval);
  void setEventHandler(std::function<void()> handler);
  void resume();
  void cancel();
  bool isCancelled() const;

 private:
  friend class SerialQueue;
  std::shared_ptr<SerialQueue::State> state_;
  // Guarded by the queue's mutex.
  std::function<void()> handler_;
  std::chrono::steady_clock::time_point deadline_{};
  std::chrono::steady_clock::duration interval_{};
  bool scheduled_ = false;
  bool resumed_ = false;
  bool cancelled_ = false;
};

struct SerialQueue::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::vector<std::weak_ptr<TimerSource>> timers;
  bool stopping = false;
  std::thread::id worker;
};

class ConcurrentQueue {
 public:
  ConcurrentQueue() = default;
  // Waits for every submitted task, pending delays included.
  ~ConcurrentQueue();
  ConcurrentQueue(const ConcurrentQueue&) = delete;
  ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

  // The process-wide queue; never destroyed.
  static ConcurrentQueue& global();

  void async(std::function<void()> task);
  // Runs `task` `delay` seconds from now (monotonic clock).
  void asyncAfter(double delay, std::function<void()> task);
  // Blocks until no task is pending or running; for tests.
  void waitUntilIdle();

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  int outstanding_ = 0;
};

}  // namespace helper
